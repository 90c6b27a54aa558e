#include "report.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamWriter>

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

verdict::WorkerEnd workerEnd(bool ended, const WorkerReport &report)
{
    verdict::WorkerEnd end;
    end.ended = ended;
    end.boardFault = report.boardFault();
    end.what = text(report);
    return end;
}

QString name(const DirectionResult &result)
{
    return QStringLiteral("%1->%2").arg(result.from).arg(result.to);
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
        {QStringLiteral("sent"), double(r.sent)},
        {QStringLiteral("clean"), double(r.clean)},
        {QStringLiteral("withErrors"), double(r.withErrors)},
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

verdict::Run facts(const CheckOptions &options, const QVector<DirectionResult> &results, const RunState &state)
{
    verdict::Run run;
    run.directionsAsked = size_t(options.directions.size());
    run.kbps[0] = options.kbps[0];
    run.kbps[1] = options.kbps[1];
    run.interrupted = state.interrupted;
    run.stuck = state.stuck.toStdString();
    run.logError = state.logError.toStdString();
    run.outputError = state.outputError.toStdString();
    run.controllers[0] = state.controllers[0];
    run.controllers[1] = state.controllers[1];
    for (const DirectionResult &r : results) {
        verdict::Direction d;
        d.name = name(r).toStdString();
        d.reported = r.sent;
        d.whole = r.account.groupsWhole();
        d.missing = r.account.framesMissing();
        d.damaged = r.account.framesDamaged();
        d.nobodySent = r.account.framesNobodySent();
        d.stalled = r.stalled;
        d.stallReason = r.stallReason.toStdString();
        d.transmitter = workerEnd(r.transmitterEnded, r.transmitEnd);
        d.receiver = workerEnd(r.receiverEnded, r.receiveEnd);
        for (const WorkerReport &trouble : r.troubles)
            d.troubles.push_back(workerEnd(true, trouble));
        d.overrunBlocks = r.overrunBlocks;
        d.load = r.loadOnBus();
        d.minLoad = r.minLoad;
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
    const quint64 clean = qMin(result.clean, result.sent);
    const quint64 withErrors = qMin(result.withErrors, result.sent - clean);
    return QStringLiteral("%1 %2 s: sent %3, received clean %4, with errors %5; %6 groups/s, bus load %7 %")
        .arg(name(result))
        .arg(elapsed, 0, 'f', 0)
        .arg(result.sent)
        .arg(clean)
        .arg(withErrors)
        .arg(double(sentInSecond), 0, 'f', 0)
        .arg(100.0 * sentInSecond / result.limitGroupsPerSecond, 0, 'f', 1);
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
        .arg(r.sent)
        .arg(r.clean)
        .arg(r.withErrors)
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
        object[QStringLiteral("transmitterEnded")] = r.transmitterEnded;
        object[QStringLiteral("receiverEnded")] = r.receiverEnded;
        object[QStringLiteral("transmitterEnd")] = workerJson(r.transmitEnd);
        object[QStringLiteral("receiverEnd")] = workerJson(r.receiveEnd);
        QJsonArray troubles;
        for (const WorkerReport &trouble : r.troubles)
            troubles.append(workerJson(trouble));
        object[QStringLiteral("troubles")] = troubles;
        const std::string prefix = name(r).toStdString() + ": ";
        bool passed = true;
        for (const std::string &failure : verdict.failures)
            passed = passed && failure.compare(0, prefix.size(), prefix) != 0;
        for (const std::string &reason : verdict.notCarried)
            passed = passed && reason.compare(0, prefix.size(), prefix) != 0;
        object[QStringLiteral("passed")] = passed && !r.stalled && !r.transmitterEnded && !r.receiverEnded;
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
    summary[QStringLiteral("result")] = verdict.status == verdict::Passed   ? QStringLiteral("pass")
                                        : verdict.status == verdict::Failed ? QStringLiteral("fail")
                                                                            : QStringLiteral("error");
    summary[QStringLiteral("exitCode")] = int(verdict.status);
    summary[QStringLiteral("interrupted")] = state.interrupted;
    summary[QStringLiteral("directions")] = directions;
    summary[QStringLiteral("controllers")] = controllers;
    summary[QStringLiteral("failures")] = QJsonArray::fromStringList(strings(verdict.failures));
    summary[QStringLiteral("notCarriedOut")] = QJsonArray::fromStringList(strings(verdict.notCarried));
    summary[QStringLiteral("workerMessages")] = QJsonArray::fromStringList(state.workerLines);
    return QJsonDocument(summary).toJson(QJsonDocument::Indented);
}

// One test suite, a test case a direction. The board's failures are
// <failure> elements, the reasons the test could not be carried out <error>
// elements; what concerns the whole run (bit rates, the controllers, an
// interrupt, the log) goes with every direction. The figures are the
// suite's properties, named after the direction.
QByteArray junit(const QVector<DirectionResult> &results, const RunState &state, const verdict::Verdict &verdict)
{
    const auto mine = [](const std::string &item, const QString &direction) {
        const std::string prefix = direction.toStdString() + ": ";
        return item.compare(0, prefix.size(), prefix) == 0;
    };
    const auto anyDirection = [&](const std::string &item) {
        for (const DirectionResult &r : results) {
            if (mine(item, name(r)))
                return true;
        }
        return false;
    };
    struct Case {
        QString name;
        double seconds;
        QStringList failures;
        QStringList errors;
    };
    QVector<Case> cases;
    int failures = 0;
    int errors = 0;
    double seconds = 0;
    for (const DirectionResult &r : results) {
        Case c{QStringLiteral("%1 at %2 kbit/s").arg(name(r)).arg(r.kbps), r.seconds, {}, {}};
        for (const std::string &item : verdict.failures) {
            if (mine(item, name(r)) || !anyDirection(item))
                c.failures << QString::fromStdString(item);
        }
        for (const std::string &item : verdict.notCarried) {
            if (mine(item, name(r)) || !anyDirection(item))
                c.errors << QString::fromStdString(item);
        }
        failures += c.errors.isEmpty() && !c.failures.isEmpty() ? 1 : 0;
        errors += c.errors.isEmpty() ? 0 : 1;
        seconds += r.seconds;
        cases.append(c);
    }
    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement(QStringLiteral("testsuites"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("korvane-check"));
    w.writeAttribute(QStringLiteral("tests"), QString::number(cases.size()));
    w.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    w.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    w.writeAttribute(QStringLiteral("time"), QString::number(seconds, 'f', 3));
    w.writeStartElement(QStringLiteral("testsuite"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("korvane-check"));
    w.writeAttribute(QStringLiteral("tests"), QString::number(cases.size()));
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
    property(QStringLiteral("result"), verdict.status == verdict::Passed   ? QStringLiteral("pass")
                                       : verdict.status == verdict::Failed ? QStringLiteral("fail")
                                                                           : QStringLiteral("error"));
    property(QStringLiteral("exitCode"), QString::number(int(verdict.status)));
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
    for (const Case &c : cases) {
        w.writeStartElement(QStringLiteral("testcase"));
        w.writeAttribute(QStringLiteral("classname"), QStringLiteral("korvane-check"));
        w.writeAttribute(QStringLiteral("name"), c.name);
        w.writeAttribute(QStringLiteral("time"), QString::number(c.seconds, 'f', 3));
        if (!c.errors.isEmpty()) {
            w.writeStartElement(QStringLiteral("error"));
            w.writeAttribute(QStringLiteral("type"), QStringLiteral("notCarriedOut"));
            w.writeAttribute(QStringLiteral("message"), QStringLiteral("the test could not be carried out: ") +
                                                            c.errors.join(QStringLiteral("; ")));
            w.writeCharacters((c.errors + c.failures).join(QLatin1Char('\n')));
            w.writeEndElement();
        } else if (!c.failures.isEmpty()) {
            w.writeStartElement(QStringLiteral("failure"));
            w.writeAttribute(QStringLiteral("type"), QStringLiteral("board"));
            w.writeAttribute(QStringLiteral("message"), c.failures.join(QStringLiteral("; ")));
            w.writeCharacters(c.failures.join(QLatin1Char('\n')));
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

} // namespace report
