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
    void foreignFramesFailTheRun();
    void stalledTransmitterEndsTheRun();
    void bitRateMismatchFailsWithItsReason();
    void noBoardOrBadOptionIsAUsageFailure_data();
    void noBoardOrBadOptionIsAUsageFailure();
    void logHoldsEveryReceivedFrame();
    void interruptEndsTheRunWithItsSummary();
};

void TestCheck::everyRateBothDirectionsPass_data()
{
    QTest::addColumn<QString>("kbps");
    for (const char *kbps : {"125", "250", "500", "1000"})
        QTest::newRow(kbps) << QString(kbps);
}

void TestCheck::everyRateBothDirectionsPass()
{
    QFETCH(QString, kbps);
    const Run run = check({"--rate", kbps, "--groups", "30", "--json", "--quiet"});
    QVERIFY2(run.exitCode == 0, run.out + run.err);
    const QJsonObject summary = run.json();
    QCOMPARE(summary["result"].toString(), QString("pass"));
    const QJsonArray directions = summary["directions"].toArray();
    QCOMPARE(directions.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject direction = directions[i].toObject();
        QCOMPARE(direction["from"].toInt(), 1 + i);
        QCOMPARE(direction["kbps"].toInt(), kbps.toInt());
        QVERIFY(direction["sent"].toDouble() >= 30);
        QCOMPARE(direction["clean"].toDouble(), direction["sent"].toDouble());
        QCOMPARE(direction["testFrames"].toDouble(), 5 * direction["sent"].toDouble());
        const double load = direction["busLoad"].toDouble();
        QVERIFY2(load > 0 && load <= 1.0, qPrintable(QString::number(load)));
    }
}

void TestCheck::foreignFramesFailTheRun()
{
    const Run run = check({"--direction", "1to2", "--seconds", "0.5", "--json", "--quiet"},
                          {"KORVANE_EMU_FOREIGN=2:0x123:20"});
    QCOMPARE(run.exitCode, 1);
    const QJsonObject direction = run.json()["directions"].toArray()[0].toObject();
    QVERIFY(direction["framesNobodySent"].toDouble() >= 10);
    QVERIFY(direction["sent"].toDouble() > 0);
}

// A transmitter that stops sending ends the direction, even when only a
// number of groups was asked for.
void TestCheck::stalledTransmitterEndsTheRun()
{
    QElapsedTimer timer;
    timer.start();
    const Run run = check({"--groups", "10", "--direction", "1to2", "--json", "--quiet"},
                          {"KORVANE_EMU_CUT=1"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.json()["directions"].toArray()[0].toObject()["stalled"].toBool());
    QVERIFY2(timer.elapsed() < 60000, "ended by the stall, not by a day of seconds");
}

void TestCheck::bitRateMismatchFailsWithItsReason()
{
    const Run run = check({"--rate1", "125", "--rate2", "250", "--direction", "1to2", "--seconds", "0.5"});
    QCOMPARE(run.exitCode, 1);
    const QString verdict = QString::fromUtf8(run.out).trimmed().section('\n', -1);
    QVERIFY2(verdict.startsWith("FAIL: 1->2: no group was sent"), qPrintable(verdict));
    QVERIFY2(verdict.contains("different bit rates (125 and 250 kbit/s)"), qPrintable(verdict));
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

// Ctrl+C: the run ends, the summary so far is written, and the run fails.
void TestCheck::interruptEndsTheRunWithItsSummary()
{
    QProcess process;
    process.start(QStringLiteral(KORVANE_CHECK), {"--seconds", "600", "--direction", "1to2"});
    QVERIFY(process.waitForStarted());
    // Once a progress line shows groups going out.
    QString progress;
    while (!progress.contains(QRegularExpression("sent [1-9]"))) {
        if (!process.canReadLine())
            QVERIFY(process.waitForReadyRead(60000));
        else
            progress = QString::fromUtf8(process.readLine());
    }
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 1);
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    QVERIFY2(out.contains(QRegularExpression("1->2 at 125 kbit/s, [0-9.]+ s: sent [1-9]")), qPrintable(out));
    QVERIFY2(out.trimmed().endsWith("FAIL: interrupted"), qPrintable(out));
}

QTEST_GUILESS_MAIN(TestCheck)
#include "tst_check.moc"
