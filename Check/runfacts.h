// What the verdict rests on, gathered from the run: the directions' records
// and the run's own state, turned into the verdict's plain facts. The names
// every output gives the board and the test cases come from here too.
#ifndef CHECK_RUNFACTS_H
#define CHECK_RUNFACTS_H

#include "checkoptions.h"
#include "directionrecord.h"
#include "records.h"
#include "verdict.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <vector>

namespace report {

// Everything besides the directions that the verdict rests on.
struct RunState {
    QString refused;      // the command line, refused
    QString setUpFailure; // the run could not begin
    verdict::Run::SetUpFault setUpFault; // and what it met
    bool unfinished = false; // the report made as the run begins
    bool interrupted = false;
    QString stuck;
    std::vector<verdict::Output> outputs; // the log's fate and the like, as known before the summary
    // The worse of every reading after a direction; asked: they were to be
    // read (the traffic ran and the run was not cut short).
    verdict::Controller controllers[2];
    bool controllersAsked = false;
    QStringList workerLines; // shown, not judged
    int board = 0;           // the board's index, as \\.\CAN<board>
    // The frame log: frames kept in it (and its older half), and dropped.
    quint64 logFramesKept = 0;
    quint64 logFramesDropped = 0;
    // For the HTML report: the command, when and how long, the intervals.
    QString commandLine;
    QString started;
    double runSeconds = 0;
    QVector<IntervalPoint> intervals;
    int intervalsPerPoint = 1;
    // The qualification's cases, every one asked for, in order.
    std::vector<verdict::Qualified> qualified;
};

// The board, as every output names it: "board 2 (\\.\CAN2)".
QString boardName(int board);
// "1->2"
QString directionName(unsigned int from);
// The test case names of the directions asked for ("1->2 at 125 kbit/s",
// later rounds with "(round 2)" and so on).
QStringList caseNames(const CheckOptions &options);

verdict::Run facts(const CheckOptions &options, const QVector<DirectionRecord> &results, const RunState &state);

} // namespace report

#endif
