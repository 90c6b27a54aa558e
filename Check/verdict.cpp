#include "verdict.h"

#include <algorithm>
#include <cstdio>

namespace verdict {

std::string counted(uint64_t count, const char *singular, const char *plural)
{
    std::string text = std::to_string(count) + " ";
    if (count == 1)
        return text + singular;
    return text + (plural ? std::string(plural) : std::string(singular) + "s");
}

namespace {

using Fault = WorkerCauses::Fault;

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

void addAll(std::vector<std::string> &to, const std::vector<std::string> &items, const std::string &prefix = {})
{
    for (const std::string &item : items)
        to.push_back(prefix + item);
}

// What a direction's facts allow the verdict to judge: the one reading of
// them that the verdict and the diagnosis share.
struct Assessment {
    // The host failed the direction: a worker ended on the host's failure,
    // or the host fell behind the board. What is missing or unmatched then
    // says nothing of the board.
    bool hostFailed = false;
    // The account was not closed: what a signal or the end kept from
    // arriving is not missing.
    bool accountOpen = false;
    bool missingJudged = false;
    bool damagedJudged = false;
    // Full load's least share of the bus is asked of a direction that sent
    // for long enough (a second of frames, or any time when asked for).
    bool loadShort = false;
    // The board's own evidence against itself: its DMA flag on a block that
    // cannot have waited, frames faster than their bit rate allows.
    bool boardFlags = false;
    bool tooFast = false;
};

// The most of the bus that frames can take by the board's stamps: the whole
// of it, and the stamps' rounding. A frame's end comes at least its own bits
// after the end of the one before it: less, beyond the stamps' microsecond
// at 1 Mbit/s, is too fast.
const double kMostLoad = 1.03;
const double kQuickestFrame = 0.97;

// What the board's stamps gave: the load and the quickest frame.
std::string tooFastFigures(const Direction &d)
{
    std::string text = percent(d.load) + " of the bus";
    if (d.quickestFrame >= 0)
        text += ", a frame in " + percent(d.quickestFrame) + " of its bits' time";
    return text;
}

Assessment assess(const Direction &d)
{
    Assessment a;
    const auto hostEnd = [](const WorkerEnd &end) { return end.endedEarly && !end.boardFault(); };
    a.boardFlags = d.waitedAfterClear;
    a.hostFailed = hostEnd(d.transmitter) || hostEnd(d.receiver) || (d.overrunBlocks && !a.boardFlags);
    // Frames cannot take less time than their bits: a load above the whole
    // bus (beyond the stamps' microsecond) is the board's bit timing.
    a.tooFast = (d.load > kMostLoad && d.sendingMicros >= 50000) ||
                (d.quickestFrame >= 0 && d.quickestFrame < kQuickestFrame);
    a.accountOpen = a.hostFailed || (d.interrupted && !d.drained) || d.cutShort;
    a.missingJudged = !a.accountOpen;
    a.damagedJudged = !a.hostFailed;
    const bool loadJudged = d.minLoad >= 0 && (d.minLoadGiven || d.sendingMicros >= 1000000);
    a.loadShort = loadJudged && d.load < d.minLoad && !d.interrupted;
    return a;
}

// What one direction's own facts say, without the run's.
Case judge(const Direction &d)
{
    const Assessment a = assess(d);
    Case c;
    c.name = d.title.empty() ? d.name : d.title;
    c.ran = true;
    c.interrupted = d.interrupted;
    auto &failures = c.failures;
    auto &notCarried = c.notCarried;
    const auto worker = [&](const char *which, const WorkerEnd &end) {
        if (end.endedEarly)
            (end.boardFault() ? failures : notCarried)
                .push_back(std::string("the ") + which + " loop ended before it was stopped: " + end.what);
    };
    worker("transmit", d.transmitter);
    worker("receive", d.receiver);
    for (const WorkerEnd &trouble : d.troubles)
        (trouble.boardFault() ? failures : notCarried).push_back(trouble.what);
    if (d.stalled)
        failures.push_back(d.stallReason);
    if (a.boardFlags)
        failures.push_back("the board's DMA marked " + counted(d.overrunBlocks, "block") +
                           " as having waited for room, the first right after the queue was emptied");
    if (d.stampsBack)
        failures.push_back("the board's DMA stamps stepped back " + counted(d.stampsBack, "time"));
    if (a.tooFast)
        failures.push_back("the frames took less time on the bus than their bits at " + std::to_string(d.kbps) +
                           " kbit/s allow, by the board's own times: " + tooFastFigures(d));
    if (d.overrunBlocks && !a.boardFlags)
        notCarried.push_back("the host fell behind the board: " + counted(d.overrunBlocks, "DMA block") +
                             " waited for room in a full queue, so frames may have been lost before they "
                             "reached the host");
    if (!a.accountOpen) {
        if (d.groupsReported == 0 && !d.interrupted)
            failures.push_back("no group was sent");
        if (d.groupsWhole != d.groupsReported)
            failures.push_back(number(d.groupsWhole) + " groups whole of " + number(d.groupsReported) + " sent");
    }
    if (a.missingJudged && d.framesMissing)
        failures.push_back(counted(d.framesMissing, "frame") + " missing");
    if (a.damagedJudged && d.framesDamaged)
        failures.push_back(counted(d.framesDamaged, "frame") + " damaged");
    if (a.damagedJudged && d.framesNobodySent)
        failures.push_back(counted(d.framesNobodySent, "frame") + " nobody sent");
    if (a.loadShort && failures.empty())
        notCarried.push_back("full load reached " + percent(d.load) + " of the bus, below the " +
                             percent(d.minLoad) + " asked for");
    return c;
}

// What concerns the whole run, and so goes with every case.
struct RunFindings {
    std::vector<std::string> failures;
    std::vector<std::string> notCarried;
};

RunFindings runFindings(const Run &run)
{
    RunFindings found;
    if (run.unfinished)
        found.notCarried.push_back("the run did not finish: it ended before it could write its result, so its "
                                   "result is unknown");
    if (!run.stuck.empty())
        found.notCarried.push_back(run.stuck);
    for (const Output &output : run.outputs) {
        if (!output.error.empty())
            found.notCarried.push_back(output.what + " could not be written: " + output.error);
    }
    if (run.kbps[0] != run.kbps[1])
        found.failures.push_back("the channels run at different bit rates (" + std::to_string(run.kbps[0]) +
                                 " and " + std::to_string(run.kbps[1]) + " kbit/s)");
    for (int i = 0; i < 2; ++i) {
        const Controller &c = run.controllers[i];
        const std::string which = "channel " + std::to_string(i + 1) + "'s controller";
        if (c.read && c.busOff())
            found.failures.push_back(which + " went bus-off (TEC " + std::to_string(c.tec) + ")");
        else if (c.read && c.errorPassive())
            found.failures.push_back(which + " went error-passive (TEC " + std::to_string(c.tec) + ", REC " +
                                     std::to_string(c.rec) + ")");
        else if (!c.read && run.controllersAsked)
            found.notCarried.push_back(which + " could not be read after the traffic, so its error state is "
                                               "unknown");
    }
    return found;
}

Verdict refusal(const Run &run, const std::vector<std::string> &names)
{
    Verdict verdict;
    verdict.status = Usage;
    verdict.notCarried.push_back(!run.refused.empty() ? run.refused : run.setUpFailure);
    for (const Output &output : run.outputs) {
        if (!output.error.empty())
            verdict.notCarried.push_back(output.what + " could not be written: " + output.error);
    }
    verdict.line = "ERROR: " + join(verdict.notCarried, "; ");
    for (const std::string &name : names) {
        Case c;
        c.name = name;
        c.notCarried = verdict.notCarried;
        verdict.cases.push_back(c);
    }
    verdict.diagnosis = diagnose(run, verdict.status);
    return verdict;
}

// The qualification: a case each, the board's failures, the reasons the
// test could not be carried out, as for the traffic's directions.
Verdict qualification(const Run &run)
{
    Verdict verdict;
    const RunFindings whole = runFindings(run);
    addAll(verdict.notCarried, whole.notCarried);
    for (const Qualified &q : run.qualified) {
        Case c;
        c.name = q.name;
        c.seconds = q.seconds;
        c.ran = q.result != Qualified::NotRun && q.result != Qualified::Interrupted;
        c.interrupted = run.interrupted && q.result != Qualified::Passed && q.result != Qualified::Failed;
        if (q.result == Qualified::Failed)
            c.failures = q.findings;
        else if (q.result == Qualified::NotCarried)
            c.notCarried = q.findings;
        else if (q.result == Qualified::NotRun && !run.interrupted && whole.notCarried.empty())
            c.notCarried.push_back("not run");
        addAll(verdict.failures, c.failures, q.name + ": ");
        addAll(verdict.notCarried, c.notCarried, q.name + ": ");
        addAll(c.notCarried, whole.notCarried);
        verdict.cases.push_back(c);
    }
    if (verdict.cases.empty()) {
        Case c;
        c.name = "korvane-check";
        c.interrupted = run.interrupted;
        c.notCarried = whole.notCarried;
        verdict.cases.push_back(c);
    }
    if (run.interrupted)
        verdict.failures.insert(verdict.failures.begin(), "interrupted");
    verdict.status = run.interrupted            ? Failed
                     : !verdict.notCarried.empty() ? NotCarried
                     : !verdict.failures.empty()   ? Failed
                                                   : Passed;
    if (verdict.status == Passed)
        verdict.line = "PASS";
    else if (verdict.status == NotCarried)
        verdict.line = "ERROR: the test could not be carried out: " + join(verdict.notCarried, "; ") +
                       (verdict.failures.empty() ? "" : "; so far: " + join(verdict.failures, "; "));
    else
        verdict.line = "FAIL: " + join(verdict.failures, "; ") +
                       (verdict.notCarried.empty() ? "" : "; also: " + join(verdict.notCarried, "; "));
    verdict.diagnosis = diagnose(run, verdict.status);
    return verdict;
}

} // namespace

Verdict decide(const Run &run)
{
    // The cases of the directions asked for, in order; the run itself when
    // none could be named.
    std::vector<std::string> names = run.directionsAsked;
    if (names.empty())
        names.push_back("korvane-check");
    if (!run.refused.empty() || !run.setUpFailure.empty())
        return refusal(run, names);
    if (run.qualifying)
        return qualification(run);

    Verdict verdict;
    auto &failures = verdict.failures;
    auto &notCarried = verdict.notCarried;
    const RunFindings whole = runFindings(run);
    addAll(notCarried, whole.notCarried);
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
            if (!run.interrupted && whole.notCarried.empty())
                c.notCarried.push_back("not run");
        }
        addAll(c.failures, whole.failures);
        addAll(c.notCarried, whole.notCarried);
        c.interrupted = c.interrupted || run.interrupted;
        verdict.cases.push_back(c);
    }
    addAll(failures, whole.failures);
    if (run.interrupted)
        failures.insert(failures.begin(), "interrupted");
    for (const Case &c : verdict.cases) {
        if (!c.ran && !c.interrupted && whole.notCarried.empty())
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
const char *const kCable = "check the cable, its connectors and the termination, then look for noise near the bus";
const char *const kNoAnswer = "the board does not answer: ";

// The rows found so far; a fault that shows in several ways is named once.
class Findings
{
public:
    void add(int direction, const std::string &seen, const std::string &check)
    {
        for (const Diagnosis &d : m_found) {
            if (d.seen == seen)
                return;
        }
        m_found.push_back(Diagnosis{seen, check, direction});
    }
    std::vector<Diagnosis> take() { return std::move(m_found); }

private:
    std::vector<Diagnosis> m_found;
};

bool ratesApart(const Run &run)
{
    return run.kbps[0] != run.kbps[1];
}

void diagnoseSetUp(const Run &run, Findings &found)
{
    const Run::SetUpFault &setUp = run.setUpFault;
    switch (setUp.what) {
    case Run::SetUpFault::None:
        break;
    case Run::SetUpFault::NotOpened:
        found.add(-1, "the board could not be opened",
                  "check that the board is seated in its slot, that its driver is installed (the device manager "
                  "lists it) and that the board index given is this board's");
        break;
    case Run::SetUpFault::InUse:
        found.add(-1, "the board is in use by another test",
                  "wait for the other test to end, or give this test another board (--board)");
        break;
    case Run::SetUpFault::BridgeStuck:
        found.add(-1, kNoAnswer + channel(setUp.channel) + "'s SPI bridge stays busy", kReseat);
        break;
    case Run::SetUpFault::ModeNotReached:
        found.add(-1, kNoAnswer + channel(setUp.channel) + "'s controller does not change its mode", kReseat);
        break;
    case Run::SetUpFault::RequestFailed:
        found.add(-1, "a driver request failed while the board was set up", kHost);
        break;
    }
    if (ratesApart(run))
        found.add(-1,
                  "the channels disagree on the bit rate: channel 1 at " + std::to_string(run.kbps[0]) +
                      " kbit/s, channel 2 at " + std::to_string(run.kbps[1]) + " kbit/s",
                  "set both channels to the bit rate of the bus; a node at another rate sees error flags from the "
                  "first frame on");
}

// A frame that did not go out: nobody acknowledged it, or it met errors. A
// bus on which a controller counted receive errors carries frames that
// neither channel could read: another node at another bit rate.
void diagnoseFrameNotSent(const Run &run, const Direction &d, int index, Findings &found)
{
    if (ratesApart(run))
        return; // what the rates apart give
    const Controller &sender = run.controllers[d.from == 2 ? 1 : 0];
    const Controller &receiver = run.controllers[d.from == 2 ? 0 : 1];
    const int rec = std::max(sender.read ? sender.rec : 0, receiver.read ? receiver.rec : 0);
    if (rec > 0) {
        // Named once, whichever direction met it.
        const std::string seen = "frames did not go out while the controllers counted receive errors (REC up to " +
                                 std::to_string(rec) + "): frames on the bus that neither channel can read, from "
                                 "another node at another bit rate";
        found.add(index, seen,
                  "disconnect every other device from the test bus, or set it to the bit rate of the bus; then "
                  "check the cable and the termination");
    } else if (d.groupsWhole == 0) {
        std::string seen = "nothing acknowledged " + channel(d.from) + "'s frames";
        if (sender.read)
            seen += " (its TEC " + std::to_string(sender.tec) + ")";
        found.add(index, seen + ": the other channel is not on this bus",
                  "check the cable between the channels and its termination (120 ohms at each end of the bus)");
    } else {
        found.add(index, channel(d.from) + "'s frames met errors on the bus: a frame did not go out", kCable);
    }
}

void diagnoseEnds(const Run &run, Findings &found)
{
    for (size_t i = 0; i < run.directions.size(); ++i) {
        const Direction &d = run.directions[i];
        const int index = int(i);
        std::vector<const WorkerEnd *> ends;
        if (d.transmitter.endedEarly)
            ends.push_back(&d.transmitter);
        if (d.receiver.endedEarly)
            ends.push_back(&d.receiver);
        for (const WorkerEnd &trouble : d.troubles)
            ends.push_back(&trouble);
        for (const WorkerEnd *end : ends) {
            switch (end->cause) {
            case WorkerCauses::Stopped:
                break;
            case WorkerCauses::BridgeStuck:
                found.add(index, kNoAnswer + channel(end->channel) + "'s SPI bridge stays busy", kReseat);
                break;
            case WorkerCauses::FrameOrder:
                found.add(index, kNoAnswer + channel(end->channel) + "'s frames left in another order than loaded",
                          kReseat);
                break;
            case WorkerCauses::DeviceNotOpen:
            case WorkerCauses::RequestFailed:
            case WorkerCauses::TooManyBlocks:
                found.add(index, "the host's driver failed: " + end->what, kHost);
                break;
            case WorkerCauses::FrameNotSent:
                diagnoseFrameNotSent(run, d, index, found);
                break;
            }
        }
        if (d.stalled)
            found.add(index, "a driver request of the transmitter did not return: " + d.stallReason, kHung);
        const Assessment a = assess(d);
        if (a.boardFlags)
            found.add(index, "the board's DMA marks blocks as having waited for room in a queue that had just been "
                             "emptied",
                      "the board's DMA engine and its \"waited for room\" flag: the host did not fall behind; "
                      "qualify the board (korvane-check --qualify --cases dma)");
        if (d.stampsBack)
            found.add(index, "the board's DMA stamps stepped back",
                      "the board's microsecond clock and how it carries into its upper bytes, not the host; qualify "
                      "the board (korvane-check --qualify --cases dma.stamps)");
        if (a.tooFast)
            found.add(index, "the frames took less time on the bus than their bits at " + std::to_string(d.kbps) +
                                 " kbit/s allow (" + tooFastFigures(d) + ")",
                      "the board's bit timing: its oscillator, or how its controllers decode CNF1-3; qualify the "
                      "board (korvane-check --qualify --cases timing)");
    }
    // Full load below its minimum, in a direction whose traffic was right:
    // the host's pace.
    for (const Direction &d : run.directions) {
        if (assess(d).loadShort && judge(d).failures.empty()) {
            found.add(-1,
                      "the host could not keep the bus full: full load stayed below the " + percent(d.minLoad) +
                          " asked for",
                      "the host, not the board: close other programs or give the test a faster PC (or ask "
                      "--min-load for what this host can do), then test again; the board was not judged");
            break;
        }
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

void diagnoseTraffic(const Run &run, Findings &found)
{
    Tally overrun, nobody, missing, damaged;
    std::vector<Identifier> ids;
    bool controllersExplain = false;
    for (const Controller &c : run.controllers)
        controllersExplain = controllersExplain || (c.read && (c.busOff() || c.errorPassive()));
    for (size_t i = 0; i < run.directions.size(); ++i) {
        const Direction &d = run.directions[i];
        const Assessment a = assess(d);
        overrun.take(a.boardFlags ? 0 : d.overrunBlocks, int(i));
        nobody.take(d.framesNobodySent, int(i));
        for (const Identifier &id : d.foreignIds) {
            if (ids.size() < 8 && std::find(ids.begin(), ids.end(), id) == ids.end())
                ids.push_back(id);
        }
        // Lost or damaged frames are named where the verdict judged them and
        // nothing else in their direction or the run explains them.
        const bool explained = ratesApart(run) || d.framesNobodySent || d.stalled || !d.troubles.empty() ||
                               d.transmitter.endedEarly || d.receiver.endedEarly ||
                               run.setUpFault.what != Run::SetUpFault::None || controllersExplain;
        if (!explained) {
            missing.take(a.missingJudged ? d.framesMissing : 0, int(i));
            damaged.take(a.damagedJudged ? d.framesDamaged : 0, int(i));
        }
    }
    if (overrun.count)
        found.add(overrun.direction,
                  "the host fell behind the board: " + counted(overrun.count, "DMA block") +
                      " waited for room in a full queue",
                  kBusy);
    if (nobody.count) {
        std::string list;
        for (const Identifier &id : ids)
            list += (list.empty() ? "" : ", ") + identifier(id);
        found.add(nobody.direction,
                  "another node is sending on this bus: " + counted(nobody.count, "frame") + " nobody sent" +
                      (list.empty() ? "" : (ids.size() == 1 ? ", identifier " : ", identifiers ") + list),
                  "disconnect every other device from the test bus, or give the test a bus of its own");
    }
    if (missing.count || damaged.count)
        found.add(missing.count ? (damaged.count && damaged.direction != missing.direction ? -1 : missing.direction)
                                : damaged.direction,
                  "frames went missing or were damaged between the channels (" + number(missing.count) +
                      " missing, " + number(damaged.count) + " damaged)",
                  kCable);
}

void diagnoseRun(const Run &run, Findings &found)
{
    for (int i = 0; i < 2; ++i) {
        const Controller &c = run.controllers[i];
        if (!c.read || !(c.busOff() || c.errorPassive()))
            continue;
        found.add(-1,
                  channel(unsigned(i + 1)) + "'s controller went " + (c.busOff() ? "bus-off" : "error-passive") +
                      " (TEC " + std::to_string(c.tec) + ", REC " + std::to_string(c.rec) + ")",
                  "a controller turns error-passive when an error counter passes 127 and bus-off when its transmit "
                  "errors pass 255: its frames kept meeting errors or went unacknowledged; check the cable, the "
                  "termination and that both channels run at the bit rate of the bus");
    }
    for (int i = 0; i < 2; ++i) {
        if (run.controllersAsked && !run.controllers[i].read)
            found.add(-1, channel(unsigned(i + 1)) + "'s controller could not be read after the traffic", kHost);
    }
    for (const Output &output : run.outputs) {
        if (!output.error.empty())
            found.add(-1, output.what + " could not be written: " + output.error,
                      "check the station's disk: free space, the folder and its permissions");
    }
    if (!run.stuck.empty())
        found.add(-1, "a worker did not stop in time: " + run.stuck, kHung);
}

} // namespace

// The rows most telling first: the set-up, the bit rates, each direction's
// ends and traffic, the controllers' state (it follows from the others) and
// what the host could not do last.
std::vector<Diagnosis> diagnose(const Run &run, Status status)
{
    Findings found;
    if (status == Passed)
        return found.take();
    if (run.unfinished) {
        found.add(-1, "the run did not finish: it ended before it could write its result",
                  "its result is unknown: find what ended it (a power loss, a kill, the system's log), then test "
                  "again");
        return found.take();
    }
    diagnoseSetUp(run, found);
    for (size_t i = 0; i < run.qualified.size(); ++i) {
        const Qualified &q = run.qualified[i];
        if (q.result == Qualified::Failed && !q.findings.empty())
            found.add(int(i), q.name + ": " + q.findings.front(), q.check);
        else if (q.result == Qualified::NotCarried)
            found.add(int(i), q.name + " could not be carried out: " + join(q.findings, "; "), kHost);
    }
    diagnoseEnds(run, found);
    diagnoseTraffic(run, found);
    diagnoseRun(run, found);
    return found.take();
}

} // namespace verdict
