#include "report.h"

#include "htmlreport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFile>
#include <QSaveFile>
#include <QXmlStreamWriter>

#include <cerrno>
#include <functional>
#include <cstring>

namespace report {

namespace {

std::string text(const WorkerReport &report)
{
    std::string what = report.causeName();
    if (report.channel)
        what += " on channel " + std::to_string(report.channel);
    if (report.code)
        what += " (status " + std::to_string(report.code) + ")";
    return what;
}

verdict::WorkerEnd workerEnd(bool endedEarly, const WorkerReport &report)
{
    verdict::WorkerEnd end;
    end.endedEarly = endedEarly;
    end.boardFault = report.boardFault();
    end.what = text(report);
    static_assert(int(verdict::WorkerEnd::Stopped) == int(WorkerReport::Stopped) &&
                      int(verdict::WorkerEnd::BridgeStuck) == int(WorkerReport::BridgeStuck) &&
                      int(verdict::WorkerEnd::TooManyBlocks) == int(WorkerReport::TooManyBlocks),
                  "the verdict's causes are the workers'");
    end.cause = verdict::WorkerEnd::Cause(report.cause);
    end.channel = report.channel;
    return end;
}

QString name(unsigned int from)
{
    return QStringLiteral("%1->%2").arg(from).arg(3 - from);
}

QString name(const DirectionResult &result)
{
    return name(result.from);
}

QString caseName(unsigned int from, unsigned int kbps)
{
    return QStringLiteral("%1 at %2 kbit/s").arg(name(from)).arg(kbps);
}

QJsonObject workerJson(const WorkerReport &report)
{
    QJsonObject object;
    object[QStringLiteral("cause")] = QString::fromLatin1(report.causeName());
    object[QStringLiteral("fault")] = report.boardFault() ? QStringLiteral("board")
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

// The figures of a direction, by name, for JSON and JUnit alike.
QVector<QPair<QString, double>> figures(const DirectionResult &r)
{
    const GroupAccount &a = r.account;
    return {
        {QStringLiteral("sent"), double(r.groupsReported)},
        {QStringLiteral("clean"), double(r.groupsClean)},
        {QStringLiteral("withErrors"), double(r.groupsWithErrors)},
        {QStringLiteral("lost"), double(r.lost())},
        {QStringLiteral("groupsWhole"), double(a.groupsWhole())},
        {QStringLiteral("framesMissing"), double(a.framesMissing())},
        {QStringLiteral("framesDamaged"), double(a.framesDamaged())},
        {QStringLiteral("framesNobodySent"), double(a.framesNobodySent())},
        {QStringLiteral("testFrames"), double(a.testFrames())},
        {QStringLiteral("framesAbandoned"), double(a.framesAbandoned())},
        {QStringLiteral("framesBeforeRun"), double(r.framesBeforeRun)},
        {QStringLiteral("overrunBlocks"), double(r.overrunBlocks)},
        {QStringLiteral("groupsPerSecond"), r.groupsPerSecond()},
        {QStringLiteral("limitGroupsPerSecond"), r.limitGroupsPerSecond},
        {QStringLiteral("busLoad"), r.load()},
        {QStringLiteral("busLoadWhileSending"), r.loadOnBus()},
    };
}

} // namespace

QStringList caseNames(const CheckOptions &options)
{
    QStringList names;
    for (unsigned int from : options.directions)
        names << caseName(from, options.kbps[from - 1]);
    // Rounds after the first are named as such.
    const int perRound = options.rounds > 1 ? names.size() / options.rounds : 0;
    for (int i = perRound; perRound && i < names.size(); ++i)
        names[i] += QStringLiteral(" (round %1)").arg(i / perRound + 1);
    return names;
}

verdict::Run facts(const CheckOptions &options, const QVector<DirectionResult> &results, const RunState &state)
{
    verdict::Run run;
    run.refused = state.refused.toStdString();
    run.setUpFailure = state.setUpFailure.toStdString();
    run.setUpFault = state.setUpFault;
    for (const QString &name : caseNames(options))
        run.directionsAsked.push_back(name.toStdString());
    run.kbps[0] = options.kbps[0];
    run.kbps[1] = options.kbps[1];
    run.interrupted = state.interrupted;
    run.stuck = state.stuck.toStdString();
    run.outputs = state.outputs;
    run.controllers[0] = state.controllers[0];
    run.controllers[1] = state.controllers[1];
    for (const DirectionResult &r : results) {
        verdict::Direction d;
        d.from = r.from;
        d.name = name(r).toStdString();
        d.title = run.directions.size() < run.directionsAsked.size() ? run.directionsAsked[run.directions.size()]
                                                                       : caseName(r.from, r.kbps).toStdString();
        d.groupsReported = r.groupsReported;
        d.groupsWhole = r.account.groupsWhole();
        d.framesMissing = r.account.framesMissing();
        d.framesDamaged = r.account.framesDamaged();
        d.framesNobodySent = r.account.framesNobodySent();
        d.foreignIds = r.foreignIds;
        d.stalled = r.stalled;
        d.stallReason = r.stallReason.toStdString();
        d.transmitter = workerEnd(r.transmitterEndedEarly, r.transmitEnd);
        d.receiver = workerEnd(r.receiverEndedEarly, r.receiveEnd);
        for (const WorkerReport &trouble : r.troubles)
            d.troubles.push_back(workerEnd(true, trouble));
        d.overrunBlocks = r.overrunBlocks;
        d.load = r.loadOnBus();
        d.minLoad = r.minLoad;
        d.minLoadGiven = options.minLoadGiven;
        d.sendingMicros = r.lastMicros > r.firstMicros ? r.lastMicros - r.firstMicros : 0;
        d.interrupted = r.interrupted;
        d.drained = r.drained;
        d.cutShort = r.cutShort;
        run.directions.push_back(d);
    }
    return run;
}

QString verdictLine(const verdict::Verdict &verdict, const QStringList &workerLines)
{
    QString line = QString::fromStdString(verdict.line);
    if (verdict.status != verdict::Passed && !workerLines.isEmpty())
        line += QStringLiteral("; the workers said: ") + workerLines.join(QStringLiteral(" | "));
    return line;
}

// Each group counted by the receiver is shown once the transmitter has
// reported it too: the receiver may count a group a moment earlier.
QString progressLine(const DirectionResult &result, double elapsed, quint64 sentInSecond)
{
    const quint64 clean = qMin(result.groupsClean, result.groupsReported);
    const quint64 withErrors = qMin(result.groupsWithErrors, result.groupsReported - clean);
    return QStringLiteral("%1 %2 s: sent %3, received clean %4, with errors %5; %6 groups/s, bus load %7 %")
        .arg(name(result))
        .arg(elapsed, 0, 'f', 0)
        .arg(result.groupsReported)
        .arg(clean)
        .arg(withErrors)
        .arg(double(sentInSecond), 0, 'f', 0)
        .arg(100.0 * sentInSecond / result.limitGroupsPerSecond, 0, 'f', 1);
}

QString boardName(int board)
{
    return QStringLiteral("board %1 (\\\\.\\CAN%1)").arg(board);
}

QString directionName(unsigned int from)
{
    return name(from);
}

namespace {

QJsonObject counts(const IntervalPoint &p)
{
    QJsonObject o;
    o[QStringLiteral("sent")] = double(p.sent);
    o[QStringLiteral("whole")] = double(p.whole);
    o[QStringLiteral("missing")] = double(p.missing);
    o[QStringLiteral("damaged")] = double(p.damaged);
    o[QStringLiteral("nobodySent")] = double(p.nobodySent);
    o[QStringLiteral("overrunBlocks")] = double(p.overrunBlocks);
    return o;
}

} // namespace

QJsonObject intervalRecord(const Interval &interval)
{
    const IntervalPoint &p = interval.point;
    QJsonObject o = counts(p);
    o[QStringLiteral("time")] = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    o[QStringLiteral("board")] = interval.board;
    o[QStringLiteral("direction")] = interval.direction;
    o[QStringLiteral("round")] = interval.round;
    o[QStringLiteral("interval")] = double(interval.number);
    o[QStringLiteral("last")] = interval.last;
    o[QStringLiteral("runSeconds")] = interval.runSeconds;
    o[QStringLiteral("start")] = p.start;
    o[QStringLiteral("seconds")] = p.seconds;
    const double perSecond = p.seconds > 0 ? p.sent / p.seconds : 0;
    o[QStringLiteral("groupsPerSecond")] = perSecond;
    o[QStringLiteral("busLoad")] = p.limitGroupsPerSecond > 0 ? perSecond / p.limitGroupsPerSecond : 0;
    QJsonArray controllers;
    for (int i = 0; i < 2; ++i) {
        const ControllerHealth &c = p.controllers[i];
        QJsonObject object;
        object[QStringLiteral("channel")] = i + 1;
        object[QStringLiteral("read")] = c.read;
        object[QStringLiteral("tec")] = c.tec;
        object[QStringLiteral("rec")] = c.rec;
        object[QStringLiteral("eflg")] = c.eflg;
        controllers.append(object);
    }
    o[QStringLiteral("controllers")] = controllers;
    o[QStringLiteral("totals")] = counts(interval.totals);
    return o;
}

QString diagnosisLine(const verdict::Diagnosis &diagnosis)
{
    return QStringLiteral("diagnosis: %1; %2").arg(QString::fromStdString(diagnosis.seen),
                                                   QString::fromStdString(diagnosis.check));
}

QString directionLine(const DirectionResult &r)
{
    const GroupAccount &a = r.account;
    QString extra;
    if (a.framesAbandoned())
        extra += QStringLiteral(", %1 of the group abandoned at the stop").arg(a.framesAbandoned());
    if (r.framesBeforeRun)
        extra += QStringLiteral(", %1 read from before the run").arg(r.framesBeforeRun);
    if (r.overrunBlocks)
        extra += QStringLiteral(", %1 DMA blocks held back by a full queue").arg(r.overrunBlocks);
    QString onBus;
    if (r.minLoad >= 0)
        onBus = QStringLiteral(" (%1 % while sending, by the board's times)").arg(100.0 * r.loadOnBus(), 0, 'f', 1);
    return QStringLiteral("%1 at %2 kbit/s, %3 s: sent %4, received clean %5, with errors %6, lost %7; "
                          "by content: %8 groups whole, %9 frames missing, %10 damaged, %11 nobody sent%12; "
                          "%13 groups/s, bus load %14 % of the %15 groups/s limit%16")
        .arg(name(r))
        .arg(r.kbps)
        .arg(r.seconds, 0, 'f', 1)
        .arg(r.groupsReported)
        .arg(r.groupsClean)
        .arg(r.groupsWithErrors)
        .arg(r.lost())
        .arg(a.groupsWhole())
        .arg(a.framesMissing())
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
        const QString state = c.busOff() ? QStringLiteral("bus-off")
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

QByteArray json(const QVector<DirectionResult> &results, const RunState &state, const verdict::Verdict &verdict)
{
    QJsonArray directions;
    for (const DirectionResult &r : results) {
        QJsonObject object;
        object[QStringLiteral("from")] = int(r.from);
        object[QStringLiteral("to")] = int(r.to);
        object[QStringLiteral("kbps")] = int(r.kbps);
        object[QStringLiteral("seconds")] = r.seconds;
        for (const auto &figure : figures(r))
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
        QJsonObject object;
        object[QStringLiteral("channel")] = i + 1;
        object[QStringLiteral("read")] = c.read;
        object[QStringLiteral("tec")] = c.tec;
        object[QStringLiteral("rec")] = c.rec;
        object[QStringLiteral("eflg")] = c.eflg;
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
            d.direction >= 0 && d.direction < results.size() ? QJsonValue(name(results[d.direction])) : QJsonValue();
        diagnosis.append(object);
    }
    summary[QStringLiteral("diagnosis")] = diagnosis;
    summary[QStringLiteral("logFramesKept")] = double(state.logFramesKept);
    summary[QStringLiteral("logFramesDropped")] = double(state.logFramesDropped);
    summary[QStringLiteral("workerMessages")] = QJsonArray::fromStringList(state.workerLines);
    return QJsonDocument(summary).toJson(QJsonDocument::Indented);
}

// One test suite, a test case a direction asked for (or one for the run
// when it was refused before any could be named), as the verdict has them.
// The board's failures are <failure> elements; the reasons the test could
// not be carried out, and an interrupt, <error> elements. The figures are
// the suite's properties, named after the direction.
QByteArray html(const QVector<DirectionResult> &results, const RunState &state, const verdict::Verdict &verdict,
               bool withControllers, bool unfinished)
{
    htmlreport::Page page;
    page.result = QString::fromLatin1(verdict.result());
    page.status = int(verdict.status);
    page.interrupted = state.interrupted;
    page.board = boardName(state.board);
    page.title = QStringLiteral("korvane-check: %1, %2").arg(unfinished ? QStringLiteral("did not finish") : page.result,
                                                             page.board);
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
    page.unfinished = unfinished;
    return htmlreport::render(page);
}

QByteArray junit(const QVector<DirectionResult> &results, const RunState &state, const verdict::Verdict &verdict)
{
    int failures = 0;
    int errors = 0;
    double seconds = 0;
    for (const verdict::Case &c : verdict.cases) {
        if (!c.notCarried.empty() || (c.interrupted && c.failures.empty()))
            ++errors;
        else if (!c.failures.empty())
            ++failures;
    }
    for (const DirectionResult &r : results)
        seconds += r.seconds;
    const QString tests = QString::number(verdict.cases.size());
    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement(QStringLiteral("testsuites"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("korvane-check"));
    w.writeAttribute(QStringLiteral("tests"), tests);
    w.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    w.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    w.writeAttribute(QStringLiteral("time"), QString::number(seconds, 'f', 3));
    w.writeStartElement(QStringLiteral("testsuite"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("korvane-check ") + boardName(state.board));
    w.writeAttribute(QStringLiteral("tests"), tests);
    w.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    w.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    w.writeAttribute(QStringLiteral("skipped"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("time"), QString::number(seconds, 'f', 3));
    w.writeAttribute(QStringLiteral("timestamp"),
                     QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
    w.writeStartElement(QStringLiteral("properties"));
    const auto property = [&w](const QString &key, const QString &value) {
        w.writeStartElement(QStringLiteral("property"));
        w.writeAttribute(QStringLiteral("name"), key);
        w.writeAttribute(QStringLiteral("value"), value);
        w.writeEndElement();
    };
    property(QStringLiteral("board"), QString::number(state.board));
    property(QStringLiteral("result"), QString::fromLatin1(verdict.result()));
    property(QStringLiteral("exitCode"), QString::number(int(verdict.status)));
    property(QStringLiteral("interrupted"), state.interrupted ? QStringLiteral("true") : QStringLiteral("false"));
    for (const DirectionResult &r : results) {
        const QString prefix = QStringLiteral("%1to%2.").arg(r.from).arg(r.to);
        for (const auto &figure : figures(r))
            property(prefix + figure.first, QString::number(figure.second, 'g', 12));
    }
    for (int i = 0; i < 2; ++i) {
        const verdict::Controller &c = state.controllers[i];
        if (!c.read)
            continue;
        const QString prefix = QStringLiteral("channel%1.").arg(i + 1);
        property(prefix + QStringLiteral("tec"), QString::number(c.tec));
        property(prefix + QStringLiteral("rec"), QString::number(c.rec));
        property(prefix + QStringLiteral("eflg"), QString::number(c.eflg));
    }
    w.writeEndElement(); // properties
    for (size_t i = 0; i < verdict.cases.size(); ++i) {
        const verdict::Case &c = verdict.cases[i];
        const QStringList caseFailures = strings(c.failures);
        const QStringList caseErrors = strings(c.notCarried);
        // The diagnosis of this direction and of the whole run.
        QStringList caseDiagnosis;
        for (const verdict::Diagnosis &d : verdict.diagnosis) {
            if (d.direction < 0 || size_t(d.direction) == i)
                caseDiagnosis << diagnosisLine(d);
        }
        w.writeStartElement(QStringLiteral("testcase"));
        w.writeAttribute(QStringLiteral("classname"), QStringLiteral("korvane-check.board%1").arg(state.board));
        w.writeAttribute(QStringLiteral("name"), QString::fromStdString(c.name));
        w.writeAttribute(QStringLiteral("time"),
                         QString::number(i < size_t(results.size()) ? results[int(i)].seconds : 0.0, 'f', 3));
        if (!caseErrors.isEmpty()) {
            w.writeStartElement(QStringLiteral("error"));
            w.writeAttribute(QStringLiteral("type"), QStringLiteral("notCarriedOut"));
            w.writeAttribute(QStringLiteral("message"), QStringLiteral("the test could not be carried out: ") +
                                                            caseErrors.join(QStringLiteral("; ")));
            w.writeCharacters((caseErrors + caseFailures + caseDiagnosis).join(QLatin1Char('\n')));
            w.writeEndElement();
        } else if (!caseFailures.isEmpty()) {
            w.writeStartElement(QStringLiteral("failure"));
            w.writeAttribute(QStringLiteral("type"), QStringLiteral("board"));
            w.writeAttribute(QStringLiteral("message"), caseFailures.join(QStringLiteral("; ")) +
                                                            (c.interrupted ? QStringLiteral("; interrupted") : QString()));
            w.writeCharacters((caseFailures + caseDiagnosis).join(QLatin1Char('\n')));
            w.writeEndElement();
        } else if (c.interrupted) {
            w.writeStartElement(QStringLiteral("error"));
            w.writeAttribute(QStringLiteral("type"), QStringLiteral("interrupted"));
            w.writeAttribute(QStringLiteral("message"), c.ran ? QStringLiteral("interrupted")
                                                              : QStringLiteral("interrupted before it began"));
            w.writeEndElement();
        }
        w.writeEndElement(); // testcase
    }
    if (!state.workerLines.isEmpty())
        w.writeTextElement(QStringLiteral("system-out"), state.workerLines.join(QLatin1Char('\n')));
    w.writeEndElement(); // testsuite
    w.writeEndElement(); // testsuites
    w.writeEndDocument();
    return xml;
}

verdict::Verdict Outputs::decide(const QVector<DirectionResult> &results, const RunState &state) const
{
    return verdict::decide(facts(m_options, results, state));
}

bool Outputs::begin(QString *error)
{
    if (m_options.junitPath.isEmpty() && m_options.htmlPath.isEmpty())
        return true;
    RunState unfinished;
    unfinished.board = m_options.board;
    unfinished.commandLine = m_options.commandLine;
    unfinished.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    unfinished.stuck = QStringLiteral("the run did not finish: it ended before it could write its result");
    const verdict::Verdict decided = decide({}, unfinished);
    if (!m_options.junitPath.isEmpty()) {
        *error = writeWhole(m_options.junitPath, junit({}, unfinished, decided));
        if (!error->isEmpty()) {
            *error = QStringLiteral("the JUnit report %1 cannot be created: %2").arg(m_options.junitPath, *error);
            return false;
        }
    }
    if (!m_options.htmlPath.isEmpty()) {
        *error = writeWhole(m_options.htmlPath, html({}, unfinished, decided, false, true));
        if (!error->isEmpty()) {
            *error = QStringLiteral("the HTML report %1 cannot be created: %2").arg(m_options.htmlPath, *error);
            return false;
        }
    }
    return true;
}

// The whole report or nothing: written beside its place and renamed into it.
QString Outputs::writeWhole(const QString &path, const QByteArray &xml)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(xml) != xml.size() || !file.commit())
        return file.errorString();
    return QString();
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

int Outputs::conclude(const QVector<DirectionResult> &results, RunState state, bool withControllers)
{
    const auto resultOutput = [this] { return verdict::Output{"the result", m_resultError.toStdString()}; };
    const bool resultFailedBefore = resultFailed();
    if (resultFailedBefore)
        state.outputs.push_back(resultOutput());
    state.board = m_options.board;
    if (state.commandLine.isEmpty())
        state.commandLine = m_options.commandLine;
    if (state.started.isEmpty())
        state.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    verdict::Verdict decided = decide(results, state);
    // The reports first: whether they could be written is part of what the
    // summary says. One that fails changes the verdict, and a report already
    // written is written again with it; one that cannot be is taken away
    // rather than left to disagree.
    struct Report {
        QString path;
        QString what;
        std::function<QByteArray()> make;
        bool written = false;
    };
    std::vector<Report> reports;
    if (!m_options.junitPath.isEmpty())
        reports.push_back({m_options.junitPath, QStringLiteral("the JUnit report %1").arg(m_options.junitPath),
                           [&] { return junit(results, state, decided); }});
    if (!m_options.htmlPath.isEmpty())
        reports.push_back({m_options.htmlPath, QStringLiteral("the HTML report %1").arg(m_options.htmlPath),
                           [&] { return html(results, state, decided, withControllers); }});
    const auto writeReports = [&](bool again) {
        bool failed = false;
        for (Report &report : reports) {
            if (again && !report.written)
                continue;
            const QString error = writeWhole(report.path, report.make());
            if (error.isEmpty()) {
                report.written = true;
                continue;
            }
            if (again) {
                QFile::remove(report.path);
                report.written = false;
                continue;
            }
            failed = true;
            state.outputs.push_back(verdict::Output{report.what.toStdString(), error.toStdString()});
        }
        return failed;
    };
    if (writeReports(false)) {
        decided = decide(results, state);
        writeReports(true);
    }
    const bool refused = !state.refused.isEmpty() || !state.setUpFailure.isEmpty();
    if (refused) {
        // A refused command line has said why with its usage already.
        if (state.refused.isEmpty())
            std::fprintf(stderr, "korvane-check: %s\n", qPrintable(state.setUpFailure));
        for (const verdict::Diagnosis &d : decided.diagnosis)
            std::fprintf(stderr, "korvane-check: %s\n", qPrintable(diagnosisLine(d)));
        if (m_options.json && state.refused.isEmpty())
            write(stdout, json(results, state, decided));
    } else {
        line(boardName(m_options.board));
        for (const DirectionResult &result : results)
            line(directionLine(result));
        if (withControllers)
            line(controllersLine(state.controllers));
        if (state.logFramesDropped)
            line(QStringLiteral("log: the last %1 frames are in %2.1 and %2; %3 earlier frames were dropped to keep "
                                "it within %4 MB")
                     .arg(QString::number(state.logFramesKept), m_options.logPath,
                          QString::number(state.logFramesDropped), QString::number(m_options.logLimitMb)));
        for (const verdict::Diagnosis &d : decided.diagnosis)
            line(diagnosisLine(d));
        line(verdictLine(decided, state.workerLines));
        if (m_options.json)
            write(stdout, json(results, state, decided));
    }
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
