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

int rankOf(unsigned int buffer, int priority)
{
    return 3 * priority + int(buffer);
}

} // namespace

CFullLoadTh::CFullLoadTh() : QObject(nullptr)
{
    if (!m_Device.Open(0))
        qDebug() << "Full load: can't open device";
}

CFullLoadTh::~CFullLoadTh()
{
    m_Device.Close();
}

void CFullLoadTh::StopWork()
{
    m_bStop = true;
    QThread *worker = thread();
    if (worker && worker != QThread::currentThread())
        worker->requestInterruption();
}

void CFullLoadTh::AbortWork()
{
    m_bAbort = true;
    StopWork();
}

bool CFullLoadTh::stopRequested() const
{
    return m_bStop || QThread::currentThread()->isInterruptionRequested();
}

// The first failure is why the loop ends.
void CFullLoadTh::failed(WorkerReport::Cause cause, int code)
{
    if (m_End.cause == WorkerReport::Stopped)
        m_End = WorkerReport{cause, m_channel, code};
}

void CFullLoadTh::frameDone(uint64_t sequence, bool surely)
{
    if (m_pObserver)
        m_pObserver->frameDone(m_channel, testgroup::kNumbers[sequence % 5], surely);
}

// One SPI WRITE of consecutive registers.
bool CFullLoadTh::writeRegisters(unsigned int address, const unsigned char *bytes, unsigned int count)
{
    const int code = m_Device.WriteCanRegs(m_channel, address, count, bytes);
    m_bProgress.store(true, std::memory_order_relaxed);
    if (code != 1)
        failed(causeOfFailure(m_Device, m_channel), code);
    return code == 1;
}

bool CFullLoadTh::readStatus(unsigned char *status)
{
    const int code = m_Device.ReadCanStatus(m_channel, status);
    m_bProgress.store(true, std::memory_order_relaxed);
    if (code != 1)
        failed(causeOfFailure(m_Device, m_channel), code);
    return code == 1;
}

// A frame that fails on the bus counts 8 on TEC and is retried; every frame
// that goes out takes 1 off. Read once a group (five frames), any failure
// since the last reading shows as a higher count.
bool CFullLoadTh::transmitErrorsRose()
{
    unsigned char tec = 0;
    const int code = m_Device.ReadCanReg(m_channel, CAN_REG_TEC, 1, &tec);
    m_bProgress.store(true, std::memory_order_relaxed);
    if (code != 1) {
        failed(causeOfFailure(m_Device, m_channel), code);
        qDebug() << "Full load: request failed";
        return true;
    }
    const int before = m_tec;
    m_tec = tec;
    if (before < 0 || tec <= before)
        return false;
    qDebug() << "Full load: a frame failed on the bus; TEC" << before << "to" << int(tec);
    failed(WorkerReport::FrameNotSent, 0);
    return true;
}

// The frame's identifier, length and data in one transfer.
bool CFullLoadTh::writeFrame(unsigned int buffer, uint64_t sequence)
{
    using namespace testgroup;
    const uint32_t number = kNumbers[sequence % 5]; // the fifth is the sum of the four
    const unsigned char frame[9] = {
        static_cast<unsigned char>(kStdId >> 3),
        static_cast<unsigned char>(((kStdId & 7) << 5) | CAN_SIDL_EXIDE | ((kExtId >> 16) & 3)),
        static_cast<unsigned char>(kExtId >> 8),
        static_cast<unsigned char>(kExtId),
        4,
        static_cast<unsigned char>(number),
        static_cast<unsigned char>(number >> 8),
        static_cast<unsigned char>(number >> 16),
        static_cast<unsigned char>(number >> 24),
    };
    m_prepared[buffer] = -1;
    if (!writeRegisters(CAN_REG_TXB0CTRL + 0x10 * buffer + CAN_TXB_SIDH, frame, sizeof frame))
        return false;
    m_prepared[buffer] = int64_t(sequence);
    return true;
}

// The frame's registers unless already written, then its request.
bool CFullLoadTh::load(unsigned int buffer, int priority, uint64_t sequence)
{
    const unsigned char request = static_cast<unsigned char>(CAN_TXB_TXREQ | priority);
    if (m_prepared[buffer] != int64_t(sequence) && !writeFrame(buffer, sequence))
        return false;
    m_prepared[buffer] = -1;
    return writeRegisters(CAN_REG_TXB0CTRL + 0x10 * buffer, &request, 1);
}

