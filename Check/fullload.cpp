#include "fullload.h"

#include "testgroup.h"

#include <QDebug>
#include <QThread>

#include <algorithm>

namespace {

// READ STATUS: bit 2 + 2n is TXBn's TXREQ.
unsigned char txreqBit(unsigned int buffer)
{
    return static_cast<unsigned char>(0x04 << (2 * buffer));
}
using transmitstop::kGraceAfterStopMs;
using transmitstop::kPolls;

// Frames must leave in the order they are loaded, but the controller sends
// the pending buffer of highest priority first, and of equal priorities the
// highest-numbered buffer. A frame's rank is 3 × priority + buffer (0 to 11),
// and each frame is loaded with a rank below every frame still pending: with
// three buffers refilled oldest first that is one step down per frame. After
// rank 0 the buffers drain before the ranks begin again at the top.
const int kRanks = 12;
const int kTopPriority = 3;

int rankOf(unsigned int buffer, int priority)
{
    return 3 * priority + int(buffer);
}

} // namespace

CFullLoadTh::CFullLoadTh(int board) : QObject(nullptr)
{
    if (!m_Device.Open(board))
        qDebug() << "Full load: can't open device";
}

CFullLoadTh::~CFullLoadTh()
{
    m_Device.Close();
}

void CFullLoadTh::StopWork()
{
    workerstop::request(m_bStop, *this);
}

// One SPI WRITE of consecutive registers.
bool CFullLoadTh::writeRegisters(unsigned int address, const unsigned char *bytes, unsigned int count)
{
    const int code = m_Device.WriteCanRegs(m_channel, address, count, bytes,
                                           m_bridgeIdle ? 0u : unsigned(CAN_BRIDGE_WAIT_BEFORE));
    m_bridgeIdle = false;
    m_loop.progressed();
    if (code != CAN_OK)
        m_loop.requestFailed(m_channel, code);
    return code == CAN_OK;
}

bool CFullLoadTh::readStatus(unsigned char *status)
{
    const int code = m_Device.ReadCanStatus(m_channel, status, !m_bridgeIdle);
    m_bridgeIdle = code == CAN_OK;
    m_loop.progressed();
    if (code != CAN_OK)
        m_loop.requestFailed(m_channel, code);
    return code == CAN_OK;
}

// A frame that fails on the bus counts 8 on TEC and is retried; every frame
// that goes out takes 1 off. Read before more than seven frames can have
// left since the last reading, any failed attempt since shows as a higher
// count. In a steady stream that is every other frame, while the buffers
// hold two frames' time for the bus and the reading costs it nothing.
bool CFullLoadTh::transmitErrorsDue(size_t pending) const
{
    // Frames that may have left by the reading: those seen to leave since
    // the last one, and those still pending. Checked after every status
    // read, with at most three loaded in between: never more than seven.
    return m_finished - m_finishedAtReading + pending >= 5;
}

bool CFullLoadTh::transmitErrorsRose()
{
    m_finishedAtReading = m_finished;
    unsigned char tec = 0;
    const int code = m_Device.ReadCanReg(m_channel, CAN_REG_TEC, 1, &tec);
    m_bridgeIdle = code == CAN_OK;
    m_loop.progressed();
    if (code != CAN_OK) {
        m_loop.requestFailed(m_channel, code);
        qDebug() << "Full load: request failed";
        return true;
    }
    const int before = m_tec;
    m_tec = tec;
    if (before < 0 || tec <= before)
        return false;
    qDebug() << "Full load: a frame failed on the bus; TEC" << before << "to" << int(tec);
    m_loop.failed(WorkerReport::FrameNotSent, m_channel, 0);
    return true;
}

