// The runner's rooms, alone: the direction record on scripted DMA blocks,
// the command line, the outputs' files, the frame log, the reports' text.
#include "commandline.h"
#include "directionrecord.h"
#include "emulateddriver.h"
#include "framelog.h"
#include "htmlreport.h"
#include "junitreport.h"
#include "outputfile.h"
#include "qualification.h"
#include "records.h"
#include "report.h"
#include "testgroup.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const uint64_t kWrap = uint64_t(1) << 24;
const int64_t kSecond = 1000000000;

// A DMA block as the board writes it: the flag and channel, the 24-bit
// stamp, the receive buffer's identifier, length and data registers.
QByteArray block(unsigned channel, uint32_t stamp, unsigned stdId, int extId, QByteArray data, bool waited = false,
                 bool remote = false)
{
    QByteArray b(int(CAN_DMA_BLOCK_SIZE), '\0');
    b[0] = char((waited ? 1 : 0) | (channel == 2 ? 2 : 0));
    b[1] = char(stamp);
    b[2] = char(stamp >> 8);
    b[3] = char(stamp >> 16);
    b[5] = char(stdId >> 3);
    b[6] = char((stdId & 7) << 5 | (extId >= 0 ? CAN_SIDL_EXIDE | ((extId >> 16) & 3) : 0));
    b[7] = char(extId >= 0 ? extId >> 8 : 0);
    b[8] = char(extId >= 0 ? extId : 0);
    b[9] = char((remote ? int(CAN_DLC_RTR) : 0) | data.size());
    for (int i = 0; i < data.size(); ++i)
        b[10 + i] = data[i];
    return b;
}

QByteArray testFrame(int which, uint32_t stamp, unsigned channel = 2)
{
    unsigned char data[4];
    testgroup::encode(testgroup::kNumbers[which], data);
    return block(channel, stamp, testgroup::kStdId, int(testgroup::kExtId),
                 QByteArray(reinterpret_cast<const char *>(data), 4));
}

CanRxRecord decoded(const QByteArray &b)
{
    return CanDecodeRxRecord(b.constData());
}

QString nativeFile(const QString &path)
{
    struct stat info;
    if (lstat(QFile::encodeName(path).constData(), &info) != 0)
        return "none";
    return S_ISLNK(info.st_mode) ? "link" : S_ISFIFO(info.st_mode) ? "pipe" : S_ISCHR(info.st_mode) ? "device" : "file";
}

// Runs f with the process's files limited to this many bytes (a write past
// it fails with EFBIG, as on a full disk), then lifts the limit.
template <typename F> void withFileSizeLimit(rlim_t bytes, F f)
{
    const auto ignored = std::signal(SIGXFSZ, SIG_IGN);
    rlimit before;
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit limit = before;
    limit.rlim_cur = bytes;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
    f();
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, ignored);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestCheckParts : public QObject
{
    Q_OBJECT

private slots:
    void stampsUnwrapOnTheBoardsClock_data();
    void stampsUnwrapOnTheBoardsClock();
    void stampsThatStepBackAreTheBoardsClockNotAPause();
    void logEndsWithWholeLinesAndSaysWhy();
    void progressNeverShowsMoreReceivedThanSent();
    void historyStaysWithinItsRoomAndKeepsEveryCount();
    void directionRecordAccountsForScriptedBlocks();
    void commandLineTakesOnlyWhatItCanDo_data();
    void commandLineTakesOnlyWhatItCanDo();
    void outputsNamingOneFileAreRefused();
    void reportsReplaceRegularFilesWholeAndWriteOthersInPlace();
    void junitNamesEachFigureOnceAndHoldsOnlyXmlText();
    void pageShowsNoForbiddenCharacterAndLabelsEachTickWithItsTime();
    void aCaseTheStopCutShortIsInterruptedNotFailed();
};

