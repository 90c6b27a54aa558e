// The runner's verdict from what a run established, decided in one place:
// no I/O, no Qt, so that every way out can be tested from a table.
//
// Exit statuses, for test stations:
//   0  every group sent arrived whole, nothing else arrived, the controllers
//      stayed error-active, and full load reached its minimum load;
//   1  the board failed (its traffic was wrong, a frame did not go out, a
//      controller went error-passive or bus-off, the SPI bridge stuck busy),
//      or the run was interrupted;
//   2  a usage error, or a board that cannot be opened or configured;
//   3  the test could not be carried out: a driver request failed, the host
//      fell behind the board and lost frames, a worker did not stop in time,
//      full load did not reach its minimum load, or the log or the result
//      could not be written. The board's own failures found until then are
//      listed beside the reason.
#ifndef CHECK_VERDICT_H
#define CHECK_VERDICT_H

#include <cstdint>
#include <string>
#include <vector>

namespace verdict {

enum Status { Passed = 0, Failed = 1, Usage = 2, NotCarried = 3 };

// How a worker's loop ended, as the runner tells it.
struct WorkerEnd {
    bool ended = false;      // before it was asked to
    bool boardFault = false; // the board's failure (else the host's, when ended)
    std::string what;        // e.g. "frame not sent on channel 1 (status 6)"
};

struct Controller {
    bool read = false; // its error state could be read at the end
    int tec = 0;
    int rec = 0;
    int eflg = 0;
    bool errorPassive() const { return (eflg & 0x18) != 0; } // TXEP or RXEP
    bool busOff() const { return (eflg & 0x20) != 0; }       // TXBO
};

struct Direction {
    std::string name; // "1->2"
    uint64_t reported = 0;
    uint64_t whole = 0;
    uint64_t missing = 0;
    uint64_t damaged = 0;
    uint64_t nobodySent = 0;
    bool stalled = false;
    std::string stallReason;
    WorkerEnd transmitter;
    WorkerEnd receiver;
    // Trouble the transmitter went on after (channel 2's withdrawn frames).
    std::vector<WorkerEnd> troubles;
    // DMA blocks that waited for room in a full queue: the host fell behind,
    // and frames may have been lost before they reached it.
    uint64_t overrunBlocks = 0;
    double load = 0;      // share of the bus while sending, 0 to 1
    double minLoad = -1;  // the least load asked for; below 0: none
};

struct Run {
    bool setUpFailed = false;
    std::string setUpReason;
    std::vector<Direction> directions;
    size_t directionsAsked = 0;
    unsigned kbps[2] = {125, 125};
    bool interrupted = false;
    // A worker that did not stop within its deadline.
    std::string stuck;
    std::string logError;
    std::string outputError;
    Controller controllers[2];
};

struct Verdict {
    Status status = Passed;
    std::vector<std::string> failures;   // the board's
    std::vector<std::string> notCarried; // why the test could not be carried out
    std::string line;                    // the last line: PASS, FAIL: ..., ERROR: ...
};

Verdict decide(const Run &run);

} // namespace verdict

#endif
