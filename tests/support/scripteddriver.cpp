#include "scripteddriver.h"

#include "boardinterface.h"

#include <cstring>

namespace {

std::vector<BYTE> bytesOf(uint32_t value)
{
    return {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)};
}

} // namespace

uint32_t RecordedRequest::word(size_t index) const
{
    const size_t at = index * 4;
    if (at + 4 > in.size())
        return 0xDEADBEEF;
    return uint32_t(in[at]) | uint32_t(in[at + 1]) << 8 | uint32_t(in[at + 2]) << 16 |
           uint32_t(in[at + 3]) << 24;
}

DWORD ScriptedDriver::open(void **context)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_openHandles;
    ++m_opens;
    *context = this;
    return ERROR_SUCCESS;
}

void ScriptedDriver::close(void *)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_openHandles;
}

DWORD ScriptedDriver::control(void *, const win32subset::IoRequest &request, DWORD *returned)
{
    RecordedRequest recorded;
    recorded.code = request.code;
    recorded.in.assign(request.in, request.in + request.inSize);
    recorded.outSize = request.outSize;

    Script script;
    size_t index = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        index = m_requests.size();
        m_requests.push_back(recorded);
        script = m_script;
    }
    std::optional<ScriptedReply> reply;
    if (script)
        reply = script(index, recorded);
    if (!reply) {
        std::lock_guard<std::mutex> lock(m_mutex);
        reply = defaultReply(recorded);
    }
    const size_t copied = std::min<size_t>(reply->out.size(), request.outSize);
    if (copied != 0)
        std::memcpy(request.out, reply->out.data(), copied);
    *returned = reply->returned ? *reply->returned : DWORD(copied);
    return reply->error;
}

ScriptedReply ScriptedDriver::defaultReply(const RecordedRequest &request)
{
    ScriptedReply reply;
    switch (request.code) {
    case IOCTL_CAN_READ_REG:
        if (request.in.size() != 4 || request.outSize != 4)
            return failure(ERROR_INVALID_PARAMETER);
        reply.out = bytesOf(request.word(0) == 0x1000 ? m_dmaControl : 0);
        return reply;
    case IOCTL_CAN_WRITE_REG: {
        if (request.in.size() != 8)
            return failure(ERROR_INVALID_PARAMETER);
        const uint32_t address = request.word(0);
        const uint32_t value = request.word(1);
        if (address == 0x1000) {
            m_dmaControl = value;
        } else if (address == 0x1044 || address == 0x1054) {
            const unsigned channel = address == 0x1044 ? 0 : 1;
            uint8_t *data = m_memory + channel * 16;
            const unsigned reg = value >> 24;
            const unsigned count = ((value >> 16) & 0xFF) + 1;
            if ((value & 0xFF) == 0x03) {
                for (unsigned i = 0; i < count && i < 16; ++i)
                    data[i] = m_regs[channel][(reg + i) & 0x7F];
            } else if ((value & 0xFF) == 0x02) {
                for (unsigned i = 0; i < count && i < 16; ++i)
                    m_regs[channel][(reg + i) & 0x7F] = data[i];
            }
        }
        return reply;
    }
    case IOCTL_CAN_READ_MEM: {
        const uint32_t address = request.word(1);
        const uint32_t length = request.word(2);
        if (request.in.size() != 12 || request.outSize != length || address < 0x2000 ||
            address + length > 0x2020)
            return failure(ERROR_INVALID_PARAMETER);
        reply.out.assign(m_memory + (address - 0x2000), m_memory + (address - 0x2000) + length);
        return reply;
    }
    case IOCTL_CAN_WRITE_MEM: {
        const uint32_t address = request.word(1);
        const uint32_t length = request.word(2);
        if (request.in.size() != 12 + length || address < 0x2000 || address + length > 0x2020)
            return failure(ERROR_INVALID_PARAMETER);
        std::memcpy(m_memory + (address - 0x2000), request.in.data() + 12, length);
        return reply;
    }
    case IOCTL_CAN_CLEAR_DMA:
    case IOCTL_CAN_SET_CANONICAL_DMA:
    case IOCTL_CAN_READ_DMA_BLOCKS:
        return reply;
    default:
        return failure(ERROR_INVALID_FUNCTION);
    }
}

void ScriptedDriver::setScript(Script script)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script = std::move(script);
}

std::vector<RecordedRequest> ScriptedDriver::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

size_t ScriptedDriver::requestCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}

size_t ScriptedDriver::countOf(DWORD code) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t count = 0;
    for (const auto &request : m_requests)
        count += request.code == code;
    return count;
}

void ScriptedDriver::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

int ScriptedDriver::openHandles() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openHandles;
}

int ScriptedDriver::opens() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opens;
}

std::vector<ControllerWrite> ScriptedDriver::controllerWrites() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<ControllerWrite> writes;
    int pendingValue[2] = {-1, -1};
    for (const auto &request : m_requests) {
        if (request.code == IOCTL_CAN_WRITE_MEM && request.in.size() == 13) {
            const uint32_t address = request.word(1);
            if (address == 0x2000 || address == 0x2010)
                pendingValue[address == 0x2010] = request.in[12];
        } else if (request.code == IOCTL_CAN_WRITE_REG) {
            const uint32_t address = request.word(0);
            const uint32_t command = request.word(1);
            if ((address == 0x1044 || address == 0x1054) && (command & 0xFF) == 0x02) {
                const unsigned channel = address == 0x1054 ? 2 : 1;
                writes.push_back({channel, command >> 24, unsigned(pendingValue[channel - 1])});
            }
        }
    }
    return writes;
}

uint8_t ScriptedDriver::reg(unsigned channel, unsigned address) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_regs[channel - 1][address & 0x7F];
}

void ScriptedDriver::setReg(unsigned channel, unsigned address, uint8_t value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_regs[channel - 1][address & 0x7F] = value;
}

uint32_t ScriptedDriver::boardReg(uint32_t address) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return address == 0x1000 ? m_dmaControl : 0;
}

void ScriptedDriver::setBoardReg(uint32_t address, uint32_t value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (address == 0x1000)
        m_dmaControl = value;
}

ScriptedReply ScriptedDriver::failure(DWORD error)
{
    ScriptedReply reply;
    reply.error = error;
    return reply;
}

ScopedScriptedDevice::ScopedScriptedDevice(const std::string &name)
    : m_name(name), m_driver(std::make_shared<ScriptedDriver>())
{
    win32subset::installDevice(m_name, m_driver);
}

ScopedScriptedDevice::~ScopedScriptedDevice()
{
    win32subset::removeDevice(m_name);
}
