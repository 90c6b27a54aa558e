#include "htmlreport.h"

#include "markuptext.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>

namespace htmlreport {

namespace {

QString esc(const QString &text)
{
    return markupSafe(text, Markup::Html).toHtmlEscaped();
}

QString esc(const std::string &text)
{
    return esc(QString::fromStdString(text));
}

QString number(double value, int decimals = 0)
{
    return QString::number(value, 'f', decimals);
}

// Seconds as the axis shows them: 90 s, 12:30, 5:02:10; below ten seconds
// with the tenths a step may need.
QString clockText(double seconds)
{
    if (seconds < 10 && std::fabs(seconds - std::round(seconds)) > 1e-9)
        return QStringLiteral("%1 s").arg(number(seconds, 1));
    const qint64 s = qint64(std::llround(seconds));
    if (s < 100)
        return QStringLiteral("%1 s").arg(s);
    if (s < 3600)
        return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar('0'));
    return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QChar('0')).arg(s % 60, 2, 10, QChar('0'));
}

// A round top for an axis: 1, 2 or 5 times a power of ten.
double niceTop(double value)
{
    if (value <= 0)
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (double step : {1.0, 2.0, 5.0, 10.0}) {
        if (value <= step * power)
            return step * power;
    }
    return 10 * power;
}

// The time axis's step: a round length of time that gives at most seven
// ticks, so that every tick's label is its exact time.
double timeStep(double end)
{
    static const double steps[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 20, 30, 60, 120, 300, 600, 900, 1200, 1800, 3600,
                                   7200, 10800, 21600, 43200, 86400};
    for (double step : steps) {
        if (end / step <= 7)
            return step;
    }
    return 86400 * std::ceil(end / 86400 / 7);
}

struct Series {
    QString name;
    QString color;
    QVector<double> values; // one per interval
    bool dashed = false;
};

const int kWidth = 960;
const int kHeight = 240;
const int kLeft = 74;
const int kRight = 16;
const int kTop = 30;
const int kBottom = 44;

// The frame a chart draws in: the run's time across, its values up.
struct Plot {
    double end = 1;
    double top = 1;
    double width() const { return kWidth - kLeft - kRight; }
    double height() const { return kHeight - kTop - kBottom; }
    double x(double seconds) const { return kLeft + width() * seconds / end; }
    double y(double value) const { return kTop + height() * (1 - std::min(value, top) / top); }
};

// The intervals that saw a fault, as red bands under everything.
QString faultBands(const Plot &plot, const QVector<IntervalPoint> &points)
{
    QString svg;
    for (const IntervalPoint &p : points) {
        if (!p.counts.fault())
            continue;
        const double left = plot.x(p.start);
        const double width = std::max(1.5, plot.x(p.start + p.seconds) - left);
        QStringList what;
        for (const TrafficCounts::Field &f : TrafficCounts::fields()) {
            if (f.member != &TrafficCounts::sent && f.member != &TrafficCounts::whole)
                what << QStringLiteral("%1 %2").arg(p.counts.*f.member).arg(QLatin1String(f.words));
        }
        svg += QStringLiteral("<rect class=\"fault\" x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\"><title>a fault "
                              "from %5: %6</title></rect>\n")
                   .arg(number(left, 1))
                   .arg(kTop)
                   .arg(number(width, 1))
                   .arg(number(plot.height(), 1))
                   .arg(clockText(p.start), what.join(QStringLiteral(", ")));
    }
    return svg;
}

// Where a direction begins, after the first.
QString turns(const Plot &plot, const QVector<IntervalPoint> &points)
{
    QString svg;
    for (int i = 1; i < points.size(); ++i) {
        if (points[i].direction == points[i - 1].direction)
            continue;
        const double xx = plot.x(points[i].start);
        svg += QStringLiteral("<line class=\"turn\" x1=\"%1\" y1=\"%2\" x2=\"%1\" y2=\"%3\"/>"
                              "<text class=\"tick\" x=\"%4\" y=\"%5\">%6-&gt;%7</text>\n")
                   .arg(number(xx, 1))
                   .arg(kTop)
                   .arg(number(kTop + plot.height(), 1))
                   .arg(number(xx + 3, 1))
                   .arg(kTop + 11)
                   .arg(points[i].direction)
                   .arg(3 - points[i].direction);
    }
    return svg;
}

