// The run's outputs and their fate, which is part of the verdict: the JUnit
// and HTML reports are made fresh as the run begins, saying that the run did
// not finish, so that no earlier run's report survives whatever stops this
// one; the end writes them again from the verdict, before the summary, and
// again if the summary then fails, so that the exit status, the JSON and the
// reports agree. A device or a pipe is written once, at the end. A report
// that cannot be written whole is a failed output. A test refused because
// another test holds the board writes no report at all.
#ifndef CHECK_OUTPUTS_H
#define CHECK_OUTPUTS_H

#include "checkoptions.h"
#include "directionrecord.h"
#include "runfacts.h"
#include "verdict.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>

namespace report {

class Outputs
{
public:
    explicit Outputs(const CheckOptions &options) : m_options(options) {}
    // False, with why, when a report cannot be created.
    bool begin(QString *error);
    // A line while the run goes on: stdout, or stderr with --json or
    // --records -.
    void line(const QString &text);
    // The result's stream took no more: the run should end.
    bool resultFailed() const { return !m_resultError.isEmpty(); }
    void resultClosed(const QString &why) { m_resultError = why; }
    // Decides the verdict, writes the reports, the summary and the JSON,
    // and returns the exit status: the verdict's.
    int conclude(const QVector<DirectionRecord> &results, RunState state, bool withControllers);

private:
    bool write(FILE *stream, const QByteArray &bytes);
    // Writes a report whole; one that cannot be is taken away (a regular
    // file only) unless this run has written it already and it still
    // agrees with what the run says: an earlier run's report never stands.
    QString writeReport(const QString &path, const QByteArray &bytes, bool stillAgrees);
    verdict::Verdict decide(const QVector<DirectionRecord> &results, const RunState &state) const;
    void printSummary(const QVector<DirectionRecord> &results, const RunState &state,
                      const verdict::Verdict &decided, bool withControllers);

    CheckOptions m_options;
    QString m_resultError;
    QStringList m_written; // the reports this run has written
};

} // namespace report

#endif
