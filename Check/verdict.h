// The runner's verdict, decided in one place from one record of what
// happened: no I/O, no Qt, so that every way out can be tested from a table.
// The summary, the JSON and the JUnit report are all written from it, and
// the exit status is its status, whatever way the run ends.
//
// Exit statuses, for test stations:
//   0  every group sent arrived whole, nothing else arrived, the controllers
//      were read error-active at the end, and full load reached its minimum
//      load;
//   1  the board failed (its traffic was wrong, a frame did not go out, a
//      controller went error-passive or bus-off, the SPI bridge stuck busy),
//      or the run was interrupted;
//   2  refused: a usage error, a board that cannot be opened or configured or
//      is in use by another test, or a log or report file that cannot be
//      created;
//   3  the test could not be carried out: a driver request failed, the host
//      fell behind the board and lost frames, a worker did not stop in time,
//      a controller could not be read, full load did not reach its minimum
//      load, or the log, the report or the result could not be written. The
//      board's own failures found until then are listed beside the reasons.
#ifndef CHECK_VERDICT_H
#define CHECK_VERDICT_H

#include "controllerhealth.h"
#include "workercause.h"

#include <cstdint>
#include <string>
#include <vector>

namespace verdict {

enum Status { Passed = 0, Failed = 1, Usage = 2, NotCarried = 3 };

// How a worker's loop ended, as the runner tells it. Whose failure it was
// follows from the cause (WorkerCauses' table).
struct WorkerEnd {
    using Cause = WorkerCauses::Cause;
    bool endedEarly = false; // before it was asked to
    std::string what;        // e.g. "frame not sent on channel 1 (status 6)"
    Cause cause = WorkerCauses::Stopped;
    unsigned channel = 0;
    bool boardFault() const { return WorkerCauses::faultOf(cause) == WorkerCauses::Fault::Board; }
};

// A frame's identifier.
struct Identifier {
    uint32_t id = 0;
    bool extended = false;
    bool operator==(const Identifier &o) const { return id == o.id && extended == o.extended; }
};

using Controller = ControllerHealth;

struct Direction {
    unsigned from = 1;  // the transmitting channel
    std::string name;   // "1->2", or "1->2 (round 2)" in later rounds
    std::string title;  // the test case's name, "1->2 at 125 kbit/s"
    uint64_t groupsReported = 0;
    uint64_t groupsWhole = 0;
    uint64_t framesMissing = 0;
    uint64_t framesDamaged = 0;
    uint64_t framesNobodySent = 0;
    std::vector<Identifier> foreignIds; // the first few identifiers of those, each once
    bool stalled = false;
    std::string stallReason;
    WorkerEnd transmitter;
    WorkerEnd receiver;
    // Trouble the transmitter went on after (channel 2's withdrawn frames).
    std::vector<WorkerEnd> troubles;
    // DMA blocks that waited for room in a full queue: the host fell behind,
    // and frames may have been lost before they reached it.
    uint64_t overrunBlocks = 0;
    // The first block after the queues were emptied marked so: the board's
    // flag, not the host. Stamps that stepped back: the board's clock.
    bool waitedAfterClear = false;
    uint64_t stampsBack = 0;
    unsigned kbps = 0;
    double load = 0;      // share of the bus while sending, by the board's times
    double minLoad = -1;  // the least load asked for; below 0: none
    bool minLoadGiven = false;  // asked for on the command line, else the default
    uint64_t sendingMicros = 0; // from the first test frame on the bus to the last
    // The least time between the ends of two frames on the bus, by the
    // board's stamps, as a share of the later frame's bits at the bit rate
    // (a test frame's bits are known exactly); below 0 when no two were timed.
    double quickestFrame = -1;
    // A signal came while the direction ran; and whether every frame surely
    // sent had been read by its end nevertheless.
    bool interrupted = false;
    bool drained = true;
    // The run ended at once inside it (a worker that did not stop, a second
    // signal): what it sent was not all waited for.
    bool cutShort = false;
};

// A case of the board's qualification, as it ended.
struct Qualified {
    std::string name; // "identifiers.standard"
    enum Result { NotRun, Passed, Failed, NotCarried, Interrupted } result = NotRun;
    std::vector<std::string> findings; // what was sent beside what came back, or why not carried out
    std::string check;                 // what to check, for a case that failed
    double seconds = 0;
};

// What happened to one of the run's outputs.
struct Output {
    std::string what;  // "the log x.log", "the JUnit report r.xml", "the result"
    std::string error; // empty: written whole
};

struct Run {
    // The command line was refused; nothing was run.
    std::string refused;
    // The run could not begin: the board, its set-up, a file to write.
    std::string setUpFailure;
    // What the set-up met, when it failed: the board could not be opened or
    // was held by another test, a channel's SPI bridge stayed busy, a
    // controller did not change its mode, or a driver request failed.
    struct SetUpFault {
        enum What { None, NotOpened, InUse, BridgeStuck, ModeNotReached, RequestFailed } what = None;
        unsigned channel = 0;
    } setUpFault;
    // The report made as the run begins: the run has not finished (if it is
    // what stays, the run ended without writing its result).
    bool unfinished = false;
    std::vector<std::string> directionsAsked; // their test case names, in order
    std::vector<Direction> directions;        // those that ran
    unsigned kbps[2] = {125, 125};
    bool interrupted = false;
    // A worker that did not stop within its deadline.
    std::string stuck;
    std::vector<Output> outputs;
    // The controllers as read after the traffic, the worse of every reading;
    // controllersAsked: the traffic ran and they were to be read, so one that
    // could not be read leaves the run unjudged.
    Controller controllers[2];
    bool controllersAsked = false;
    // The qualification instead of the traffic: every case asked for, in
    // order, those that did not run as such.
    bool qualifying = false;
    std::vector<Qualified> qualified;
};

// What one test case of the report holds: a direction asked for, or the
// run itself when none could be named.
struct Case {
    std::string name;
    std::vector<std::string> failures;   // the board's
    std::vector<std::string> notCarried; // why the test could not be carried out
    bool interrupted = false;
    bool ran = false;
    double seconds = -1; // a qualification case's own time
    bool passed() const { return ran && failures.empty() && notCarried.empty() && !interrupted; }
};

// What a failed run saw, and what the person at the station checks next.
struct Diagnosis {
    std::string seen;
    std::string check;
    int direction = -1; // the direction's index in Run::directions; -1: the run's
};

struct Verdict {
    Status status = Passed;
    std::vector<std::string> failures;   // the board's
    std::vector<std::string> notCarried; // why the test could not be carried out, every reason
    std::string line;                    // the last line: PASS, FAIL: ..., ERROR: ...
    std::vector<Case> cases;             // never empty
    std::vector<Diagnosis> diagnosis;    // empty when the run passed
    const char *result() const { return status == Passed ? "pass" : status == Failed ? "fail" : "error"; }
};

Verdict decide(const Run &run);

// What the evidence of a run that did not pass points to, most telling
// first; nothing for a run that passed or was only interrupted.
std::vector<Diagnosis> diagnose(const Run &run, Status status);

// "1 frame", "2 frames": a count and its noun, as every output writes them.
std::string counted(uint64_t count, const char *singular, const char *plural = nullptr);

} // namespace verdict

#endif
