// What korvane-check prints: a line a direction and the controllers' error
// state, the verdict's facts, a JSON summary and a JUnit XML report.
#ifndef CHECK_REPORT_H
#define CHECK_REPORT_H

#include "runresult.h"
#include "verdict.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

namespace report {

// Everything besides the directions that the verdict rests on.
struct RunState {
    bool interrupted = false;
    QString stuck;
    QString logError;
    QString outputError;
    verdict::Controller controllers[2];
    QStringList workerLines; // shown, not judged
};

verdict::Run facts(const CheckOptions &options, const QVector<DirectionResult> &results, const RunState &state);
// The verdict's last line, with the workers' own lines after a failure.
QString verdictLine(const verdict::Verdict &verdict, const QStringList &workerLines);

QString progressLine(const DirectionResult &result, double elapsed, quint64 sentInSecond);
QString directionLine(const DirectionResult &result);
QString controllersLine(const verdict::Controller controllers[2]);
QByteArray json(const QVector<DirectionResult> &results, const RunState &state, const verdict::Verdict &verdict);
QByteArray junit(const QVector<DirectionResult> &results, const RunState &state, const verdict::Verdict &verdict);

} // namespace report

#endif
