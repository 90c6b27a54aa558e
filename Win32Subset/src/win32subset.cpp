// Win32 kernel objects for non-Windows builds: device files resolved through
// the device table, events, critical sections, the per-thread last error.
#include <windows.h>
#include <win32subset/devicetable.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct KernelObject {
    enum class Kind { File, Event };
    explicit KernelObject(Kind k) : kind(k) {}
    virtual ~KernelObject() = default;
    const Kind kind;
};

struct FileObject : KernelObject {
    static constexpr Kind kKind = Kind::File;
    FileObject() : KernelObject(kKind) {}
    std::shared_ptr<win32subset::DeviceDriver> driver;
    void *context = nullptr;
    bool overlapped = false;
    ~FileObject() override { driver->close(context); }
};

struct EventObject : KernelObject {
    static constexpr Kind kKind = Kind::Event;
    EventObject() : KernelObject(kKind) {}
    std::mutex mutex;
    std::condition_variable changed;
    bool manualReset = true;
    bool signalled = false;
};

class ObjectTable
{
public:
    HANDLE add(std::shared_ptr<KernelObject> object)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_next += 4;
        m_objects.emplace(m_next, std::move(object));
        return reinterpret_cast<HANDLE>(m_next);
    }

    template <typename T> std::shared_ptr<T> get(HANDLE handle)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == m_objects.end() || it->second->kind != T::kKind)
            return nullptr;
        return std::static_pointer_cast<T>(it->second);
    }

    std::shared_ptr<KernelObject> remove(HANDLE handle)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == m_objects.end())
            return nullptr;
        auto object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

    size_t size()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_objects.size();
    }

private:
    std::mutex m_mutex;
    uintptr_t m_next = 0x100;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> m_objects;
};

ObjectTable &objects()
{
    static ObjectTable table;
    return table;
}

struct DeviceTable {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<win32subset::DeviceDriver>> drivers;
    std::function<void(DWORD)> sleepHandler;
};

DeviceTable &devices()
{
    static DeviceTable table;
    return table;
}

BOOL fail(DWORD error)
{
    t_lastError = error;
    return FALSE;
}

const char kDevicePrefix[] = "\\\\.\\";

} // namespace

