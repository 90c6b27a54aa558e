#include "qualification.h"

#include <QElapsedTimer>

#include <sstream>

namespace qualify {

const std::vector<Case> &catalogue()
{
    static const std::vector<Case> all = [] {
        std::vector<Case> cases;
        for (auto part : {frameCases, bufferCases, behaviourCases, boardCases}) {
            for (Case &c : part())
                cases.push_back(std::move(c));
        }
        return cases;
    }();
    return all;
}

bool select(const std::string &list, std::vector<const Case *> *chosen, std::string *unknown)
{
    chosen->clear();
    std::vector<std::string> names;
    std::stringstream in(list);
    for (std::string name; std::getline(in, name, ',');)
        names.push_back(name);
    for (const Case &c : catalogue()) {
        bool wanted = names.empty();
        for (const std::string &name : names)
            wanted = wanted || name == c.name || c.name.rfind(name + ".", 0) == 0;
        if (wanted)
            chosen->push_back(&c);
    }
    for (const std::string &name : names) {
        bool known = false;
        for (const Case &c : catalogue())
            known = known || name == c.name || c.name.rfind(name + ".", 0) == 0;
        if (!known) {
            *unknown = name.empty() ? "an empty name" : name;
            return false;
        }
    }
    return true;
}

Outcome run(const Case &c, Bench &bench)
{
    Outcome outcome;
    outcome.name = c.name;
    QElapsedTimer timer;
    timer.start();
    Findings findings;
    try {
        c.run(bench, findings);
    } catch (const HostFailure &failure) {
        outcome.result = Outcome::NotCarried;
        outcome.findings.push_back(failure.what);
    } catch (const BoardFailure &failure) {
        findings.note(failure.what, "reseat the board in its slot and check its power; if it goes on, the board "
                                    "is faulty");
    }
    // Pass or fail, the board goes back to its start-up set-up.
    try {
        bench.restore();
    } catch (const HostFailure &failure) {
        if (outcome.result == Outcome::Passed)
            outcome.result = Outcome::NotCarried;
        outcome.findings.push_back("restoring the start-up set-up: " + failure.what);
    } catch (const BoardFailure &failure) {
        findings.note("restoring the start-up set-up: " + failure.what,
                      "reseat the board in its slot and check its power; if it goes on, the board is faulty");
    }
    if (bench.stopped()) {
        // A wait the stop cut short looks like a board that did not answer:
        // what the case found after it proves nothing either way.
        outcome.result = Outcome::Interrupted;
        outcome.findings.clear();
        outcome.seconds = timer.elapsed() / 1000.0;
        return outcome;
    }
    if (findings.any() && outcome.result == Outcome::Passed)
        outcome.result = Outcome::Failed;
    for (const std::string &line : findings.lines())
        outcome.findings.push_back(line);
    outcome.check = findings.check();
    outcome.seconds = timer.elapsed() / 1000.0;
    return outcome;
}

} // namespace qualify
