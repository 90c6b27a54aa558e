#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "ReceiveTh.h"
#include "TransmitTh.h"
#include "candeviceex.h"
#include "debugsite.h"

#include <QMainWindow>
#include <QThread>

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

class CRegisters;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    bool open_and_init();
    bool SetSpeed(unsigned int channel, unsigned int kbps);

signals:
    void StartTransmit();
    void StartReceive();
    void StopTransmit();
    void StopReceive();
    void SetSpeed(unsigned char);

private slots:
    void on_pushButton_Start_clicked();
    void on_pushButton_Stop_clicked();
    void on_pushButton_start_receive_clicked();
    void on_pushButton_stop_receive_clicked();
    void on_comboBox_SpeedCh1_currentIndexChanged(int index);
    void on_comboBox_SpeedCh2_currentIndexChanged(int index);
    void on_comboBox_Ch1State_currentIndexChanged(int index);
    void on_comboBox_Ch2State_currentIndexChanged(int index);
    void on_pushButton_clear_counts_clicked();
    void on_pushButton_registers_clicked();

public slots:
    void SetLabelWithErrorCh1();
    void SetLabelWithErrorCh2();
    void SetLabelNoErrorCh1();
    void SetLabelNoErrorCh2();
    void SetLabelSendedCh1();
    void SetLabelSendedCh2();

private:
    // What a channel's bit-rate change writes when a step fails: each
    // channel has its own texts.
    struct SpeedTexts {
        const char *confMode;
        const char *speed;
        const char *workMode;
    };
    void changeSpeed(unsigned int channel, int index, unsigned int &kbps, const SpeedTexts &texts,
                     const DebugSite &site);
    void changeRole(unsigned int channel, int index);
    void resumeWorkers(bool transmitRan, bool receiveRan);
    void fitForm();

    Ui::MainWindow *ui;
    CCANDeviceEx m_Device;
    CTransmitTh m_TransmitTh;
    CReceiveTh m_ReceiveTh;
    QThread m_TransmitThread;
    QThread m_ReceiveThread;
    unsigned int m_SpeedCh1;
    unsigned int m_SpeedCh2;
    CRegisters *m_pRegisters;
};

#endif
