#ifndef REGISTERS_H
#define REGISTERS_H

#include "candeviceex.h"

#include <QDialog>

QT_BEGIN_NAMESPACE
namespace Ui {
class CRegisters;
}
QT_END_NAMESPACE

// A snapshot of both controllers' main registers, read once when created.
class CRegisters : public QDialog
{
    Q_OBJECT

public:
    explicit CRegisters(QWidget *parent = nullptr);
    ~CRegisters() override;

private:
    void fitForm();

    Ui::CRegisters *ui;
    CCANDeviceEx m_Device;
};

#endif