// The grid, the ticks at round values of both axes, and each axis's title.
QString axes(const Plot &plot, const QString &valueTitle)
{
    QString svg;
    for (int i = 0; i <= 4; ++i) {
        const double value = plot.top * i / 4;
        const double yy = plot.y(value);
        svg += QStringLiteral("<line class=\"grid\" x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\"/>"
                              "<text class=\"tick\" x=\"%4\" y=\"%5\" text-anchor=\"end\">%6</text>\n")
                   .arg(kLeft)
                   .arg(number(yy, 1))
                   .arg(kWidth - kRight)
                   .arg(kLeft - 6)
                   .arg(number(yy + 4, 1))
                   .arg(value == std::floor(value) ? number(value) : number(value, 1));
    }
    const double step = timeStep(plot.end);
    for (int i = 0; i * step <= plot.end * (1 + 1e-9); ++i) {
        const double seconds = i * step;
        svg += QStringLiteral("<line class=\"axis\" x1=\"%1\" y1=\"%2\" x2=\"%1\" y2=\"%3\"/>"
                              "<text class=\"tick\" x=\"%1\" y=\"%4\" text-anchor=\"middle\">%5</text>\n")
                   .arg(number(plot.x(seconds), 1))
                   .arg(number(kTop + plot.height(), 1))
                   .arg(number(kTop + plot.height() + 4, 1))
                   .arg(kHeight - kBottom + 16)
                   .arg(clockText(seconds));
    }
    svg += QStringLiteral("<line class=\"axis\" x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\"/>\n")
               .arg(kLeft)
               .arg(number(kTop + plot.height(), 1))
               .arg(kWidth - kRight);
    svg += QStringLiteral("<text class=\"axistitle\" x=\"%1\" y=\"%2\" text-anchor=\"middle\">time since the run "
                          "began</text>\n")
               .arg(number(kLeft + plot.width() / 2, 1))
               .arg(kHeight - 6);
    svg += QStringLiteral("<text class=\"axistitle\" transform=\"translate(16 %1) rotate(-90)\" "
                          "text-anchor=\"middle\">%2</text>\n")
               .arg(number(kTop + plot.height() / 2, 1))
               .arg(esc(valueTitle));
    return svg;
}

QString bars(const Plot &plot, const QVector<IntervalPoint> &points, const Series &one, int index, int count)
{
    QString svg;
    const double share = 1.0 / count;
    for (int i = 0; i < points.size() && i < one.values.size(); ++i) {
        if (one.values[i] <= 0)
            continue;
        const double left = plot.x(points[i].start);
        const double width = std::max(1.0, (plot.x(points[i].start + points[i].seconds) - left) * share);
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"><title>%6: %7 "
                              "from %8</title></rect>\n")
                   .arg(number(left + width * index, 1))
                   .arg(number(plot.y(one.values[i]), 1))
                   .arg(number(width, 1))
                   .arg(number(kTop + plot.height() - plot.y(one.values[i]), 1))
                   .arg(one.color)
                   .arg(esc(one.name))
                   .arg(one.values[i])
                   .arg(clockText(points[i].start));
    }
    return svg;
}

QString line(const Plot &plot, const QVector<IntervalPoint> &points, const Series &one)
{
    QStringList coordinates;
    for (int i = 0; i < points.size() && i < one.values.size(); ++i) {
        if (std::isnan(one.values[i]))
            continue;
        coordinates << number(plot.x(points[i].start + points[i].seconds / 2), 1) + ',' +
                           number(plot.y(one.values[i]), 1);
    }
    if (coordinates.size() == 1) // one interval: a short level line
        coordinates << number(plot.x(plot.end), 1) + ',' + coordinates.first().section(',', 1);
    return QStringLiteral("<polyline class=\"series\" fill=\"none\" stroke=\"%1\" stroke-width=\"2\"%2 "
                          "points=\"%3\"><title>%4</title></polyline>\n")
        .arg(one.color)
        .arg(one.dashed ? QStringLiteral(" stroke-dasharray=\"6 4\"") : QString())
        .arg(coordinates.join(' '))
        .arg(esc(one.name));
}