void TestCheckParts::stampsUnwrapOnTheBoardsClock_data()
{
    QTest::addColumn<QVector<quint64>>("times");    // the frames' true times, microseconds
    QTest::addColumn<QVector<qint64>>("silences");  // how long the queue was found empty before each
    // Frames back to back past a wrap: a host that lagged or was paused
    // between two reads found no silence, and adds nothing.
    QTest::newRow("busy bus across a wrap") << QVector<quint64>{kWrap - 3000, kWrap - 1000, kWrap + 500, kWrap + 2500}
                                            << QVector<qint64>{0, 0, 0, 0};
    QTest::newRow("a short silence") << QVector<quint64>{1000, 9000000, 16000000, 17000000}
                                     << QVector<qint64>{0, 8 * kSecond, 6 * kSecond, kSecond};
    // Silences longer than a wrap, as behind a driver of a second a request.
    QTest::newRow("silences of whole wraps") << QVector<quint64>{5000, 5000 + 20000000, 5000 + 60000000}
                                             << QVector<qint64>{0, 19 * kSecond + kSecond / 2, 39 * kSecond};
    // A silence measured short (the host paused while the queue was empty)
    // never adds a wrap that was not there.
    QTest::newRow("a silence measured short") << QVector<quint64>{1000, 9000000} << QVector<qint64>{0, 2 * kSecond};
    // Weeks of a busy bus: past 2^32 microseconds (71 minutes) and on, a
    // frame every 10 s, never a silence.
    QVector<quint64> weeks;
    for (quint64 t = 7000; t < 21ull * 24 * 3600 * 1000000; t += 10 * 1000000 + 1)
        weeks << t;
    QTest::newRow("three weeks of frames") << weeks << QVector<qint64>(weeks.size(), 0);
}

// Each frame's 24-bit stamp becomes its time on the board's clock: frames on
// a busy bus never jump by a wrap, and a silence long enough for wraps gets
// them.
void TestCheckParts::stampsUnwrapOnTheBoardsClock()
{
    QFETCH(QVector<quint64>, times);
    QFETCH(QVector<qint64>, silences);
    FrameLog log;
    for (int i = 0; i < times.size(); ++i) {
        const uint64_t micros = log.unwrap(2, unsigned(times[i] % kWrap), silences[i]);
        QCOMPARE(quint64(micros), times[i]);
    }
}

// A stamp behind the last (a carry into its upper byte latched late) is
// not a wrap: the host read the two frames a moment apart. A host that was
// paused over a silent bus is no step back however far the stamps moved.
void TestCheckParts::stampsThatStepBackAreTheBoardsClockNotAPause()
{
    FrameLog log;
    bool back = true;
    QCOMPARE(quint64(log.unwrap(2, 70000, 0, -1, &back)), quint64(70000));
    QVERIFY(!back);
    QCOMPARE(quint64(log.unwrap(2, 70000 + 900 - 65536, 0, 1000000 / 1000, &back)), quint64(70000));
    QVERIFY(back);
    QCOMPARE(quint64(log.unwrap(2, 71800, 0, 1000000, &back)), quint64(71800));
    QVERIFY(!back);
    // Paused for 15 s over a silent bus: the read before and the read after
    // are 15 s apart.
    const uint64_t later = 71800 + 15000000;
    QCOMPARE(quint64(log.unwrap(2, unsigned(later % kWrap), 0, 15 * kSecond + kSecond / 10, &back)), quint64(later));
    QVERIFY(!back);
}

