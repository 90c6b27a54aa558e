// korvane-check on the emulated board, run as a test station would run it.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <QScopeGuard>
#include <QXmlStreamReader>

#include <algorithm>
#include <memory>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

Run check(const QStringList &arguments, const QStringList &environment = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &assignment : environment)
        env.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(KORVANE_CHECK), arguments);
    Run run;
    if (!process.waitForFinished(120000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// Reads the runner's stderr until a line matches; false after a minute
// without one.
bool awaitLine(QProcess &process, const QRegularExpression &pattern)
{
    process.setReadChannel(QProcess::StandardError);
    for (;;) {
        if (!process.canReadLine() && !process.waitForReadyRead(60000))
            return false;
        if (process.canReadLine() && pattern.match(QString::fromUtf8(process.readLine())).hasMatch())
            return true;
    }
}

// What a JUnit report says, as a station's CI reads it.
struct Junit {
    bool read = false;
    QString result;
    int exitCode = -1;
    int cases = 0;
    int failed = 0; // <failure> and <error> elements
    QStringList messages;
};

Junit readJunit(const QString &path)
{
    Junit report;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return report;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes a = xml.attributes();
        if (xml.name() == QLatin1String("property") && a.value("name") == QLatin1String("result"))
            report.result = a.value("value").toString();
        else if (xml.name() == QLatin1String("property") && a.value("name") == QLatin1String("exitCode"))
            report.exitCode = a.value("value").toInt();
        else if (xml.name() == QLatin1String("testcase"))
            ++report.cases;
        else if (xml.name() == QLatin1String("failure") || xml.name() == QLatin1String("error")) {
            ++report.failed;
            report.messages << a.value("message").toString();
        }
    }
    report.read = !xml.hasError();
    return report;
}

// The runner under bash, as a station's script runs it: $0 is the runner,
// "$@" the arguments, $DIR a folder of the test's own.
struct Shell {
    int exitCode = -1;
    QString out;
    QString err;
};
Shell inBash(const QString &script, const QString &dir, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DIR", dir);
    process.setProcessEnvironment(env);
    process.start("bash", QStringList{"-c", script, QStringLiteral(KORVANE_CHECK)} + arguments);
    Shell shell;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return shell;
    shell.exitCode = process.exitCode();
    shell.out = QString::fromUtf8(process.readAllStandardOutput());
    shell.err = QString::fromUtf8(process.readAllStandardError());
    return shell;
}

// A run that could not be carried out only because the host fell behind
// the board: what a test of something else accepts from a loaded host.
bool onlyTheHostFellBehind(const Run &run)
{
    const QJsonObject summary = run.json();
    if (run.exitCode != 3 || !summary["failures"].toArray().isEmpty())
        return false;
    for (const QJsonValue &reason : summary["notCarriedOut"].toArray()) {
        if (!reason.toString().contains("the host fell behind the board"))
            return false;
    }
    return true;
}

} // namespace

class TestCheck : public QObject
{
    Q_OBJECT

private slots:
    void everyRateBothDirectionsPass_data();
    void everyRateBothDirectionsPass();
    void foreignFramesFailTheRunButCostNoGroup_data();
    void foreignFramesFailTheRunButCostNoGroup();
    void unacknowledgedFramesEndTheDirection();
    void failedRequestIsNeverAPassNorABoardFailure_data();
    void failedRequestIsNeverAPassNorABoardFailure();
    void bitRateMismatchFailsWithItsReason_data();
    void bitRateMismatchFailsWithItsReason();
    void noBoardOrBadOptionIsAUsageFailure_data();
    void noBoardOrBadOptionIsAUsageFailure();
    void logHoldsEveryReceivedFrame();
    void logKeepsWithinItsLimit();
    void signalEndsTheRunWithItsSummaryAndLog_data();
    void signalEndsTheRunWithItsSummaryAndLog();
    void unwritableOutputIsNeverAPass_data();
    void unwritableOutputIsNeverAPass();
    void helpAllPrintsHelpOnly();
    void slowDriverOrPausedHostIsNoStall_data();
    void slowDriverOrPausedHostIsNoStall();
    void hostThatFellBehindIsNeverABoardFailure();
    void everyFrameOnTheBusInsideTheRunIsRead();
    void fullLoadSeesTransmitErrorsAndItsLoad_data();
    void fullLoadSeesTransmitErrorsAndItsLoad();
    void signalDuringSetUpOrASlowStopEndsSoon();
    void summarySurvivesASignalWhileOutputIsBlocked_data();
    void summarySurvivesASignalWhileOutputIsBlocked();
    void failedSetUpLeavesNoEarlierLog();
    void junitReportIsWhatStationsRead();
    void reportsAreNeverGreenAfterAFailedRun_data();
    void reportsAreNeverGreenAfterAFailedRun();
    void interruptedRunsReportNoPassAndNoBoardFailure();
    void recordsAddUpToTheSummaryAndSurviveAKill();
    void theFaultIsNamed_data();
    void theFaultIsNamed();
    void boardsSideBySideEachAgainstItsOwnBus_data();
    void boardsSideBySideEachAgainstItsOwnBus();
    void unreadControllerIsNeverAPass();
    void outputsThatWouldMeetOrChangeTheirNamesAreRefused_data();
    void outputsThatWouldMeetOrChangeTheirNamesAreRefused();
    void nonRegularOutputsAreWrittenInPlace();
    void aKilledRunsReportSaysOnlyThatItDidNotFinish();
    void aBoardIsHeldByOneTestAtATime();
};

void TestCheck::everyRateBothDirectionsPass_data()
{
    QTest::addColumn<QString>("kbps");
    QTest::addColumn<QString>("load");
    for (const char *kbps : {"125", "250", "500", "1000"})
        QTest::addRow("%s", kbps) << QString(kbps) << "window";
    for (const char *kbps : {"125", "1000"})
        QTest::addRow("%s, full load", kbps) << QString(kbps) << "full";
}

void TestCheck::everyRateBothDirectionsPass()
{
    QFETCH(QString, kbps);
    QFETCH(QString, load);
    // Exactly the groups asked for, each whole.
    const Run run = check({"--rate", kbps, "--groups", "30", "--load", load, "--json", "--quiet"});
    QVERIFY2(run.exitCode == 0, run.out + run.err);
    const QJsonObject summary = run.json();
    QCOMPARE(summary["result"].toString(), QString("pass"));
    const QJsonArray directions = summary["directions"].toArray();
    QCOMPARE(directions.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject direction = directions[i].toObject();
        QCOMPARE(direction["from"].toInt(), 1 + i);
        QCOMPARE(direction["kbps"].toInt(), kbps.toInt());
        QCOMPARE(direction["sent"].toDouble(), 30.0);
        QCOMPARE(direction["clean"].toDouble(), 30.0);
        QCOMPARE(direction["groupsWhole"].toDouble(), 30.0);
        QCOMPARE(direction["testFrames"].toDouble(), 150.0);
        const double load = direction["busLoad"].toDouble();
        QVERIFY2(load > 0 && load <= 1.0, qPrintable(QString::number(load)));
    }
}

void TestCheck::foreignFramesFailTheRunButCostNoGroup_data()
{
    QTest::addColumn<QString>("foreign");
    QTest::addColumn<QString>("kbps");
    QTest::addColumn<QString>("seconds");
    QTest::newRow("every 100 ms at 1 Mbit/s") << "2:0x123:100" << "1000" << "1";
    QTest::newRow("every 20 ms") << "2:0x123:20" << "125" << "0.5";
}

// A frame nobody sent shifts the window-style grouping for the rest of the
// run, but the runner's own account still finds every group whole, waits for
// the last test frame, and fails the run for those frames alone. The node
// sends for as long as the run lasts, so that frames fall inside the run
// however long the host takes to start it.
void TestCheck::foreignFramesFailTheRunButCostNoGroup()
{
    QFETCH(QString, foreign);
    QFETCH(QString, kbps);
    QFETCH(QString, seconds);
    const Run run = check({"--direction", "1to2", "--rate", kbps, "--seconds", seconds, "--json", "--quiet"},
                          {"KORVANE_EMU_FOREIGN=" + foreign});
    QCOMPARE(run.exitCode, 1);
    const QJsonObject summary = run.json();
    const QJsonObject direction = summary["directions"].toArray()[0].toObject();
    const double sent = direction["sent"].toDouble();
    const double foreignFrames = direction["framesNobodySent"].toDouble();
    QVERIFY(sent > 0);
    QVERIFY2(foreignFrames >= 5, qPrintable(QString::number(foreignFrames)));
    QCOMPARE(direction["groupsWhole"].toDouble(), sent);
    QCOMPARE(direction["testFrames"].toDouble(), 5 * sent);
    QCOMPARE(direction["framesMissing"].toDouble(), 0.0);
    QCOMPARE(summary["failures"].toArray(),
             QJsonArray({QString("1->2: %1 frames nobody sent").arg(foreignFrames)}));
}

