#include "verdict.h"

#include <algorithm>
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
        verdict.diagnosis = diagnose(run, verdict.status);
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
    verdict.diagnosis = diagnose(run, verdict.status);
    return verdict;
}

namespace {

std::string identifier(const Identifier &i)
{
    char text[16];
    std::snprintf(text, sizeof text, i.extended ? "0x%08X" : "0x%03X", unsigned(i.id));
    return text;
}

std::string channel(unsigned c)
{
    return "channel " + std::to_string(c);
}

const char *const kReseat = "reseat the board in its slot and check its power; if it goes on, the board is faulty";
const char *const kHost = "the host, not the board, failed: check the board's driver (reinstall it) and the "
                          "system's event log, then test again; the board was not judged";
const char *const kHung = "a driver request that does not return: reinstall the board's driver and test again; if it "
                          "goes on, reseat the board, and if it still goes on, the board is faulty";
const char *const kBusy = "the host, not the board, fell behind: close other programs or give the test a faster "
                          "PC, then test again; the board was not judged";

} // namespace

// The rows most telling first: the set-up, the bit rates, each direction's
// ends and traffic, the controllers' state last (it follows from the
// others). A fault that shows in several ways is named once.
std::vector<Diagnosis> diagnose(const Run &run, Status status)
{
    std::vector<Diagnosis> found;
    if (status == Passed)
        return found;
    const auto add = [&found](int direction, const std::string &seen, const std::string &check) {
        for (const Diagnosis &d : found) {
            if (d.seen == seen)
                return;
        }
        found.push_back(Diagnosis{seen, check, direction});
    };
    const std::string noAnswer = "the board does not answer: ";
    const Run::SetUpFault &setUp = run.setUpFault;
    switch (setUp.what) {
    case Run::SetUpFault::None:
        break;
    case Run::SetUpFault::NotOpened:
        add(-1, "the board could not be opened",
            "check that the board is seated in its slot, that its driver is installed (the device manager lists "
            "it) and that the board index given is this board's");
        break;
    case Run::SetUpFault::BridgeStuck:
        add(-1, noAnswer + channel(setUp.channel) + "'s SPI bridge stays busy", kReseat);
        break;
    case Run::SetUpFault::ModeNotReached:
        add(-1, noAnswer + channel(setUp.channel) + "'s controller does not change its mode", kReseat);
        break;
    case Run::SetUpFault::RequestFailed:
        add(-1, "a driver request failed while the board was set up", kHost);
        break;
    }
    const bool ratesApart = run.kbps[0] != run.kbps[1];
    if (ratesApart)
        add(-1,
            "the channels disagree on the bit rate: channel 1 at " + std::to_string(run.kbps[0]) +
                " kbit/s, channel 2 at " + std::to_string(run.kbps[1]) + " kbit/s",
            "set both channels to the bit rate of the bus; a node at another rate sees error flags from the first "
            "frame on");
    for (size_t i = 0; i < run.directions.size(); ++i) {
        const Direction &d = run.directions[i];
        const int index = int(i);
        const Controller &sender = run.controllers[d.from == 2 ? 1 : 0];
        std::vector<const WorkerEnd *> ends;
        if (d.transmitter.endedEarly)
            ends.push_back(&d.transmitter);
        if (d.receiver.endedEarly)
            ends.push_back(&d.receiver);
        for (const WorkerEnd &trouble : d.troubles)
            ends.push_back(&trouble);
        for (const WorkerEnd *end : ends) {
            switch (end->cause) {
            case WorkerEnd::Stopped:
                break;
            case WorkerEnd::BridgeStuck:
                add(index, noAnswer + channel(end->channel) + "'s SPI bridge stays busy", kReseat);
                break;
            case WorkerEnd::FrameOrder:
                add(index, noAnswer + channel(end->channel) + "'s frames left in another order than loaded",
                    kReseat);
                break;
            case WorkerEnd::DeviceNotOpen:
            case WorkerEnd::RequestFailed:
            case WorkerEnd::TooManyBlocks:
                add(index, "the host's driver failed: " + end->what, kHost);
                break;
            case WorkerEnd::FrameNotSent:
                if (ratesApart)
                    break; // what the rates apart give
                if (d.groupsWhole == 0) {
                    std::string seen = "nothing acknowledged " + channel(d.from) + "'s frames";
                    if (sender.read)
                        seen += " (its TEC " + std::to_string(sender.tec) + ")";
                    add(index, seen + ": the other channel is not on this bus",
                        "check the cable between the channels and its termination (120 ohms at each end of the "
                        "bus)");
                } else {
                    add(index, channel(d.from) + "'s frames met errors on the bus: a frame did not go out",
                        "check the cable, its connectors and the termination, then look for noise near the bus");
                }
                break;
            }
        }
        if (d.stalled)
            add(index, "a driver request of the transmitter did not return: " + d.stallReason, kHung);
    }
    // Full load below its minimum, in a direction whose traffic was right
    // (the verdict's own rule): the host's pace.
    for (size_t i = 0; i < run.directions.size(); ++i) {
        const Direction &d = run.directions[i];
        const bool loadJudged = d.minLoad >= 0 && (d.minLoadGiven || d.sendingMicros >= 1000000);
        if (loadJudged && d.load < d.minLoad && !d.interrupted && judge(d).failures.empty()) {
            add(-1, "the host could not keep the bus full: full load stayed below the " + percent(d.minLoad) +
                        " asked for",
                "the host, not the board: close other programs or give the test a faster PC (or ask --min-load "
                "for what this host can do), then test again; the board was not judged");
            break;
        }
    }
    // What several directions saw is named once, with the counts of all and
    // the direction when there was one.
    struct Tally {
        uint64_t count = 0;
        int direction = -1;
        bool several = false;
        void take(uint64_t n, int index)
        {
            if (!n)
                return;
            several = several || (count && direction != index);
            count += n;
            direction = several ? -1 : index;
        }
    };
    Tally overrun, nobody, missing, damaged;
    std::vector<Identifier> ids;
    for (size_t i = 0; i < run.directions.size(); ++i) {
        const Direction &d = run.directions[i];
        overrun.take(d.overrunBlocks, int(i));
        nobody.take(d.framesNobodySent, int(i));
        for (const Identifier &id : d.foreignIds) {
            if (ids.size() < 8 && std::find(ids.begin(), ids.end(), id) == ids.end())
                ids.push_back(id);
        }
        // Lost or damaged frames are named when nothing else in their
        // direction or the run explains them, and only when the verdict
        // judged them: not when a signal or a worker kept frames from being
        // read, or the host failed.
        bool explained = ratesApart || d.overrunBlocks || d.framesNobodySent || d.stalled || d.cutShort ||
                         (d.interrupted && !d.drained) || !d.troubles.empty() ||
                         (d.transmitter.endedEarly && d.transmitter.cause != WorkerEnd::Stopped) ||
                         (d.receiver.endedEarly && d.receiver.cause != WorkerEnd::Stopped) ||
                         run.setUpFault.what != Run::SetUpFault::None;
        for (const Controller &c : run.controllers)
            explained = explained || (c.read && (c.busOff() || c.errorPassive()));
        if (!explained) {
            missing.take(d.framesMissing, int(i));
            damaged.take(d.framesDamaged, int(i));
        }
    }
    if (overrun.count)
        add(overrun.direction,
            "the host fell behind the board: " + std::to_string(overrun.count) +
                " DMA blocks waited for room in a full queue",
            kBusy);
    if (nobody.count) {
        std::string list;
        for (const Identifier &id : ids)
            list += (list.empty() ? "" : ", ") + identifier(id);
        add(nobody.direction,
            "another node is sending on this bus: " + std::to_string(nobody.count) + " frames nobody sent" +
                (list.empty() ? "" : ", identifiers " + list),
            "disconnect every other device from the test bus, or give the test a bus of its own");
    }
    if (missing.count || damaged.count)
        add(missing.count ? (damaged.count && damaged.direction != missing.direction ? -1 : missing.direction)
                          : damaged.direction,
            "frames went missing or were damaged between the channels (" + std::to_string(missing.count) +
                " missing, " + std::to_string(damaged.count) + " damaged)",
            "check the cable, its connectors and the termination, then look for noise near the bus");
    for (int i = 0; i < 2; ++i) {
        const Controller &c = run.controllers[i];
        if (!c.read || !(c.busOff() || c.errorPassive()))
            continue;
        add(-1,
            channel(unsigned(i + 1)) + "'s controller went " + (c.busOff() ? "bus-off" : "error-passive") +
                " (TEC " + std::to_string(c.tec) + ", REC " + std::to_string(c.rec) + ")",
            "a controller turns error-passive when an error counter passes 127 and bus-off when its transmit "
            "errors pass 255: its frames kept meeting errors or went unacknowledged; check the cable, the "
            "termination and that both channels run at the bit rate of the bus");
    }
    for (const Output &output : run.outputs) {
        if (!output.error.empty())
            add(-1, output.what + " could not be written: " + output.error,
                "check the station's disk: free space, the folder and its permissions");
    }
    if (!run.stuck.empty())
        add(-1, "a worker did not stop in time: " + run.stuck, kHung);
    return found;
}

} // namespace verdict
