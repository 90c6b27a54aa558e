#include "registers.h"
#include "ui_registers.h"

#include <QDebug>
#include <QLabel>

CRegisters::CRegisters(QWidget *parent) : QDialog(parent), ui(new Ui::CRegisters)
{
    ui->setupUi(this);
    qDebug() << Q_FUNC_INFO << "was called";

    if (!m_Device.Open(0)) {
        // Nothing is read through a device that did not open.
        qDebug() << "Can't open device";
        return;
    }

    const struct {
        unsigned int channel;
        unsigned int address;
        QLabel *label;
    } rows[] = {
        {1, CAN_REG_CANSTAT, ui->label_CanStat_ch1},   {2, CAN_REG_CANSTAT, ui->label_CanStat_ch2},
        {1, CAN_REG_CANINTE, ui->label_CanIntE_ch1},   {2, CAN_REG_CANINTE, ui->label_CanIntE_ch2},
        {1, CAN_REG_CANINTF, ui->label_CanIntF_ch1},   {2, CAN_REG_CANINTF, ui->label_CanIntF_ch2},
        {1, CAN_REG_EFLG, ui->label_EFLG_ch1},         {2, CAN_REG_EFLG, ui->label_EFLG_ch2},
        {1, CAN_REG_REC, ui->label_REC_ch1},           {2, CAN_REG_REC, ui->label_REC_ch2},
        {1, CAN_REG_TEC, ui->label_TEC_ch1},           {2, CAN_REG_TEC, ui->label_TEC_ch2},
        {1, CAN_REG_RXB0CTRL, ui->label_RXB0CTRL_ch1}, {2, CAN_REG_RXB0CTRL, ui->label_RXB0CTRL_ch2},
        {1, CAN_REG_RXB1CTRL, ui->label_RXB1CTRL_ch1}, {2, CAN_REG_RXB1CTRL, ui->label_RXB1CTRL_ch2},
        {1, CAN_REG_CNF1, ui->label_CNF1},
    };
    for (const auto &row : rows) {
        unsigned char value = 0;
        if (m_Device.ReadCanReg(row.channel, row.address, 1, &value) == 1)
            row.label->setText("0x" + QString::number(static_cast<uint>(value), 16));
        else
            qDebug() << "Can't ReadCanReg";
    }
}

CRegisters::~CRegisters()
{
    qDebug() << Q_FUNC_INFO << "was called";
    m_Device.Close();
    delete ui;
}