// A transmitter that cannot get its frames out (nobody acknowledges them):
// on channel 1 its loop ends; on channel 2 it withdraws the frame and would
// try again for ever, but the board's failure ends the direction at once,
// even when only a number of groups was asked for. Neither is a stall: the
// driver answers.
void TestCheck::unacknowledgedFramesEndTheDirection()
{
    const Run run = check({"--groups", "10", "--json", "--quiet"}, {"KORVANE_EMU_CUT=1"});
    QCOMPARE(run.exitCode, 1);
    const QJsonArray directions = run.json()["directions"].toArray();
    const QJsonObject one = directions[0].toObject();
    QVERIFY(one["transmitterEnded"].toBool());
    QCOMPARE(one["transmitterEnd"].toObject()["cause"].toString(), QString("frame not sent"));
    QCOMPARE(one["transmitterEnd"].toObject()["fault"].toString(), QString("board"));
    const QJsonObject two = directions[1].toObject();
    QVERIFY(!one["stalled"].toBool() && !two["stalled"].toBool());
    QVERIFY(!two["troubles"].toArray().isEmpty());
    QCOMPARE(two["troubles"].toArray()[0].toObject()["fault"].toString(), QString("board"));
    QCOMPARE(run.json()["result"].toString(), QString("fail"));
}

void TestCheck::bitRateMismatchFailsWithItsReason_data()
{
    QTest::addColumn<QString>("load");
    QTest::newRow("window") << "window";
    QTest::newRow("full load") << "full";
}

// Frames nobody acknowledges: the window's sequence ends its loop; the
// full-load one gives its stuck frames a second after the stop, then takes
// them back. Neither holds the run up.
void TestCheck::bitRateMismatchFailsWithItsReason()
{
    QFETCH(QString, load);
    const Run run = check({"--rate1", "125", "--rate2", "250", "--direction", "1to2", "--seconds", "0.5", "--load", load});
    QCOMPARE(run.exitCode, 1);
    const QString verdict = QString::fromUtf8(run.out).trimmed().section('\n', -1);
    QVERIFY2(verdict.startsWith("FAIL: 1->2: the transmit loop ended before it was stopped: frame not sent on "
                                "channel 1"),
             qPrintable(verdict));
    QVERIFY2(verdict.contains("1->2: no group was sent"), qPrintable(verdict));
    QVERIFY2(verdict.contains("different bit rates (125 and 250 kbit/s)"), qPrintable(verdict));
    if (load == "window")
        QVERIFY2(verdict.contains("check transmit error 1 : 0"), qPrintable(verdict));
}

void TestCheck::noBoardOrBadOptionIsAUsageFailure_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QString>("said");
    QTest::newRow("no board") << QStringList{} << QStringList{"KORVANE_EMU_NO_BOARD=1"}
                              << "korvane-check: cannot open \\\\.\\CAN0";
    QTest::newRow("rate") << QStringList{"--rate", "300"} << QStringList{} << "Usage:";
    QTest::newRow("direction") << QStringList{"--direction", "3to1"} << QStringList{} << "Usage:";
    QTest::newRow("seconds") << QStringList{"--seconds", "-1"} << QStringList{} << "Usage:";
    QTest::newRow("unknown") << QStringList{"--colour"} << QStringList{} << "Usage:";
    QTest::newRow("exponent") << QStringList{"--seconds", "1e-1"} << QStringList{} << "Usage:";
    QTest::newRow("twice") << QStringList{"--rate", "500", "--rate", "250"} << QStringList{} << "Usage:";
    QTest::newRow("load") << QStringList{"--load", "heavy"} << QStringList{} << "Usage:";
}

void TestCheck::noBoardOrBadOptionIsAUsageFailure()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(QString, said);
    const Run run = check(arguments, environment);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(said.toUtf8()), run.err.constData());
    QVERIFY(run.out.isEmpty());
    // With --json, the refusal is the JSON's too.
    const Run json = check(arguments + QStringList{"--json"}, environment);
    QCOMPARE(json.exitCode, 2);
    const QJsonObject summary = json.json();
    QCOMPARE(summary["result"].toString(), QString("error"));
    QCOMPARE(summary["exitCode"].toInt(), 2);
    QVERIFY2(!summary["notCarriedOut"].toArray().isEmpty(), json.out.constData());
}

// candump log lines, read back: one per received frame, each direction's on
// the receiving channel's interface, times from the DMA blocks in order.
void TestCheck::logHoldsEveryReceivedFrame()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("frames.log");
    // An earlier run's older half does not stay beside this log, limit or none.
    QFile older(path + ".1");
    QVERIFY(older.open(QIODevice::WriteOnly) && older.write("(1.000000) can1 02AC00BA#29000000\n") > 0);
    older.close();
    const Run run = check({"--groups", "20", "--json", "--quiet", "--log", path, "--log-limit", "0", "--rate", "500"});
    QVERIFY2(run.exitCode == 0, run.out + run.err);
    QVERIFY(!QFileInfo::exists(path + ".1"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QRegularExpression candump("^\\((\\d+)\\.(\\d{6})\\) (can[01]) ([0-9A-F]{3}|[0-9A-F]{8})#([0-9A-F]*|R)$");
    QMap<QString, int> frames;
    QMap<QString, qint64> lastTime;
    const QStringList expectedData = {"29000000", "23480000", "BE180000", "8A070000", "94680000"};
    while (!file.atEnd()) {
        const QString line = QString::fromLatin1(file.readLine()).trimmed();
        const auto match = candump.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const QString interface = match.captured(3);
        const qint64 micros = match.captured(1).toLongLong() * 1000000 + match.captured(2).toLongLong();
        QVERIFY2(micros >= lastTime.value(interface, 0), qPrintable(line));
        lastTime[interface] = micros;
        QCOMPARE(match.captured(4), QString("02AC00BA"));
        QCOMPARE(match.captured(5), expectedData[frames[interface] % 5]);
        ++frames[interface];
    }
    const QJsonArray directions = run.json()["directions"].toArray();
    QCOMPARE(frames["can1"], 5 * directions[0].toObject()["clean"].toInt());
    QCOMPARE(frames["can0"], 5 * directions[1].toObject()["clean"].toInt());
}

// A log with a limit keeps the latest frames in FILE and FILE.1, within the
// limit and in whole lines, and counts what it dropped: kept and dropped
// are every frame read.
void TestCheck::logKeepsWithinItsLimit()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("frames.log");
    // What it checks does not depend on the host's pace: a queue that holds
    // the whole run, and a host that fell behind all the same is not judged.
    const Run run = check({"--rate", "1000", "--load", "full", "--min-load", "0", "--groups", "4000", "--seconds", "120",
                           "--json", "--quiet", "--log", path, "--log-limit", "1"},
                          {"KORVANE_EMU_DMA_QUEUE=65536"});
    QVERIFY2(run.exitCode == 0 || onlyTheHostFellBehind(run), run.out + run.err);
    qint64 bytes = 0;
    qint64 lines = 0;
    for (const QString &name : {path + ".1", path}) {
        QFile file(name);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(name));
        const QByteArray content = file.readAll();
        QVERIFY(content.isEmpty() || content.endsWith('\n'));
        bytes += content.size();
        lines += content.count('\n');
    }
    QVERIFY2(bytes <= 1024 * 1024 + 64 * 1024, qPrintable(QString::number(bytes)));
    const QJsonObject summary = run.json();
    QCOMPARE(double(lines), summary["logFramesKept"].toDouble());
    QVERIFY(summary["logFramesDropped"].toDouble() > 0);
    double read = 0;
    for (const QJsonValue &value : summary["directions"].toArray()) {
        const QJsonObject d = value.toObject();
        read += d["testFrames"].toDouble() + d["framesNobodySent"].toDouble() + d["framesBeforeRun"].toDouble();
    }
    QCOMPARE(summary["logFramesKept"].toDouble() + summary["logFramesDropped"].toDouble(), read);
    QVERIFY2(run.err.contains("earlier frames were dropped to keep it within 1 MB"), run.err.constData());
}

// A driver request that fails, in either worker at any point of the traffic,
// or a receiver whose DMA set-up fails: the run could not be carried out.
// (A single failed poll of a transmit buffer is polled again and harms
// nothing: such a run may pass, but only without a word from the workers.)
void TestCheck::failedRequestIsNeverAPassNorABoardFailure_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QString>("said");
    QStringList sweep;
    for (int nth = 1500; nth < 13500; nth += 500)
        sweep << QString("KORVANE_EMU_FAIL_NTH=%1").arg(nth);
    QTest::newRow("one request anywhere") << sweep << "driver request failed";
    QTest::newRow("every DMA read") << QStringList{"KORVANE_EMU_FAIL_CODE=0xA4602420"}
                                    << "the receive loop ended before it was stopped: driver request failed on channel 2 (status 2)";
    QTest::newRow("canonical DMA") << QStringList{"KORVANE_EMU_FAIL_CODE=0xA4602424"}
                                   << "the receive loop ended before it was stopped: driver request failed";
}