namespace win32subset {

void installDevice(const std::string &name, std::shared_ptr<DeviceDriver> driver)
{
    std::lock_guard<std::mutex> lock(devices().mutex);
    devices().drivers[name] = std::move(driver);
}

void removeDevice(const std::string &name)
{
    std::lock_guard<std::mutex> lock(devices().mutex);
    devices().drivers.erase(name);
}

std::shared_ptr<DeviceDriver> installedDevice(const std::string &name)
{
    std::lock_guard<std::mutex> lock(devices().mutex);
    auto it = devices().drivers.find(name);
    return it == devices().drivers.end() ? nullptr : it->second;
}

void setSleepHandler(std::function<void(DWORD)> handler)
{
    std::lock_guard<std::mutex> lock(devices().mutex);
    devices().sleepHandler = std::move(handler);
}

size_t openHandleCount()
{
    return objects().size();
}

} // namespace win32subset

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (lpFileName == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    const size_t prefixLength = sizeof(kDevicePrefix) - 1;
    std::shared_ptr<win32subset::DeviceDriver> driver;
    if (std::strncmp(lpFileName, kDevicePrefix, prefixLength) == 0)
        driver = win32subset::installedDevice(lpFileName + prefixLength);
    if (!driver || dwCreationDisposition != OPEN_EXISTING) {
        t_lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    void *context = nullptr;
    const DWORD error = driver->open(&context);
    if (error != ERROR_SUCCESS) {
        t_lastError = error;
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<FileObject>();
    file->driver = std::move(driver);
    file->context = context;
    file->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    t_lastError = ERROR_SUCCESS;
    return objects().add(std::move(file));
}

// Overlapped requests complete inside the call; they are reported as pending
// so that callers go through their wait and GetOverlappedResult path.
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    auto file = objects().get<FileObject>(hDevice);
    if (!file)
        return fail(ERROR_INVALID_HANDLE);
    if ((nInBufferSize != 0 && lpInBuffer == nullptr) ||
        (nOutBufferSize != 0 && lpOutBuffer == nullptr))
        return fail(ERROR_INVALID_PARAMETER);
    if (file->overlapped ? lpOverlapped == nullptr : lpBytesReturned == nullptr)
        return fail(ERROR_INVALID_PARAMETER);

    win32subset::IoRequest request;
    request.code = dwIoControlCode;
    request.in = static_cast<const BYTE *>(lpInBuffer);
    request.inSize = nInBufferSize;
    request.out = static_cast<BYTE *>(lpOutBuffer);
    request.outSize = nOutBufferSize;
    DWORD returned = 0;
    DWORD status = file->driver->control(file->context, request, &returned);
    // The count is the driver's word, even one larger than the buffer (a
    // faulty driver); callers that check it must see it as reported.
    if (status != ERROR_SUCCESS)
        returned = 0;

    if (lpOverlapped != nullptr) {
        lpOverlapped->Internal = status;
        lpOverlapped->InternalHigh = returned;
        if (lpOverlapped->hEvent != nullptr)
            SetEvent(lpOverlapped->hEvent);
        if (file->overlapped) {
            if (lpBytesReturned != nullptr)
                *lpBytesReturned = 0;
            return fail(ERROR_IO_PENDING);
        }
    }
    if (lpBytesReturned != nullptr)
        *lpBytesReturned = returned;
    if (status == win32subset::kFailedWithoutErrorCode)
        return fail(ERROR_SUCCESS);
    if (status != ERROR_SUCCESS)
        return fail(status);
    return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    (void)bWait;
    if (!objects().get<FileObject>(hFile))
        return fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (lpOverlapped->Internal == win32subset::kFailedWithoutErrorCode)
        return fail(ERROR_SUCCESS);
    if (lpOverlapped->Internal != ERROR_SUCCESS)
        return fail(static_cast<DWORD>(lpOverlapped->Internal));
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile)
{
    if (!objects().get<FileObject>(hFile))
        return fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName)
{
    (void)lpEventAttributes;
    if (lpName != nullptr) {
        // Named events are not needed by the library and are not provided.
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    auto event = std::make_shared<EventObject>();
    event->manualReset = bManualReset != FALSE;
    event->signalled = bInitialState != FALSE;
    t_lastError = ERROR_SUCCESS;
    return objects().add(std::move(event));
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    auto event = objects().get<EventObject>(hEvent);
    if (!event)
        return fail(ERROR_INVALID_HANDLE);
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->signalled = true;
    }
    event->changed.notify_all();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    auto event = objects().get<EventObject>(hEvent);
    if (!event)
        return fail(ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = false;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    auto event = objects().get<EventObject>(hHandle);
    if (!event) {
        t_lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> lock(event->mutex);
    auto isSignalled = [&] { return event->signalled; };
    if (dwMilliseconds == INFINITE) {
        event->changed.wait(lock, isSignalled);
    } else if (!event->changed.wait_for(lock, std::chrono::milliseconds(dwMilliseconds),
                                        isSignalled)) {
        return WAIT_TIMEOUT;
    }
    if (!event->manualReset)
        event->signalled = false;
    return WAIT_OBJECT_0;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    auto object = objects().remove(hObject);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    object.reset();
    return TRUE;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    t_lastError = dwErrCode;
}

DWORD WINAPI GetLastError(void)
{
    return t_lastError;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    lpCriticalSection->Impl = new std::recursive_mutex;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    static_cast<std::recursive_mutex *>(lpCriticalSection->Impl)->lock();
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    static_cast<std::recursive_mutex *>(lpCriticalSection->Impl)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    delete static_cast<std::recursive_mutex *>(lpCriticalSection->Impl);
    lpCriticalSection->Impl = nullptr;
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    std::function<void(DWORD)> handler;
    {
        std::lock_guard<std::mutex> lock(devices().mutex);
        handler = devices().sleepHandler;
    }
    if (handler)
        handler(dwMilliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}