// A log on a disk that fills: the file ends with whole lines, and the reason
// is the system's own words.
void TestCheckParts::logEndsWithWholeLinesAndSaysWhy()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("frames.log");
    FrameLog log;
    withFileSizeLimit(100000, [&] {
        QString error;
        QVERIFY(log.open(path, &error));
        const unsigned char data[4] = {0x29, 0, 0, 0};
        for (uint64_t i = 0; i < 20000; ++i)
            log.frame(2, 1000 * i, 171, 186, false, data, 4);
        QVERIFY(!log.close());
    });
    QCOMPARE(log.error(), QString("File too large"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    QVERIFY(written.size() > 0 && written.size() <= 100000);
    QVERIFY(written.endsWith('\n'));
    for (const QByteArray &line : written.split('\n').mid(0, written.count('\n')))
        QVERIFY2(line.startsWith('(') && line.endsWith("#29000000"), line.constData());
}

// The receiver may count a group a moment before the transmitter reports it.
void TestCheckParts::progressNeverShowsMoreReceivedThanSent()
{
    DirectionRecord result(1, 125, 1);
    result.groupsReported = 4;
    result.groupsClean = 5;
    QCOMPARE(report::progressLine(result, 1, 4).section(';', 0, 0),
             QString("1->2 1 s: sent 4, received clean 4, with errors 0"));
    result.groupsClean = 3;
    result.groupsWithErrors = 2;
    QCOMPARE(report::progressLine(result, 2, 0).section(';', 0, 0),
             QString("1->2 2 s: sent 4, received clean 3, with errors 1"));
}

// A week of records a second in a history of 64 points: never more points,
// every count kept, no point across a change of direction, the worse
// controller state of those merged, and its room never grows.
void TestCheckParts::historyStaysWithinItsRoomAndKeepsEveryCount()
{
    IntervalHistory history(64);
    const int capacity = history.points().capacity();
    quint64 sent = 0, missing = 0;
    const int intervals = 7 * 24 * 3600;
    for (int i = 0; i < intervals; ++i) {
        IntervalPoint p;
        p.start = i;
        p.seconds = 1;
        p.direction = (i / 40000) % 2 ? 2 : 1; // directions alternate every 11 hours
        p.counts.sent = 1000 + i % 7;
        p.counts.missing = i == 123456 ? 3 : 0;
        p.controllers[0].read = true;
        p.controllers[0].tec = i == 123456 ? 96 : 0;
        sent += p.counts.sent;
        missing += p.counts.missing;
        history.add(p);
        QVERIFY(history.points().size() <= 64);
    }
    const QVector<IntervalPoint> points = history.points();
    QVERIFY(points.size() >= 32);
    QVERIFY(history.merged() > 1 && (history.merged() & (history.merged() - 1)) == 0);
    quint64 sentKept = 0, missingKept = 0;
    double end = 0;
    int worst = 0;
    for (const IntervalPoint &p : points) {
        QCOMPARE(p.start, end); // in order, none lost, none overlapping
        end = p.start + p.seconds;
        QCOMPARE(p.direction, (int(p.start) / 40000) % 2 ? 2 : 1);
        QCOMPARE(int(end - 1) / 40000, int(p.start) / 40000); // within one direction
        sentKept += p.counts.sent;
        missingKept += p.counts.missing;
        worst = qMax(worst, p.controllers[0].tec);
    }
    QCOMPARE(end, double(intervals));
    QCOMPARE(sentKept, sent);
    QCOMPARE(missingKept, missing);
    QCOMPARE(worst, 96);
    QVERIFY(history.points().capacity() <= qMax(capacity, 64));
}

// A direction's record from a script of what the workers tell: frames in
// any order, one that arrived before the run, one nobody sent, one damaged,
// a block held back; the intervals add up to its counts, and its facts are
// what the verdict reads.
void TestCheckParts::directionRecordAccountsForScriptedBlocks()
{
    DirectionRecord r(1, 125, 2, 10.0);
    QCOMPARE(r.name(), QString("1->2"));
    QCOMPARE(r.limitGroupsPerSecond, 125000.0 / testgroup::kBitsOnWire);
    // A frame from before the run is shown apart, never judged.
    r.blockRead(decoded(testFrame(0, 5)), 5, false);
    // Two groups: the transmitter tells each frame, the receiver reads them
    // in another order (the controller sends by priority).
    for (int i = 0; i < 10; ++i)
        r.frameLeft(testgroup::kNumbers[i % 5], true);
    r.groupSent();
    const int order[] = {0, 2, 1, 3, 4};
    uint64_t micros = 1000;
    for (int which : order) {
        r.blockRead(decoded(testFrame(which, uint32_t(micros))), micros, true);
        micros += 1000;
    }
    QCOMPARE(r.outstanding(), quint64(5));
    const IntervalPoint first = r.interval(1.0, false);
    QCOMPARE(first.start, 10.0);
    QCOMPARE(first.counts.sent, quint64(1));
    QCOMPARE(first.counts.whole, quint64(1));
    // The second group loses its fourth frame; a foreign frame and a
    // damaged test frame arrive, one block held back by a full queue.
    r.groupSent();
    for (int which : {0, 1, 2, 4}) {
        r.blockRead(decoded(testFrame(which, uint32_t(micros), 2)), micros, true);
        micros += 1000;
    }
    r.blockRead(decoded(block(2, uint32_t(micros), 0x123, -1, QByteArray("\x11\x22", 2), true)), micros, true);
    r.blockRead(decoded(block(2, uint32_t(micros), testgroup::kStdId, int(testgroup::kExtId), QByteArray(4, '\x7f'))),
                micros, true);
    r.groupReceived(true);
    r.groupReceived(false);
    r.finish(2.0, false, false);
    const IntervalPoint last = r.interval(2.0, true);
    QCOMPARE(last.start, 11.0);
    QCOMPARE(last.seconds, 1.0);
    TrafficCounts sum = first.counts + last.counts;
    QCOMPARE(sum, r.counts());
    QCOMPARE(r.counts().sent, quint64(2));
    QCOMPARE(r.counts().whole, quint64(1));
    QCOMPARE(r.counts().missing, quint64(1));
    QCOMPARE(r.counts().damaged, quint64(1));
    QCOMPARE(r.counts().nobodySent, quint64(1));
    QCOMPARE(r.counts().overrunBlocks, quint64(1));
    QCOMPARE(r.framesBeforeRun, quint64(1));
    QCOMPARE(r.testFramesOnBus, quint64(10)); // the damaged one has the test identifier
    QCOMPARE(r.firstMicros, quint64(1000));
    QCOMPARE(r.lastMicros, micros);
    QVERIFY(r.loadOnBus() > 0);
    // 1000 us is 125 bits at 125 kbit/s: the longest test frame's 109 the
    // quickest share (the damaged frame and the foreign one are not timed).
    QVERIFY(qAbs(r.quickestFrame - 125.0 / 109) < 1e-9);
    QCOMPARE(r.foreignIds.size(), size_t(1));
    QCOMPARE(r.foreignIds[0].id, 0x123u);
    const verdict::Direction facts = r.facts("1->2 at 125 kbit/s (round 2)", false);
    QCOMPARE(QString::fromStdString(facts.name), QString("1->2 (round 2)"));
    QCOMPARE(facts.framesMissing, uint64_t(1));
    QVERIFY(facts.drained == false && facts.overrunBlocks == 1);
    // What the verdict says of it names the round.
    verdict::Run run;
    run.directions.push_back(facts);
    run.directionsAsked = {facts.title};
    QVERIFY(verdict::decide(run).line.find("1->2 (round 2): the host fell behind the board: 1 DMA block") !=
            std::string::npos);

    // Frames back to back 3 us a bit apart at 250 kbit/s: a board whose bit
    // timing runs at 333 kbit/s. A stamp that stepped back times nothing.
    DirectionRecord fast(1, 250, 1, 0.0), stepped(1, 250, 1, 0.0);
    uint64_t at = 1000;
    for (int which = 0; which < 5; ++which) {
        fast.blockRead(decoded(testFrame(which, uint32_t(at))), at, true);
        stepped.blockRead(decoded(testFrame(which, uint32_t(at))), at, true, which == 1);
        if (which == 2)
            QCOMPARE(stepped.quickestFrame, -1.0);
        at += testgroup::kFrameBitsOnWire[(which + 1) % 5] * 3;
    }
    QVERIFY(qAbs(fast.quickestFrame - 0.75) < 1e-9);
    QVERIFY(qAbs(stepped.quickestFrame - 0.75) < 1e-9);
    QVERIFY(fast.facts("1->2", false).quickestFrame == fast.quickestFrame);
}

void TestCheckParts::commandLineTakesOnlyWhatItCanDo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("refusal"); // empty: taken
    QTest::newRow("defaults") << QStringList{} << "";
    QTest::newRow("everything") << QStringList{"--board", "3", "--rate1", "250", "--rate2", "500", "-d", "2to1",
                                               "--rounds", "2", "-s", "1.5", "-g", "7", "--load", "full", "--min-load",
                                               "80.5", "--every", "1", "--records", "-", "--quiet"}
                                << "";
    QTest::newRow("rate") << QStringList{"--rate", "300"} << "--rate 300: the rates are 125, 250, 500 and 1000";
    QTest::newRow("leading zero") << QStringList{"--board", "01"} << "--board 01: give a board index from 0 to 15";
    QTest::newRow("board past 15") << QStringList{"--board", "16"} << "--board 16";
    QTest::newRow("exponent") << QStringList{"--seconds", "1e-1"} << "--seconds 1e-1";
    QTest::newRow("too short") << QStringList{"--seconds", "0.09"} << "--seconds 0.09";
    QTest::newRow("twice") << QStringList{"--rate", "500", "--rate", "250"} << "--rate is given more than once";
    QTest::newRow("min-load without full") << QStringList{"--min-load", "50"} << "--min-load is for --load full";
    QTest::newRow("records without every") << QStringList{"--records", "r"} << "--records is for --every";
    QTest::newRow("every without records") << QStringList{"--every", "2"} << "--every needs --records";
    QTest::newRow("two on standard output") << QStringList{"--every", "1", "--records", "-", "--json"}
                                            << "--records - and --json both want standard output";
    QTest::newRow("log-limit without log") << QStringList{"--log-limit", "5"} << "--log-limit is for --log";
    QTest::newRow("empty report name") << QStringList{"--html", ""} << "--html needs a file name";
    QTest::newRow("stray argument") << QStringList{"x"} << "unexpected argument: x";
    QTest::newRow("unknown option") << QStringList{"--colour"} << "Unknown option 'colour'.";
}

