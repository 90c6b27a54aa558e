#include "outputs.h"

#include "junitreport.h"
#include "outputfile.h"
#include "report.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

namespace report {

QString Outputs::writeReport(const QString &path, const QByteArray &bytes, bool stillAgrees)
{
    const QString error = outputfile::writeWhole(path, bytes);
    if (error.isEmpty()) {
        if (!m_written.contains(path))
            m_written << path;
        return error;
    }
    if (!stillAgrees || !m_written.contains(path)) {
        outputfile::removeFileBehind(path);
        m_written.removeAll(path);
    }
    return error;
}

verdict::Verdict Outputs::decide(const QVector<DirectionRecord> &results, const RunState &state) const
{
    return verdict::decide(facts(m_options, results, state));
}

// Each report made fresh: a regular file is replaced whole by the report of
// a run that has not finished; a device or a pipe is only opened, and gets
// the one report at the end.
bool Outputs::begin(QString *error)
{
    if (m_options.junitPath.isEmpty() && m_options.htmlPath.isEmpty())
        return true;
    RunState unfinished;
    unfinished.board = m_options.board;
    unfinished.commandLine = m_options.commandLine;
    unfinished.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    unfinished.unfinished = true;
    const verdict::Verdict decided = decide({}, unfinished);
    const struct {
        QString path;
        const char *what;
        std::function<QByteArray()> make;
    } reports[] = {
        {m_options.junitPath, "the JUnit report", [&] { return junit({}, unfinished, decided); }},
        {m_options.htmlPath, "the HTML report", [&] { return html({}, unfinished, decided, false); }},
    };
    for (const auto &report : reports) {
        if (report.path.isEmpty())
            continue;
        *error = outputfile::kindOf(report.path) == outputfile::Kind::Other
                     ? outputfile::checkWritable(report.path)
                     : writeReport(report.path, report.make(), true);
        if (!error->isEmpty()) {
            *error = QStringLiteral("%1 %2 cannot be created: %3").arg(QLatin1String(report.what), report.path, *error);
            return false;
        }
    }
    return true;
}

// Writes and flushes, again after an interrupted call; a result's stream
// that takes no more is remembered.
bool Outputs::write(FILE *stream, const QByteArray &bytes)
{
    size_t done = 0;
    const size_t size = size_t(bytes.size());
    int failure = 0;
    while (done < size) {
        errno = 0;
        const size_t wrote = std::fwrite(bytes.constData() + done, 1, size - done, stream);
        done += wrote;
        if (done < size) {
            if (errno == EINTR) {
                std::clearerr(stream);
                continue;
            }
            failure = errno ? errno : EIO;
            break;
        }
    }
    while (!failure) {
        errno = 0;
        if (std::fflush(stream) == 0)
            break;
        if (errno == EINTR) {
            std::clearerr(stream);
            continue;
        }
        failure = errno ? errno : EIO;
    }
    if (failure && m_resultError.isEmpty() && stream == stdout)
        m_resultError = QString::fromLocal8Bit(std::strerror(failure));
    return failure == 0;
}

void Outputs::line(const QString &text)
{
    // Standard output carries the JSON or the records alone when it has them.
    write(m_options.json || m_options.recordsPath == QLatin1String("-") ? stderr : stdout, text.toLocal8Bit() + '\n');
}

void Outputs::printSummary(const QVector<DirectionRecord> &results, const RunState &state,
                           const verdict::Verdict &decided, bool withControllers)
{
    const bool refused = !state.refused.isEmpty() || !state.setUpFailure.isEmpty();
    if (refused) {
        // A refused command line has said why with its usage already.
        if (state.refused.isEmpty())
            std::fprintf(stderr, "korvane-check: %s\n", qPrintable(state.setUpFailure));
        for (const verdict::Diagnosis &d : decided.diagnosis)
            std::fprintf(stderr, "korvane-check: %s\n", qPrintable(diagnosisLine(d)));
    } else {
        line(boardName(m_options.board));
        for (const DirectionRecord &result : results)
            line(directionLine(result));
        for (const verdict::Qualified &q : state.qualified)
            line(caseLine(q));
        if (withControllers)
            line(controllersLine(state.controllers));
        if (state.logFramesDropped) {
            const auto frames = [](quint64 n, const char *one, const char *many) {
                return QString::fromStdString(verdict::counted(n, one, many));
            };
            line(QStringLiteral("log: the last %1 in %2.1 and %2; %3 dropped to keep it within %4 MB")
                     .arg(frames(state.logFramesKept, "frame is", "frames are"), m_options.logPath,
                          frames(state.logFramesDropped, "earlier frame was", "earlier frames were"),
                          QString::number(m_options.logLimitMb)));
        }
        for (const verdict::Diagnosis &d : decided.diagnosis)
            line(diagnosisLine(d));
        line(verdictLine(decided, state.workerLines));
    }
    if (m_options.json)
        write(stdout, json(results, state, decided));
}

int Outputs::conclude(const QVector<DirectionRecord> &results, RunState state, bool withControllers)
{
    const auto resultOutput = [this] { return verdict::Output{"the result", m_resultError.toStdString()}; };
    const bool resultFailedBefore = resultFailed();
    if (resultFailedBefore)
        state.outputs.push_back(resultOutput());
    state.board = m_options.board;
    state.controllersAsked = withControllers;
    if (state.commandLine.isEmpty())
        state.commandLine = m_options.commandLine;
    if (state.started.isEmpty())
        state.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    verdict::Verdict decided = decide(results, state);
    // The reports first: whether they could be written is part of what the
    // summary says. One that fails changes the verdict, and a file already
    // written is written again with it; one that cannot be is taken away
    // rather than left to disagree. A report that could not be written keeps
    // what this run wrote as it began (that it did not finish), never an
    // earlier run's. A device or a pipe takes one report, after the files,
    // with the verdict as it then stands: what went down it cannot be taken
    // back (nor is it ever removed).
    struct Report {
        QString path;
        QString what;
        std::function<QByteArray()> make;
        bool inPlace = false;
        bool written = false;
    };
    std::vector<Report> reports;
    // A test refused because another holds the board writes no report: the
    // paths may well be the holder's.
    const bool boardHeldElsewhere = state.setUpFault.what == verdict::Run::SetUpFault::InUse;
    if (!m_options.junitPath.isEmpty() && !boardHeldElsewhere)
        reports.push_back({m_options.junitPath, QStringLiteral("the JUnit report %1").arg(m_options.junitPath),
                           [&] { return junit(results, state, decided); }});
    if (!m_options.htmlPath.isEmpty() && !boardHeldElsewhere)
        reports.push_back({m_options.htmlPath, QStringLiteral("the HTML report %1").arg(m_options.htmlPath),
                           [&] { return html(results, state, decided, withControllers); }});
    for (Report &report : reports)
        report.inPlace = outputfile::kindOf(report.path) == outputfile::Kind::Other;
    // The files, or the devices and pipes; again: the files written already.
    const auto writeReports = [&](bool again, bool inPlace = false) {
        bool failed = false;
        for (Report &report : reports) {
            if (report.inPlace != inPlace || (again && !report.written))
                continue;
            const QString error = writeReport(report.path, report.make(), !again);
            if (error.isEmpty()) {
                report.written = true;
                continue;
            }
            if (again) {
                report.written = false;
                continue;
            }
            failed = true;
            state.outputs.push_back(verdict::Output{report.what.toStdString(), error.toStdString()});
        }
        return failed;
    };
    bool changed = writeReports(false);
    if (changed)
        decided = decide(results, state);
    if (writeReports(false, true)) {
        changed = true;
        decided = decide(results, state);
    }
    if (changed)
        writeReports(true);
    printSummary(results, state, decided, withControllers);
    if (resultFailed() && !resultFailedBefore) {
        state.outputs.push_back(resultOutput());
        decided = decide(results, state);
        // The reports on disk said the earlier verdict.
        writeReports(true);
    }
    if (resultFailed())
        std::fprintf(stderr, "korvane-check: the result could not be written: %s\n", qPrintable(m_resultError));
    return decided.status;
}

} // namespace report