// The frame's identifier, length and data in one transfer; with a priority,
// its control register too (the request not yet set), so that an RTS alone
// sends it.
bool CFullLoadTh::writeFrame(unsigned int buffer, uint64_t sequence, int priority)
{
    using namespace testgroup;
    unsigned char frame[10]; // CTRL, SIDH, SIDL, EID8, EID0, DLC, D0 to D3
    frame[0] = static_cast<unsigned char>(priority < 0 ? 0 : priority);
    CanIdentifierRegisters(kStdId, kExtId, frame + 1);
    frame[5] = kLength;
    encode(kNumbers[sequence % 5], frame + 6); // the fifth is the sum of the four
    m_prepared[buffer] = -1;
    const bool withControl = priority >= 0;
    const unsigned int first = withControl ? 0u : unsigned(CAN_TXB_SIDH);
    if (!writeRegisters(CAN_REG_TXB0CTRL + 0x10 * buffer + first, frame + first, unsigned(sizeof frame) - first))
        return false;
    m_prepared[buffer] = int64_t(sequence);
    m_preparedForRts[buffer] = withControl;
    return true;
}

// After the buffers drained, the frames prepared in them are requested with
// one RTS, the first of them in the least time the bus can wait: in order,
// up to the group limit; not during a stop, which loads whole groups only.
bool CFullLoadTh::requestPrepared(std::deque<Pending> &pending)
{
    if (!pending.empty() || m_loop.stopRequested())
        return false;
    unsigned int mask = 0;
    unsigned int count = 0;
    for (int buffer = 2; buffer >= 0; --buffer, ++count) {
        const uint64_t sequence = m_loaded + count;
        if (m_prepared[buffer] != int64_t(sequence) || !m_preparedForRts[buffer] ||
            (m_groupLimit && sequence >= 5 * m_groupLimit))
            break;
        mask |= 1u << buffer;
    }
    if (!mask)
        return false;
    const int code = m_Device.RequestToSend(m_channel, mask, m_bridgeIdle ? 0u : unsigned(CAN_BRIDGE_WAIT_BEFORE));
    m_bridgeIdle = false;
    m_loop.progressed();
    if (code != CAN_OK) {
        m_loop.requestFailed(m_channel, code);
        qDebug() << "Full load: request failed";
        return true;
    }
    for (int buffer = 2; buffer >= 0; --buffer) {
        if (!(mask & (1u << buffer)))
            continue;
        m_loop.loaded(m_channel, unsigned(buffer), testgroup::kNumbers[m_loaded % 5]);
        pending.push_back({unsigned(buffer), rankOf(unsigned(buffer), kTopPriority), m_loaded});
        m_prepared[buffer] = -1;
        ++m_loaded;
    }
    return true;
}

// The frame's registers unless already written, then its request.
bool CFullLoadTh::load(unsigned int buffer, int priority, uint64_t sequence)
{
    const unsigned char request = static_cast<unsigned char>(CAN_TXB_TXREQ | priority);
    if (m_prepared[buffer] != int64_t(sequence) && !writeFrame(buffer, sequence))
        return false;
    m_prepared[buffer] = -1;
    if (!writeRegisters(CAN_REG_TXB0CTRL + 0x10 * buffer, &request, 1))
        return false;
    m_loop.loaded(m_channel, buffer, testgroup::kNumbers[sequence % 5]);
    return true;
}

// The pending frames whose buffers are free again have left, oldest first;
// a younger one gone while an older one waits has overtaken it.
bool CFullLoadTh::takeFinished(std::deque<Pending> &pending, unsigned char status)
{
    while (!pending.empty() && !(status & txreqBit(pending.front().buffer))) {
        m_loop.left(m_channel, pending.front().buffer, true);
        pending.pop_front();
        if (++m_finished % 5 == 0)
            emit GroupSent();
    }
    for (const Pending &frame : pending) {
        if (!(status & txreqBit(frame.buffer))) {
            qDebug() << "Full load: a frame left before one loaded earlier";
            m_loop.failed(WorkerReport::FrameOrder, m_channel, 0);
            return false;
        }
    }
    return true;
}