// Values only as written; a refusal still knows where its reports go.
void TestCheckParts::commandLineTakesOnlyWhatItCanDo()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, refusal);
    const CommandLine line = parseCommandLine(QStringList{"korvane-check"} + arguments + QStringList{"--junit", "r.xml"});
    if (refusal.isEmpty()) {
        QCOMPARE(line.action, CommandLine::Run);
        QVERIFY2(line.error.isEmpty(), qPrintable(line.error));
    } else {
        QCOMPARE(line.action, CommandLine::Refused);
        QVERIFY2(line.error.startsWith(refusal), qPrintable(line.error));
        QVERIFY(line.helpText.contains("Exit status"));
    }
    if (QString(QTest::currentDataTag()) == "everything") {
        const CheckOptions &o = line.options;
        QCOMPARE(o.board, 3);
        QCOMPARE(o.kbps[0], 250u);
        QCOMPARE(o.kbps[1], 500u);
        QCOMPARE(o.directions, (QVector<unsigned int>{2, 2}));
        QCOMPARE(o.roundOf(1), 2);
        QCOMPARE(o.seconds, 1.5);
        QCOMPARE(o.groups, quint64(7));
        QVERIFY(o.fullLoad && o.minLoadGiven);
        QCOMPARE(o.minLoad, 0.805);
        QCOMPARE(o.recordsPath, QString("-"));
    }
    QCOMPARE(line.options.junitPath, QString("r.xml"));
    // A file name the system's encoding cannot say is refused, and its
    // report is not written to a name of other bytes.
    const CommandLine inexact =
        parseCommandLine({"korvane-check", "--junit", QString::fromUtf8("J\xEF\xBF\xBD.xml")},
                         {QString::fromUtf8("J\xEF\xBF\xBD.xml")});
    QCOMPARE(inexact.action, CommandLine::Refused);
    QVERIFY2(inexact.error.startsWith("--junit: the file name is not valid"), qPrintable(inexact.error));
    QVERIFY(inexact.options.junitPath.isEmpty());
    QVERIFY(!outputfile::encodesExactly("J\xff.xml"));
    QVERIFY(outputfile::encodesExactly("J\xc3\xa9.xml"));
}

