// Every way out of a run, from the facts to the exit status and the last
// line: a board failure is never taken for a host's, nor the other way.
#include "verdict.h"

#include <gtest/gtest.h>

#include <functional>

using namespace verdict;

namespace {

// A run that passes: one direction, every group whole.
verdict::Run passing()
{
    verdict::Run run;
    Direction d;
    d.name = "1->2";
    d.title = "1->2 at 125 kbit/s";
    d.groupsReported = 10;
    d.groupsWhole = 10;
    d.load = 0.5;
    run.directions.push_back(d);
    run.directionsAsked = {"1->2 at 125 kbit/s"};
    run.controllers[0].read = run.controllers[1].read = true;
    run.controllersAsked = true;
    return run;
}

WorkerEnd end(WorkerCauses::Cause cause, const char *what, unsigned channel = 1)
{
    WorkerEnd e;
    e.endedEarly = true;
    e.cause = cause;
    e.channel = channel;
    e.what = what;
    return e;
}

struct Row {
    const char *name;
    std::function<void(verdict::Run &)> change;
    Status status;
    const char *lineStart;
    bool boardSilent = false; // nothing may be laid at the board's door
};

} // namespace

TEST(Verdict, EveryExitPath)
{
    const Row rows[] = {
        {"pass", [](verdict::Run &) {}, Passed, "PASS"},
        {"set-up failed",
         [](verdict::Run &r) {
             r.setUpFailure = "channel 1's bit rate could not be set (status 5)";
         },
         Usage, "ERROR: channel 1's bit rate"},
        {"interrupted", [](verdict::Run &r) { r.interrupted = true; }, Failed, "FAIL: interrupted"},
        {"interrupted while a request failed",
         [](verdict::Run &r) {
             r.interrupted = true;
             r.directions[0].transmitter = end(WorkerCauses::RequestFailed, "driver request failed on channel 1 (status 8)");
         },
         Failed, "FAIL: interrupted; also: 1->2: the transmit loop ended"},
        {"a driver request failed in the transmitter",
         [](verdict::Run &r) { r.directions[0].transmitter = end(WorkerCauses::RequestFailed, "driver request failed on channel 1 (status 8)"); },
         NotCarried, "ERROR: the test could not be carried out: 1->2: the transmit loop ended before it was stopped: driver request failed"},
        {"a frame did not go out",
         [](verdict::Run &r) { r.directions[0].transmitter = end(WorkerCauses::FrameNotSent, "frame not sent on channel 1"); },
         Failed, "FAIL: 1->2: the transmit loop ended before it was stopped: frame not sent"},
        {"the SPI bridge stuck busy",
         [](verdict::Run &r) { r.directions[0].transmitter = end(WorkerCauses::BridgeStuck, "SPI bridge stuck busy on channel 1 (status 8)"); },
         Failed, "FAIL: 1->2: the transmit loop ended before it was stopped: SPI bridge stuck busy"},
        {"the receiver's read failed",
         [](verdict::Run &r) { r.directions[0].receiver = end(WorkerCauses::RequestFailed, "driver request failed on channel 2 (status 2)"); },
         NotCarried, "ERROR: the test could not be carried out: 1->2: the receive loop ended"},
        {"a withdrawn frame the transmitter went on after",
         [](verdict::Run &r) { r.directions[0].troubles.push_back(end(WorkerCauses::FrameNotSent, "frame not sent on channel 2 (status 7)")); },
         Failed, "FAIL: 1->2: frame not sent on channel 2 (status 7)"},
        {"a withdrawal whose request failed",
         [](verdict::Run &r) { r.directions[0].troubles.push_back(end(WorkerCauses::RequestFailed, "driver request failed on channel 2")); },
         NotCarried, "ERROR: the test could not be carried out: 1->2: driver request failed"},
        {"stalled",
         [](verdict::Run &r) {
             r.directions[0].stalled = true;
             r.directions[0].stallReason = "the transmitter made no progress for 5.0 s";
         },
         Failed, "FAIL: 1->2: the transmitter made no progress"},
        {"the host fell behind", [](verdict::Run &r) { r.directions[0].overrunBlocks = 3; }, NotCarried,
         "ERROR: the test could not be carried out: 1->2: the host fell behind the board: 3 DMA blocks"},
        {"a group not whole", [](verdict::Run &r) { r.directions[0].groupsWhole = 9; }, Failed, "FAIL: 1->2: 9 groups whole of 10 sent"},
        {"frames missing", [](verdict::Run &r) { r.directions[0].framesMissing = 2; }, Failed, "FAIL: 1->2: 2 frames missing"},
        {"frames damaged", [](verdict::Run &r) { r.directions[0].framesDamaged = 1; }, Failed, "FAIL: 1->2: 1 frame damaged"},
        {"frames nobody sent", [](verdict::Run &r) { r.directions[0].framesNobodySent = 4; }, Failed,
         "FAIL: 1->2: 4 frames nobody sent"},
        {"no group sent",
         [](verdict::Run &r) {
             r.directions[0].groupsReported = 0;
             r.directions[0].groupsWhole = 0;
         },
         Failed, "FAIL: 1->2: no group was sent"},
        {"full load below its minimum",
         [](verdict::Run &r) {
             r.directions[0].minLoad = 0.9;
             r.directions[0].sendingMicros = 1000000;
         },
         NotCarried, "ERROR: the test could not be carried out: 1->2: full load reached 50.0 % of the bus, below the 90.0 %"},
        {"the default minimum on less than a second of frames",
         [](verdict::Run &r) {
             r.directions[0].minLoad = 0.9;
             r.directions[0].sendingMicros = 999999;
         },
         Passed, "PASS"},
        {"a minimum asked for on less than a second of frames",
         [](verdict::Run &r) {
             r.directions[0].minLoad = 0.9;
             r.directions[0].minLoadGiven = true;
         },
         NotCarried, "ERROR: the test could not be carried out: 1->2: full load reached 50.0 %"},
        {"full load at its minimum",
         [](verdict::Run &r) {
             r.directions[0].minLoad = 0.5;
         },
         Passed, "PASS"},
        {"different bit rates", [](verdict::Run &r) { r.kbps[1] = 250; }, Failed,
         "FAIL: the channels run at different bit rates (125 and 250 kbit/s)"},
        {"a direction not run", [](verdict::Run &r) { r.directionsAsked.push_back("2->1 at 125 kbit/s"); }, NotCarried,
         "ERROR: the test could not be carried out: 2->1 at 125 kbit/s: not run"},
        {"refused", [](verdict::Run &r) { r.refused = "refused: --rate 300: the rates are 125, 250, 500 and 1000"; },
         Usage, "ERROR: refused: --rate 300"},
        // A signal that kept a direction from sending, or from reading what
        // it sent, is no failure of the board's.
        {"interrupted before a group was sent",
         [](verdict::Run &r) {
             r.interrupted = true;
             r.directions[0] = Direction{};
             r.directions[0].name = "1->2";
             r.directions[0].interrupted = true;
         },
         Failed, "FAIL: interrupted", true},
        {"a run ended at once inside the direction",
         [](verdict::Run &r) {
             r.stuck = "the transmit worker did not stop within 20 s";
             r.directions[0].cutShort = true;
             r.directions[0].groupsWhole = 8;
             r.directions[0].framesMissing = 7;
         },
         NotCarried, "ERROR: the test could not be carried out: the transmit worker did not stop", true},
        {"interrupted before the frames sent were read",
         [](verdict::Run &r) {
             r.interrupted = true;
             r.directions[0].interrupted = true;
             r.directions[0].drained = false;
             r.directions[0].groupsWhole = 8;
             r.directions[0].framesMissing = 7;
         },
         Failed, "FAIL: interrupted", true},
        {"error-passive", [](verdict::Run &r) { r.controllers[1].eflg = 0x08; }, Failed,
         "FAIL: channel 2's controller went error-passive"},
        {"bus-off", [](verdict::Run &r) { r.controllers[0].eflg = 0x20 | 0x10; }, Failed,
         "FAIL: channel 1's controller went bus-off"},
        // A pass needs both controllers seen error-active after the traffic.
        {"a controller that could not be read", [](verdict::Run &r) { r.controllers[1] = Controller{false, 0, 0, 0x20}; },
         NotCarried, "ERROR: the test could not be carried out: channel 2's controller could not be read after the traffic",
         true},
        {"controllers not read after an interrupt",
         [](verdict::Run &r) {
             r.interrupted = true;
             r.controllersAsked = false;
             r.controllers[0] = r.controllers[1] = Controller{};
         },
         Failed, "FAIL: interrupted", true},
        // The report made as the run begins says only that the run did not
        // finish: it blames nothing.
        {"the run did not finish",
         [](verdict::Run &r) {
             r.unfinished = true;
             r.directions.clear();
             r.controllersAsked = false;
             r.stuck.clear();
         },
         NotCarried, "ERROR: the test could not be carried out: the run did not finish: it ended before it could write "
                     "its result, so its result is unknown", true},
        // The board's own stamps and flags speak against the board, never
        // against the host.
        {"frames faster than the bit rate",
         [](verdict::Run &r) {
             r.directions[0].load = 1.32;
             r.directions[0].sendingMicros = 2000000;
             r.directions[0].kbps = 250;
         },
         Failed, "FAIL: 1->2: the frames took less time on the bus than their bits at 250 kbit/s allow, by the "
                 "board's own times: 132.0 % of the bus"},
        // On a host too slow to keep the bus busy, two frames back to back
        // still show it; a frame a microsecond early at 1 Mbit/s does not.
        {"a frame quicker than its bits",
         [](verdict::Run &r) {
             r.directions[0].quickestFrame = 0.75;
             r.directions[0].kbps = 250;
         },
         Failed, "FAIL: 1->2: the frames took less time on the bus than their bits at 250 kbit/s allow, by the "
                 "board's own times: 50.0 % of the bus, a frame in 75.0 % of its bits' time"},
        {"frames within the stamps' rounding", [](verdict::Run &r) { r.directions[0].quickestFrame = 0.99; }, Passed,
         "PASS"},
        {"stamps that stepped back", [](verdict::Run &r) { r.directions[0].stampsBack = 3; }, Failed,
         "FAIL: 1->2: the board's DMA stamps stepped back 3 times"},
        {"a block marked as waited right after the queue was emptied",
         [](verdict::Run &r) {
             r.directions[0].overrunBlocks = 10;
             r.directions[0].waitedAfterClear = true;
         },
         Failed, "FAIL: 1->2: the board's DMA marked 10 blocks as having waited for room"},
        {"a worker that did not stop", [](verdict::Run &r) { r.stuck = "the transmit worker did not stop within 5 s"; },
         NotCarried, "ERROR: the test could not be carried out: the transmit worker did not stop"},
        {"the log", [](verdict::Run &r) { r.outputs.push_back({"the log x", "No space left on device"}); }, NotCarried,
         "ERROR: the test could not be carried out: the log x could not be written: No space left on device"},
        {"the output", [](verdict::Run &r) { r.outputs.push_back({"the result", "Broken pipe"}); }, NotCarried,
         "ERROR: the test could not be carried out: the result could not be written: Broken pipe"},
        {"a missing frame and a damaged one",
         [](verdict::Run &r) {
             r.directions[0].framesMissing = 1;
             r.directions[0].framesDamaged = 1;
             r.directions[0].groupsWhole = 9;
         },
         Failed, "FAIL: 1->2: 9 groups whole of 10 sent; 1->2: 1 frame missing; 1->2: 1 frame damaged"},
        {"a board failure beside a failed request",
         [](verdict::Run &r) {
             r.directions[0].troubles.push_back(end(WorkerCauses::FrameNotSent, "frame not sent on channel 1 (status 7)"));
             r.directions[0].receiver = end(WorkerCauses::RequestFailed, "driver request failed on channel 2 (status 2)");
         },
         NotCarried, "ERROR: the test could not be carried out: 1->2: the receive loop ended before it was stopped: "
                     "driver request failed on channel 2 (status 2); so far: 1->2: frame not sent on channel 1"},
        // What a failed request or a lagging host leaves unmatched is not the
        // board's.
        {"frames missing after the receiver failed",
         [](verdict::Run &r) {
             r.directions[0].framesMissing = 5;
             r.directions[0].groupsWhole = 9;
             r.directions[0].receiver = end(WorkerCauses::RequestFailed, "driver request failed on channel 2 (status 2)");
         },
         NotCarried, "ERROR: the test could not be carried out: 1->2: the receive loop ended", true},
        {"frames nobody sent while the host fell behind",
         [](verdict::Run &r) {
             r.directions[0].framesNobodySent = 3;
             r.directions[0].overrunBlocks = 1;
         },
         NotCarried, "ERROR: the test could not be carried out: 1->2: the host fell behind", true},
    };
    for (const Row &c : rows) {
        verdict::Run run = passing();
        c.change(run);
        const Verdict v = decide(run);
        EXPECT_EQ(v.status, c.status) << c.name << ": " << v.line;
        EXPECT_EQ(v.line.compare(0, std::string(c.lineStart).size(), c.lineStart), 0)
            << c.name << ": " << v.line;
        // The lists and the status agree.
        // A run that passed names nothing; one the board is not blamed for
        // never says the board does not answer.
        if (v.status == Passed) {
            EXPECT_TRUE(v.diagnosis.empty()) << c.name;
        }
        for (const Diagnosis &d : v.diagnosis) {
            if (c.boardSilent) {
                EXPECT_EQ(d.seen.find("the board does not answer"), std::string::npos) << c.name << ": " << d.seen;
            }
        }
        if (c.boardSilent) {
            const bool onlyInterrupted = v.failures.size() == 1 && v.failures[0] == "interrupted";
            EXPECT_TRUE(v.failures.empty() || (run.interrupted && onlyInterrupted)) << c.name << ": " << v.line;
            for (const verdict::Case &k : v.cases)
                EXPECT_TRUE(k.failures.empty()) << c.name << ": " << k.name;
        }
        if (v.status == Passed) {
            EXPECT_TRUE(v.failures.empty() && v.notCarried.empty()) << c.name;
        } else if (v.status == NotCarried) {
            EXPECT_FALSE(v.notCarried.empty()) << c.name;
        } else if (v.status == Failed) {
            EXPECT_FALSE(v.failures.empty()) << c.name;
        }
        // Every case of the report agrees: one that did not pass for each
        // way the run did not pass, and none when it passed.
        ASSERT_FALSE(v.cases.empty()) << c.name;
        bool anyNotPassed = false;
        for (const verdict::Case &k : v.cases)
            anyNotPassed = anyNotPassed || !k.passed();
        EXPECT_EQ(anyNotPassed, v.status != Passed) << c.name;
    }
}

