// The device table behind CreateFileA("\\.\NAME"): a driver object installed
// under NAME answers open, close and device control requests for every
// handle opened on it. Not part of Win32; used by tests and the emulator.
#ifndef WIN32SUBSET_DEVICETABLE_H
#define WIN32SUBSET_DEVICETABLE_H

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace win32subset {

// Buffered device control request as a driver sees it: the input bytes, and
// an output buffer of outSize bytes of which the driver fills *returned.
struct IoRequest {
    DWORD code = 0;
    const BYTE *in = nullptr;
    DWORD inSize = 0;
    BYTE *out = nullptr;
    DWORD outSize = 0;
};

// A driver may fail a request without a Win32 error code: DeviceIoControl
// then returns FALSE and leaves the last error at 0.
const DWORD kFailedWithoutErrorCode = 0xFFFFFFFE;

class DeviceDriver
{
public:
    virtual ~DeviceDriver() = default;

    // Called for every CreateFileA of the device; returns ERROR_SUCCESS or a
    // Win32 error. *context is handed back with each request on that handle.
    virtual DWORD open(void **context) = 0;
    virtual void close(void *context) = 0;
    // Returns ERROR_SUCCESS or a Win32 error; *returned is the byte count
    // written into the output buffer.
    virtual DWORD control(void *context, const IoRequest &request, DWORD *returned) = 0;
};

// NAME is the part after "\\.\". Installing under a taken name replaces the
// driver for later opens; handles already open keep the driver they opened.
void installDevice(const std::string &name, std::shared_ptr<DeviceDriver> driver);
void removeDevice(const std::string &name);
std::shared_ptr<DeviceDriver> installedDevice(const std::string &name);

// Sleep() calls this handler when one is set (a test's virtual clock);
// otherwise it sleeps in real time. Pass an empty function to restore.
void setSleepHandler(std::function<void(DWORD)> handler);

// Number of open kernel object handles (files and events), for leak checks.
size_t openHandleCount();

} // namespace win32subset

#endif