void TestCheck::failedRequestIsNeverAPassNorABoardFailure()
{
    QFETCH(QStringList, faults);
    QFETCH(QString, said);
    for (const QString &fault : faults) {
        const Run run = check({"--direction", "1to2", "--seconds", "0.3", "--json", "--quiet"}, {fault});
        const QJsonObject summary = run.json();
        const QJsonArray lines = summary["workerMessages"].toArray();
        if (run.exitCode == 0 && faults.size() > 1) {
            QVERIFY2(lines.isEmpty(), qPrintable(fault));
            continue;
        }
        QVERIFY2(run.exitCode == 3, qPrintable(fault + ": " + run.err));
        QCOMPARE(summary["result"].toString(), QString("error"));
        const QJsonArray reasons = summary["notCarriedOut"].toArray();
        QVERIFY2(!reasons.isEmpty() && reasons[0].toString().startsWith("1->2: ") &&
                     reasons[0].toString().contains(said),
                 qPrintable(fault + ": " + reasons[0].toString()));
        QCOMPARE(summary["failures"].toArray(), QJsonArray());
        // The host is named, never the board.
        const QJsonArray diagnosis = summary["diagnosis"].toArray();
        QVERIFY2(diagnosis.size() == 1 &&
                     diagnosis[0].toObject()["seen"].toString().startsWith("the host's driver failed: ") &&
                     diagnosis[0].toObject()["check"].toString().contains("the board was not judged"),
                 qPrintable(fault + ": " + QJsonDocument(diagnosis).toJson()));
        const QString verdict = QString::fromUtf8(run.err).trimmed().section('\n', -1);
        QVERIFY2(verdict.startsWith("ERROR: the test could not be carried out: 1->2: "), qPrintable(verdict));
    }
}

void TestCheck::signalEndsTheRunWithItsSummaryAndLog_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

// What a station's harness sends on its own time-out: the run ends, the
// summary so far is written, every frame received is in the log, and the run
// fails.
void TestCheck::signalEndsTheRunWithItsSummaryAndLog()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    const QString path = dir.filePath("frames.log");
    QProcess process;
    process.start(QStringLiteral(KORVANE_CHECK),
                  {"--seconds", "600", "--direction", "1to2", "--rate", "1000", "--json", "--log", path});
    QVERIFY(process.waitForStarted());
    // Once a progress line shows groups going out.
    QVERIFY(awaitLine(process, QRegularExpression("sent [1-9]")));
    ::kill(pid_t(process.processId()), signal);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    const QJsonObject summary = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    QCOMPARE(summary["failures"].toArray(), QJsonArray({"interrupted"}));
    const QJsonObject direction = summary["directions"].toArray()[0].toObject();
    QVERIFY(direction["sent"].toDouble() > 0);
    QFile log(path);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const double frames = direction["testFrames"].toDouble() + direction["framesNobodySent"].toDouble() +
                          direction["framesDamaged"].toDouble() + direction["framesBeforeRun"].toDouble();
    QCOMPARE(double(log.readAll().count('\n')), frames);
    // Every frame sent was read too, unless the short wait an interrupt
    // allows ended first (a loaded host).
    if (direction["drained"].toBool())
        QVERIFY(frames >= 5 * direction["sent"].toDouble());
}

void TestCheck::unwritableOutputIsNeverAPass_data()
{
    QTest::addColumn<QString>("shell");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("summary");
    QTest::newRow("full disk") << "\"$0\" \"$@\" --json >/dev/full" << 3 << false;
    QTest::newRow("closed") << "\"$0\" \"$@\" --json >&-" << 3 << false;
    QTest::newRow("reader gone") << "\"$0\" \"$@\" --seconds 30 | head -n 2 >/dev/null; exit ${PIPESTATUS[0]}" << 3
                                 << false;
    QTest::newRow("log on a full disk") << "\"$0\" \"$@\" --log /dev/full" << 3 << true;
    // The reports made as the run began fit, the final ones do not: the run
    // could not be carried out, and the JUnit report that could be written
    // says so.
    QTest::newRow("reports past the size allowed")
        << "ulimit -f 4; \"$0\" \"$@\" --junit \"$DIR/r.xml\" --html \"$DIR/r.html\"" << 3 << true;
    // No room at all: refused, and no earlier run's report stays. (78: a
    // runtime that writes a file of its own as the program starts, as
    // ThreadSanitizer's does, dies of the limit before the program begins.)
    QTest::newRow("no room for a report")
        << "echo stale >\"$DIR/r.xml\"; ulimit -f 0; (\"$0\" --version >/dev/null 2>&1); [ $? -eq 153 ] && exit 78; "
           "\"$0\" \"$@\" --junit \"$DIR/r.xml\""
        << 2 << false;
    // A device is written in place, and its error counts.
    QTest::newRow("a report on a full device")
        << "mknod \"$DIR/full\" c 1 7 2>/dev/null || exit 77; \"$0\" \"$@\" --junit \"$DIR/full\"" << 3 << true;
}

// A result or a report that cannot be written whole fails the run with
// status 3 (2 when it cannot be made at all), never a silent pass or a death
// by a signal; a log that fails keeps the summary.
void TestCheck::unwritableOutputIsNeverAPass()
{
    QFETCH(QString, shell);
    QFETCH(int, status);
    QFETCH(bool, summary);
    QTemporaryDir dir;
    const Shell run = inBash(shell, dir.path(), {"--direction", "1to2", "--rate", "1000"});
    if (run.exitCode == 77)
        QSKIP("making a device node needs root");
    if (run.exitCode == 78)
        QSKIP("this build's runtime cannot start without room for a file of its own");
    const QString &err = run.err;
    const QString &out = run.out;
    QVERIFY2(run.exitCode == status, qPrintable(out + err));
    if (summary) {
        QVERIFY2(out.contains("1->2 at 1000 kbit/s"), qPrintable(out));
        // Beside any other reason (a loaded host may fall behind at 1 Mbit/s).
        const QString last = out.trimmed().section('\n', -1);
        QVERIFY2(last.startsWith("ERROR: the test could not be carried out: "), qPrintable(out));
        QVERIFY2(last.contains(" could not be written: "), qPrintable(out));
    } else {
        QVERIFY2(err.contains("could not be written") || err.contains("cannot be created"), qPrintable(err));
    }
    const QString tag = QTest::currentDataTag();
    if (tag == "reports past the size allowed") {
        QVERIFY2(out.contains("the HTML report " + dir.filePath("r.html") + " could not be written: File too large"),
                 qPrintable(out));
        const Junit report = readJunit(dir.filePath("r.xml"));
        QVERIFY(report.read);
        QCOMPARE(report.exitCode, 3);
        QFile page(dir.filePath("r.html"));
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QByteArray html = page.readAll();
        QVERIFY2(html.contains("<h1>The run did not finish") && html.endsWith("</html>\n"), html.constData());
    } else if (tag == "no room for a report") {
        QVERIFY(!QFileInfo::exists(dir.filePath("r.xml")));
    } else if (tag == "a report on a full device") {
        QVERIFY2(out.contains("the JUnit report " + dir.filePath("full") +
                              " could not be written: No space left on device"),
                 qPrintable(out));
        struct stat info;
        QCOMPARE(lstat(QFile::encodeName(dir.filePath("full")).constData(), &info), 0);
        QVERIFY(S_ISCHR(info.st_mode));
    }
}

// Help touches no board: without one it still prints its help and passes.
void TestCheck::helpAllPrintsHelpOnly()
{
    const Run run = check({"--help-all"}, {"KORVANE_EMU_NO_BOARD=1"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.startsWith("Usage:"));
    QVERIFY2(!run.out.contains("PASS") && !run.out.contains("FAIL"), run.out.constData());
}

void TestCheck::slowDriverOrPausedHostIsNoStall_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("pauseSeconds");
    // A group takes some 5 s behind 25 ms a request.
    QTest::newRow("slow driver") << QStringList{"--groups", "1"} << QStringList{"KORVANE_EMU_LATENCY_US=25000"} << 0;
    // The whole process stopped longer than a stall and than half a wrap of
    // the board's clock, mid-run.
    QTest::newRow("paused host") << QStringList{"--seconds", "3"} << QStringList{} << 9;
}

