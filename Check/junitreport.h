// The run as a JUnit XML report, the way test stations read one: a test
// suite for the board, a test case a direction asked for (or one for the run
// when it was refused before any could be named), the board's failures as
// <failure> elements, the reasons the test could not be carried out and an
// interrupt as <error> elements, and the figures as the suite's properties,
// each name once in the suite.
#ifndef CHECK_JUNITREPORT_H
#define CHECK_JUNITREPORT_H

#include "directionrecord.h"
#include "runfacts.h"
#include "verdict.h"

#include <QByteArray>
#include <QString>
#include <QVector>

namespace report {

QByteArray junit(const QVector<DirectionRecord> &results, const RunState &state, const verdict::Verdict &verdict);

// Text that XML can hold: characters it forbids (controls but tab and line
// ends, unpaired surrogates, U+FFFE and U+FFFF) written as \xNN or \uNNNN.
QString xmlSafe(const QString &text);

} // namespace report

#endif