// Two outputs that would reach one file are refused, naming both: the same
// path, a link to it, the log's older half, standard output by its name;
// the null device may take any number.
void TestCheckParts::outputsNamingOneFileAreRefused()
{
    QTemporaryDir dir;
    const QString x = dir.filePath("x");
    QVERIFY(QFile::link(x, dir.filePath("link")));
    const auto refusal = [](const QStringList &arguments) {
        return parseCommandLine(QStringList{"korvane-check"} + arguments).error;
    };
    QCOMPARE(refusal({"--every", "1", "--records", x, "--log", x}),
             QString("--records %1 and --log %1 would write to the same file; give each output a file of its own").arg(x));
    QVERIFY(refusal({"--junit", x, "--html", x}).startsWith("--html " + x + " and --junit " + x));
    QVERIFY(refusal({"--log", x, "--junit", dir.filePath("link")}).startsWith("--junit " + dir.filePath("link")));
    QVERIFY(refusal({"--log", x, "--html", x + ".1"}).contains("its older half"));
    QVERIFY(refusal({"--log", x, "--log-limit", "0", "--html", x + ".1"}).isEmpty());
    QVERIFY(refusal({"--json", "--every", "1", "--records", "/dev/stdout"})
                .startsWith("--records /dev/stdout and --json on standard output"));
    QVERIFY(refusal({"--junit", "/dev/stdout"}).contains("the summary on standard output"));
    QVERIFY(refusal({"--log", "/dev/null", "--junit", "/dev/null", "--html", "/dev/null"}).isEmpty());
    QVERIFY(refusal({"--log", x, "--junit", dir.filePath("y")}).isEmpty());
}