// A healthy board behind a slow driver, or a host that was paused, is not a
// stalled transmitter; and a pause shifts no time stamp in the log.
void TestCheck::slowDriverOrPausedHostIsNoStall()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(int, pauseSeconds);
    QTemporaryDir dir;
    const QString path = dir.filePath("frames.log");
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &assignment : environment)
        env.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(KORVANE_CHECK),
                  arguments + QStringList{"--direction", "1to2", "--json", "--log", path});
    QVERIFY(process.waitForStarted());
    if (pauseSeconds) {
        QVERIFY(awaitLine(process, QRegularExpression("sent [1-9]")));
        ::kill(pid_t(process.processId()), SIGSTOP);
        QThread::sleep(unsigned(pauseSeconds));
        ::kill(pid_t(process.processId()), SIGCONT);
    }
    QVERIFY(process.waitForFinished(120000));
    const QJsonObject summary = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    QVERIFY2(process.exitCode() == 0, qPrintable(summary["failures"].toVariant().toStringList().join("; ") +
                                                 process.readAllStandardError()));
    QVERIFY(!summary["directions"].toArray()[0].toObject()["stalled"].toBool());
    QFile log(path);
    QVERIFY(log.open(QIODevice::ReadOnly));
    // In order, and no jump by a wrap of the 24-bit stamp (16.8 s).
    double last = -1;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const double time = line.mid(1, line.indexOf(')') - 1).toDouble();
        if (last >= 0)
            QVERIFY2(time >= last && time - last < 15, line.constData());
        last = time;
    }
}

// A host that falls behind the board (one DMA block of room) is told by the
// blocks' mark: the test could not be carried out, never a board failure and
// never frames nobody sent.
void TestCheck::hostThatFellBehindIsNeverABoardFailure()
{
    // The runner stopped mid-run (as a host that is not scheduled): the
    // board goes on, and its one-block queue overflows once two frames come
    // in while it is stopped. A stop can fall where no frame is on its way
    // (the transmitter between loads), so it is stopped again until its
    // records show blocks held back (on a busy host it may fall behind
    // before any stop).
    QTemporaryDir dir;
    const QString records = dir.filePath("records.jsonl");
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVANE_EMU_DMA_QUEUE", "1");
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(KORVANE_CHECK), {"--direction", "1to2", "--seconds", "6", "--every", "1",
                                                  "--records", records, "--json"});
    QVERIFY(process.waitForStarted());
    QVERIFY(awaitLine(process, QRegularExpression("sent [1-9]")));
    const pid_t pid = pid_t(process.processId());
    const auto state = [pid] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        const QString text = stat.open(QIODevice::ReadOnly) ? QString::fromLatin1(stat.readAll()) : QString();
        const int close = text.lastIndexOf(')');
        return close < 0 || close + 2 >= text.size() ? QChar('X') : text.at(close + 2);
    };
    const auto heldBack = [&records] {
        QFile file(records);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            if (record["totals"].toObject()["overrunBlocks"].toDouble() > 0)
                return true;
        }
        return false;
    };
    while (process.state() != QProcess::NotRunning && !heldBack()) {
        ::kill(pid, SIGSTOP);
        QChar now;
        while ((now = state()) != 'T' && now != 'Z' && now != 'X') {
        }
        // Stopped for longer than the frames it had loaded take at 125 kbit/s.
        QThread::msleep(50);
        ::kill(pid, SIGCONT);
        while (state() == 'T') {
        }
        process.waitForFinished(100);
    }
    QVERIFY(process.waitForFinished(60000));
    const QByteArray out = process.readAllStandardOutput();
    QVERIFY2(process.exitCode() == 3, qPrintable(QString::number(process.exitCode()) + ": " + out +
                                                 process.readAllStandardError()));
    const QJsonObject summary = QJsonDocument::fromJson(out).object();
    QCOMPARE(summary["failures"].toArray(), QJsonArray());
    QVERIFY2(summary["notCarriedOut"].toArray()[0].toString().contains("1->2: the host fell behind the board"),
             out.constData());
    QVERIFY(summary["directions"].toArray()[0].toObject()["overrunBlocks"].toDouble() > 0);
    const QJsonArray diagnosis = summary["diagnosis"].toArray();
    QVERIFY2(!diagnosis.isEmpty() &&
                 diagnosis[0].toObject()["seen"].toString().startsWith("the host fell behind the board: ") &&
                 diagnosis[0].toObject()["check"].toString().startsWith("the host, not the board, fell behind"),
             out.constData());
}

// The run's window opens when the transmit worker has cleared the DMA queues
// and closes once the receiver has caught up: every frame on the bus from
// the first test frame to the last frame read is in the log, foreign ones
// and the tool's, whatever the driver costs.
void TestCheck::everyFrameOnTheBusInsideTheRunIsRead()
{
    QTemporaryDir dir;
    const QString bus = dir.filePath("bus.log");
    const QString log = dir.filePath("frames.log");
    const Run run = check({"--direction", "1to2", "--seconds", "0.3", "--log", log, "--json", "--quiet"},
                          {"KORVANE_EMU_LATENCY_US=5000", "KORVANE_EMU_FOREIGN=2:0x10:7",
                           "KORVANE_EMU_BUSLOG=" + bus});
    QCOMPARE(run.exitCode, 1); // the foreign frames
    // Times relative to the first test frame, on each log's own clock.
    auto frames = [](const QString &path, const QStringList &buses) {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        QVector<QPair<qint64, QString>> list;
        for (const QByteArray &raw : file.readAll().split('\n')) {
            const QStringList parts = QString::fromLatin1(raw).split(' ');
            if (parts.size() != 3 || !buses.contains(parts[1]))
                continue;
            const QString stamp = parts[0].mid(1, parts[0].size() - 2);
            list.append({stamp.section('.', 0, 0).toLongLong() * 1000000 + stamp.section('.', 1).toLongLong(),
                         parts[2]});
        }
        qint64 first = -1;
        for (const auto &frame : list) {
            if (frame.second.startsWith("02AC00BA#") && first < 0)
                first = frame.first;
        }
        for (auto &frame : list)
            frame.first -= first;
        return list;
    };
    const auto onBus = frames(bus, {"can0", "can2"});
    const auto read = frames(log, {"can1"});
    QVERIFY(!read.isEmpty());
    const qint64 lastRead = read.last().first;
    int inside = 0;
    for (const auto &frame : onBus) {
        if (frame.first < 0 || frame.first > lastRead)
            continue;
        ++inside;
        QVERIFY2(read.contains(frame), qPrintable(QString("%1 %2").arg(frame.first).arg(frame.second)));
    }
    QVERIFY(inside > 20);
    const QJsonObject direction = run.json()["directions"].toArray()[0].toObject();
    QCOMPARE(double(read.size()), direction["testFrames"].toDouble() + direction["framesNobodySent"].toDouble() +
                                      direction["framesBeforeRun"].toDouble());
}

void TestCheck::fullLoadSeesTransmitErrorsAndItsLoad_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    const QStringList foreign{"KORVANE_EMU_FOREIGN=2:0x123:50:01:3:500"};
    QTest::newRow("a node at another rate, window") << QStringList{"--load", "window"} << foreign << 1
                                                    << "frame not sent";
    QTest::newRow("a node at another rate, full load") << QStringList{"--load", "full"} << foreign << 1
                                                       << "frame not sent";
    QTest::newRow("below the load asked for") << QStringList{"--load", "full", "--min-load", "100"} << QStringList{}
                                              << 3 << "full load reached";
}

// Full load sees the frames that fail on the bus as the window's sequence
// does, and says so when it cannot load the bus as asked.
void TestCheck::fullLoadSeesTransmitErrorsAndItsLoad()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(int, status);
    QFETCH(QString, said);
    const Run run = check(arguments + QStringList{"--rate", "125", "--direction", "1to2", "--seconds", "1.5",
                                                  "--json", "--quiet"},
                          environment);
    QVERIFY2(run.exitCode == status, run.out + run.err);
    const QJsonObject summary = run.json();
    const QString reasons = (summary["failures"].toVariant().toStringList() +
                             summary["notCarriedOut"].toVariant().toStringList())
                                .join("; ");
    QVERIFY2(reasons.contains(said), qPrintable(reasons));
}

// A signal is acted on during set-up, and a second one ends a slow stop at
// once; each time with the summary so far and status 1.
void TestCheck::signalDuringSetUpOrASlowStopEndsSoon()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVANE_EMU_LATENCY_US", "100000");
    QTemporaryDir dir;
    const QString report = dir.filePath("report.xml");
    for (int sent : {1, 2}) {
        QFile::remove(report);
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(KORVANE_CHECK),
                      {"--direction", "1to2", "--seconds", "3", "--json", "--junit", report});
        QVERIFY(process.waitForStarted());
        if (sent == 2) {
            // Past set-up (some seconds at 100 ms a request), into the
            // traffic: the first signal's stop would take seconds (the frame
            // being loaded is 37 requests), the second ends it at once.
            QVERIFY(awaitLine(process, QRegularExpression("^1->2 2 s:")));
        } else {
            // The report is made just before the board is set up.
            QElapsedTimer waited;
            waited.start();
            while (!QFileInfo::exists(report) && waited.elapsed() < 60000)
                QThread::msleep(5);
        }
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < sent; ++i)
            ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(60000));
        // A set-up step, or at once: never a whole set-up or a group.
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(process.exitCode(), 1);
        const QJsonObject summary = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        QCOMPARE(summary["result"].toString(), QString("fail"));
        QVERIFY(summary["failures"].toArray().contains("interrupted"));
        // Set-up stopped between its steps: no direction began.
        if (sent == 1)
            QCOMPARE(summary["directions"].toArray().size(), 0);
    }
}

