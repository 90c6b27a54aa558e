// A scripted stand-in for the board driver: records every request and answers
// either from the test's script or, where the script says nothing, like an
// idle board whose SPI bridge reads and writes two 128-byte register files.
#ifndef TESTS_SCRIPTEDDRIVER_H
#define TESTS_SCRIPTEDDRIVER_H

#include <windows.h>
#include <win32subset/devicetable.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct RecordedRequest {
    DWORD code = 0;
    std::vector<BYTE> in;
    DWORD outSize = 0;

    uint32_t word(size_t index) const;
};

struct ScriptedReply {
    DWORD error = ERROR_SUCCESS;
    std::vector<BYTE> out;
    // Bytes reported as returned; out.size() when not set.
    std::optional<DWORD> returned;
};

// One controller register written through the bridge: a one-byte WriteMem to
// a channel's data buffer followed by a WRITE command word.
struct ControllerWrite {
    unsigned channel;
    unsigned address;
    unsigned value;
    bool operator==(const ControllerWrite &other) const
    {
        return channel == other.channel && address == other.address && value == other.value;
    }
};

class ScriptedDriver : public win32subset::DeviceDriver
{
public:
    using Script = std::function<std::optional<ScriptedReply>(size_t index, const RecordedRequest &)>;

    DWORD open(void **context) override;
    void close(void *context) override;
    DWORD control(void *context, const win32subset::IoRequest &request, DWORD *returned) override;

    void setScript(Script script);
    std::vector<RecordedRequest> requests() const;
    size_t requestCount() const;
    size_t countOf(DWORD code) const;
    void clearRequests();
    int openHandles() const;
    int opens() const;

    // The controller register writes found in the recorded requests, in order.
    std::vector<ControllerWrite> controllerWrites() const;

    uint8_t reg(unsigned channel, unsigned address) const;
    void setReg(unsigned channel, unsigned address, uint8_t value);
    uint32_t boardReg(uint32_t address) const;
    void setBoardReg(uint32_t address, uint32_t value);

    // Failure helpers for scripts.
    static ScriptedReply failure(DWORD error = ERROR_GEN_FAILURE);

private:
    ScriptedReply defaultReply(const RecordedRequest &request);

    mutable std::mutex m_mutex;
    Script m_script;
    std::vector<RecordedRequest> m_requests;
    uint8_t m_regs[2][128] = {};
    uint8_t m_memory[0x40] = {};
    uint32_t m_dmaControl = 0;
    int m_openHandles = 0;
    int m_opens = 0;
};

// Installs a ScriptedDriver under a device name for the lifetime of the object.
class ScopedScriptedDevice
{
public:
    explicit ScopedScriptedDevice(const std::string &name = "CAN0");
    ~ScopedScriptedDevice();
    ScriptedDriver &driver() { return *m_driver; }

private:
    std::string m_name;
    std::shared_ptr<ScriptedDriver> m_driver;
};

#endif