// A regular file (and one a link leads to) is replaced whole; a device or a
// pipe is written in place, never renamed, replaced or removed, its write
// errors said; a file past the size the system allows is not half written.
void TestCheckParts::reportsReplaceRegularFilesWholeAndWriteOthersInPlace()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("r.xml");
    QVERIFY(outputfile::writeWhole(file, "first").isEmpty());
    QVERIFY(outputfile::writeWhole(file, "second").isEmpty());
    QCOMPARE(contents(file), QByteArray("second"));
    QCOMPARE(QFileInfo(file).permissions() & QFileDevice::WriteOwner, QFileDevice::WriteOwner);

    const QString link = dir.filePath("link.xml");
    QVERIFY(QFile::link(file, link));
    QVERIFY(outputfile::writeWhole(link, "through the link").isEmpty());
    QCOMPARE(nativeFile(link), QString("link"));
    QCOMPARE(contents(file), QByteArray("through the link"));

    // The device: its write error, and still the device.
    QCOMPARE(outputfile::writeWhole("/dev/full", "x"), QString("No space left on device"));
    QCOMPARE(nativeFile("/dev/full"), QString("device"));
    QVERIFY(outputfile::writeWhole("/dev/null", "x").isEmpty());
    QCOMPARE(outputfile::kindOf("/dev/null"), outputfile::Kind::Other);

    // A pipe with a reader gets the report once; without one, it is said.
    const QString pipe = dir.filePath("pipe");
    QCOMPARE(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QCOMPARE(outputfile::writeWhole(pipe, "report"), QString("nothing reads the pipe"));
    QByteArray read;
    std::thread reader([&] { read = contents(pipe); });
    QString error;
    for (int tries = 0; tries < 6000 && (error = outputfile::writeWhole(pipe, "report")) == "nothing reads the pipe"; ++tries)
        QThread::msleep(10); // until the reader has opened its end
    reader.join();
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(read, QByteArray("report"));
    QCOMPARE(nativeFile(pipe), QString("pipe"));
    // A reader that stops taking it: the report is given up once the reader
    // has taken nothing for a while, never waited on for ever.
    const int stalled = ::open(QFile::encodeName(pipe).constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(stalled >= 0);
    QVERIFY(fcntl(stalled, F_SETPIPE_SZ, 4096) >= 4096);
    QCOMPARE(outputfile::writeWhole(pipe, QByteArray(1 << 20, 'x')), QString("its reader took nothing for 10 s"));
    ::close(stalled);
    outputfile::removeIfRegular(pipe);
    outputfile::removeIfRegular(link);
    QCOMPARE(nativeFile(pipe), QString("pipe"));
    QCOMPARE(nativeFile(link), QString("link"));

    // Past the size allowed: the file keeps what it had, and nothing is
    // left beside it.
    withFileSizeLimit(4096, [&] { error = outputfile::writeWhole(file, QByteArray(8192, 'x')); });
    QCOMPARE(error, QString("File too large"));
    QCOMPARE(contents(file), QByteArray("through the link"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 3);

    // A report that failed through a link: the file behind it goes (it held
    // an earlier run's), the link and anything not a file stay.
    outputfile::removeFileBehind(link);
    QCOMPARE(nativeFile(link), QString("link"));
    QVERIFY(!QFileInfo::exists(file));
    outputfile::removeFileBehind(pipe);
    outputfile::removeFileBehind("/dev/null");
    QCOMPARE(nativeFile(pipe), QString("pipe"));
    QCOMPARE(nativeFile("/dev/null"), QString("device"));
}

// The JUnit report of two rounds names each figure once, and text that XML
// forbids (a control character in a worker's line) is shown, not written.
void TestCheckParts::junitNamesEachFigureOnceAndHoldsOnlyXmlText()
{
    QVector<DirectionRecord> results;
    for (int round = 1; round <= 2; ++round) {
        results.append(DirectionRecord(1, 125, round));
        results.last().finish(1, false, false);
    }
    report::RunState state;
    state.workerLines << QString("Can't open device \x1b[31m\x01");
    verdict::Run facts;
    const verdict::Verdict decided = verdict::decide(facts);
    const QByteArray xml = report::junit(results, state, decided);
    QXmlStreamReader reader(xml);
    QStringList names;
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == QLatin1String("property"))
            names << reader.attributes().value("name").toString();
    }
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    QVERIFY(names.contains("1to2.sent") && names.contains("1to2.round2.sent"));
    QCOMPARE(names.removeDuplicates(), 0);
    QVERIFY(xml.contains("\\x1b[31m\\x01"));
    QCOMPARE(report::xmlSafe(QString("a\tb\x7f\x0b")), QString("a\tb\x7f\\x0b"));
}