void TestCheck::summarySurvivesASignalWhileOutputIsBlocked_data()
{
    QTest::addColumn<bool>("duringRun");
    QTest::newRow("during the run") << true;
    QTest::newRow("after the run, while the summary waits") << false;
}

// Standard output is a pipe that is full and not read: the runner's write
// blocks. A signal then interrupts the write, which goes on: the JSON comes
// whole, and its result and the exit status agree (a pass stays a pass if
// the run was over).
void TestCheck::summarySurvivesASignalWhileOutputIsBlocked()
{
    QFETCH(bool, duringRun);
    int out[2];
    int err[2];
    QVERIFY(pipe(out) == 0 && pipe(err) == 0);
    fcntl(out[1], F_SETPIPE_SZ, 4096);
    const int capacity = fcntl(out[1], F_GETPIPE_SZ);
    const QByteArray filler(capacity, 'x');
    QCOMPARE(int(::write(out[1], filler.constData(), size_t(filler.size()))), capacity);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    const QByteArray program(KORVANE_CHECK);
    const char *arguments[] = {program.constData(), "--direction", "1to2", "--seconds", duringRun ? "60" : "0.5",
                               "--json", nullptr};
    pid_t pid = 0;
    QCOMPARE(posix_spawn(&pid, program.constData(), &actions, nullptr, const_cast<char **>(arguments), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    // Its lines on stderr: once the traffic runs, or once the verdict is
    // out and only the JSON is left to write.
    QByteArray said;
    const QByteArray awaited = duringRun ? QByteArray("1->2 1 s:") : QByteArray("PASS");
    while (!said.contains(awaited)) {
        char buffer[4096];
        const ssize_t got = ::read(err[0], buffer, sizeof buffer);
        QVERIFY2(got > 0, said.constData());
        said.append(buffer, int(got));
    }
    if (!duringRun) {
        // Until the runner is blocked writing into the full pipe.
        const QString wchan = QStringLiteral("/proc/%1/wchan").arg(pid);
        QString where;
        QElapsedTimer waited;
        waited.start();
        while (!where.contains("pipe_write") && waited.elapsed() < 60000) {
            QFile file(wchan);
            where = file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
            QThread::msleep(5);
        }
        QVERIFY2(where.contains("pipe_write"), qPrintable(where));
    }
    ::kill(pid, SIGINT);
    QByteArray output;
    char buffer[65536];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, int(got));
    int status = 0;
    QCOMPARE(waitpid(pid, &status, 0), pid);
    ::close(out[0]);
    ::close(err[0]);
    QVERIFY(WIFEXITED(status));
    QVERIFY(output.startsWith(filler));
    const QJsonObject summary = QJsonDocument::fromJson(output.mid(capacity)).object();
    QVERIFY2(!summary.isEmpty(), output.mid(capacity).constData());
    QCOMPARE(summary["exitCode"].toInt(), WEXITSTATUS(status));
    QCOMPARE(WEXITSTATUS(status), duringRun ? 1 : 0);
    QCOMPARE(summary["result"].toString(), QString(duringRun ? "fail" : "pass"));
}

// A --log file is emptied before the board is set up: a failed set-up never
// leaves an earlier run's frames to be taken for this one's.
void TestCheck::failedSetUpLeavesNoEarlierLog()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("frames.log");
    QFile earlier(path);
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("(1.000000) can1 02AC00BA#29000000\n");
    earlier.close();
    const Run run = check({"--log", path}, {"KORVANE_EMU_IGNORE_MODE=1"});
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(QFileInfo(path).size(), qint64(0));
}

// The JUnit report, read as the common readers read it: one suite, a case a
// direction with its time, a failure for the board's, the figures as
// properties.
void TestCheck::junitReportIsWhatStationsRead()
{
    QTemporaryDir dir;
    for (bool failing : {false, true}) {
        const QString path = dir.filePath(failing ? "fail.xml" : "pass.xml");
        QStringList arguments{"--groups", "5", "--quiet", "--junit", path};
        if (failing)
            arguments << "--rate1" << "125" << "--rate2" << "250" << "--seconds" << "0.5";
        const Run run = check(arguments);
        QCOMPARE(run.exitCode, failing ? 1 : 0);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        int suites = 0, cases = 0, failures = 0, properties = 0;
        QStringList names;
        QString suiteFailures;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("testsuite")) {
                ++suites;
                suiteFailures = xml.attributes().value("failures").toString();
                QCOMPARE(xml.attributes().value("tests").toString(), QString("2"));
            } else if (xml.name() == QLatin1String("testcase")) {
                ++cases;
                names << xml.attributes().value("name").toString();
                QVERIFY(xml.attributes().value("time").toDouble() > 0);
            } else if (xml.name() == QLatin1String("failure")) {
                ++failures;
                QVERIFY(!xml.attributes().value("message").isEmpty());
            } else if (xml.name() == QLatin1String("property")) {
                ++properties;
                if (xml.attributes().value("name") == QLatin1String("1to2.sent") && !failing)
                    QCOMPARE(xml.attributes().value("value").toString(), QString("5"));
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(suites, 1);
        QCOMPARE(names, QStringList({failing ? "1->2 at 125 kbit/s" : "1->2 at 125 kbit/s",
                                     failing ? "2->1 at 250 kbit/s" : "2->1 at 125 kbit/s"}));
        QCOMPARE(cases, 2);
        QCOMPARE(failures, failing ? 2 : 0);
        QCOMPARE(suiteFailures, QString::number(failures));
        QVERIFY(properties > 20);
    }
    // Two rounds: each property name once in the suite, later rounds' named
    // as such.
    const QString path = dir.filePath("rounds.xml");
    QCOMPARE(check({"--groups", "3", "--quiet", "--rounds", "2", "--junit", path}).exitCode, 0);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QStringList names;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("property"))
            names << xml.attributes().value("name").toString();
    }
    QVERIFY(names.contains("1to2.sent") && names.contains("2to1.round2.sent"));
    QCOMPARE(names.removeDuplicates(), 0);
}

void TestCheck::reportsAreNeverGreenAfterAFailedRun_data()
{
    QTest::addColumn<QString>("shell");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    const QString run = "\"$0\" \"$@\"";
    QTest::newRow("controllers ignore their mode") << run << QStringList{"KORVANE_EMU_IGNORE_MODE=1"} << 2
                                                   << "would not";
    QTest::newRow("no board") << run << QStringList{"KORVANE_EMU_NO_BOARD=1"} << 2 << "cannot open";
    QTest::newRow("log cannot be created") << run + " --log /nonexistent/x.log" << QStringList{} << 2
                                           << "/nonexistent/x.log";
    QTest::newRow("refused") << run + " --rate 300" << QStringList{} << 2 << "refused: --rate 300";
    QTest::newRow("stdout closed") << run + " >&-" << QStringList{} << 3 << "standard output is closed";
    QTest::newRow("stdout on a full disk") << run + " >/dev/full" << QStringList{} << 3 << "No space left";
    QTest::newRow("JSON on a full disk") << run + " --json >/dev/full" << QStringList{} << 3 << "No space left";
}

// Every run that names a report makes it afresh, whatever stops the run: an
// earlier run's green report never survives a failed one, a report always
// holds a case, and it says what the exit status and the JSON say.
void TestCheck::reportsAreNeverGreenAfterAFailedRun()
{
    QFETCH(QString, shell);
    QFETCH(QStringList, environment);
    QFETCH(int, status);
    QFETCH(QString, said);
    QTemporaryDir dir;
    const QString path = dir.filePath("report.xml");
    const QString page = dir.filePath("report.html");
    const auto headline = [&page] {
        QFile file(page);
        file.open(QIODevice::ReadOnly);
        const QString html = QString::fromUtf8(file.readAll());
        const int at = html.indexOf("<h1>");
        return at < 0 ? QString() : html.mid(at + 4, html.indexOf(':', at) - at - 4);
    };
    const Run passed = check({"--seconds", "0.3", "--direction", "1to2", "--quiet", "--junit", path, "--html", page});
    QCOMPARE(passed.exitCode, 0);
    QCOMPARE(readJunit(path).result, QString("pass"));
    QCOMPARE(headline(), QString("Passed"));

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &assignment : environment)
        env.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
    process.setProcessEnvironment(env);
    process.start("bash", {"-c", shell, QStringLiteral(KORVANE_CHECK), "--seconds", "0.3", "--direction", "1to2",
                           "--quiet", "--junit", path, "--html", page});
    QVERIFY(process.waitForFinished(120000));
    QCOMPARE(process.exitCode(), status);
    // The page says what the exit status says.
    QCOMPARE(headline(), status == 2 ? QString("Not run") : QString("The test could not be carried out"));
    const Junit report = readJunit(path);
    QVERIFY(report.read);
    QCOMPARE(report.exitCode, status);
    QCOMPARE(report.result, QString("error"));
    QVERIFY(report.cases >= 1);
    QVERIFY(report.failed >= 1);
    QVERIFY2(report.messages.join('\n').contains(said), qPrintable(report.messages.join('\n')));
}

