#include "mainwindow.h"
#include "formfit.h"
#include "registers.h"
#include "ui_mainwindow.h"
#include "workerthreads.h"

#include <QApplication>
#include <QDebug>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>

namespace {

// Counters live only as label texts.
void incrementCounter(QLabel *label)
{
    bool converted = false;
    quint64 count = label->text().toULongLong(&converted, 10);
    if (!converted)
        count = 0;
    label->setText(QString::number(count + 1, 10));
}

// SetConfWorkMode's status for a controller that is already in configuration
// mode, where an earlier failed change left it: for a bit-rate change that is
// as good as having entered it, or one transient failure would lock the
// channel until the program restarts.
const int kAlreadyInConfigurationMode = 4;

bool inConfigurationMode(int status)
{
    return status == 1 || status == kAlreadyInConfigurationMode;
}

unsigned int speedForIndex(int index, unsigned int current)
{
    switch (index) {
    case 0:
        return 125;
    case 1:
        return 250;
    case 2:
        return 500;
    case 3:
        return 1000;
    default:
        return current;
    }
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), m_SpeedCh1(125), m_SpeedCh2(125),
      m_pRegisters(nullptr)
{
    ui->setupUi(this);

    m_TransmitTh.moveToThread(&m_TransmitThread);
    m_ReceiveTh.moveToThread(&m_ReceiveThread);

    connect(&m_TransmitThread, SIGNAL(started()), &m_TransmitTh, SLOT(work()), Qt::AutoConnection);
    connect(&m_ReceiveThread, SIGNAL(started()), &m_ReceiveTh, SLOT(work()), Qt::AutoConnection);
    connect(&m_ReceiveTh, SIGNAL(SetLabelNoErrorCh1()), this, SLOT(SetLabelNoErrorCh1()),
            Qt::AutoConnection);
    connect(&m_ReceiveTh, SIGNAL(SetLabelNoErrorCh2()), this, SLOT(SetLabelNoErrorCh2()),
            Qt::AutoConnection);
    connect(&m_ReceiveTh, SIGNAL(SetLabelWithErrorCh1()), this, SLOT(SetLabelWithErrorCh1()),
            Qt::AutoConnection);
    connect(&m_ReceiveTh, SIGNAL(SetLabelWithErrorCh2()), this, SLOT(SetLabelWithErrorCh2()),
            Qt::AutoConnection);
    connect(&m_TransmitTh, SIGNAL(SetLabelSendedCh1()), this, SLOT(SetLabelSendedCh1()),
            Qt::AutoConnection);
    connect(&m_TransmitTh, SIGNAL(SetLabelSendedCh2()), this, SLOT(SetLabelSendedCh2()),
            Qt::AutoConnection);

    // Closing the window ends the program once Qt's quit request, queued
    // behind everything already posted, is reached. While the workers run
    // the queue holds their reports that the window has yet to count; on a
    // busy host it never empties, and the program would go on long after
    // the window closed. So the workers stop first, and what they reported
    // for a window that is gone is dropped.
    connect(qApp, &QGuiApplication::lastWindowClosed, this, [this] {
        stopWorker(m_TransmitThread, m_TransmitTh);
        stopWorker(m_ReceiveThread, m_ReceiveTh);
        QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    });

    ui->pushButton_Stop->setEnabled(false);
    ui->pushButton_stop_receive->setEnabled(false);
    fitForm();
}

// The form was drawn for one font and one style; under others its texts were
// cut short ("Received without err"), the group titles ran into their first
// rows and the window's bars pushed the bottom buttons out of sight. Each
// area grows to what its layout needs (the counters with room for seven
// digits), the areas keep their designed gaps, and the window grows to hold
// them below its bars. Where the designed geometry fits, nothing moves.
void MainWindow::fitForm()
{
    ensurePolished();
    const QFontMetrics metrics = fontMetrics();
    const int counterRoom =
        metrics.horizontalAdvance(QStringLiteral("0000000")) - metrics.horizontalAdvance(QStringLiteral("0"));

    const QRect holderDesign(9, 19, 151, 171);
    const QSize boxDesign(171, 201);
    const QSize holder = holderDesign.size()
                             .expandedTo(formfit::neededSize(ui->verticalLayoutWidget_2, counterRoom))
                             .expandedTo(formfit::neededSize(ui->verticalLayoutWidget_4, counterRoom));
    const QSize box =
        formfit::placeInGroupBox(ui->groupBox, ui->verticalLayoutWidget_2, holderDesign, boxDesign, holder)
            .expandedTo(formfit::placeInGroupBox(ui->groupBox_2, ui->verticalLayoutWidget_4, holderDesign,
                                                 boxDesign, holder));

    QSize column = QSize(160, 191).expandedTo(formfit::neededSize(ui->verticalLayoutWidget));
    column.setHeight(qMax(column.height(), box.height() - 10));
    ui->verticalLayoutWidget->setGeometry(10, 10, column.width(), column.height());
    ui->groupBox->setGeometry(10 + column.width() + 10, 0, box.width(), box.height());
    ui->groupBox_2->setGeometry(ui->groupBox->x() + box.width() + 9, 0, box.width(), box.height());

    const int rowTop = qMax(209, qMax(box.height(), 10 + column.height()) + 8);
    QSize row = QSize(521, 31).expandedTo(formfit::neededSize(ui->horizontalLayoutWidget));
    row.setWidth(qMax(row.width(), ui->groupBox_2->x() + box.width() - 9));
    ui->horizontalLayoutWidget->setGeometry(9, rowTop, row.width(), row.height());

    ui->centralWidget->setMinimumSize(9 + row.width() + 11, rowTop + row.height() + 9);
    resize(size().expandedTo(minimumSizeHint()));
}

MainWindow::~MainWindow()
{
    // A running QThread must not be destroyed: end both workers first.
    stopWorker(m_TransmitThread, m_TransmitTh);
    stopWorker(m_ReceiveThread, m_ReceiveTh);
    m_Device.Close();
    delete ui;
}

bool MainWindow::open_and_init()
{
    qDebug() << Q_FUNC_INFO << "was called";

    if (!m_Device.Open(0)) {
        qDebug() << "Can't open device";
        QMessageBox::critical(nullptr, tr("Korvane soft v1.0"), tr("Can't open \"CAN0\" device."),
                              QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }
    quint16 status = static_cast<quint16>(m_Device.SetWorkMode(1, CAN_MODE_CONFIGURATION));
    if (status != 1) {
        qDebug() << "Can't set conf work mode Ch1. Err = " << status;
        return false;
    }
    status = static_cast<quint16>(m_Device.SetWorkMode(2, CAN_MODE_CONFIGURATION));
    if (status != 1) {
        qDebug() << "Can't set conf work mode Ch2. Err = " << status;
        return false;
    }
    // The window's SetSpeed has already written the board's status; these
    // lines carry its own result (0).
    if (!SetSpeed(1, m_SpeedCh1)) {
        qDebug() << "Can't set speed Ch1. Err = " << static_cast<quint16>(0);
        return false;
    }
    if (!SetSpeed(2, m_SpeedCh2)) {
        qDebug() << "Can't set speed Ch2. Err = " << static_cast<quint16>(0);
        return false;
    }
    status = static_cast<quint16>(m_Device.SetWorkMode(1, CAN_MODE_NORMAL));
    if (status != 1) {
        qDebug() << "Can't set conf work mode Ch1. Err = " << status;
        return false;
    }
    status = static_cast<quint16>(m_Device.SetWorkMode(2, CAN_MODE_NORMAL));
    if (status != 1) {
        qDebug() << "Can't set conf work mode Ch2. Err = " << status;
        return false;
    }
    status = static_cast<quint16>(m_Device.EnableDMA(0));
    if (status != 1) {
        qDebug() << "Can't enable DMA. Err = " << status;
        return false;
    }
    const unsigned char receiveAny = 0x60;
    status = static_cast<quint16>(m_Device.WriteCanReg(1, CAN_REG_RXB0CTRL, 1, &receiveAny));
    if (status != 1) {
        qDebug() << "Can't unset filters. Err = " << status;
        return false;
    }
    status = static_cast<quint16>(m_Device.WriteCanReg(2, CAN_REG_RXB0CTRL, 1, &receiveAny));
    if (status != 1) {
        qDebug() << "Can't unset filters. Err = " << status;
        return false;
    }
    m_pRegisters = new CRegisters(this);
    return true;
}

// Starts again the workers that a pause stopped. The receiver clears the DMA
// queues as it starts, so it goes first and the transmitter only once that is
// done: otherwise the first frames of the first group could be cleared away
// and every later group would be counted with errors.
void MainWindow::resumeWorkers(bool transmitRan, bool receiveRan)
{
    if (receiveRan)
        startReceiverAndWait(m_ReceiveThread, m_ReceiveTh);
    if (transmitRan)
        m_TransmitThread.start(QThread::InheritPriority);
}

bool MainWindow::SetSpeed(unsigned int channel, unsigned int kbps)
{
    qDebug() << Q_FUNC_INFO << "was called";
    const quint16 status = static_cast<quint16>(m_Device.SetSpeed(channel, kbps));
    if (status != 1) {
        qDebug() << "Can't set speed. Err = " << status;
        return false;
    }
    return true;
}

void MainWindow::on_pushButton_Start_clicked()
{
    qDebug() << Q_FUNC_INFO << "was called";
    ui->pushButton_Stop->setEnabled(true);
    m_TransmitThread.start(QThread::InheritPriority);
    ui->pushButton_Start->setEnabled(false);
}

void MainWindow::on_pushButton_Stop_clicked()
{
    qDebug() << Q_FUNC_INFO << "was called";
    ui->pushButton_Start->setEnabled(true);
    m_TransmitTh.StopWork();
    m_TransmitThread.quit();
    m_TransmitThread.wait();
    ui->pushButton_Stop->setEnabled(false);
}

void MainWindow::on_pushButton_start_receive_clicked()
{
    qDebug() << Q_FUNC_INFO << "was called";
    ui->pushButton_stop_receive->setEnabled(true);
    // The receiver clears the DMA queues as it starts: a transmitter started
    // a moment later must not have its first frames cleared away, or every
    // later group would be counted with errors. The wait is the receiver's
    // two set-up requests.
    startReceiverAndWait(m_ReceiveThread, m_ReceiveTh);
    ui->pushButton_start_receive->setEnabled(false);
}

void MainWindow::on_pushButton_stop_receive_clicked()
{
    qDebug() << Q_FUNC_INFO << "was called";
    ui->pushButton_start_receive->setEnabled(true);
    m_ReceiveTh.StopWork();
    m_ReceiveThread.quit();
    m_ReceiveThread.wait();
    ui->pushButton_stop_receive->setEnabled(false);
}

void MainWindow::on_comboBox_SpeedCh1_currentIndexChanged(int index)
{
    qDebug() << Q_FUNC_INFO << "was called";
    const bool transmitRan = stopWorker(m_TransmitThread, m_TransmitTh);
    const bool receiveRan = stopWorker(m_ReceiveThread, m_ReceiveTh);
    m_SpeedCh1 = speedForIndex(index, m_SpeedCh1);
    if (!inConfigurationMode(m_Device.SetConfWorkMode(1))) {
        qDebug() << "Can't set conf mode Ch1.";
        return;
    }
    if (!SetSpeed(1, m_SpeedCh1)) {
        qDebug() << "Can't set speed Ch1.";
        return;
    }
    if (m_Device.RestoreWorkMode(1) != 1) {
        qDebug() << "Can't set work mode Ch1.";
        return;
    }
    resumeWorkers(transmitRan, receiveRan);
}

void MainWindow::on_comboBox_SpeedCh2_currentIndexChanged(int index)
{
    qDebug() << Q_FUNC_INFO << "was called";
    const bool transmitRan = stopWorker(m_TransmitThread, m_TransmitTh);
    const bool receiveRan = stopWorker(m_ReceiveThread, m_ReceiveTh);
    m_SpeedCh2 = speedForIndex(index, m_SpeedCh2);
    if (!inConfigurationMode(m_Device.SetConfWorkMode(2))) {
        qDebug() << "Can't set conf mode Ch2.";
        return;
    }
    if (!SetSpeed(2, m_SpeedCh2)) {
        qDebug() << "Can't set speed Ch2. Err = ";
        return;
    }
    if (m_Device.RestoreWorkMode(2) != 1) {
        qDebug() << "Can't set work mode Ch2.";
        return;
    }
    resumeWorkers(transmitRan, receiveRan);
}

void MainWindow::on_comboBox_Ch1State_currentIndexChanged(int index)
{
    qDebug() << Q_FUNC_INFO << "was called";
    const bool transmitRan = stopWorker(m_TransmitThread, m_TransmitTh);
    const bool receiveRan = stopWorker(m_ReceiveThread, m_ReceiveTh);
    if (index >= 0 && index <= 2) {
        m_ReceiveTh.SetCh1State(index == 2);
        m_TransmitTh.SetCh1State(index == 1);
    }
    resumeWorkers(transmitRan, receiveRan);
}

void MainWindow::on_comboBox_Ch2State_currentIndexChanged(int index)
{
    qDebug() << Q_FUNC_INFO << "was called";
    const bool transmitRan = stopWorker(m_TransmitThread, m_TransmitTh);
    const bool receiveRan = stopWorker(m_ReceiveThread, m_ReceiveTh);
    if (index >= 0 && index <= 2) {
        m_ReceiveTh.SetCh2State(index == 2);
        m_TransmitTh.SetCh2State(index == 1);
    }
    resumeWorkers(transmitRan, receiveRan);
}

void MainWindow::on_pushButton_clear_counts_clicked()
{
    qDebug() << Q_FUNC_INFO << "was called";
    ui->label_Sended_ch1->setText("0");
    ui->label_Sended_ch2->setText("0");
    ui->label_NoError_ch1->setText("0");
    ui->label_NoError_ch2->setText("0");
    ui->label_WithError_ch1->setText("0");
    ui->label_WithError_ch2->setText("0");
}

void MainWindow::on_pushButton_registers_clicked()
{
    qDebug() << Q_FUNC_INFO << "was called";
    m_pRegisters->show();
    m_pRegisters->raise();
    m_pRegisters->activateWindow();
}

void MainWindow::SetLabelWithErrorCh1()
{
    qDebug() << Q_FUNC_INFO << "was called";
    incrementCounter(ui->label_WithError_ch1);
}

void MainWindow::SetLabelWithErrorCh2()
{
    qDebug() << Q_FUNC_INFO << "was called";
    incrementCounter(ui->label_WithError_ch2);
}

void MainWindow::SetLabelNoErrorCh1()
{
    qDebug() << Q_FUNC_INFO << "was called";
    incrementCounter(ui->label_NoError_ch1);
}

void MainWindow::SetLabelNoErrorCh2()
{
    qDebug() << Q_FUNC_INFO << "was called";
    incrementCounter(ui->label_NoError_ch2);
}

void MainWindow::SetLabelSendedCh1()
{
    qDebug() << Q_FUNC_INFO << "was called";
    incrementCounter(ui->label_Sended_ch1);
}

void MainWindow::SetLabelSendedCh2()
{
    qDebug() << Q_FUNC_INFO << "was called";
    incrementCounter(ui->label_Sended_ch2);
}
