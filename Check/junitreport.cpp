#include "junitreport.h"

#include "markuptext.h"
#include "report.h"

#include <QDateTime>
#include <QStringList>
#include <QXmlStreamWriter>

namespace report {

QString xmlSafe(const QString &text)
{
    return markupSafe(text, Markup::Xml);
}

namespace {

QStringList strings(const std::vector<std::string> &list)
{
    QStringList out;
    for (const std::string &item : list)
        out << xmlSafe(QString::fromStdString(item));
    return out;
}

class Writer
{
public:
    explicit Writer(QByteArray *xml) : m_w(xml) { m_w.setAutoFormatting(true); }
    QXmlStreamWriter &w() { return m_w; }
    void attribute(const QString &name, const QString &value) { m_w.writeAttribute(name, xmlSafe(value)); }
    void property(const QString &name, const QString &value)
    {
        m_w.writeStartElement(QStringLiteral("property"));
        attribute(QStringLiteral("name"), name);
        attribute(QStringLiteral("value"), value);
        m_w.writeEndElement();
    }
    void counts(int failures, int errors, int tests, double seconds)
    {
        attribute(QStringLiteral("tests"), QString::number(tests));
        attribute(QStringLiteral("failures"), QString::number(failures));
        attribute(QStringLiteral("errors"), QString::number(errors));
        attribute(QStringLiteral("time"), QString::number(seconds, 'f', 3));
    }

private:
    QXmlStreamWriter m_w;
};

void properties(Writer &out, const QVector<DirectionRecord> &results, const RunState &state,
                const verdict::Verdict &verdict)
{
    out.w().writeStartElement(QStringLiteral("properties"));
    out.property(QStringLiteral("board"), QString::number(state.board));
    out.property(QStringLiteral("result"), QString::fromLatin1(verdict.result()));
    out.property(QStringLiteral("exitCode"), QString::number(int(verdict.status)));
    out.property(QStringLiteral("interrupted"), state.interrupted ? QStringLiteral("true") : QStringLiteral("false"));
    for (const DirectionRecord &r : results) {
        // Later rounds' names say their round: each name once in the suite.
        QString prefix = QStringLiteral("%1to%2.").arg(r.from).arg(r.to);
        if (r.round > 1)
            prefix += QStringLiteral("round%1.").arg(r.round);
        for (const auto &figure : r.figures())
            out.property(prefix + figure.first, QString::number(figure.second, 'g', 12));
    }
    for (int i = 0; i < 2; ++i) {
        const verdict::Controller &c = state.controllers[i];
        if (!c.read)
            continue;
        const QString prefix = QStringLiteral("channel%1.").arg(i + 1);
        out.property(prefix + QStringLiteral("tec"), QString::number(c.tec));
        out.property(prefix + QStringLiteral("rec"), QString::number(c.rec));
        out.property(prefix + QStringLiteral("eflg"), QString::number(c.eflg));
    }
    out.w().writeEndElement();
}

void testCase(Writer &out, const verdict::Case &c, size_t index, const QVector<DirectionRecord> &results,
              const RunState &state, const verdict::Verdict &verdict)
{
    const QStringList failures = strings(c.failures);
    const QStringList errors = strings(c.notCarried);
    // The diagnosis of this direction and of the whole run.
    QStringList diagnosis;
    for (const verdict::Diagnosis &d : verdict.diagnosis) {
        if (d.direction < 0 || size_t(d.direction) == index)
            diagnosis << xmlSafe(diagnosisLine(d));
    }
    QXmlStreamWriter &w = out.w();
    w.writeStartElement(QStringLiteral("testcase"));
    out.attribute(QStringLiteral("classname"), QStringLiteral("korvane-check.board%1").arg(state.board));
    out.attribute(QStringLiteral("name"), QString::fromStdString(c.name));
    const double seconds = c.seconds >= 0 ? c.seconds : index < size_t(results.size()) ? results[int(index)].seconds : 0.0;
    out.attribute(QStringLiteral("time"), QString::number(seconds, 'f', 3));
    if (!errors.isEmpty()) {
        w.writeStartElement(QStringLiteral("error"));
        out.attribute(QStringLiteral("type"), QStringLiteral("notCarriedOut"));
        out.attribute(QStringLiteral("message"),
                      QStringLiteral("the test could not be carried out: ") + errors.join(QStringLiteral("; ")));
        w.writeCharacters((errors + failures + diagnosis).join(QLatin1Char('\n')));
        w.writeEndElement();
    } else if (!failures.isEmpty()) {
        w.writeStartElement(QStringLiteral("failure"));
        out.attribute(QStringLiteral("type"), QStringLiteral("board"));
        out.attribute(QStringLiteral("message"), failures.join(QStringLiteral("; ")) +
                                                     (c.interrupted ? QStringLiteral("; interrupted") : QString()));
        w.writeCharacters((failures + diagnosis).join(QLatin1Char('\n')));
        w.writeEndElement();
    } else if (c.interrupted) {
        w.writeStartElement(QStringLiteral("error"));
        out.attribute(QStringLiteral("type"), QStringLiteral("interrupted"));
        out.attribute(QStringLiteral("message"),
                      c.ran ? QStringLiteral("interrupted") : QStringLiteral("interrupted before it began"));
        w.writeEndElement();
    }
    w.writeEndElement(); // testcase
}

} // namespace

QByteArray junit(const QVector<DirectionRecord> &results, const RunState &state, const verdict::Verdict &verdict)
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
    for (const DirectionRecord &r : results)
        seconds += r.seconds;
    for (const verdict::Qualified &q : state.qualified)
        seconds += q.seconds;
    const int tests = int(verdict.cases.size());
    QByteArray xml;
    Writer out(&xml);
    QXmlStreamWriter &w = out.w();
    w.writeStartDocument();
    w.writeStartElement(QStringLiteral("testsuites"));
    out.attribute(QStringLiteral("name"), QStringLiteral("korvane-check"));
    out.counts(failures, errors, tests, seconds);
    w.writeStartElement(QStringLiteral("testsuite"));
    out.attribute(QStringLiteral("name"), QStringLiteral("korvane-check ") + boardName(state.board));
    out.counts(failures, errors, tests, seconds);
    out.attribute(QStringLiteral("skipped"), QStringLiteral("0"));
    out.attribute(QStringLiteral("timestamp"),
                  QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
    properties(out, results, state, verdict);
    for (size_t i = 0; i < verdict.cases.size(); ++i)
        testCase(out, verdict.cases[i], i, results, state, verdict);
    if (!state.workerLines.isEmpty())
        w.writeTextElement(QStringLiteral("system-out"), xmlSafe(state.workerLines.join(QLatin1Char('\n'))));
    w.writeEndElement(); // testsuite
    w.writeEndElement(); // testsuites
    w.writeEndDocument();
    return xml;
}

} // namespace report