// An interrupt at any point, before the first direction or during either,
// never leaves a green or an empty report, and never lays a direction the
// signal kept from sending at the board's door.
void TestCheck::interruptedRunsReportNoPassAndNoBoardFailure()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("report.xml");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVANE_EMU_LATENCY_US", "20000");
    // Signalled once the report is made (set-up under way), then once each
    // direction has begun.
    for (const QString &awaited : {QString(), QString("1->2 1 s:"), QString("2->1 1 s:")}) {
        QFile::remove(path);
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(KORVANE_CHECK),
                      {"--seconds", "3", "--json", "--junit", path, "--html", dir.filePath("report.html")});
        QVERIFY(process.waitForStarted());
        process.setReadChannel(QProcess::StandardError);
        if (awaited.isEmpty()) {
            QElapsedTimer waited;
            waited.start();
            while (!QFileInfo::exists(path) && waited.elapsed() < 60000)
                QThread::msleep(5);
        } else {
            QVERIFY(awaitLine(process, QRegularExpression("^" + QRegularExpression::escape(awaited))));
        }
        ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 1);
        const QJsonObject summary = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        QCOMPARE(summary["failures"].toArray(), QJsonArray({"interrupted"}));
        const Junit report = readJunit(path);
        QVERIFY(report.read);
        QCOMPARE(report.result, QString("fail"));
        QCOMPARE(report.exitCode, 1);
        QCOMPARE(report.cases, 2);
        QCOMPARE(report.failed, 2);
        for (const QString &message : report.messages)
            QVERIFY2(message.startsWith("interrupted"), qPrintable(message));
        QFile page(dir.filePath("report.html"));
        QVERIFY(page.open(QIODevice::ReadOnly));
        QVERIFY(page.readAll().contains("<h1>Interrupted: board 0"));
    }
}

// --every: a record a second of each direction, in rounds that alternate,
// and a last one up to the direction's end; their counts add up to the
// summary. A run killed outright leaves only whole records.
void TestCheck::recordsAddUpToTheSummaryAndSurviveAKill()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("records.jsonl");
    const auto readRecords = [&path](bool *whole) {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        const QByteArray bytes = file.readAll();
        *whole = bytes.isEmpty() || bytes.endsWith('\n');
        QVector<QJsonObject> records;
        for (const QByteArray &line : bytes.split('\n')) {
            if (line.isEmpty())
                continue;
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(line, &error);
            *whole = *whole && error.error == QJsonParseError::NoError && document.isObject();
            records.append(document.object());
        }
        return records;
    };
    const Run run = check({"--seconds", "2.5", "--rounds", "2", "--every", "1", "--records", path, "--json", "--quiet",
                           "--log", dir.filePath("frames.log")},
                          {"KORVANE_EMU_FOREIGN=2:0x10:200"});
    QCOMPARE(run.exitCode, 1); // the foreign frames, counted in their intervals
    bool whole = false;
    const QVector<QJsonObject> records = readRecords(&whole);
    QVERIFY(whole);
    const QJsonArray directions = run.json()["directions"].toArray();
    QCOMPARE(directions.size(), 4);
    int at = 0;
    QJsonObject totals;
    for (int d = 0; d < directions.size(); ++d) {
        const QJsonObject summary = directions[d].toObject();
        const QString name = QString("%1->%2").arg(summary["from"].toInt()).arg(summary["to"].toInt());
        QCOMPARE(summary["case"].toString().endsWith("(round 2)"), d >= 2);
        double sent = 0, wholeGroups = 0, nobodySent = 0, seconds = 0;
        for (int interval = 1; interval <= 3; ++interval, ++at) {
            QVERIFY(at < records.size());
            const QJsonObject &r = records[at];
            QCOMPARE(r["direction"].toString(), name);
            QCOMPARE(r["round"].toInt(), d / 2 + 1);
            QCOMPARE(r["interval"].toInt(), interval);
            QCOMPARE(r["last"].toBool(), interval == 3);
            QCOMPARE(r["controllers"].toArray().size(), 2);
            // Read after the direction: the last record always has them
            // (an interval's own reading waits for the transmitter).
            if (interval == 3)
                QVERIFY(r["controllers"].toArray()[0].toObject()["read"].toBool());
            sent += r["sent"].toDouble();
            wholeGroups += r["whole"].toDouble();
            nobodySent += r["nobodySent"].toDouble();
            seconds += r["seconds"].toDouble();
            totals = r["totals"].toObject();
        }
        QCOMPARE(sent, summary["sent"].toDouble());
        QCOMPARE(wholeGroups, summary["groupsWhole"].toDouble());
        QCOMPARE(nobodySent, summary["framesNobodySent"].toDouble());
        QVERIFY(qAbs(seconds - summary["seconds"].toDouble()) < 0.01);
    }
    QCOMPARE(at, records.size());
    double allSent = 0;
    for (const QJsonValue &d : directions)
        allSent += d.toObject()["sent"].toDouble();
    QCOMPARE(totals["sent"].toDouble(), allSent);

    // Killed while it writes records as fast as it may.
    QProcess process;
    process.start(QStringLiteral(KORVANE_CHECK), {"--seconds", "600", "--every", "1", "--records", path, "--quiet"});
    QVERIFY(process.waitForStarted());
    QVector<QJsonObject> before;
    while ((before = readRecords(&whole)).size() < 2)
        QVERIFY(!process.waitForFinished(20));
    ::kill(pid_t(process.processId()), SIGKILL);
    QVERIFY(process.waitForFinished());
    const QVector<QJsonObject> after = readRecords(&whole);
    QVERIFY(whole);
    QVERIFY(after.size() >= 2);
}

void TestCheck::theFaultIsNamed_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("seen"); // each diagnosis's start, in order
    QTest::newRow("healthy") << QStringList{} << QStringList{} << 0 << QStringList{};
    QTest::newRow("cut apart") << QStringList{} << QStringList{"KORVANE_EMU_CUT=1"} << 1
                               << QStringList{"nothing acknowledged channel 1's frames (its TEC 128): the other "
                                              "channel is not on this bus",
                                              "channel 1's controller went error-passive (TEC 128, REC 0)"};
    QTest::newRow("rates apart") << QStringList{"--rate1", "125", "--rate2", "250"} << QStringList{} << 1
                                 << QStringList{"the channels disagree on the bit rate: channel 1 at 125 kbit/s, "
                                                "channel 2 at 250 kbit/s",
                                                // each controller error-passive or bus-off by when
                                                // the run stopped, or neither yet: "?" marks a
                                                // diagnosis that may be there, in any order
                                                "?channel 1's controller went ", "?channel 2's controller went "};
    QTest::newRow("foreign node") << QStringList{} << QStringList{"KORVANE_EMU_FOREIGN=2:0x10:7"} << 1
                                  << QStringList{"another node is sending on this bus: "};
    QTest::newRow("extended foreign node") << QStringList{} << QStringList{"KORVANE_EMU_FOREIGN=1:0x1ABCDE:5"} << 1
                                           << QStringList{"another node is sending on this bus: "};
    // Frames at another bit rate: the controllers count receive errors,
    // which a cable that leaves a channel off the bus never makes.
    QTest::newRow("foreign node at another rate") << QStringList{"--seconds", "2"}
                                                  << QStringList{"KORVANE_EMU_FOREIGN=1:0x123:700:AABB:3:250"} << 1
                                                  << QStringList{"frames did not go out while the controllers counted "
                                                                 "receive errors",
                                                                 "?channel 1's controller went ",
                                                                 "?channel 2's controller went "};
    // What the test traffic sees of the board's own faults is the board's,
    // never the host's.
    QTest::newRow("bit timing fast") << QStringList{"--rate", "250", "--load", "full", "--min-load", "0", "--seconds", "1"}
                                     << QStringList{"KORVANE_EMU_FAULT=timing-250k-fast"} << 1
                                     << QStringList{"the frames took less time on the bus than their bits at 250 kbit/s "
                                                    "allow"};
    QTest::newRow("stamps step back") << QStringList{"--load", "full", "--min-load", "0", "--seconds", "1"}
                                      << QStringList{"KORVANE_EMU_FAULT=stamps-back"} << 1
                                      << QStringList{"the board's DMA stamps stepped back"};
    QTest::newRow("waited flag stuck") << QStringList{} << QStringList{"KORVANE_EMU_FAULT=waited-stuck"} << 1
                                       << QStringList{"the board's DMA marks blocks as having waited for room"};
    QTest::newRow("bridge stuck busy") << QStringList{} << QStringList{"KORVANE_EMU_STUCK_BUSY=2"} << 2
                                       << QStringList{"the board does not answer: channel 2's SPI bridge stays busy"};
    QTest::newRow("mode ignored") << QStringList{} << QStringList{"KORVANE_EMU_IGNORE_MODE=1"} << 2
                                  << QStringList{"the board does not answer: channel 1's controller does not "
                                                 "change its mode"};
    QTest::newRow("no board") << QStringList{} << QStringList{"KORVANE_EMU_NO_BOARD=1"} << 2
                              << QStringList{"the board could not be opened"};
}

