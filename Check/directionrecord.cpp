#include "directionrecord.h"

#include "testgroup.h"

#include <algorithm>

DirectionRecord::DirectionRecord(unsigned int fromChannel, unsigned int bitRate, int roundNumber, double startsAt)
    : from(fromChannel), to(3 - fromChannel), kbps(bitRate), round(roundNumber),
      limitGroupsPerSecond(bitRate * 1000.0 / testgroup::kBitsOnWire), bitsPerGroup(testgroup::kBitsOnWire),
      m_startsAt(startsAt)
{
}

QString DirectionRecord::name() const
{
    return QStringLiteral("%1->%2").arg(from).arg(to);
}

quint64 DirectionRecord::lost() const
{
    return groupsReported > groupsClean + groupsWithErrors ? groupsReported - groupsClean - groupsWithErrors : 0;
}

double DirectionRecord::loadOnBus() const
{
    if (testFramesOnBus < 2 || lastMicros <= firstMicros || !kbps)
        return 0;
    const double bits = (testFramesOnBus - 1) * double(bitsPerGroup) / 5;
    return bits / (kbps * 1000.0) / ((lastMicros - firstMicros) / 1e6);
}

void DirectionRecord::groupSent()
{
    ++groupsReported;
    account.groupReported();
}

void DirectionRecord::groupReceived(bool clean)
{
    ++(clean ? groupsClean : groupsWithErrors);
}

void DirectionRecord::frameLeft(uint32_t number, bool surely)
{
    account.frameLeft(number, surely);
}

void DirectionRecord::blockRead(const CanRxRecord &record, uint64_t micros, bool inRun, bool steppedBack)
{
    if (record.bWaitedForRoom) {
        ++overrunBlocks;
        waitedAfterClear = waitedAfterClear || blocks == 0;
    }
    ++blocks;
    if (steppedBack)
        ++stampsBack;
    if (!inRun) {
        ++framesBeforeRun;
        return;
    }
    const bool testIdentifier = testgroup::isTestIdentifier(record.nStdId, record.nExtId);
    if (!testIdentifier) {
        const verdict::Identifier id =
            record.nExtId < 0 ? verdict::Identifier{uint32_t(record.nStdId), false}
                              : verdict::Identifier{uint32_t(record.nStdId) << 18 | uint32_t(record.nExtId), true};
        if (foreignIds.size() < kForeignIdsKept && std::find(foreignIds.begin(), foreignIds.end(), id) == foreignIds.end())
            foreignIds.push_back(id);
    }
    const uint32_t number = testgroup::decode(record.data);
    account.frameRead(testIdentifier, record.bRemote, record.nLength, number);
    if (testIdentifier) {
        if (!testFramesOnBus++)
            firstMicros = micros;
        lastMicros = micros;
    }
    // A test frame's bits are known: it ended no sooner than they take after
    // the frame before it (errors, other frames and idle bus only add).
    const int index = testIdentifier && !record.bRemote && record.nLength == int(testgroup::kLength)
                          ? testgroup::indexOf(number)
                          : -1;
    if (index >= 0 && m_previousTimed && !steppedBack && micros >= m_previousMicros && kbps) {
        const double bits = double(micros - m_previousMicros) * kbps / 1000.0;
        const double share = bits / testgroup::kFrameBitsOnWire[index];
        if (quickestFrame < 0 || share < quickestFrame)
            quickestFrame = share;
    }
    m_previousTimed = !steppedBack;
    m_previousMicros = micros;
}

bool DirectionRecord::trouble(const WorkerReport &report)
{
    troubles.append(report);
    return report.boardFault();
}

void DirectionRecord::loopEnded(bool transmitter, const WorkerReport &report)
{
    (transmitter ? transmitEnd : receiveEnd) = report;
}

void DirectionRecord::controllersSampled(const ControllerHealth readings[2])
{
    m_sampled[0] = readings[0];
    m_sampled[1] = readings[1];
}

void DirectionRecord::controllersRead(const ControllerHealth readings[2])
{
    m_read[0] = readings[0];
    m_read[1] = readings[1];
}

uint64_t DirectionRecord::activity() const
{
    return groupsReported + groupsClean + groupsWithErrors + account.testFrames() + account.framesNobodySent() +
           account.framesDamaged() + framesBeforeRun;
}