// Every reason the test could not be carried out is named, whichever came
// first, with the board's failures beside them.
TEST(Verdict, EveryReasonIsNamed)
{
    verdict::Run run = passing();
    run.directions[0].overrunBlocks = 2;
    run.directions[0].framesNobodySent = 1;
    run.outputs.push_back({"the log /dev/full", "No space left on device"});
    run.outputs.push_back({"the JUnit report r.xml", "Permission denied"});
    run.controllers[1].eflg = 0x08;
    const Verdict v = decide(run);
    EXPECT_EQ(v.status, NotCarried);
    for (const char *reason : {"the log /dev/full could not be written", "the JUnit report r.xml could not be written",
                               "1->2: the host fell behind the board", "channel 2's controller went error-passive"})
        EXPECT_NE(v.line.find(reason), std::string::npos) << reason << " in " << v.line;
    ASSERT_EQ(v.cases.size(), 1u);
    EXPECT_EQ(v.cases[0].notCarried.size(), 3u);
    EXPECT_EQ(v.cases[0].failures.size(), 1u);
}

// A run refused or interrupted before any direction began still has a case
// for every direction asked for, none of which passed.
TEST(Verdict, DirectionsNotRunAreCasesThatDidNotPass)
{
    verdict::Run interrupted;
    interrupted.directionsAsked = {"1->2 at 125 kbit/s", "2->1 at 125 kbit/s"};
    interrupted.interrupted = true;
    Verdict v = decide(interrupted);
    EXPECT_EQ(v.status, Failed);
    ASSERT_EQ(v.cases.size(), 2u);
    for (const verdict::Case &c : v.cases) {
        EXPECT_TRUE(c.interrupted && !c.ran && c.failures.empty()) << c.name;
        EXPECT_FALSE(c.passed());
    }

    verdict::Run refused;
    refused.refused = "refused: unexpected argument: x";
    v = decide(refused);
    EXPECT_EQ(v.status, Usage);
    ASSERT_EQ(v.cases.size(), 1u);
    EXPECT_EQ(v.cases[0].name, "korvane-check");
    EXPECT_EQ(v.cases[0].notCarried, std::vector<std::string>{"refused: unexpected argument: x"});
}