// Refills the free buffers, highest-numbered first, each with a rank below
// the youngest frame still pending; false when a request failed.
bool CFullLoadTh::refill(std::deque<Pending> &pending)
{
    for (int buffer = 2; buffer >= 0 && pending.size() < 3; --buffer) {
        bool busy = false;
        for (const Pending &frame : pending)
            busy = busy || frame.buffer == unsigned(buffer);
        if (busy)
            continue;
        const int below = pending.empty() ? kRanks : pending.back().rank;
        if (below - 1 - buffer < 0) {
            // The buffers drain first; then they are loaded 2, 1, 0 from
            // the top rank. The free ones take their frame's registers
            // now, so that only its request is left to write then.
            const uint64_t sequence = m_loaded + uint64_t(2 - buffer);
            const bool wanted = !m_loop.stopRequested() && (!m_groupLimit || sequence < 5 * m_groupLimit);
            if (wanted && m_prepared[buffer] != int64_t(sequence) &&
                !writeFrame(unsigned(buffer), sequence, kTopPriority)) {
                qDebug() << "Full load: request failed";
                return false;
            }
            continue;
        }
        const int priority = std::min(3, (below - 1 - buffer) / 3);
        if (!load(unsigned(buffer), priority, m_loaded)) {
            qDebug() << "Full load: request failed";
            return false;
        }
        pending.push_back({unsigned(buffer), rankOf(unsigned(buffer), priority), m_loaded});
        ++m_loaded;
        if ((m_loop.stopRequested() && m_loaded % 5 == 0) || (m_groupLimit && m_loaded >= 5 * m_groupLimit))
            break;
    }
    return true;
}

void CFullLoadTh::work()
{
    m_bStop = false;
    m_loop.begin();
    m_tec = -1;
    m_bridgeIdle = false;
    m_loaded = 0;
    m_finished = 0;
    m_finishedAtReading = 0;
    for (int64_t &prepared : m_prepared)
        prepared = -1;
    if (!m_Device.IsOpen()) {
        qDebug() << "Full load: device is not open";
        m_loop.failed(WorkerReport::DeviceNotOpen, m_channel, 0);
        m_loop.finish();
        return;
    }
    if (transmitErrorsRose()) {
        m_loop.finish();
        return;
    }
    m_loop.loading();
    std::deque<Pending> pending;
    QElapsedTimer sinceStop;
    unsigned int pollsWithoutFrame = 0;
    for (;;) {
        if (!pending.empty()) {
            unsigned char status = 0;
            if (!readStatus(&status)) {
                qDebug() << "Full load: request failed";
                break;
            }
            const size_t before = pending.size();
            if (!takeFinished(pending, status))
                break;
            // Frames that do not leave may be failing on the bus again and
            // again: a look at the error counter now and then.
            pollsWithoutFrame = pending.size() < before ? 0 : pollsWithoutFrame + 1;
            if (pollsWithoutFrame % 64 == 63 && transmitErrorsRose())
                break;
            if (transmitErrorsDue(pending.size()) && transmitErrorsRose())
                break;
        }
        if (m_loop.aborted())
            break;
        // Reads that wait for the bridge before and after: the next write
        // of ours waits too, to be sure.
        if (m_loop.controllersIfAsked())
            m_bridgeIdle = false;
        // A stop lets the group under way be loaded whole and leave, for at
        // most the grace: frames that do not leave are then withdrawn.
        if (m_loop.stopRequested()) {
            if (!sinceStop.isValid())
                sinceStop.start();
            else if (sinceStop.elapsed() >= kGraceAfterStopMs)
                break;
        }
        const bool allLoaded = m_groupLimit && m_loaded >= 5 * m_groupLimit;
        if ((m_loop.stopRequested() && m_loaded % 5 == 0) || allLoaded) {
            if (!pending.empty())
                continue;
            // The last frames' attempts too.
            if (m_finished > m_finishedAtReading)
                transmitErrorsRose();
            break;
        }
        if (requestPrepared(pending)) {
            if (m_loop.hasFailed())
                break;
            continue;
        }
        if (!refill(pending) || m_loop.hasFailed())
            break;
    }
    m_loop.withdrawPending();
    m_loop.finish();
}
