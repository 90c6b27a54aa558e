#include "report.h"

#include "htmlreport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

namespace report {

namespace {

QJsonObject workerJson(const WorkerReport &report)
{
    QJsonObject object;
    object[QStringLiteral("cause")] = QString::fromLatin1(report.causeName());
    object[QStringLiteral("fault")] = report.boardFault()  ? QStringLiteral("board")
                                      : report.hostFault() ? QStringLiteral("host")
                                                           : QStringLiteral("none");
    object[QStringLiteral("channel")] = int(report.channel);
    object[QStringLiteral("code")] = report.code;
    return object;
}

QStringList strings(const std::vector<std::string> &list)
{
    QStringList out;
    for (const std::string &item : list)
        out << QString::fromStdString(item);
    return out;
}

QString counted(uint64_t count, const char *singular, const char *plural = nullptr)
{
    return QString::fromStdString(verdict::counted(count, singular, plural));
}

QJsonObject countsJson(const TrafficCounts &counts)
{
    QJsonObject o;
    for (const TrafficCounts::Field &f : TrafficCounts::fields())
        o[QLatin1String(f.record)] = double(counts.*f.member);
    return o;
}

QJsonObject controllerJson(int channel, const verdict::Controller &c)
{
    QJsonObject object;
    object[QStringLiteral("channel")] = channel;
    object[QStringLiteral("read")] = c.read;
    object[QStringLiteral("tec")] = c.tec;
    object[QStringLiteral("rec")] = c.rec;
    object[QStringLiteral("eflg")] = c.eflg;
    return object;
}

} // namespace

QString verdictLine(const verdict::Verdict &verdict, const QStringList &workerLines)
{
    QString line = QString::fromStdString(verdict.line);
    if (verdict.status != verdict::Passed && !workerLines.isEmpty())
        line += QStringLiteral("; the workers said: ") + workerLines.join(QStringLiteral(" | "));
    return line;
}

QString diagnosisLine(const verdict::Diagnosis &diagnosis)
{
    return QStringLiteral("diagnosis: %1; %2").arg(QString::fromStdString(diagnosis.seen),
                                                   QString::fromStdString(diagnosis.check));
}

// Each group counted by the receiver is shown once the transmitter has
// reported it too: the receiver may count a group a moment earlier.
QString progressLine(const DirectionRecord &result, double elapsed, quint64 sentInSecond)
{
    const quint64 clean = qMin(result.groupsClean, result.groupsReported);
    const quint64 withErrors = qMin(result.groupsWithErrors, result.groupsReported - clean);
    return QStringLiteral("%1 %2 s: sent %3, received clean %4, with errors %5; %6 groups/s, bus load %7 %")
        .arg(result.name())
        .arg(elapsed, 0, 'f', 0)
        .arg(result.groupsReported)
        .arg(clean)
        .arg(withErrors)
        .arg(double(sentInSecond), 0, 'f', 0)
        .arg(100.0 * busLoad(sentInSecond, result.limitGroupsPerSecond), 0, 'f', 1);
}

QString directionLine(const DirectionRecord &r)
{
    const GroupAccount &a = r.account;
    QString extra;
    if (a.framesAbandoned())
        extra += QStringLiteral(", %1 of the group abandoned at the stop").arg(a.framesAbandoned());
    if (r.framesBeforeRun)
        extra += QStringLiteral(", %1 read from before the run").arg(r.framesBeforeRun);
    if (r.overrunBlocks)
        extra += QStringLiteral(", %1 held back by a full queue").arg(counted(r.overrunBlocks, "DMA block"));
    QString onBus;
    if (r.minLoad >= 0)
        onBus = QStringLiteral(" (%1 % while sending, by the board's times)").arg(100.0 * r.loadOnBus(), 0, 'f', 1);
    return QStringLiteral("%1 at %2 kbit/s, %3 s: sent %4, received clean %5, with errors %6, lost %7; "
                          "by content: %8 whole, %9 missing, %10 damaged, %11 nobody sent%12; "
                          "%13 groups/s, bus load %14 % of the %15 groups/s limit%16")
        .arg(r.round > 1 ? QStringLiteral("%1 (round %2)").arg(r.name()).arg(r.round) : r.name())
        .arg(r.kbps)
        .arg(r.seconds, 0, 'f', 1)
        .arg(r.groupsReported)
        .arg(r.groupsClean)
        .arg(r.groupsWithErrors)
        .arg(r.lost())
        .arg(counted(a.groupsWhole(), "group"))
        .arg(counted(a.framesMissing(), "frame"))
        .arg(a.framesDamaged())
        .arg(a.framesNobodySent())
        .arg(extra)
        .arg(r.groupsPerSecond(), 0, 'f', 1)
        .arg(100.0 * r.load(), 0, 'f', 1)
        .arg(r.limitGroupsPerSecond, 0, 'f', 1)
        .arg(onBus);
}

QString controllersLine(const verdict::Controller controllers[2])
{
    QStringList parts;
    for (int i = 0; i < 2; ++i) {
        const verdict::Controller &c = controllers[i];
        if (!c.read) {
            parts << QStringLiteral("channel %1 could not be read").arg(i + 1);
            continue;
        }
        const QString state = c.busOff()         ? QStringLiteral("bus-off")
                              : c.errorPassive() ? QStringLiteral("error-passive")
                                                 : QStringLiteral("error-active");
        parts << QStringLiteral("channel %1 %2, TEC %3, REC %4, EFLG 0x%5")
                     .arg(i + 1)
                     .arg(state)
                     .arg(c.tec)
                     .arg(c.rec)
                     .arg(c.eflg, 2, 16, QChar('0'));
    }
    return QStringLiteral("controllers: ") + parts.join(QStringLiteral("; "));
}

QString caseLine(const verdict::Qualified &q)
{
    static const char *const results[] = {"not run", "passed", "FAILED", "could not be carried out", "interrupted"};
    QString line = QStringLiteral("%1: %2 (%3 s)")
                       .arg(QString::fromStdString(q.name), QLatin1String(results[q.result]))
                       .arg(q.seconds, 0, 'f', 1);
    if (!q.findings.empty())
        line += QStringLiteral(": ") + QString::fromStdString(q.findings.front());
    return line;
}

QJsonObject intervalRecord(const Interval &interval)
{
    const IntervalPoint &p = interval.point;
    QJsonObject o = countsJson(p.counts);
    o[QStringLiteral("time")] = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    o[QStringLiteral("board")] = interval.board;
    o[QStringLiteral("direction")] = interval.direction;
    o[QStringLiteral("round")] = interval.round;
    o[QStringLiteral("interval")] = double(interval.number);
    o[QStringLiteral("last")] = interval.last;
    o[QStringLiteral("runSeconds")] = interval.runSeconds;
    o[QStringLiteral("start")] = p.start;
    o[QStringLiteral("seconds")] = p.seconds;
    o[QStringLiteral("groupsPerSecond")] = p.groupsPerSecond();
    o[QStringLiteral("busLoad")] = busLoad(p.groupsPerSecond(), p.limitGroupsPerSecond);
    QJsonArray controllers;
    for (int i = 0; i < 2; ++i)
        controllers.append(controllerJson(i + 1, p.controllers[i]));
    o[QStringLiteral("controllers")] = controllers;
    o[QStringLiteral("totals")] = countsJson(interval.totals);
    return o;
}

QByteArray json(const QVector<DirectionRecord> &results, const RunState &state, const verdict::Verdict &verdict)
{
    QJsonArray directions;
    for (const DirectionRecord &r : results) {
        QJsonObject object;
        object[QStringLiteral("from")] = int(r.from);
        object[QStringLiteral("to")] = int(r.to);
        object[QStringLiteral("kbps")] = int(r.kbps);
        object[QStringLiteral("seconds")] = r.seconds;
        for (const auto &figure : r.figures())
            object[figure.first] = figure.second;
        object[QStringLiteral("minLoad")] = r.minLoad;
        object[QStringLiteral("stalled")] = r.stalled;
        object[QStringLiteral("stallReason")] = r.stallReason;
        object[QStringLiteral("transmitterEnded")] = r.transmitterEndedEarly;
        object[QStringLiteral("receiverEnded")] = r.receiverEndedEarly;
        object[QStringLiteral("transmitterEnd")] = workerJson(r.transmitEnd);
        object[QStringLiteral("receiverEnd")] = workerJson(r.receiveEnd);
        QJsonArray troubles;
        for (const WorkerReport &trouble : r.troubles)
            troubles.append(workerJson(trouble));
        object[QStringLiteral("troubles")] = troubles;
        object[QStringLiteral("interrupted")] = r.interrupted;
        object[QStringLiteral("drained")] = r.drained;
        const int index = int(directions.size());
        object[QStringLiteral("passed")] = index < int(verdict.cases.size()) && verdict.cases[size_t(index)].passed();
        if (index < int(verdict.cases.size()))
            object[QStringLiteral("case")] = QString::fromStdString(verdict.cases[size_t(index)].name);
        directions.append(object);
    }
    QJsonArray controllers;
    for (int i = 0; i < 2; ++i) {
        const verdict::Controller &c = state.controllers[i];
        QJsonObject object = controllerJson(i + 1, c);
        object[QStringLiteral("errorPassive")] = c.read && c.errorPassive();
        object[QStringLiteral("busOff")] = c.read && c.busOff();
        controllers.append(object);
    }
    QJsonObject summary;
    summary[QStringLiteral("result")] = QString::fromLatin1(verdict.result());
    summary[QStringLiteral("exitCode")] = int(verdict.status);
    summary[QStringLiteral("board")] = state.board;
    summary[QStringLiteral("interrupted")] = state.interrupted;
    summary[QStringLiteral("directions")] = directions;
    summary[QStringLiteral("controllers")] = controllers;
    summary[QStringLiteral("failures")] = QJsonArray::fromStringList(strings(verdict.failures));
    summary[QStringLiteral("notCarriedOut")] = QJsonArray::fromStringList(strings(verdict.notCarried));
    QJsonArray diagnosis;
    for (const verdict::Diagnosis &d : verdict.diagnosis) {
        QJsonObject object;
        object[QStringLiteral("seen")] = QString::fromStdString(d.seen);
        object[QStringLiteral("check")] = QString::fromStdString(d.check);
        object[QStringLiteral("direction")] =
            d.direction >= 0 && d.direction < results.size() ? QJsonValue(results[d.direction].name()) : QJsonValue();
        diagnosis.append(object);
    }
    summary[QStringLiteral("diagnosis")] = diagnosis;
    if (!state.qualified.empty()) {
        static const char *const results[] = {"not run", "pass", "fail", "error", "interrupted"};
        QJsonArray cases;
        for (const verdict::Qualified &q : state.qualified) {
            QJsonObject object;
            object[QStringLiteral("case")] = QString::fromStdString(q.name);
            object[QStringLiteral("result")] = QLatin1String(results[q.result]);
            object[QStringLiteral("passed")] = q.result == verdict::Qualified::Passed;
            object[QStringLiteral("findings")] = QJsonArray::fromStringList(strings(q.findings));
            object[QStringLiteral("check")] = QString::fromStdString(q.check);
            object[QStringLiteral("seconds")] = q.seconds;
            cases.append(object);
        }
        summary[QStringLiteral("qualification")] = cases;
    }
    summary[QStringLiteral("logFramesKept")] = double(state.logFramesKept);
    summary[QStringLiteral("logFramesDropped")] = double(state.logFramesDropped);
    summary[QStringLiteral("workerMessages")] = QJsonArray::fromStringList(state.workerLines);
    return QJsonDocument(summary).toJson(QJsonDocument::Indented);
}

QByteArray html(const QVector<DirectionRecord> &results, const RunState &state, const verdict::Verdict &verdict,
                bool withControllers)
{
    htmlreport::Page page;
    page.result = QString::fromLatin1(verdict.result());
    page.status = int(verdict.status);
    page.interrupted = state.interrupted;
    page.board = boardName(state.board);
    page.title = QStringLiteral("korvane-check: %1, %2")
                     .arg(state.unfinished ? QStringLiteral("did not finish") : page.result, page.board);
    page.verdictLine = QString::fromStdString(verdict.line);
    page.commandLine = state.commandLine;
    page.started = state.started;
    page.runSeconds = state.runSeconds;
    if (withControllers)
        page.facts << controllersLine(state.controllers);
    for (const QString &line : state.workerLines)
        page.facts << QStringLiteral("worker: ") + line;
    page.directions = results;
    for (const verdict::Case &c : verdict.cases)
        page.caseNames << QString::fromStdString(c.name);
    page.diagnosis = verdict.diagnosis;
    page.intervals = state.intervals;
    page.intervalsPerPoint = state.intervalsPerPoint;
    page.unfinished = state.unfinished;
    page.qualified = state.qualified;
    return htmlreport::render(page);
}

} // namespace report