// The page holds no character HTML forbids, each channel's counters have
// colours of their own, the charts have axis titles, and each tick of the
// time axis is labelled with its own time.
void TestCheckParts::pageShowsNoForbiddenCharacterAndLabelsEachTickWithItsTime()
{
    htmlreport::Page page;
    page.result = "pass";
    page.commandLine = QString("korvane-check --junit \x1b[1mx\x01.xml ") + QChar(0x85);
    for (int i = 0; i < 37; ++i) {
        IntervalPoint p;
        p.start = i;
        p.seconds = i == 36 ? 0.3 : 1;
        p.direction = 1;
        p.limitGroupsPerSecond = 235;
        p.controllers[0].read = p.controllers[1].read = true;
        page.intervals << p;
    }
    const QString html = QString::fromUtf8(htmlreport::render(page));
    for (const QChar c : html) {
        const ushort u = c.unicode();
        QVERIFY2(u >= 0x20 || u == '\n' || u == '\t', qPrintable(QString::number(u)));
        QVERIFY(u < 0x7F || u > 0x9F);
    }
    QVERIFY(html.contains("\\x1b[1mx\\x01.xml \\x85"));
    QVERIFY(html.contains("time since the run began"));
    QVERIFY(html.contains(">TEC and REC</text>"));
    QStringList colours;
    const QRegularExpression legend("fill=\"(#[0-9a-f]{6})\"/><text class=\"legend\" x=\"[0-9]+\" y=\"18\">([TR]EC ch[12])<");
    for (auto m = legend.globalMatch(html); m.hasNext();)
        colours << m.next().captured(1);
    QCOMPARE(colours.size(), 4);
    QCOMPARE(colours.removeDuplicates(), 0);
    // The first chart's time ticks: x grows with the time its label says.
    const int first = html.indexOf("id=\"groups\"");
    const QString chart = html.mid(first, html.indexOf("</figure>", first) - first);
    const QRegularExpression tick("<text class=\"tick\" x=\"([0-9.]+)\" y=\"[0-9.]+\" text-anchor=\"middle\">([0-9.]+) s<");
    QList<QPair<double, double>> ticks;
    for (auto m = tick.globalMatch(chart); m.hasNext();) {
        const auto match = m.next();
        ticks.append({match.captured(2).toDouble(), match.captured(1).toDouble()});
    }
    QVERIFY2(ticks.size() >= 3, qPrintable(chart.left(2000)));
    const double perSecond = (ticks.last().second - ticks.first().second) / (ticks.last().first - ticks.first().first);
    for (const auto &t : ticks)
        QVERIFY2(qAbs(ticks.first().second + perSecond * (t.first - ticks.first().first) - t.second) < 0.11,
                 qPrintable(QString("%1 s at %2").arg(t.first).arg(t.second)));
    QVERIFY(ticks[1].first - ticks[0].first == 5 || ticks[1].first - ticks[0].first == 10);
}