// A failed run says what it saw and what to check, in the summary, the JSON
// and the JUnit report alike; a healthy run names nothing. (A failed driver
// request and a host that fell behind: in their own tests above.)
void TestCheck::theFaultIsNamed()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, fault);
    QFETCH(int, status);
    QFETCH(QStringList, seen);
    QTemporaryDir dir;
    const QString report = dir.filePath("report.xml");
    const QStringList seconds = options.contains("--seconds") ? QStringList{} : QStringList{"--seconds", "0.5"};
    const Run run = check(QStringList{"--direction", "1to2", "--json", "--quiet", "--junit", report} + seconds + options,
                          fault);
    QCOMPARE(run.exitCode, status);
    const QJsonArray diagnosis = run.json()["diagnosis"].toArray();
    const int optional = int(std::count_if(seen.begin(), seen.end(), [](const QString &s) { return s.startsWith('?'); }));
    QVERIFY2(diagnosis.size() <= seen.size() && diagnosis.size() >= seen.size() - optional,
             qPrintable(QJsonDocument(diagnosis).toJson()));
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString xml = QString::fromUtf8(file.readAll());
    const QString err = QString::fromUtf8(run.err);
    for (int i = 0; i < diagnosis.size(); ++i) {
        const QJsonObject d = diagnosis[i].toObject();
        // The required ones first, in order; then any of those that may be.
        bool expected = false;
        for (int k = 0; k < seen.size() && !expected; ++k) {
            const bool mayBe = seen[k].startsWith('?');
            if ((mayBe && i >= seen.size() - optional) || (!mayBe && k == i))
                expected = d["seen"].toString().startsWith(QString(seen[k]).remove(QRegularExpression("^\\?")));
        }
        QVERIFY2(expected, qPrintable(d["seen"].toString()));
        QVERIFY(!d["check"].toString().isEmpty());
        const QString line = "diagnosis: " + d["seen"].toString() + "; " + d["check"].toString();
        QVERIFY2(err.contains(line), qPrintable(err));
        QVERIFY2(xml.contains(line.toHtmlEscaped()), qPrintable(xml));
    }
    if (QString(QTest::currentDataTag()).endsWith("foreign node")) {
        const QString ids = QString(QTest::currentDataTag()).startsWith("extended") ? "identifier 0x001ABCDE"
                                                                                    : "identifier 0x010";
        const QString first = diagnosis[0].toObject()["seen"].toString();
        QVERIFY2(first.endsWith(ids), qPrintable(first));
    }
}

void TestCheck::boardsSideBySideEachAgainstItsOwnBus_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    QTest::newRow("healthy") << QStringList{} << 0 << QString();
    QTest::newRow("channels cut apart") << QStringList{"KORVANE_EMU_CUT=1"} << 1 << "frame not sent";
    QTest::newRow("foreign node") << QStringList{"KORVANE_EMU_FOREIGN=2:0x10:7"} << 1 << "frames nobody sent";
    QTest::newRow("bridge stuck busy") << QStringList{"KORVANE_EMU_STUCK_BUSY=1"} << 2
                                       << "would not enter configuration mode";
}

// Four runners at once, each on its own board of a PC with four: every
// board is counted against its own bus, and a fault put on board 2 fails
// board 2 alone, saying what it saw.
void TestCheck::boardsSideBySideEachAgainstItsOwnBus()
{
    QFETCH(QStringList, fault);
    QFETCH(int, status);
    QFETCH(QString, said);
    QTemporaryDir dir;
    const int boards = 4;
    std::vector<std::unique_ptr<QProcess>> runners;
    // A failed comparison leaves no runner of this test behind.
    const auto stop = qScopeGuard([&runners] {
        for (auto &process : runners) {
            process->kill();
            process->waitForFinished();
        }
    });
    for (int board = 0; board < boards; ++board) {
        QDir(dir.path()).mkdir(QString::number(board));
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KORVANE_EMU_BOARDS", QString::number(boards));
        env.insert("KORVANE_EMU_BUSLOG", dir.filePath(QString("%1/bus.log").arg(board)));
        env.insert("KORVANE_EMU_FAULT_BOARD", "2");
        for (const QString &assignment : fault)
            env.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
        process->setProcessEnvironment(env);
        process->start(QStringLiteral(KORVANE_CHECK),
                       {"--board", QString::number(board), "--direction", "1to2", "--seconds", "1", "--json",
                        "--quiet", "--junit", dir.filePath(QString("%1/report.xml").arg(board)), "--log",
                        dir.filePath(QString("%1/frames.log").arg(board))});
        runners.push_back(std::move(process));
    }
    for (int board = 0; board < boards; ++board) {
        QProcess &process = *runners[size_t(board)];
        QVERIFY(process.waitForFinished(120000));
        const QJsonObject summary = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        QCOMPARE(summary["board"].toInt(), board);
        const Junit report = readJunit(dir.filePath(QString("%1/report.xml").arg(board)));
        QVERIFY(report.read);
        QCOMPARE(report.exitCode, process.exitCode());
        // Only its own board's bus carried frames in each runner's process.
        const auto busFrames = [&](int bus) {
            QFile file(dir.filePath(QString("%1/bus-%2.log").arg(board).arg(bus)));
            if (!file.open(QIODevice::ReadOnly))
                return -1;
            return int(file.readAll().count('\n'));
        };
        for (int other = 0; other < boards; ++other) {
            if (other != board)
                QCOMPARE(busFrames(other), 0);
        }
        // The runner's log names the board's channels as SocketCAN would.
        QFile frames(dir.filePath(QString("%1/frames.log").arg(board)));
        QVERIFY(frames.open(QIODevice::ReadOnly));
        for (const QByteArray &line : frames.readAll().split('\n')) {
            if (!line.isEmpty())
                QVERIFY2(line.split(' ').value(1) == "can" + QByteArray::number(2 * board + 1), line.constData());
        }
        // A board that could not be set up has no direction.
        const QJsonArray directions = summary["directions"].toArray();
        const QJsonObject direction = directions.isEmpty() ? QJsonObject() : directions.first().toObject();
        const QString failures = QJsonDocument(summary["failures"].toArray()).toJson(QJsonDocument::Compact) +
                                 QJsonDocument(summary["notCarriedOut"].toArray()).toJson(QJsonDocument::Compact);
        if (board != 2 || status == 0) {
            QVERIFY2(process.exitCode() == 0, qPrintable(QString("board %1: %2").arg(board).arg(failures)));
            QVERIFY(direction["sent"].toDouble() > 0);
            QCOMPARE(double(busFrames(board)), 5 * direction["sent"].toDouble());
            QCOMPARE(direction["testFrames"].toDouble(), 5 * direction["sent"].toDouble());
        } else {
            QCOMPARE(process.exitCode(), status);
            QVERIFY2(failures.contains(said), qPrintable(failures));
        }
    }
}

QTEST_GUILESS_MAIN(TestCheck)
#include "tst_check.moc"

// A controller that could not be read after the traffic leaves the run
// unjudged (status 3), never a pass: every request of the runner's own board
// object after the set-up is made to fail in turn, until the readings are
// reached.
void TestCheck::unreadControllerIsNeverAPass()
{
    // The runner's board object is the fourth handle opened on the board
    // (after the three workers'); its requests are the set-up and then the
    // readings of both controllers.
    int unread = 0;
    for (int n = 1; n <= 400 && unread < 2; ++n) {
        const Run run = check({"-d", "1to2", "--groups", "1", "--json", "--quiet"},
                              {"KORVANE_EMU_FAIL_HANDLE=4", QString("KORVANE_EMU_FAIL_NTH=%1").arg(n)});
        if (run.exitCode == 2)
            continue; // a set-up request
        const QJsonObject summary = run.json();
        bool allRead = true;
        for (const QJsonValue &c : summary["controllers"].toArray())
            allRead = allRead && c.toObject()["read"].toBool();
        if (allRead) {
            // Past the readings (or a request that is tried again): a pass.
            QVERIFY2(run.exitCode == 0, run.out + run.err);
            if (unread)
                break;
            continue;
        }
        ++unread;
        QVERIFY2(run.exitCode == 3, run.out + run.err);
        QCOMPARE(summary["result"].toString(), QString("error"));
        QVERIFY2(summary["notCarriedOut"].toArray().first().toString().contains(
                     "controller could not be read after the traffic"),
                 run.out.constData());
    }
    QVERIFY2(unread > 0, "no request of the readings was reached");
}

