#include "candevice.h"

#include <cassert>
#include <cstdio>
#include <cstring>

CCANDevice::CCANDevice()
    : m_bOpen(FALSE), m_hDevice(INVALID_HANDLE_VALUE), m_bOverlapped(FALSE)
{
    std::memset(&m_ReadOverlapped, 0, sizeof(m_ReadOverlapped));
    std::memset(&m_IOOverlapped, 0, sizeof(m_IOOverlapped));
}

CCANDevice::~CCANDevice()
{
    Close();
}

int CCANDevice::Open(int index)
{
    assert(!IsOpen());

    char name[32];
    std::snprintf(name, sizeof(name), "\\\\.\\CAN%d", index);
    HANDLE hDevice = CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                                 NULL);
    if (hDevice == INVALID_HANDLE_VALUE)
        return 0;

    m_bOverlapped = FALSE;
    Attach(hDevice);
    return 1;
}

void CCANDevice::Attach(HANDLE hDevice)
{
    assert(!IsOpen());
    assert(hDevice != INVALID_HANDLE_VALUE);

    m_bOpen = TRUE;
    m_hDevice = hDevice;
    if (m_bOverlapped) {
        m_ReadOverlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        assert(m_ReadOverlapped.hEvent != NULL);
        m_IOOverlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        assert(m_IOOverlapped.hEvent != NULL);
    }
}

HANDLE CCANDevice::Detach()
{
    if (!IsOpen())
        return INVALID_HANDLE_VALUE;

    assert(m_hDevice != INVALID_HANDLE_VALUE);
    HANDLE hDevice = m_hDevice;
    m_hDevice = INVALID_HANDLE_VALUE;
    if (m_bOverlapped) {
        if (m_ReadOverlapped.hEvent != NULL)
            CloseHandle(m_ReadOverlapped.hEvent);
        if (m_IOOverlapped.hEvent != NULL)
            CloseHandle(m_IOOverlapped.hEvent);
        m_ReadOverlapped.hEvent = NULL;
        m_IOOverlapped.hEvent = NULL;
    }
    m_bOpen = FALSE;
    return hDevice;
}

void CCANDevice::Close()
{
    HANDLE hDevice = Detach();
    if (hDevice != INVALID_HANDLE_VALUE)
        CloseHandle(hDevice);
}

bool CCANDevice::IsOpen() const
{
    return m_bOpen != FALSE;
}

void CCANDevice::SetOverlapped(BOOL bOverlapped)
{
    assert(!IsOpen());
    m_bOverlapped = bOverlapped;
}

int CCANDevice::IoControl(DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                          LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                          DWORD dwTimeout)
{
    DWORD dwScratch = 0;
    if (lpBytesReturned == NULL)
        lpBytesReturned = &dwScratch;

    if (!m_bOverlapped) {
        SetLastError(ERROR_SUCCESS);
        if (DeviceIoControl(m_hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                            nOutBufferSize, lpBytesReturned, NULL))
            return 1;
        // A failure that sets no error code is still a failure: without
        // overlapped mode there is no event to wait on.
        return 0;
    }

    if (m_IOOverlapped.hEvent == NULL)
        return 0;
    ResetEvent(m_IOOverlapped.hEvent);
    if (DeviceIoControl(m_hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                        nOutBufferSize, lpBytesReturned, &m_IOOverlapped))
        return 1;
    if (GetLastError() != ERROR_IO_PENDING)
        return 0;

    if (WaitForSingleObject(m_IOOverlapped.hEvent, dwTimeout) == WAIT_OBJECT_0)
        return GetOverlappedResult(m_hDevice, &m_IOOverlapped, lpBytesReturned, TRUE) ? 1 : 0;

    // A cancelled request may still write into the caller's buffers and
    // signal the event when it ends: wait for its end, so that neither
    // outlives this call to disturb the next request.
    CancelIo(m_hDevice);
    GetOverlappedResult(m_hDevice, &m_IOOverlapped, &dwScratch, TRUE);
    return 0;
}