// A wait that a signal cut short looks like a board that did not answer:
// the case is interrupted, and what it found after the stop is not a
// failure of the board. Without a stop, the same finding fails the case.
void TestCheckParts::aCaseTheStopCutShortIsInterruptedNotFailed()
{
    boardemu::EmulatedBoard board;
    CCANDeviceEx device;
    QVERIFY(device.Open(0));
    bool stop = false;
    qualify::Bench bench(device, 125, [&stop] { return stop; });
    const auto noAnswer = [&stop](bool stopFirst) {
        return qualify::Case{"transmit.buffers", "", [&stop, stopFirst](qualify::Bench &b, qualify::Findings &f) {
                                 stop = stopFirst;
                                 if (!b.waitUntil([] { return false; }, stopFirst ? 60000 : 1))
                                     f.note("channel 1's frame did not leave its buffer", "the board's channel 1");
                             }};
    };
    qualify::Outcome outcome = qualify::run(noAnswer(false), bench);
    QCOMPARE(outcome.result, qualify::Outcome::Failed);
    QCOMPARE(outcome.findings.size(), size_t(1));
    outcome = qualify::run(noAnswer(true), bench);
    QCOMPARE(outcome.result, qualify::Outcome::Interrupted);
    QVERIFY(outcome.findings.empty() && outcome.check.empty());
    QVERIFY(outcome.seconds < 60);
}

QTEST_GUILESS_MAIN(TestCheckParts)
#include "tst_checkparts.moc"