// Frames lost or damaged between the channels are named as such only when
// nothing else seen explains them; each fault is named once, for the
// direction it was seen in.
TEST(Verdict, DiagnosisNamesEachFaultOnceWhereItWasSeen)
{
    verdict::Run run = passing();
    run.directions[0].framesMissing = 3;
    run.directions[0].framesDamaged = 1;
    Direction back = run.directions[0];
    back.from = 2;
    back.name = "2->1";
    back.framesMissing = back.framesDamaged = 0;
    back.framesNobodySent = 12;
    back.foreignIds = {{0x10, false}, {0x1ABCDE, true}};
    run.directions.push_back(back);
    Verdict v = decide(run);
    ASSERT_EQ(v.diagnosis.size(), 2u);
    EXPECT_EQ(v.diagnosis[0].seen,
              "another node is sending on this bus: 12 frames nobody sent, identifiers 0x010, 0x001ABCDE");
    EXPECT_EQ(v.diagnosis[0].direction, 1);
    EXPECT_EQ(v.diagnosis[1].seen, "frames went missing or were damaged between the channels (3 missing, 1 damaged)");
    EXPECT_EQ(v.diagnosis[1].direction, 0);

    // The same fault in several directions: once, with every count.
    back.foreignIds = {{0x10, false}, {0x20, false}};
    back.framesNobodySent = 5;
    run.directions.push_back(back);
    v = decide(run);
    ASSERT_EQ(v.diagnosis.size(), 2u);
    EXPECT_EQ(v.diagnosis[0].seen,
              "another node is sending on this bus: 17 frames nobody sent, identifiers 0x010, 0x001ABCDE, 0x020");
    EXPECT_EQ(v.diagnosis[0].direction, -1);
    run.directions.pop_back();

    // A transmitter that found its frames unacknowledged explains what went
    // missing; a stuck bridge seen by both workers is named once.
    run.directions.pop_back();
    const WorkerEnd stuck = end(WorkerCauses::BridgeStuck, "SPI bridge stuck busy on channel 1");
    run.directions[0].transmitter = stuck;
    run.directions[0].troubles = {stuck};
    v = decide(run);
    ASSERT_EQ(v.diagnosis.size(), 1u);
    EXPECT_EQ(v.diagnosis[0].seen, "the board does not answer: channel 1's SPI bridge stays busy");

    // Full load below its minimum is the host's pace, never the board's.
    run = passing();
    run.directions[0].minLoad = 0.9;
    run.directions[0].minLoadGiven = true;
    run.directions[0].load = 0.5;
    v = decide(run);
    EXPECT_EQ(v.status, NotCarried);
    ASSERT_EQ(v.diagnosis.size(), 1u);
    EXPECT_EQ(v.diagnosis[0].seen.rfind("the host could not keep the bus full", 0), 0u) << v.diagnosis[0].seen;
    // ...but where the traffic was wrong, the board's failure is what is named.
    run.directions[0].framesMissing = 5;
    v = decide(run);
    EXPECT_EQ(v.status, Failed);
    ASSERT_EQ(v.diagnosis.size(), 1u);
    EXPECT_EQ(v.diagnosis[0].seen.rfind("frames went missing", 0), 0u) << v.diagnosis[0].seen;

    // Frames a signal kept from being read are not laid at the cable's door.
    run = passing();
    run.directions[0].framesMissing = 5;
    run.directions[0].interrupted = true;
    run.directions[0].drained = false;
    run.interrupted = true;
    v = decide(run);
    EXPECT_TRUE(v.diagnosis.empty()) << v.diagnosis[0].seen;
}

