// What korvane-check says: a line a second and a line a direction, the
// controllers' error state, the verdict's lines, the interval records, the
// JSON summary and the HTML page's contents, all from the one verdict.
#ifndef CHECK_REPORT_H
#define CHECK_REPORT_H

#include "directionrecord.h"
#include "records.h"
#include "runfacts.h"
#include "verdict.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

namespace report {

// The verdict's last line, with the workers' own lines after a failure.
QString verdictLine(const verdict::Verdict &verdict, const QStringList &workerLines);
// "diagnosis: what was seen; what to check"
QString diagnosisLine(const verdict::Diagnosis &diagnosis);

QString progressLine(const DirectionRecord &result, double elapsed, quint64 sentInSecond);
QString directionLine(const DirectionRecord &result);
QString controllersLine(const verdict::Controller controllers[2]);
// A qualification case as it ended: "identifiers.standard: passed (0.4 s)".
QString caseLine(const verdict::Qualified &qualified);

// One interval record, as --every writes it.
struct Interval {
    IntervalPoint point;
    quint64 number = 0;  // within its direction, from 1
    QString direction;   // "1->2"
    int round = 1;
    bool last = false;   // the direction's last, up to its end
    int board = 0;
    double runSeconds = 0; // since the run began
    TrafficCounts totals;  // the run's, this one included
};
QJsonObject intervalRecord(const Interval &interval);

QByteArray json(const QVector<DirectionRecord> &results, const RunState &state, const verdict::Verdict &verdict);
QByteArray html(const QVector<DirectionRecord> &results, const RunState &state, const verdict::Verdict &verdict,
                bool withControllers);

} // namespace report

#endif
