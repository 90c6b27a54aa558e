// korvane-check --qualify on the emulated board: a healthy board passes
// every case at every bit rate, and each of the board's faults fails the
// cases that see it, and no others, with a diagnosis that names them.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

struct Run {
    int exitCode = -1;
    QJsonObject json;
    QByteArray err;
};

Run qualify(const QStringList &arguments, const QStringList &environment = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &assignment : environment)
        env.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(KORVANE_CHECK), QStringList{"--json", "--quiet"} + arguments);
    Run run;
    if (!process.waitForFinished(600000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.json = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    run.err = process.readAllStandardError();
    return run;
}

QSet<QString> failed(const QJsonObject &summary)
{
    QSet<QString> names;
    for (const QJsonValue &c : summary["qualification"].toArray()) {
        if (c.toObject()["result"].toString() != "pass")
            names << c.toObject()["case"].toString();
    }
    return names;
}

} // namespace

class TestQualify : public QObject
{
    Q_OBJECT

private slots:
    void aHealthyBoardPassesEveryCaseAtEveryRate_data();
    void aHealthyBoardPassesEveryCaseAtEveryRate();
    void eachFaultFailsTheCasesThatSeeItAndNoOthers_data();
    void eachFaultFailsTheCasesThatSeeItAndNoOthers();
    void everyReportHoldsACaseEach();
    void theTrafficOptionsAreNotTheQualifications();
};

void TestQualify::aHealthyBoardPassesEveryCaseAtEveryRate_data()
{
    QTest::addColumn<QString>("kbps");
    for (const char *kbps : {"125", "250", "500", "1000"}) {
#ifdef KORVANE_QUICK_TESTS
        if (QByteArray(kbps) != "125")
            continue;
#endif
        QTest::addRow("%s", kbps) << QString(kbps);
    }
}

void TestQualify::aHealthyBoardPassesEveryCaseAtEveryRate()
{
    QFETCH(QString, kbps);
    const Run run = qualify({"--qualify", "--rate", kbps});
    QVERIFY2(run.exitCode == 0, QJsonDocument(run.json).toJson() + run.err);
    QCOMPARE(run.json["result"].toString(), QString("pass"));
    const QJsonArray cases = run.json["qualification"].toArray();
    QVERIFY(cases.size() >= 28);
    QSet<QString> groups;
    for (const QJsonValue &c : cases) {
        QCOMPARE(c.toObject()["result"].toString(), QString("pass"));
        groups << c.toObject()["case"].toString().section('.', 0, 0);
    }
    QCOMPARE(groups.size(), 11);
}

void TestQualify::eachFaultFailsTheCasesThatSeeItAndNoOthers_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("cases");
    QTest::addColumn<QStringList>("failing");
    // Each fault with its own group and one other, which it must not fail.
    const struct {
        const char *fault;
        const char *cases;
        QStringList failing;
    } rows[] = {
        {"std-id-bit", "identifiers,errors", {"identifiers.standard"}},
        {"ext-id-bit", "identifiers,modes", {"identifiers.extended"}},
        {"short-frame-byte", "data,errors", {"data.lengths"}},
        {"rx-length-bit", "data,errors", {"data.lengths", "data.patterns"}},
        {"tx-data-bit", "data,modes", {"data.patterns"}},
        {"remote-as-data", "remote,errors", {"remote.standard", "remote.extended"}},
        {"txb2-dead", "transmit,modes", {"transmit.buffers", "transmit.priority"}},
        {"priority-ignored", "transmit,errors", {"transmit.priority"}},
        {"abort-ignored", "transmit,errors", {"transmit.abort"}},
        {"one-shot-retries", "transmit,errors", {"transmit.oneshot"}},
        {"rxb1-no-dma", "receive,errors", {"receive.buffers", "receive.rollover", "receive.overflow"}},
        {"rollover-ignored", "receive,errors", {"receive.rollover", "receive.overflow"}},
        {"overflow-flag-dead", "receive,errors", {"receive.overflow"}},
        {"filter-dead", "filters,errors", {"filters.standard", "filters.extended"}},
        {"mask-bit-stuck", "filters,errors", {"filters.standard", "filters.extended"}},
        {"loopback-on-bus", "modes,timing", {"modes.loopback"}},
        {"listen-only-acks", "modes,timing", {"modes.listenonly"}},
        {"no-wake", "modes,timing", {"modes.sleep"}},
        {"timing-anytime", "modes,timing", {"modes.configuration"}},
        {"bus-off-stays", "errors,registers", {"errors.busoff"}},
        {"tec-frozen", "errors,registers", {"errors.passive", "errors.busoff"}},
        {"eflg-late", "errors,registers", {"errors.passive", "errors.busoff"}},
        {"timing-250k-fast", "timing,registers", {"timing.rates"}},
        {"stamps-back", "dma,registers", {"dma.stamps"}},
        {"waited-stuck", "dma,registers", {"dma.waited"}},
        {"ring-slot-lost", "dma,registers", {"dma.ring"}},
        {"spi-write-lost", "modes,registers", {"registers.readback"}},
        {"read-status-swap", "registers,modes", {"registers.status"}},
        {"bit-modify-plain", "registers,modes", {"registers.bitmodify"}},
    };
    for (const auto &row : rows) {
#ifdef KORVANE_QUICK_TESTS
        // The sanitizer builds: one fault of each part of the board.
        static const QSet<QByteArray> quick{"std-id-bit", "abort-ignored", "filter-dead", "tec-frozen",
                                            "stamps-back", "spi-write-lost"};
        if (!quick.contains(row.fault))
            continue;
#endif
        QTest::newRow(row.fault) << QString(row.fault) << QString(row.cases) << row.failing;
    }
}