void TestCheck::outputsThatWouldMeetOrChangeTheirNamesAreRefused_data()
{
    QTest::addColumn<QString>("shell");
    QTest::addColumn<QString>("said");
    QTest::newRow("records and log") << "\"$0\" \"$@\" --every 1 --records \"$DIR/x\" --log \"$DIR/x\""
                                     << "--records DIR/x and --log DIR/x would write to the same file";
    QTest::newRow("log and a link to it") << "ln -s x \"$DIR/link\"; \"$0\" \"$@\" --log \"$DIR/x\" --junit \"$DIR/link\""
                                          << "--junit DIR/link and --log DIR/x would write to the same file";
    QTest::newRow("JSON and records on standard output")
        << "\"$0\" \"$@\" --json --every 1 --records /dev/stdout"
        << "--records /dev/stdout and --json on standard output would write to the same file";
    QTest::newRow("a name of bytes the system cannot say") << "\"$0\" \"$@\" --junit \"$DIR\"/$'J\\xff.xml'"
                                                          << "--junit: the file name is not valid";
}

// Two outputs that would reach one file, or a file name that would be
// written under other bytes, are refused (status 2) before anything is
// written: no file of either appears.
void TestCheck::outputsThatWouldMeetOrChangeTheirNamesAreRefused()
{
    QFETCH(QString, shell);
    QFETCH(QString, said);
    QTemporaryDir dir;
    const Shell run = inBash(shell, dir.path(), {"--direction", "1to2", "--groups", "2"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(said.replace("DIR", dir.path())), qPrintable(run.err));
    // Nothing but the refusal itself, where a report was named.
    for (const QString &name : QDir(dir.path()).entryList(QDir::Files | QDir::System | QDir::Hidden)) {
        if (name == "link")
            continue;
        QVERIFY2(name == "x" && readJunit(dir.filePath(name)).exitCode == 2, qPrintable(name));
    }
}

// What is not a regular file is written in place: a device is never renamed
// by the log's rotation nor replaced by a report, a pipe's reader gets the
// whole log and one report, a link stays a link.
void TestCheck::nonRegularOutputsAreWrittenInPlace()
{
    QTemporaryDir dir;
    const QByteArray null = QFile::encodeName(dir.filePath("null"));
    if (mknod(null.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        QSKIP("making a device node needs root");
    const QByteArray pipe = QFile::encodeName(dir.filePath("pipe"));
    QCOMPARE(mkfifo(pipe.constData(), 0600), 0);
    QFile target(dir.filePath("target.log"));
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.close();
    QVERIFY(QFile::link(dir.filePath("target.log"), dir.filePath("link.log")));
    const auto kind = [](const QByteArray &path) {
        struct stat info;
        return lstat(path.constData(), &info) != 0 ? 0 : info.st_mode & S_IFMT;
    };
    // What a pipe's reader holds once the writer is gone.
    const auto readAndClose = [](int reader) {
        QByteArray bytes;
        char buffer[4096];
        for (ssize_t got; (got = ::read(reader, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, int(got));
        ::close(reader);
        return bytes;
    };
    // The log past its half-limit on the device, then on the link; the
    // report on the pipe, read by another process.
    for (const QString &log : {dir.filePath("null"), dir.filePath("link.log")}) {
        // The pipe's reader: opened before the run, read after it (the
        // report fits in the pipe's buffer).
        const int reader = ::open(pipe.constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        const Run run = check({"--rate", "1000", "--load", "full", "--min-load", "0", "--groups", "4000", "-d", "1to2",
                               "--quiet", "--json", "--log", log, "--log-limit", "1", "--junit", dir.filePath("pipe")},
                              {"KORVANE_EMU_DMA_QUEUE=65536"});
        QVERIFY2(run.exitCode == 0 || onlyTheHostFellBehind(run), run.out + run.err);
        const QByteArray xml = readAndClose(reader);
        QCOMPARE(xml.count("<?xml"), 1);
        QVERIFY2(xml.contains("name=\"exitCode\" value=\"" + QByteArray::number(run.exitCode) + "\""), xml.constData());
        QVERIFY(!QFileInfo::exists(log + ".1"));
        QCOMPARE(run.json()["logFramesDropped"].toDouble(), 0.0);
        QVERIFY(run.json()["logFramesKept"].toDouble() >= 20000);
    }
    // A summary that cannot be written changes the verdict after the
    // reports: the file is written again, the pipe keeps its one report.
    {
        const int reader = ::open(pipe.constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        QProcess process;
        process.setStandardOutputFile("/dev/full");
        process.start(QStringLiteral(KORVANE_CHECK), {"--groups", "1", "-d", "1to2", "--quiet", "--junit",
                                                      dir.filePath("pipe"), "--html", dir.filePath("page.html")});
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.exitCode(), 3);
        const QByteArray xml = readAndClose(reader);
        QCOMPARE(xml.count("<?xml"), 1);
        QFile page(dir.filePath("page.html"));
        QVERIFY(page.open(QIODevice::ReadOnly));
        QVERIFY(page.readAll().contains("<h1>The test could not be carried out"));
    }
    // A log on a pipe that nobody reads is refused at once, not waited on.
    const Run unread = check({"--groups", "1", "--log", dir.filePath("pipe")});
    QCOMPARE(unread.exitCode, 2);
    QVERIFY2(unread.err.contains("nothing reads the pipe"), unread.err.constData());
    QCOMPARE(kind(null), mode_t(S_IFCHR));
    QCOMPARE(kind(pipe), mode_t(S_IFIFO));
    QCOMPARE(kind(QFile::encodeName(dir.filePath("link.log"))), mode_t(S_IFLNK));
    QVERIFY(QFileInfo(dir.filePath("target.log")).size() > 512 * 1024);
}

// A run killed outright leaves the report it made as it began, which says
// only that the run did not finish and its result is unknown: it blames
// neither the board, nor a worker, nor the driver.
void TestCheck::aKilledRunsReportSaysOnlyThatItDidNotFinish()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("report.xml");
    const QString page = dir.filePath("report.html");
    QProcess process;
    process.start(QStringLiteral(KORVANE_CHECK), {"--seconds", "30", "--json", "--junit", path, "--html", page});
    QVERIFY(process.waitForStarted());
    QVERIFY(awaitLine(process, QRegularExpression("^1->2 1 s:")));
    ::kill(pid_t(process.processId()), SIGKILL);
    QVERIFY(process.waitForFinished(60000));
    const Junit report = readJunit(path);
    QVERIFY(report.read);
    QCOMPARE(report.exitCode, 3);
    QCOMPARE(report.cases, 2);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString xml = QString::fromUtf8(file.readAll());
    QVERIFY2(xml.contains("the run did not finish") && xml.contains("unknown"), qPrintable(xml));
    for (const char *blame : {"worker", "driver", "faulty", "reseat"})
        QVERIFY2(!xml.contains(blame), qPrintable(xml));
    QFile html(page);
    QVERIFY(html.open(QIODevice::ReadOnly));
    const QByteArray content = html.readAll();
    QVERIFY(content.contains("<h1>The run did not finish"));
    QVERIFY(!content.contains("faulty") && !content.contains("worker"));
}

// While a run holds board N a second run on it is refused at once (status
// 2, naming the holder), touching none of the first one's files, its report
// included; another board is free; the hold ends with the process, however
// it ends.
void TestCheck::aBoardIsHeldByOneTestAtATime()
{
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVANE_EMU_BOARDS", "2");
    QProcess first;
    first.setProcessEnvironment(env);
    const QString report = dir.filePath("first.xml");
    first.start(QStringLiteral(KORVANE_CHECK),
                {"--seconds", "60", "--json", "--log", dir.filePath("first.log"), "--junit", report});
    QVERIFY(first.waitForStarted());
    QVERIFY(awaitLine(first, QRegularExpression("^1->2 1 s:")));
    const QFileInfo log(dir.filePath("first.log"));
    QElapsedTimer waited;
    waited.start();
    while (QFileInfo(log.filePath()).size() == 0 && waited.elapsed() < 60000)
        QThread::msleep(10);
    const qint64 logged = QFileInfo(log.filePath()).size();
    QVERIFY(logged > 0);
    const QStringList boards{"KORVANE_EMU_BOARDS=2"};
    const Run second = check({"--groups", "1", "--log", dir.filePath("first.log"), "--junit", report, "--json"}, boards);
    QCOMPARE(second.exitCode, 2);
    const QString said = QString("board 0 (\\\\.\\CAN0) is in use by another test (process %1)").arg(first.processId());
    QVERIFY2(second.err.contains(said.toUtf8()), second.err.constData());
    QVERIFY2(second.json()["notCarriedOut"].toArray().first().toString() == said, second.out.constData());
    const QString held = readJunit(report).messages.join(' ');
    QVERIFY2(held.contains("the run did not finish") && !held.contains("in use"), qPrintable(held));
    QVERIFY(QFileInfo(log.filePath()).size() >= logged);
    // Another board is free.
    QCOMPARE(check({"--board", "1", "--groups", "1", "--quiet"}, boards).exitCode, 0);
    // Killed, the first lets its board go.
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(60000));
    QCOMPARE(check({"--groups", "1", "--quiet"}, boards).exitCode, 0);
}
