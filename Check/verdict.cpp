#include "verdict.h"

#include <cstdio>

namespace verdict {

namespace {

std::string join(const std::vector<std::string> &parts, const char *separator)
{
    std::string joined;
    for (const std::string &part : parts) {
        if (!joined.empty())
            joined += separator;
        joined += part;
    }
    return joined;
}

std::string number(uint64_t value)
{
    return std::to_string(value);
}

std::string percent(double share)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", 100.0 * share);
    return text;
}

void judgeWorker(const std::string &prefix, const WorkerEnd &end, std::vector<std::string> &failures,
                 std::vector<std::string> &notCarried)
{
    if (!end.ended)
        return;
    (end.boardFault ? failures : notCarried).push_back(prefix + end.what);
}

} // namespace

Verdict decide(const Run &run)
{
    Verdict verdict;
    auto &failures = verdict.failures;
    auto &notCarried = verdict.notCarried;
    if (run.setUpFailed) {
        verdict.status = Usage;
        verdict.line = "ERROR: " + run.setUpReason;
        return verdict;
    }
    for (const Direction &d : run.directions) {
        const std::string name = d.name + ": ";
        const size_t failuresBefore = failures.size();
        judgeWorker(name + "the transmit loop ended before it was stopped: ", d.transmitter, failures, notCarried);
        judgeWorker(name + "the receive loop ended before it was stopped: ", d.receiver, failures, notCarried);
        for (const WorkerEnd &trouble : d.troubles)
            (trouble.boardFault ? failures : notCarried).push_back(name + trouble.what);
        if (d.stalled)
            failures.push_back(name + d.stallReason);
        if (d.overrunBlocks)
            notCarried.push_back(name + "the host fell behind the board: " + number(d.overrunBlocks) +
                                 " DMA blocks waited for room in a full queue, so frames may have been "
                                 "lost before they reached the host");
        // A host that lost frames, or a worker the host failed, leaves the
        // traffic's account open: what is missing or unmatched then says
        // nothing of the board.
        const bool hostFailed = (d.transmitter.ended && !d.transmitter.boardFault) ||
                                (d.receiver.ended && !d.receiver.boardFault) || d.overrunBlocks;
        if (!hostFailed) {
            if (d.reported == 0)
                failures.push_back(name + "no group was sent");
            if (d.whole != d.reported)
                failures.push_back(name + number(d.whole) + " groups whole of " + number(d.reported) + " sent");
            if (d.missing)
                failures.push_back(name + number(d.missing) + " frames missing");
            if (d.damaged)
                failures.push_back(name + number(d.damaged) + " frames damaged");
            if (d.nobodySent)
                failures.push_back(name + number(d.nobodySent) + " frames nobody sent");
        }
        // Whether the bus was loaded is worth asking only of a board that
        // carried the traffic.
        const bool boardFailed = failures.size() > failuresBefore;
        if (d.minLoad >= 0 && d.load < d.minLoad && !boardFailed)
            notCarried.push_back(name + "full load reached " + percent(d.load) + " of the bus, below the " +
                                 percent(d.minLoad) + " asked for");
    }
    if (run.kbps[0] != run.kbps[1])
        failures.push_back("the channels run at different bit rates (" + std::to_string(run.kbps[0]) + " and " +
                           std::to_string(run.kbps[1]) + " kbit/s)");
    if (run.directions.size() < run.directionsAsked)
        failures.push_back(std::to_string(run.directions.size()) + " of " + std::to_string(run.directionsAsked) +
                           " directions run");
    for (int i = 0; i < 2; ++i) {
        const Controller &c = run.controllers[i];
        const std::string which = "channel " + std::to_string(i + 1) + "'s controller";
        if (c.read && c.busOff())
            failures.push_back(which + " went bus-off (TEC " + std::to_string(c.tec) + ")");
        else if (c.read && c.errorPassive())
            failures.push_back(which + " went error-passive (TEC " + std::to_string(c.tec) + ", REC " +
                               std::to_string(c.rec) + ")");
    }
    if (run.interrupted)
        failures.push_back("interrupted");
    if (!run.stuck.empty())
        notCarried.push_back(run.stuck);
    if (!run.logError.empty())
        notCarried.push_back(run.logError);
    if (!run.outputError.empty())
        notCarried.push_back("the output could not be written: " + run.outputError);

    // An interrupted run is the station's own decision: it fails, whatever
    // else could not be carried out.
    if (run.interrupted)
        verdict.status = Failed;
    else if (!notCarried.empty())
        verdict.status = NotCarried;
    else if (!failures.empty())
        verdict.status = Failed;
    else
        verdict.status = Passed;

    if (verdict.status == Passed) {
        verdict.line = "PASS";
    } else if (verdict.status == NotCarried) {
        verdict.line = "ERROR: the test could not be carried out: " + join(notCarried, "; ");
        if (!failures.empty())
            verdict.line += "; so far: " + join(failures, "; ");
    } else {
        verdict.line = "FAIL: " + join(failures, "; ");
        if (!notCarried.empty())
            verdict.line += "; also: " + join(notCarried, "; ");
    }
    return verdict;
}

} // namespace verdict
