#include "registers.h"
#include "formfit.h"
#include "ui_registers.h"

#include <QDebug>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLayout>

CRegisters::CRegisters(QWidget *parent) : QDialog(parent), ui(new Ui::CRegisters)
{
    ui->setupUi(this);
    qDebug() << Q_FUNC_INFO << "was called";
    fitForm();

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

// As the main window's form: each area grows to what it needs, below the
// group titles as the style draws them, and the areas below move down with
// it. Values are hexadecimal bytes ("0xff"), never wider than the
// placeholder they replace.
void CRegisters::fitForm()
{
    ensurePolished();
    const QSize holder = QSize(171, 231)
                             .expandedTo(formfit::neededSize(ui->verticalLayoutWidget))
                             .expandedTo(formfit::neededSize(ui->verticalLayoutWidget_2));
    // Each box is half of the row, less the layout's spacing, as drawn.
    const QSize boxDesign((381 - qMax(0, ui->horizontalLayout->spacing())) / 2, 261);
    ui->groupBox_2->setMinimumSize(formfit::placeInGroupBox(ui->groupBox_2, ui->verticalLayoutWidget,
                                                            QRect(9, 19, 171, 231), boxDesign, holder));
    ui->groupBox->setMinimumSize(formfit::placeInGroupBox(ui->groupBox, ui->verticalLayoutWidget_2,
                                                          QRect(10, 20, 171, 231), boxDesign, holder));
    const QSize boxes = QSize(381, 261).expandedTo(ui->horizontalLayout->minimumSize());
    ui->horizontalLayoutWidget->setGeometry(10, 10, boxes.width(), boxes.height());

    const QSize cnf = QSize(371, 31).expandedTo(formfit::neededSize(ui->horizontalLayoutWidget_10));
    const int cnfTop = qMax(280, 10 + boxes.height() + 9);
    ui->horizontalLayoutWidget_10->setGeometry(20, cnfTop, cnf.width(), cnf.height());

    const QSize buttons = QSize(341, 32).expandedTo(ui->buttonBox->sizeHint());
    const int buttonsTop = qMax(320, cnfTop + cnf.height() + 9);
    ui->buttonBox->setGeometry(30, buttonsTop, buttons.width(), buttons.height());

    const int right = qMax(10 + boxes.width(), qMax(20 + cnf.width(), 30 + buttons.width()));
    resize(size().expandedTo(QSize(right + 9, buttonsTop + buttons.height() + 26)));
}

CRegisters::~CRegisters()
{
    qDebug() << Q_FUNC_INFO << "was called";
    m_Device.Close();
    delete ui;
}
