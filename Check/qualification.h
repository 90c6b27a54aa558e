// The board qualified feature by feature: a catalogue of named cases
// (group.case), each of which drives the board through the library, checks
// what arrives on the other channel (or its own) and in the registers, says
// what it sent beside what came back and what to check, and restores the
// start-up set-up at its end, pass or fail.
#ifndef CHECK_QUALIFICATION_H
#define CHECK_QUALIFICATION_H

#include "bench.h"

#include <functional>
#include <string>
#include <vector>

namespace qualify {

struct Case {
    std::string name;    // "identifiers.standard"
    std::string summary; // one line for --list-cases
    std::function<void(Bench &, Findings &)> run;
};

// Every case, in the order they run.
const std::vector<Case> &catalogue();

// The cases a --cases list names (a group's name takes its cases); an
// empty list, every case. On a name that is no case's nor group's, false
// and *unknown says it.
bool select(const std::string &list, std::vector<const Case *> *chosen, std::string *unknown);

struct Outcome {
    std::string name;
    enum Result { Passed, Failed, NotCarried, Interrupted } result = Passed;
    std::vector<std::string> findings; // what was sent beside what came back
    std::string check;                 // what to check
    double seconds = 0;
};

// Runs one case and restores the start-up set-up after it.
Outcome run(const Case &c, Bench &bench);

// The groups' cases, each in its own file.
std::vector<Case> frameCases();     // identifiers, data, remote
std::vector<Case> bufferCases();    // transmit, receive, filters
std::vector<Case> behaviourCases(); // modes, errors, timing
std::vector<Case> boardCases();     // dma, registers

} // namespace qualify

#endif
