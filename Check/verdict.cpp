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

// What one direction's own facts say, without the run's.
Case judge(const Direction &d)
{
    Case c;
    c.name = d.title.empty() ? d.name : d.title;
    c.ran = true;
    c.interrupted = d.interrupted;
    auto &failures = c.failures;
    auto &notCarried = c.notCarried;
    const auto worker = [&](const char *which, const WorkerEnd &end) {
        if (end.endedEarly)
            (end.boardFault ? failures : notCarried)
                .push_back(std::string("the ") + which + " loop ended before it was stopped: " + end.what);
    };
    worker("transmit", d.transmitter);
    worker("receive", d.receiver);
    for (const WorkerEnd &trouble : d.troubles)
        (trouble.boardFault ? failures : notCarried).push_back(trouble.what);
    if (d.stalled)
        failures.push_back(d.stallReason);
    if (d.overrunBlocks)
        notCarried.push_back("the host fell behind the board: " + number(d.overrunBlocks) +
                             " DMA blocks waited for room in a full queue, so frames may have been lost before "
                             "they reached the host");
    // A host that lost frames, or a worker the host failed, leaves the
    // traffic's account open: what is missing or unmatched then says nothing
    // of the board. Nor does what a signal kept from arriving.
    const bool hostFailed = (d.transmitter.endedEarly && !d.transmitter.boardFault) ||
                            (d.receiver.endedEarly && !d.receiver.boardFault) || d.overrunBlocks;
    const bool accountOpen = hostFailed || (d.interrupted && !d.drained) || d.cutShort;
    if (!accountOpen) {
        if (d.groupsReported == 0 && !d.interrupted)
            failures.push_back("no group was sent");
        if (d.groupsWhole != d.groupsReported)
            failures.push_back(number(d.groupsWhole) + " groups whole of " + number(d.groupsReported) + " sent");
    }
    if (!hostFailed) {
        if (d.framesMissing && !accountOpen)
            failures.push_back(number(d.framesMissing) + " frames missing");
        if (d.framesDamaged)
            failures.push_back(number(d.framesDamaged) + " frames damaged");
        if (d.framesNobodySent)
            failures.push_back(number(d.framesNobodySent) + " frames nobody sent");
    }
    // Whether the bus was loaded is worth asking only of a board that
    // carried the traffic for the time asked; the default minimum only of a
    // run long enough to say, a second of frames on the bus.
    const bool loadJudged = d.minLoad >= 0 && (d.minLoadGiven || d.sendingMicros >= 1000000);
    if (loadJudged && d.load < d.minLoad && failures.empty() && !d.interrupted)
        notCarried.push_back("full load reached " + percent(d.load) + " of the bus, below the " +
                             percent(d.minLoad) + " asked for");
    return c;
}

void addAll(std::vector<std::string> &to, const std::vector<std::string> &items, const std::string &prefix = {})
{
    for (const std::string &item : items)
        to.push_back(prefix + item);
}

} // namespace

Verdict decide(const Run &run)
{
    Verdict verdict;
    auto &failures = verdict.failures;
    auto &notCarried = verdict.notCarried;
    // The cases of the directions asked for, in order; the run itself when
    // none could be named.
    std::vector<std::string> names = run.directionsAsked;
    if (names.empty())
        names.push_back("korvane-check");

    const std::string refusal = !run.refused.empty() ? run.refused : run.setUpFailure;
    if (!refusal.empty()) {
        verdict.status = Usage;
        notCarried.push_back(refusal);
        for (const Output &output : run.outputs) {
            if (!output.error.empty())
                notCarried.push_back(output.what + " could not be written: " + output.error);
        }
        verdict.line = "ERROR: " + join(notCarried, "; ");
        for (const std::string &name : names) {
            Case c;
            c.name = name;
            c.notCarried = notCarried;
            verdict.cases.push_back(c);
        }
        return verdict;
    }

    // What concerns the whole run goes with every case.
    std::vector<std::string> runFailures;
    std::vector<std::string> runNotCarried;
    if (!run.stuck.empty())
        runNotCarried.push_back(run.stuck);
    for (const Output &output : run.outputs) {
        if (!output.error.empty())
            runNotCarried.push_back(output.what + " could not be written: " + output.error);
    }
    if (run.kbps[0] != run.kbps[1])
        runFailures.push_back("the channels run at different bit rates (" + std::to_string(run.kbps[0]) + " and " +
                              std::to_string(run.kbps[1]) + " kbit/s)");
    for (int i = 0; i < 2; ++i) {
        const Controller &c = run.controllers[i];
        const std::string which = "channel " + std::to_string(i + 1) + "'s controller";
        if (c.read && c.busOff())
            runFailures.push_back(which + " went bus-off (TEC " + std::to_string(c.tec) + ")");
        else if (c.read && c.errorPassive())
            runFailures.push_back(which + " went error-passive (TEC " + std::to_string(c.tec) + ", REC " +
                                  std::to_string(c.rec) + ")");
    }

    addAll(notCarried, runNotCarried);
    for (size_t i = 0; i < names.size() || i < run.directions.size(); ++i) {
        Case c;
        if (i < run.directions.size()) {
            const Direction &d = run.directions[i];
            c = judge(d);
            addAll(failures, c.failures, d.name + ": ");
            addAll(notCarried, c.notCarried, d.name + ": ");
        } else {
            c.name = names[i];
            c.interrupted = run.interrupted;
            if (!run.interrupted && runNotCarried.empty())
                c.notCarried.push_back("not run");
        }
        addAll(c.failures, runFailures);
        addAll(c.notCarried, runNotCarried);
        c.interrupted = c.interrupted || run.interrupted;
        verdict.cases.push_back(c);
    }
    addAll(failures, runFailures);
    if (run.interrupted)
        failures.insert(failures.begin(), "interrupted");
    for (const Case &c : verdict.cases) {
        if (!c.ran && !c.interrupted && runNotCarried.empty())
            notCarried.push_back(c.name + ": not run");
    }

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