TrafficCounts DirectionRecord::counts() const
{
    TrafficCounts t;
    t.sent = groupsReported;
    // Until the direction ends, the groups known to be whole; missing frames
    // are known only then, when every frame sent has been read.
    t.whole = std::max(account.groupsWhole(), account.groupsWholeSoFar());
    t.missing = account.framesMissing();
    t.damaged = account.framesDamaged();
    t.nobodySent = account.framesNobodySent();
    t.overrunBlocks = overrunBlocks;
    return t;
}

IntervalPoint DirectionRecord::interval(double atSeconds, bool last)
{
    const TrafficCounts now = counts();
    IntervalPoint point;
    point.start = m_startsAt + m_intervalStart;
    point.seconds = std::max(0.0, atSeconds - m_intervalStart);
    point.direction = int(from);
    point.counts = now - m_atInterval;
    point.limitGroupsPerSecond = limitGroupsPerSecond;
    for (int i = 0; i < 2; ++i)
        point.controllers[i] = last && m_read[i].read ? m_read[i] : m_sampled[i];
    m_atInterval = now;
    m_intervalStart = atSeconds;
    ++m_intervals;
    return point;
}

void DirectionRecord::finish(double runSeconds, bool receiverEnded, bool interruptedBySignal)
{
    seconds = runSeconds;
    // A loop that ended on a failure, whenever (a withdrawal that failed
    // during the stop too).
    transmitterEndedEarly = transmitEnd.cause != WorkerReport::Stopped;
    receiverEndedEarly = receiverEnded && receiveEnd.cause != WorkerReport::Stopped;
    drained = account.framesOutstanding() == 0;
    interrupted = interruptedBySignal;
    account.finish();
}

QVector<QPair<QString, double>> DirectionRecord::figures() const
{
    QVector<QPair<QString, double>> list;
    const TrafficCounts c = counts();
    for (const TrafficCounts::Field &f : TrafficCounts::fields())
        list.append({QLatin1String(f.summary), double(c.*f.member)});
    list += {
        {QStringLiteral("clean"), double(groupsClean)},
        {QStringLiteral("withErrors"), double(groupsWithErrors)},
        {QStringLiteral("lost"), double(lost())},
        {QStringLiteral("testFrames"), double(account.testFrames())},
        {QStringLiteral("framesAbandoned"), double(account.framesAbandoned())},
        {QStringLiteral("framesBeforeRun"), double(framesBeforeRun)},
        {QStringLiteral("groupsPerSecond"), groupsPerSecond()},
        {QStringLiteral("limitGroupsPerSecond"), limitGroupsPerSecond},
        {QStringLiteral("busLoad"), load()},
        {QStringLiteral("busLoadWhileSending"), loadOnBus()},
    };
    return list;
}

namespace {

std::string text(const WorkerReport &report)
{
    std::string what = report.causeName();
    if (report.channel)
        what += " on channel " + std::to_string(report.channel);
    if (report.code)
        what += " (status " + std::to_string(report.code) + ")";
    return what;
}

verdict::WorkerEnd workerEnd(bool endedEarly, const WorkerReport &report)
{
    verdict::WorkerEnd end;
    end.endedEarly = endedEarly;
    end.what = text(report);
    end.cause = report.cause;
    end.channel = report.channel;
    return end;
}

} // namespace

verdict::Direction DirectionRecord::facts(const QString &caseName, bool minLoadGiven) const
{
    verdict::Direction d;
    d.from = from;
    d.name = (round > 1 ? QStringLiteral("%1 (round %2)").arg(name()).arg(round) : name()).toStdString();
    d.title = caseName.toStdString();
    d.groupsReported = groupsReported;
    d.groupsWhole = account.groupsWhole();
    d.framesMissing = account.framesMissing();
    d.framesDamaged = account.framesDamaged();
    d.framesNobodySent = account.framesNobodySent();
    d.foreignIds = foreignIds;
    d.stalled = stalled;
    d.stallReason = stallReason.toStdString();
    d.transmitter = workerEnd(transmitterEndedEarly, transmitEnd);
    d.receiver = workerEnd(receiverEndedEarly, receiveEnd);
    for (const WorkerReport &trouble : troubles)
        d.troubles.push_back(workerEnd(true, trouble));
    d.overrunBlocks = overrunBlocks;
    d.waitedAfterClear = waitedAfterClear;
    d.stampsBack = stampsBack;
    d.kbps = kbps;
    d.load = loadOnBus();
    d.minLoad = minLoad;
    d.minLoadGiven = minLoadGiven;
    d.sendingMicros = lastMicros > firstMicros ? lastMicros - firstMicros : 0;
    d.quickestFrame = quickestFrame;
    d.interrupted = interrupted;
    d.drained = drained;
    d.cutShort = cutShort;
    return d;
}
