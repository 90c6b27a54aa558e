// korvane-check on the emulated board, run as a test station would run it.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

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
    void signalEndsTheRunWithItsSummaryAndLog_data();
    void signalEndsTheRunWithItsSummaryAndLog();
    void unwritableOutputIsNeverAPass_data();
    void unwritableOutputIsNeverAPass();
    void helpAllPrintsHelpOnly();
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
}

// candump log lines, read back: one per received frame, each direction's on
// the receiving channel's interface, times from the DMA blocks in order.
void TestCheck::logHoldsEveryReceivedFrame()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("frames.log");
    const Run run = check({"--groups", "20", "--json", "--quiet", "--log", path, "--rate", "500"});
    QVERIFY2(run.exitCode == 0, run.out + run.err);
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
    QString progress;
    while (!progress.contains(QRegularExpression("sent [1-9]"))) {
        process.setReadChannel(QProcess::StandardError);
        if (!process.canReadLine())
            QVERIFY(process.waitForReadyRead(60000));
        else
            progress = QString::fromUtf8(process.readLine());
    }
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
    QVERIFY(frames >= 5 * direction["sent"].toDouble());
}

void TestCheck::unwritableOutputIsNeverAPass_data()
{
    QTest::addColumn<QString>("shell");
    QTest::addColumn<bool>("summary");
    QTest::newRow("full disk") << "\"$0\" \"$@\" --json >/dev/full" << false;
    QTest::newRow("closed") << "\"$0\" \"$@\" --json >&-" << false;
    QTest::newRow("reader gone") << "\"$0\" \"$@\" --seconds 30 | head -n 2 >/dev/null; exit ${PIPESTATUS[0]}" << false;
    QTest::newRow("log on a full disk") << "\"$0\" \"$@\" --log /dev/full" << true;
}

// A result that cannot be written fails the run with status 3, never a
// silent pass or a death by SIGPIPE; a log that fails keeps the summary.
void TestCheck::unwritableOutputIsNeverAPass()
{
    QFETCH(QString, shell);
    QFETCH(bool, summary);
    QProcess process;
    process.start("bash", {"-c", shell, QStringLiteral(KORVANE_CHECK), "--direction", "1to2", "--rate", "1000"});
    QVERIFY(process.waitForFinished(120000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 3);
    const QString err = QString::fromUtf8(process.readAllStandardError());
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    if (summary) {
        QVERIFY2(out.contains("1->2 at 1000 kbit/s"), qPrintable(out));
        QVERIFY2(out.trimmed().section('\n', -1).startsWith(
                     "ERROR: the test could not be carried out: the log /dev/full could not be written"),
                 qPrintable(out));
    } else {
        QVERIFY2(err.contains("could not be written"), qPrintable(err));
    }
}

void TestCheck::helpAllPrintsHelpOnly()
{
    QElapsedTimer timer;
    timer.start();
    const Run run = check({"--help-all"}, {"KORVANE_EMU_LATENCY_US=1000000"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.startsWith("Usage:"));
    QVERIFY2(!run.out.contains("PASS") && !run.out.contains("FAIL"), run.out.constData());
}

QTEST_GUILESS_MAIN(TestCheck)
#include "tst_check.moc"
