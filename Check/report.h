// What korvane-check writes: a line a direction and the controllers' error
// state, the verdict's facts, a JSON summary and a JUnit XML report, all from
// the one verdict; and the writing itself, whose fate is part of that verdict.
#ifndef CHECK_REPORT_H
#define CHECK_REPORT_H

#include "records.h"
#include "runresult.h"
#include "verdict.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>
#include <vector>

namespace report {

// Everything besides the directions that the verdict rests on.
struct RunState {
    QString refused;      // the command line, refused
    QString setUpFailure; // the run could not begin
    verdict::Run::SetUpFault setUpFault; // and what it met
    bool interrupted = false;
    QString stuck;
    std::vector<verdict::Output> outputs; // the log's fate and the like, as known before the summary
    verdict::Controller controllers[2];
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
};

// The board, as every output names it: "board 2 (\\.\CAN2)".
QString boardName(int board);

// The test case names of the directions asked for.
QStringList caseNames(const CheckOptions &options);
verdict::Run facts(const CheckOptions &options, const QVector<DirectionResult> &results, const RunState &state);
// The verdict's last line, with the workers' own lines after a failure.
QString verdictLine(const verdict::Verdict &verdict, const QStringList &workerLines);

QString progressLine(const DirectionResult &result, double elapsed, quint64 sentInSecond);
QString directionLine(const DirectionResult &result);
QString controllersLine(const verdict::Controller controllers[2]);
// One interval record, as --every writes it.
struct Interval {
    IntervalPoint point;
    quint64 number = 0;  // within its direction, from 1
    QString direction;   // "1->2"
    int round = 1;
    bool last = false;   // the direction's last, up to its end
    int board = 0;
    double runSeconds = 0; // since the run began
    IntervalPoint totals;  // the run's, this one included (counts only)
};
QJsonObject intervalRecord(const Interval &interval);
QString directionName(unsigned int from);

// "diagnosis: what was seen; what to check"
QString diagnosisLine(const verdict::Diagnosis &diagnosis);
QByteArray json(const QVector<DirectionResult> &results, const RunState &state, const verdict::Verdict &verdict);
QByteArray junit(const QVector<DirectionResult> &results, const RunState &state, const verdict::Verdict &verdict);
QByteArray html(const QVector<DirectionResult> &results, const RunState &state, const verdict::Verdict &verdict,
                bool withControllers, bool unfinished = false);

// The run's outputs. The JUnit report is made fresh as the run begins,
// saying that the run did not finish, so that no earlier run's report
// survives whatever stops this one; the end writes it again from the
// verdict. The report is written before the summary, and again if the
// summary then fails: the exit status, the JSON and the report agree.
class Outputs
{
public:
    explicit Outputs(const CheckOptions &options) : m_options(options) {}
    // False, with why, when the JUnit report cannot be created.
    bool begin(QString *error);
    // A line while the run goes on: stdout, or stderr with --json.
    void line(const QString &text);
    // The result's stream took no more: the run should end.
    bool resultFailed() const { return !m_resultError.isEmpty(); }
    void resultClosed(const QString &why) { m_resultError = why; }
    // Decides the verdict, writes the summary, the JSON and the report, and
    // returns the exit status.
    int conclude(const QVector<DirectionResult> &results, RunState state, bool withControllers);

private:
    bool write(FILE *stream, const QByteArray &bytes);
    QString writeWhole(const QString &path, const QByteArray &bytes);
    verdict::Verdict decide(const QVector<DirectionResult> &results, const RunState &state) const;

    CheckOptions m_options;
    QString m_resultError;
};

} // namespace report

#endif