// One chart: the intervals on the run's time, lines (or bars) per series,
// and the intervals that saw a fault as red bands.
QString chart(const QString &id, const QString &title, const QString &valueTitle, const QVector<IntervalPoint> &points,
              const QVector<Series> &series, double fixedTop, bool asBars)
{
    Plot plot;
    plot.end = points.isEmpty() ? 1 : std::max(1e-3, points.last().start + points.last().seconds);
    plot.top = fixedTop;
    if (plot.top <= 0) {
        double most = 0;
        for (const Series &s : series) {
            for (double v : s.values)
                most = std::max(most, v);
        }
        // Four steps of a round size: whole numbers for counts.
        plot.top = 4 * std::max(1.0, niceTop(most / 4));
    }
    QString svg = QStringLiteral("<figure id=\"%1\"><svg class=\"chart\" role=\"img\" viewBox=\"0 0 %2 %3\" "
                                 "width=\"%2\" height=\"%3\" xmlns=\"http://www.w3.org/2000/svg\"><title>%4</title>\n")
                      .arg(id)
                      .arg(kWidth)
                      .arg(kHeight)
                      .arg(esc(title));
    svg += QStringLiteral("<text x=\"%1\" y=\"18\" class=\"title\">%2</text>\n").arg(kLeft).arg(esc(title));
    svg += faultBands(plot, points) + turns(plot, points) + axes(plot, valueTitle);
    for (int s = 0; s < series.size(); ++s) {
        svg += asBars ? bars(plot, points, series[s], s, series.size()) : line(plot, points, series[s]);
        // The legend.
        const int lx = kLeft + 330 + s * 150;
        svg += QStringLiteral("<rect x=\"%1\" y=\"9\" width=\"14\" height=\"10\" fill=\"%2\"/>"
                              "<text class=\"legend\" x=\"%3\" y=\"18\">%4</text>\n")
                   .arg(lx)
                   .arg(series[s].color)
                   .arg(lx + 18)
                   .arg(esc(series[s].name));
    }
    svg += QStringLiteral("</svg></figure>\n");
    return svg;
}

// A row per direction: the window's counts, the account, the host's
// overruns and the load; what is not zero among the faults stands out.
QString directionsTable(const QVector<DirectionRecord> &directions, const QStringList &names)
{
    QString html = QStringLiteral(
        "<table class=\"directions\"><thead><tr><th>Direction</th><th>Seconds</th><th>Groups sent</th>"
        "<th>Clean / with errors / lost</th><th>Groups whole</th><th>Frames missing</th><th>Frames damaged</th>"
        "<th>Frames nobody sent</th><th>DMA blocks held back</th><th>Groups per second</th><th>Bus load</th>"
        "</tr></thead><tbody>\n");
    for (int i = 0; i < directions.size(); ++i) {
        const DirectionRecord &r = directions[i];
        const GroupAccount &a = r.account;
        const auto fault = [](uint64_t n) {
            return n ? QStringLiteral("<td class=\"bad\">%1</td>").arg(n) : QStringLiteral("<td>0</td>");
        };
        html += QStringLiteral("<tr><th>%1</th><td>%2</td><td>%3</td><td>%4 / %5 / %6</td><td>%7</td>%8%9%10%11"
                               "<td>%12</td><td>%13 %</td></tr>\n")
                    .arg(esc(i < names.size() ? names[i] : QStringLiteral("direction")))
                    .arg(number(r.seconds, 1))
                    .arg(r.groupsReported)
                    .arg(r.groupsClean)
                    .arg(r.groupsWithErrors)
                    .arg(r.lost())
                    .arg(a.groupsWhole())
                    .arg(fault(a.framesMissing()), fault(a.framesDamaged()), fault(a.framesNobodySent()),
                         fault(r.overrunBlocks))
                    .arg(number(r.groupsPerSecond(), 1))
                    .arg(number(100 * r.load(), 1));
    }
    return html + QStringLiteral("</tbody></table>\n");
}