// The pending frames whose buffers are free again have left, oldest first;
// a younger one gone while an older one waits has overtaken it.
bool CFullLoadTh::takeFinished(std::deque<Pending> &pending, unsigned char status)
{
    while (!pending.empty() && !(status & txreqBit(pending.front().buffer))) {
        frameDone(pending.front().sequence, true);
        pending.pop_front();
        if (++m_finished % 5 == 0)
            emit GroupSent();
    }
    for (const Pending &frame : pending) {
        if (!(status & txreqBit(frame.buffer))) {
            qDebug() << "Full load: a frame left before one loaded earlier";
            failed(WorkerReport::FrameOrder, 0);
            return false;
        }
    }
    return true;
}

// Takes back every frame still pending. After an abort it does not wait for
// a frame already on the wire, which ends on its own within its frame time.
void CFullLoadTh::withdraw(std::deque<Pending> &pending)
{
    const unsigned char none = 0;
    for (const Pending &frame : pending) {
        if (!writeRegisters(CAN_REG_TXB0CTRL + 0x10 * frame.buffer, &none, 1))
            qDebug() << "Full load: can't withdraw a frame";
        frameDone(frame.sequence, false);
    }
    if (m_bAbort)
        return;
    unsigned char status = 0;
    for (unsigned int poll = 0; poll < kPolls && !pending.empty(); ++poll) {
        if (!readStatus(&status))
            break;
        while (!pending.empty() && !(status & txreqBit(pending.front().buffer)))
            pending.pop_front();
    }
}

void CFullLoadTh::work()
{
    m_bStop = false;
    m_bAbort = false;
    m_End = WorkerReport();
    m_tec = -1;
    m_loaded = 0;
    m_finished = 0;
    for (int64_t &prepared : m_prepared)
        prepared = -1;
    if (!m_Device.IsOpen()) {
        qDebug() << "Full load: device is not open";
        m_End = WorkerReport{WorkerReport::DeviceNotOpen, m_channel, 0};
        if (m_pObserver)
            m_pObserver->loopEnded(m_End);
        return;
    }
    if (transmitErrorsRose()) {
        if (m_pObserver)
            m_pObserver->loopEnded(m_End);
        return;
    }
    if (m_pObserver)
        m_pObserver->loading();
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
        }
        if (m_bAbort)
            break;
        // A stop lets the group under way be loaded whole and leave, for at
        // most the grace: frames that do not leave are then withdrawn.
        if (stopRequested()) {
            if (!sinceStop.isValid())
                sinceStop.start();
            else if (sinceStop.elapsed() >= kGraceAfterStopMs)
                break;
        }
        const bool allLoaded = m_groupLimit && m_loaded >= 5 * m_groupLimit;
        if ((stopRequested() && m_loaded % 5 == 0) || allLoaded) {
            if (pending.empty())
                break;
            continue;
        }
        // Refill the free buffers, highest-numbered first, each with a rank
        // below the youngest frame still pending.
        bool loadFailed = false;
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
                const bool wanted = !stopRequested() && (!m_groupLimit || sequence < 5 * m_groupLimit);
                if (wanted && m_prepared[buffer] != int64_t(sequence) && !writeFrame(unsigned(buffer), sequence)) {
                    qDebug() << "Full load: request failed";
                    loadFailed = true;
                    break;
                }
                continue;
            }
            const int priority = std::min(3, (below - 1 - buffer) / 3);
            if (!load(unsigned(buffer), priority, m_loaded)) {
                qDebug() << "Full load: request failed";
                loadFailed = true;
                break;
            }
            pending.push_back({unsigned(buffer), rankOf(unsigned(buffer), priority), m_loaded});
            ++m_loaded;
            if (m_loaded % 5 == 0 && transmitErrorsRose())
                break;
            if ((stopRequested() && m_loaded % 5 == 0) || (m_groupLimit && m_loaded >= 5 * m_groupLimit))
                break;
        }
        if (loadFailed || m_End.cause != WorkerReport::Stopped)
            break;
    }
    withdraw(pending);
    if (m_pObserver)
        m_pObserver->loopEnded(m_End);
}