// The report made before the run says that the run did not finish and its
// result is unknown: nothing of a worker, a driver or a faulty board.
TEST(Verdict, AnUnfinishedRunBlamesNothing)
{
    verdict::Run run;
    run.unfinished = true;
    run.directionsAsked = {"1->2 at 125 kbit/s", "2->1 at 125 kbit/s"};
    const Verdict v = decide(run);
    EXPECT_EQ(v.status, NotCarried);
    ASSERT_EQ(v.cases.size(), 2u);
    for (const verdict::Case &c : v.cases)
        EXPECT_EQ(c.notCarried, v.notCarried) << c.name;
    ASSERT_EQ(v.diagnosis.size(), 1u);
    for (const char *blame : {"worker", "driver", "faulty", "board"}) {
        EXPECT_EQ(v.diagnosis[0].seen.find(blame), std::string::npos) << v.diagnosis[0].seen;
        EXPECT_EQ(v.diagnosis[0].check.find(blame), std::string::npos) << v.diagnosis[0].check;
    }
    EXPECT_NE(v.diagnosis[0].check.find("unknown"), std::string::npos);
}

// Frames that did not go out while a controller counted receive errors are
// another node at another bit rate, not a cable that leaves the other
// channel off the bus; with no receive error, they are.
TEST(Verdict, FramesNotSentBesideReceiveErrorsNameAnotherNodeAtAnotherRate)
{
    verdict::Run run = passing();
    run.directions[0].groupsWhole = 0;
    run.directions[0].transmitter = end(WorkerCauses::FrameNotSent, "frame not sent on channel 1 (status 6)");
    run.controllers[0] = Controller{true, 128, 0, 0x18};
    run.controllers[1] = Controller{true, 0, 0, 0};
    Verdict v = decide(run);
    ASSERT_FALSE(v.diagnosis.empty());
    EXPECT_EQ(v.diagnosis[0].seen, "nothing acknowledged channel 1's frames (its TEC 128): the other channel is not "
                                   "on this bus");

    run.controllers[1] = Controller{true, 0, 131, 0x0B};
    v = decide(run);
    ASSERT_FALSE(v.diagnosis.empty());
    EXPECT_NE(v.diagnosis[0].seen.find("another node at another bit rate"), std::string::npos) << v.diagnosis[0].seen;
    EXPECT_NE(v.diagnosis[0].seen.find("REC up to 131"), std::string::npos) << v.diagnosis[0].seen;
    for (const Diagnosis &d : v.diagnosis)
        EXPECT_EQ(d.seen.find("not on this bus"), std::string::npos) << d.seen;
}

// Counts are written as people write them.
TEST(Verdict, OneFrameIsAFrame)
{
    EXPECT_EQ(counted(1, "frame"), "1 frame");
    EXPECT_EQ(counted(0, "frame"), "0 frames");
    EXPECT_EQ(counted(2, "DMA block"), "2 DMA blocks");
    verdict::Run run = passing();
    run.directions[0].framesNobodySent = 1;
    run.directions[0].foreignIds = {{0x123, false}};
    const Verdict v = decide(run);
    EXPECT_EQ(v.line, "FAIL: 1->2: 1 frame nobody sent");
    ASSERT_FALSE(v.diagnosis.empty());
    EXPECT_EQ(v.diagnosis[0].seen, "another node is sending on this bus: 1 frame nobody sent, identifier 0x123");
}
