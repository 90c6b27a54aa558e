#include "mainwindow.h"
#include "boardsetup.h"
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
    return status == CAN_OK || status == kAlreadyInConfigurationMode;
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
        stopWorker(m_TransmitThread, m_TransmitTh, kWindowTransmitStop);
        stopWorker(m_ReceiveThread, m_ReceiveTh, kWindowReceiveStop);
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
    stopWorker(m_TransmitThread, m_TransmitTh, kWindowTransmitStop);
    stopWorker(m_ReceiveThread, m_ReceiveTh, kWindowReceiveStop);
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
    // The window's SetSpeed has already written the board's status; its
    // line carries the window's own result (0).
    const auto setSpeed = [this](unsigned int channel) {
        return SetSpeed(channel, channel == 1 ? m_SpeedCh1 : m_SpeedCh2) ? 1 : 0;
    };
    boardsetup::Failure failure;
    if (boardsetup::setUp(m_Device, setSpeed, nullptr, &failure) != boardsetup::Ready) {
        const bool ch2 = failure.channel == 2;
        switch (failure.step) {
        case boardsetup::ConfigurationMode:
        case boardsetup::NormalMode:
            qDebug() << (ch2 ? "Can't set conf work mode Ch2. Err = " : "Can't set conf work mode Ch1. Err = ")
                     << static_cast<quint16>(failure.status);
            break;
        case boardsetup::BitRate:
            qDebug() << (ch2 ? "Can't set speed Ch2. Err = " : "Can't set speed Ch1. Err = ")
                     << static_cast<quint16>(failure.status);
            break;
        case boardsetup::Dma:
            qDebug() << "Can't enable DMA. Err = " << static_cast<quint16>(failure.status);
            break;
        case boardsetup::Filters:
            qDebug() << "Can't unset filters. Err = " << static_cast<quint16>(failure.status);
            break;
        }
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
    if (status != CAN_OK) {
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
    stopWorker(m_TransmitThread, m_TransmitTh, kWindowTransmitStop);
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
    stopWorker(m_ReceiveThread, m_ReceiveTh, kWindowReceiveStop);
    ui->pushButton_stop_receive->setEnabled(false);
}

// A channel's bit rate: both workers paused, the channel to configuration
// mode, its rate, back to the mode it had, the workers resumed. A failed
// step leaves them paused.
void MainWindow::changeSpeed(unsigned int channel, int index, unsigned int &kbps, const SpeedTexts &texts,
                             const DebugSite &site)
{
    const bool transmitRan = stopWorker(m_TransmitThread, m_TransmitTh, kWindowTransmitStop);
    const bool receiveRan = stopWorker(m_ReceiveThread, m_ReceiveTh, kWindowReceiveStop);
    kbps = speedForIndex(index, kbps);
    if (!inConfigurationMode(m_Device.SetConfWorkMode(channel))) {
        site.debug() << texts.confMode;
        return;
    }
    if (!SetSpeed(channel, kbps)) {
        site.debug() << texts.speed;
        return;
    }
    if (m_Device.RestoreWorkMode(channel) != 1) {
        site.debug() << texts.workMode;
        return;
    }
    resumeWorkers(transmitRan, receiveRan);
}

void MainWindow::on_comboBox_SpeedCh1_currentIndexChanged(int index)
{
    qDebug() << Q_FUNC_INFO << "was called";
    changeSpeed(1, index, m_SpeedCh1, {"Can't set conf mode Ch1.", "Can't set speed Ch1.", "Can't set work mode Ch1."},
                KORVANE_DEBUG_SITE);
}

void MainWindow::on_comboBox_SpeedCh2_currentIndexChanged(int index)
{
    qDebug() << Q_FUNC_INFO << "was called";
    changeSpeed(2, index, m_SpeedCh2,
                {"Can't set conf mode Ch2.", "Can't set speed Ch2. Err = ", "Can't set work mode Ch2."},
                KORVANE_DEBUG_SITE);
}

// A channel's role: both workers paused, the channel's flags set for
// "Turn off", "Transmit mode" or "Receive mode", the workers resumed.
void MainWindow::changeRole(unsigned int channel, int index)
{
    const bool transmitRan = stopWorker(m_TransmitThread, m_TransmitTh, kWindowTransmitStop);
    const bool receiveRan = stopWorker(m_ReceiveThread, m_ReceiveTh, kWindowReceiveStop);
    if (index >= 0 && index <= 2) {
        if (channel == 1) {
            m_ReceiveTh.SetCh1State(index == 2);
            m_TransmitTh.SetCh1State(index == 1);
        } else {
            m_ReceiveTh.SetCh2State(index == 2);
            m_TransmitTh.SetCh2State(index == 1);
        }
    }
    resumeWorkers(transmitRan, receiveRan);
}

void MainWindow::on_comboBox_Ch1State_currentIndexChanged(int index)
{
    qDebug() << Q_FUNC_INFO << "was called";
    changeRole(1, index);
}

void MainWindow::on_comboBox_Ch2State_currentIndexChanged(int index)
{
    qDebug() << Q_FUNC_INFO << "was called";
    changeRole(2, index);
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
