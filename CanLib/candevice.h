#ifndef CANDEVICE_H
#define CANDEVICE_H

#include <windows.h>

// One handle to the board driver and the transport of every driver request.
class CCANDevice
{
public:
    CCANDevice();
    virtual ~CCANDevice();

    int Open(int index);
    void Attach(HANDLE hDevice);
    HANDLE Detach();
    void Close();
    bool IsOpen() const;

    // Overlapped mode applies to the next Attach; the handle must have been
    // opened with FILE_FLAG_OVERLAPPED. Open always attaches synchronously.
    void SetOverlapped(BOOL bOverlapped);

    int IoControl(DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                  LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                  DWORD dwTimeout);

protected:
    BOOL m_bOpen;
    HANDLE m_hDevice;
    BOOL m_bOverlapped;
    OVERLAPPED m_ReadOverlapped;
    OVERLAPPED m_IOOverlapped;

private:
    CCANDevice(const CCANDevice &) = delete;
    CCANDevice &operator=(const CCANDevice &) = delete;
};

#endif