const char *const kStyle = R"(
body { font-family: "DejaVu Sans", Arial, sans-serif; margin: 24px; color: #1d2230; background: #fff; }
h1 { font-size: 22px; margin: 0 0 8px 0; }
h2 { font-size: 17px; margin: 26px 0 8px 0; }
.verdict { padding: 14px 18px; border-radius: 6px; color: #fff; }
.verdict.pass { background: #1f7a3a; }
.verdict.fail { background: #b3261e; }
.verdict.error { background: #8a5a00; }
.verdict p { margin: 6px 0 0 0; font-family: "DejaVu Sans Mono", monospace; font-size: 13px; }
.diagnosis { border-left: 5px solid #b3261e; background: #fbeceb; padding: 8px 14px; margin: 12px 0; }
.diagnosis li { margin: 6px 0; }
.diagnosis .check { color: #4a4f5c; }
dl.facts { display: grid; grid-template-columns: max-content auto; gap: 4px 16px; margin: 10px 0; }
dl.facts dt { font-weight: bold; }
dl.facts dd { margin: 0; font-family: "DejaVu Sans Mono", monospace; font-size: 13px; }
table.directions { border-collapse: collapse; margin: 8px 0; font-size: 13px; }
table.directions th, table.directions td { border: 1px solid #c9ccd4; padding: 3px 8px; }
table.directions thead th { background: #f0f1f4; font-weight: bold; }
table.directions tbody th { text-align: left; font-weight: normal; white-space: nowrap; }
table.directions td { text-align: right; font-family: "DejaVu Sans Mono", monospace; white-space: nowrap; }
table.directions td.bad { color: #b3261e; font-weight: bold; }
table.directions td.found { text-align: left; font-family: "DejaVu Sans", Arial, sans-serif; white-space: normal; }
figure { margin: 10px 0; }
svg.chart { background: #fafbfc; border: 1px solid #e1e3e8; }
svg .title { font-size: 14px; font-weight: bold; fill: #1d2230; }
svg .tick, svg .legend { font-size: 11px; fill: #4a4f5c; }
svg .axistitle { font-size: 12px; fill: #1d2230; }
svg .grid { stroke: #e1e3e8; stroke-width: 1; }
svg .axis { stroke: #80859a; stroke-width: 1; }
svg .fault { fill: #e5484d; fill-opacity: 0.22; }
svg .turn { stroke: #80859a; stroke-width: 1; stroke-dasharray: 2 3; }
.note { color: #4a4f5c; font-size: 13px; }
)";

// A row per qualification case: its result, its time, what it found and
// what to check.
QString casesTable(const std::vector<verdict::Qualified> &cases)
{
    static const char *const results[] = {"not run", "passed", "failed", "not carried out", "interrupted"};
    QString html = QStringLiteral("<table class=\"directions\"><thead><tr><th>Case</th><th>Result</th><th>Seconds</th>"
                                  "<th>Found</th><th>What to check</th></tr></thead><tbody>\n");
    for (const verdict::Qualified &q : cases) {
        QStringList found;
        for (const std::string &f : q.findings)
            found << esc(f);
        const bool bad = q.result != verdict::Qualified::Passed;
        html += QStringLiteral("<tr><th>%1</th><td%2>%3</td><td>%4</td><td class=\"found\">%5</td>"
                               "<td class=\"found\">%6</td></tr>\n")
                    .arg(esc(q.name), bad ? QStringLiteral(" class=\"bad\"") : QString(),
                         QLatin1String(results[q.result]), number(q.seconds, 1), found.join(QStringLiteral("<br>")),
                         esc(q.check));
    }
    return html + QStringLiteral("</tbody></table>\n");
}

// The run's four charts over time.
QString charts(const QVector<IntervalPoint> &points)
{
    Series perSecond{QStringLiteral("groups per second"), QStringLiteral("#2d6cdf"), {}};
    Series limit{QStringLiteral("the bus's limit"), QStringLiteral("#80859a"), {}, true};
    Series load{QStringLiteral("bus load, %"), QStringLiteral("#1f7a3a"), {}};
    Series missing{QStringLiteral("missing"), QStringLiteral("#e5484d"), {}};
    Series damaged{QStringLiteral("damaged"), QStringLiteral("#f76b15"), {}};
    Series nobody{QStringLiteral("nobody sent"), QStringLiteral("#8e4ec6"), {}};
    Series overrun{QStringLiteral("DMA held back"), QStringLiteral("#ad7f58"), {}};
    // Each counter a colour of its own; channel 2's dashed.
    Series tec1{QStringLiteral("TEC ch1"), QStringLiteral("#2d6cdf"), {}};
    Series rec1{QStringLiteral("REC ch1"), QStringLiteral("#0f9d8a"), {}};
    Series tec2{QStringLiteral("TEC ch2"), QStringLiteral("#e5484d"), {}, true};
    Series rec2{QStringLiteral("REC ch2"), QStringLiteral("#b7791f"), {}, true};
    for (const IntervalPoint &p : points) {
        perSecond.values << p.groupsPerSecond();
        limit.values << p.limitGroupsPerSecond;
        load.values << 100 * busLoad(p.groupsPerSecond(), p.limitGroupsPerSecond);
        missing.values << double(p.counts.missing);
        damaged.values << double(p.counts.damaged);
        nobody.values << double(p.counts.nobodySent);
        overrun.values << double(p.counts.overrunBlocks);
        const auto counter = [](const ControllerHealth &c, int value) { return c.read ? double(value) : NAN; };
        tec1.values << counter(p.controllers[0], p.controllers[0].tec);
        rec1.values << counter(p.controllers[0], p.controllers[0].rec);
        tec2.values << counter(p.controllers[1], p.controllers[1].tec);
        rec2.values << counter(p.controllers[1], p.controllers[1].rec);
    }
    return chart(QStringLiteral("groups"), QStringLiteral("Groups per second"), QStringLiteral("groups per second"),
                 points, {perSecond, limit}, 0, false) +
           chart(QStringLiteral("load"), QStringLiteral("Bus load"), QStringLiteral("% of the bus"), points, {load},
                 100, false) +
           chart(QStringLiteral("errors"), QStringLiteral("Errors per interval"), QStringLiteral("per interval"),
                 points, {missing, damaged, nobody, overrun}, 0, true) +
           chart(QStringLiteral("counters"), QStringLiteral("Error counters"), QStringLiteral("TEC and REC"), points,
                 {tec1, rec1, tec2, rec2}, 0, false);
}

} // namespace

QByteArray render(const Page &page)
{
    QString html;
    html += QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>%1</title>\n"
                           "<style>%2</style>\n</head>\n<body>\n")
                .arg(esc(page.title), QString::fromLatin1(kStyle));
    const QString verdictClass = page.result == QLatin1String("pass")   ? QStringLiteral("pass")
                                 : page.result == QLatin1String("fail") ? QStringLiteral("fail")
                                                                        : QStringLiteral("error");
    // As the exit status says it.
    const QString headline = page.unfinished    ? QStringLiteral("The run did not finish")
                             : page.interrupted ? QStringLiteral("Interrupted")
                             : page.status == 0 ? QStringLiteral("Passed")
                             : page.status == 1 ? QStringLiteral("Failed")
                             : page.status == 2 ? QStringLiteral("Not run")
                                                : QStringLiteral("The test could not be carried out");
    html += QStringLiteral("<header class=\"verdict %1\"><h1>%2: %3</h1><p>%4</p></header>\n")
                .arg(verdictClass, esc(headline), esc(page.board), esc(page.verdictLine));
    if (!page.diagnosis.empty()) {
        html += QStringLiteral("<section class=\"diagnosis\"><h2>What was seen, and what to check</h2><ol>\n");
        for (const verdict::Diagnosis &d : page.diagnosis) {
            QString where;
            if (d.direction >= 0 && d.direction < page.caseNames.size())
                where = QStringLiteral(" <em>(%1)</em>").arg(esc(page.caseNames[d.direction]));
            html += QStringLiteral("<li><strong>%1</strong>%2<br><span class=\"check\">%3</span></li>\n")
                        .arg(esc(d.seen), where, esc(d.check));
        }
        html += QStringLiteral("</ol></section>\n");
    }
    html += QStringLiteral("<dl class=\"facts\"><dt>Board</dt><dd>%1</dd><dt>Command</dt><dd>%2</dd>"
                           "<dt>Started</dt><dd>%3</dd><dt>Duration</dt><dd>%4</dd>\n")
                .arg(esc(page.board), esc(page.commandLine), esc(page.started), esc(clockText(page.runSeconds)));
    for (const QString &fact : page.facts)
        html += QStringLiteral("<dt></dt><dd>%1</dd>\n").arg(esc(fact));
    html += QStringLiteral("</dl>\n");

    if (!page.directions.isEmpty()) {
        html += QStringLiteral("<h2>Directions</h2>\n") + directionsTable(page.directions, page.caseNames);
    }
    if (!page.qualified.empty()) {
        html += QStringLiteral("<h2>Qualification</h2>\n") + casesTable(page.qualified);
        html += QStringLiteral("</body>\n</html>\n");
        return html.toUtf8();
    }

    html += QStringLiteral("<h2>Over time</h2>\n");
    const QVector<IntervalPoint> &points = page.intervals;
    if (points.isEmpty()) {
        html += QStringLiteral("<p class=\"note\">No interval was measured.</p>\n");
    } else {
        html += charts(points);
        html += QStringLiteral("<p class=\"note\">%1 points of %2 s%3; red bands: intervals with frames missing, "
                               "damaged or nobody's, or DMA blocks held back. Missing frames are known when a "
                               "direction ends and are shown in its last interval.</p>\n")
                    .arg(points.size())
                    .arg(number(points.first().seconds, points.first().seconds < 10 ? 1 : 0))
                    .arg(page.intervalsPerPoint > 1
                             ? QStringLiteral(", each %1 intervals merged").arg(page.intervalsPerPoint)
                             : QString());
    }
    html += QStringLiteral("</body>\n</html>\n");
    return html.toUtf8();
}

} // namespace htmlreport
