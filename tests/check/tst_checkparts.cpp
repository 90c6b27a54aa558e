// The runner's frame log and progress lines, alone.
#include "framelog.h"
#include "records.h"
#include "report.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

const uint64_t kWrap = uint64_t(1) << 24;
const int64_t kSecond = 1000000000;

} // namespace

class TestCheckParts : public QObject
{
    Q_OBJECT

private slots:
    void stampsUnwrapOnTheBoardsClock_data();
    void stampsUnwrapOnTheBoardsClock();
    void logEndsWithWholeLinesAndSaysWhy();
    void progressNeverShowsMoreReceivedThanSent();
    void historyStaysWithinItsRoomAndKeepsEveryCount();
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

// A log on a disk that fills: the file ends with whole lines, and the reason
// is the system's own words.
void TestCheckParts::logEndsWithWholeLinesAndSaysWhy()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("frames.log");
    const auto ignored = std::signal(SIGXFSZ, SIG_IGN);
    rlimit before;
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit limit = before;
    limit.rlim_cur = 100000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
    FrameLog log;
    QString error;
    QVERIFY(log.open(path, &error));
    const unsigned char data[4] = {0x29, 0, 0, 0};
    for (uint64_t i = 0; i < 20000; ++i)
        log.frame(2, 1000 * i, 171, 186, false, data, 4);
    QVERIFY(!log.close());
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, ignored);
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
    DirectionResult result;
    result.from = 1;
    result.to = 2;
    result.limitGroupsPerSecond = 235;
    result.groupsReported = 4;
    result.groupsClean = 5;
    QCOMPARE(report::progressLine(result, 1, 4).section(';', 0, 0),
             QString("1->2 1 s: sent 4, received clean 4, with errors 0"));
    result.groupsClean = 3;
    result.groupsWithErrors = 2;
    QCOMPARE(report::progressLine(result, 2, 0).section(';', 0, 0),
             QString("1->2 2 s: sent 4, received clean 3, with errors 1"));
}

QTEST_GUILESS_MAIN(TestCheckParts)
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
        p.sent = 1000 + i % 7;
        p.missing = i == 123456 ? 3 : 0;
        p.controllers[0].read = true;
        p.controllers[0].tec = i == 123456 ? 96 : 0;
        sent += p.sent;
        missing += p.missing;
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
        sentKept += p.sent;
        missingKept += p.missing;
        worst = qMax(worst, p.controllers[0].tec);
    }
    QCOMPARE(end, double(intervals));
    QCOMPARE(sentKept, sent);
    QCOMPARE(missingKept, missing);
    QCOMPARE(worst, 96);
    QVERIFY(history.points().capacity() <= qMax(capacity, 64));
}

#include "tst_checkparts.moc"