void TestQualify::eachFaultFailsTheCasesThatSeeItAndNoOthers()
{
    QFETCH(QString, fault);
    QFETCH(QString, cases);
    QFETCH(QStringList, failing);
    const Run run = qualify({"--cases", cases}, {"KORVANE_EMU_FAULT=" + fault});
    QVERIFY2(run.exitCode == 1, QJsonDocument(run.json).toJson() + run.err);
    QCOMPARE(failed(run.json), QSet<QString>(failing.begin(), failing.end()));
    // Each failed case is named in the diagnosis with what it sent beside
    // what came back, and where on the board to look.
    const QJsonArray diagnosis = run.json["diagnosis"].toArray();
    for (const QString &name : failing) {
        bool named = false;
        for (const QJsonValue &d : diagnosis) {
            const QJsonObject row = d.toObject();
            named = named || (row["seen"].toString().startsWith(name + ": ") &&
                              row["check"].toString().contains("the board's"));
        }
        QVERIFY2(named, qPrintable(name + " in " + QJsonDocument(diagnosis).toJson()));
    }
    // The summary's line names the cases that failed, each with what it saw.
    for (const QJsonValue &f : run.json["failures"].toArray())
        QVERIFY2(failing.contains(f.toString().section(':', 0, 0)), qPrintable(f.toString()));
}

// --junit, --json and --html have a case each; a refused list of cases
// names what it did not know.
void TestQualify::everyReportHoldsACaseEach()
{
    QTemporaryDir dir;
    const Run run = qualify({"--cases", "identifiers.standard,registers.status", "--junit", dir.filePath("q.xml"),
                             "--html", dir.filePath("q.html")},
                            {"KORVANE_EMU_FAULT=std-id-bit"});
    QCOMPARE(run.exitCode, 1);
    QFile file(dir.filePath("q.xml"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QStringList cases, failures;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("testcase"))
            cases << xml.attributes().value("name").toString();
        else if (xml.name() == QLatin1String("failure"))
            failures << cases.last();
    }
    QVERIFY(!xml.hasError());
    QCOMPARE(cases, QStringList({"identifiers.standard", "registers.status"}));
    QCOMPARE(failures, QStringList({"identifiers.standard"}));
    QFile page(dir.filePath("q.html"));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QByteArray html = page.readAll();
    QVERIFY(html.contains("<th>identifiers.standard</th><td class=\"bad\">failed</td>"));
    QVERIFY(html.contains("<th>registers.status</th><td>passed</td>"));

    const Run refused = qualify({"--cases", "identifiers,colours"});
    QCOMPARE(refused.exitCode, 2);
    QVERIFY(refused.err.contains("colours is neither a case nor a group"));
}

void TestQualify::theTrafficOptionsAreNotTheQualifications()
{
    for (const QStringList &arguments : {QStringList{"--qualify", "--load", "full"}, QStringList{"--qualify", "-d", "1to2"},
                                         QStringList{"--cases", "dma", "--rate1", "250"}}) {
        const Run run = qualify(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains("is for the test traffic, not for --qualify"), run.err.constData());
    }
    QProcess list;
    list.start(QStringLiteral(KORVANE_CHECK), {"--list-cases"});
    QVERIFY(list.waitForFinished(60000));
    QCOMPARE(list.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(list.readAllStandardOutput()).trimmed().split('\n');
    QVERIFY(lines.size() >= 28);
    for (const QString &line : lines)
        QVERIFY2(line.contains(QRegularExpression("^[a-z]+\\.[a-z]+ +\\S")), qPrintable(line));
}

QTEST_GUILESS_MAIN(TestQualify)
#include "tst_qualify.moc"
