#include "commandline.h"

#include "outputfile.h"
#include "qualification.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <vector>

namespace {

bool matches(const QString &text, const char *pattern)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(QLatin1String(pattern))).match(text).hasMatch();
}

bool parseRate(const QString &text, unsigned int *kbps)
{
    if (!matches(text, "125|250|500|1000"))
        return false;
    *kbps = text.toUInt();
    return true;
}

const char *const kDescription =
    "Sends test groups of five frames from one CAN channel of the board to the other and checks "
    "that each arrives whole, as Korvane soft's window does.\n"
    "Exit status: 0 every group sent arrived whole, nothing else arrived and the controllers "
    "were read error-active at the end; 1 the board failed (groups or frames missing or damaged, "
    "frames nobody sent, a frame that did not go out, a controller error-passive or bus-off, an SPI "
    "bridge stuck busy) or the run was interrupted (SIGINT, SIGTERM, SIGHUP; a second one ends it at "
    "once); 2 refused: a usage error, two outputs naming one file, a board that cannot be opened or "
    "configured or is in use by another test, or a --log, --records or report file that cannot be "
    "created; 3 the test could not be carried out (a driver request failed, the host fell behind "
    "and lost frames, a worker did not stop in time, a controller could not be read, full load "
    "below its minimum load, or the log, the report or the output could not be written), with the "
    "reason on the last line.";

struct Options {
    QCommandLineOption board{QStringLiteral("board"),
                             QStringLiteral("The board to test, by its index N (0 to 15): the device \\\\.\\CAN<N> "
                                            "(default 0). A board is held by one test at a time."),
                             QStringLiteral("N")};
    QCommandLineOption rate{{QStringLiteral("r"), QStringLiteral("rate")},
                            QStringLiteral("Bit rate of both channels in kbit/s: 125, 250, 500 or 1000 (default 125)."),
                            QStringLiteral("kbps")};
    QCommandLineOption rate1{QStringLiteral("rate1"), QStringLiteral("Bit rate of channel 1 alone."),
                             QStringLiteral("kbps")};
    QCommandLineOption rate2{QStringLiteral("rate2"), QStringLiteral("Bit rate of channel 2 alone."),
                             QStringLiteral("kbps")};
    QCommandLineOption direction{{QStringLiteral("d"), QStringLiteral("direction")},
                                 QStringLiteral("1to2, 2to1, or both: 1to2 then 2to1 (default both)."),
                                 QStringLiteral("direction")};
    QCommandLineOption seconds{{QStringLiteral("s"), QStringLiteral("seconds")},
                               QStringLiteral("How long each direction runs (default 5; 0.1 to 86400)."),
                               QStringLiteral("seconds")};
    QCommandLineOption rounds{QStringLiteral("rounds"),
                              QStringLiteral("Run the directions this many times in turn (1 to 10000, default 1): "
                                             "with -d both, 1->2, 2->1, 1->2, ... each for --seconds; how a long "
                                             "run alternates."),
                              QStringLiteral("count")};
    QCommandLineOption groups{{QStringLiteral("g"), QStringLiteral("groups")},
                              QStringLiteral("Stop each direction once this many groups are sent (1 to 1000000000; "
                                             "the group under way is finished); with --seconds, whichever comes "
                                             "first."),
                              QStringLiteral("count")};
    QCommandLineOption load{QStringLiteral("load"),
                            QStringLiteral("window: the window's transmit sequence (default); full: frames back to "
                                           "back at the bus limit, all three transmit buffers kept loaded, in the "
                                           "order they are loaded."),
                            QStringLiteral("sequence")};
    QCommandLineOption minLoad{QStringLiteral("min-load"),
                               QStringLiteral("The least share of the bus, in percent (0 to 100), that full load "
                                              "must reach, or the test could not be carried out (default 90 with "
                                              "--load full)."),
                               QStringLiteral("percent")};
    QCommandLineOption every{QStringLiteral("every"),
                             QStringLiteral("Write a record every SECONDS (1 to 86400) while the traffic runs: one "
                                            "line of JSON per interval to the --records file, each flushed to the "
                                            "disk as it is written."),
                             QStringLiteral("seconds")};
    QCommandLineOption records{QStringLiteral("records"),
                               QStringLiteral("The file of the --every records (- for standard output, whose other "
                                              "lines then go to stderr)."),
                               QStringLiteral("file")};
    QCommandLineOption json{QStringLiteral("json"),
                            QStringLiteral("Write the summary as JSON on stdout (the other lines go to stderr)."),
                            QString()};
    QCommandLineOption log{QStringLiteral("log"),
                           QStringLiteral("Write every received frame to FILE in candump log format, time-stamped "
                                          "from the DMA block header (can0: received on channel 1, can1: on "
                                          "channel 2; on board N, can<2N> and can<2N+1>)."),
                           QStringLiteral("file")};
    QCommandLineOption logLimit{QStringLiteral("log-limit"),
                                QStringLiteral("Keep the --log file within MB megabytes (0 to 1048576; default 1024; "
                                               "0: no limit): when it holds half, it becomes FILE.1 (dropping the "
                                               "one before) and FILE begins again. A log that is not a regular "
                                               "file (a device, a pipe, a link) is written in place, never "
                                               "rotated."),
                                QStringLiteral("MB")};
    QCommandLineOption junit{QStringLiteral("junit"),
                             QStringLiteral("Write a JUnit XML report to FILE: a test case a direction, the board's "
                                            "failures and the reasons the test could not be carried out, the "
                                            "figures as properties."),
                             QStringLiteral("file")};
    QCommandLineOption html{QStringLiteral("html"),
                            QStringLiteral("Write the run's report to FILE as one self-contained HTML page: the "
                                           "verdict and the diagnosis, a table per direction, and charts over time "
                                           "(of the --every intervals, else of each second)."),
                            QStringLiteral("file")};
    QCommandLineOption qualify{QStringLiteral("qualify"),
                               QStringLiteral("Qualify the whole board instead of running the test traffic: every case "
                                              "of the catalogue (--list-cases), each a feature of the board checked "
                                              "through the library, a test case of its own in every report."),
                               QString()};
    QCommandLineOption cases{QStringLiteral("cases"),
                             QStringLiteral("With --qualify (or alone): only these cases, or groups of cases, "
                                            "separated by commas (e.g. identifiers,filters.standard)."),
                             QStringLiteral("names")};
    QCommandLineOption listCases{QStringLiteral("list-cases"),
                                 QStringLiteral("List the qualification's cases, one line each, and end."), QString()};
    QCommandLineOption quiet{{QStringLiteral("q"), QStringLiteral("quiet")},
                             QStringLiteral("No line a second while the traffic runs, no board messages."), QString()};

    QList<QCommandLineOption> all() const
    {
        return {board, rate,     rate1, rate2,   direction, seconds, rounds, groups,   load,      minLoad,
                every, records, json,  log,     logLimit,  junit,   html,   qualify, cases, listCases, quiet};
    }
    // Those that take a value, each at most once.
    QList<QCommandLineOption> valued() const
    {
        return {board, rate, rate1, rate2, direction, seconds, rounds, groups, load, minLoad,
                every, records, log, logLimit, junit, html, cases};
    }
};

// Reads the options in order; returns the refusal, or an empty string.
class Reader
{
public:
    Reader(const QCommandLineParser &parser, const Options &o, const QStringList &inexact, CheckOptions &options)
        : m_p(parser), m_o(o), m_inexact(inexact), m_options(options)
    {
    }
    QString read();

private:
    QString value(const QCommandLineOption &option) const { return m_p.value(option); }
    bool isSet(const QCommandLineOption &option) const { return m_p.isSet(option); }
    // A file option's value whose bytes the system's encoding could not
    // say: no file of exactly those bytes could be written.
    bool inexact(const QString &text) const
    {
        for (const QString &argument : m_inexact) {
            if (argument.endsWith(text))
                return true;
        }
        return false;
    }
    QString path(const QCommandLineOption &option, QString *into);
    QString readTraffic();
    QString readOutputs();
    QString readQualification();

    const QCommandLineParser &m_p;
    const Options &m_o;
    const QStringList &m_inexact;
    CheckOptions &m_options;
};

QString Reader::path(const QCommandLineOption &option, QString *into)
{
    if (!isSet(option))
        return QString();
    const QString text = value(option);
    const QString name = option.names().last();
    if (text.isEmpty())
        return QStringLiteral("--%1 needs a file name").arg(name);
    if (inexact(text))
        return QStringLiteral("--%1: the file name is not valid in the system's encoding, so no file of exactly "
                              "its bytes could be written; name it in the system's encoding")
            .arg(name);
    *into = text;
    return QString();
}

QString Reader::readTraffic()
{
    if (isSet(m_o.board)) {
        const QString text = value(m_o.board);
        if (!matches(text, "(0|[1-9][0-9]?)") || text.toInt() > 15)
            return QStringLiteral("--board %1: give a board index from 0 to 15").arg(text);
        m_options.board = text.toInt();
    }
    if (isSet(m_o.rate) && !parseRate(value(m_o.rate), &m_options.kbps[0]))
        return QStringLiteral("--rate %1: the rates are 125, 250, 500 and 1000").arg(value(m_o.rate));
    m_options.kbps[1] = m_options.kbps[0];
    if (isSet(m_o.rate1) && !parseRate(value(m_o.rate1), &m_options.kbps[0]))
        return QStringLiteral("--rate1 %1: the rates are 125, 250, 500 and 1000").arg(value(m_o.rate1));
    if (isSet(m_o.rate2) && !parseRate(value(m_o.rate2), &m_options.kbps[1]))
        return QStringLiteral("--rate2 %1: the rates are 125, 250, 500 and 1000").arg(value(m_o.rate2));
    const QString which = isSet(m_o.direction) ? value(m_o.direction) : QStringLiteral("both");
    if (which == QLatin1String("1to2"))
        m_options.directions = {1};
    else if (which == QLatin1String("2to1"))
        m_options.directions = {2};
    else if (which == QLatin1String("both"))
        m_options.directions = {1, 2};
    else
        return QStringLiteral("--direction %1: give 1to2, 2to1 or both").arg(which);
    if (isSet(m_o.rounds)) {
        const QString text = value(m_o.rounds);
        if (!matches(text, "[1-9][0-9]{0,4}") || text.toInt() > 10000)
            return QStringLiteral("--rounds %1: give 1 to 10000").arg(text);
        m_options.rounds = text.toInt();
        const QVector<unsigned int> once = m_options.directions;
        for (int round = 1; round < m_options.rounds; ++round)
            m_options.directions += once;
    }
    if (isSet(m_o.seconds)) {
        const QString text = value(m_o.seconds);
        m_options.seconds = text.toDouble();
        if (!matches(text, "(0|[1-9][0-9]{0,4})(\\.[0-9]{1,3})?") || m_options.seconds < 0.1 ||
            m_options.seconds > 86400)
            return QStringLiteral("--seconds %1: give 0.1 to 86400").arg(text);
    } else if (isSet(m_o.groups)) {
        m_options.seconds = 86400;
    }
    if (isSet(m_o.groups)) {
        const QString text = value(m_o.groups);
        m_options.groups = text.toULongLong();
        if (!matches(text, "[1-9][0-9]{0,9}") || m_options.groups > 1000000000)
            return QStringLiteral("--groups %1: give 1 to 1000000000").arg(text);
    }
    if (isSet(m_o.load)) {
        const QString sequence = value(m_o.load);
        if (sequence != QLatin1String("window") && sequence != QLatin1String("full"))
            return QStringLiteral("--load %1: give window or full").arg(sequence);
        m_options.fullLoad = sequence == QLatin1String("full");
    }
    if (m_options.fullLoad)
        m_options.minLoad = 0.9;
    if (isSet(m_o.minLoad)) {
        const QString text = value(m_o.minLoad);
        if (!m_options.fullLoad)
            return QStringLiteral("--min-load is for --load full");
        if (!matches(text, "(0|[1-9][0-9]?|100)(\\.[0-9]{1,2})?") || text.toDouble() > 100)
            return QStringLiteral("--min-load %1: give 0 to 100").arg(text);
        m_options.minLoad = text.toDouble() / 100;
        m_options.minLoadGiven = true;
    }
    return QString();
}

QString Reader::readOutputs()
{
    QString refusal;
    if (!(refusal = path(m_o.log, &m_options.logPath)).isEmpty())
        return refusal;
    if (isSet(m_o.logLimit)) {
        const QString text = value(m_o.logLimit);
        if (!matches(text, "0|[1-9][0-9]{0,6}") || text.toLongLong() > 1048576)
            return QStringLiteral("--log-limit %1: give 0 to 1048576").arg(text);
        if (!isSet(m_o.log))
            return QStringLiteral("--log-limit is for --log");
        m_options.logLimitMb = text.toLongLong();
    }
    if (isSet(m_o.every)) {
        const QString text = value(m_o.every);
        if (!matches(text, "[1-9][0-9]{0,4}(\\.[0-9]{1,3})?") || text.toDouble() > 86400)
            return QStringLiteral("--every %1: give 1 to 86400").arg(text);
        m_options.every = text.toDouble();
        if (!isSet(m_o.records) || value(m_o.records).isEmpty())
            return QStringLiteral("--every needs --records FILE (- for standard output)");
        if (!(refusal = path(m_o.records, &m_options.recordsPath)).isEmpty())
            return refusal;
        if (m_options.recordsPath == QLatin1String("-") && m_options.json)
            return QStringLiteral("--records - and --json both want standard output");
    } else if (isSet(m_o.records)) {
        return QStringLiteral("--records is for --every");
    }
    return QString();
}

// The qualification drives both channels itself at one bit rate: the
// traffic's options do not apply to it.
QString Reader::readQualification()
{
    m_options.qualify = isSet(m_o.qualify) || isSet(m_o.cases);
    if (!m_options.qualify)
        return QString();
    for (const QCommandLineOption *option : {&m_o.rate1, &m_o.rate2, &m_o.direction, &m_o.seconds, &m_o.rounds,
                                             &m_o.groups, &m_o.load, &m_o.minLoad, &m_o.every, &m_o.records,
                                             &m_o.log, &m_o.logLimit}) {
        if (isSet(*option))
            return QStringLiteral("--%1 is for the test traffic, not for --qualify").arg(option->names().last());
    }
    m_options.casesList = value(m_o.cases);
    std::vector<const qualify::Case *> chosen;
    std::string unknown;
    if (isSet(m_o.cases) && !qualify::select(m_options.casesList.toStdString(), &chosen, &unknown))
        return QStringLiteral("--cases: %1 is neither a case nor a group of cases (--list-cases lists them)")
            .arg(QString::fromStdString(unknown));
    m_options.directions.clear();
    return QString();
}

QString Reader::read()
{
    m_options.json = isSet(m_o.json);
    m_options.quiet = isSet(m_o.quiet);
    // The reports first: a refusal is written to them.
    QString refusal;
    if (!(refusal = path(m_o.junit, &m_options.junitPath)).isEmpty())
        return refusal;
    if (!(refusal = path(m_o.html, &m_options.htmlPath)).isEmpty())
        return refusal;
    if (!m_p.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument: %1").arg(m_p.positionalArguments().first());
    for (const QCommandLineOption &option : m_o.valued()) {
        if (m_p.values(option).size() > 1)
            return QStringLiteral("--%1 is given more than once").arg(option.names().last());
    }
    if (!(refusal = readTraffic()).isEmpty())
        return refusal;
    if (!(refusal = readOutputs()).isEmpty())
        return refusal;
    if (!(refusal = readQualification()).isEmpty())
        return refusal;
    return conflictingOutputs(m_options);
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments, const QStringList &inexact)
{
    CommandLine line;
    QCommandLineParser parser;
    parser.setApplicationDescription(QLatin1String(kDescription));
    parser.addHelpOption();
    parser.addVersionOption();
    const Options o;
    parser.addOptions(o.all());
    line.helpText = parser.helpText();
    line.options.commandLine = arguments.join(QLatin1Char(' '));
    if (!parser.parse(arguments)) {
        line.action = CommandLine::Refused;
        line.error = parser.errorText();
        // Where the refusal is said, as far as the arguments tell.
        for (int i = 1; i + 1 < arguments.size(); ++i) {
            const QString &argument = arguments[i];
            if (argument == QLatin1String("--junit") && !inexact.contains(arguments[i + 1]))
                line.options.junitPath = arguments[i + 1];
            if (argument == QLatin1String("--html") && !inexact.contains(arguments[i + 1]))
                line.options.htmlPath = arguments[i + 1];
        }
        line.options.json = arguments.contains(QLatin1String("--json"));
        return line;
    }
    if (parser.isSet(QStringLiteral("help")) || parser.optionNames().contains(QStringLiteral("help-all"))) {
        line.action = CommandLine::Help;
        return line;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        line.action = CommandLine::Version;
        return line;
    }
    if (parser.isSet(QStringLiteral("list-cases"))) {
        line.action = CommandLine::ListCases;
        return line;
    }
    line.error = Reader(parser, o, inexact, line.options).read();
    if (!line.error.isEmpty())
        line.action = CommandLine::Refused;
    return line;
}

QString conflictingOutputs(const CheckOptions &options)
{
    struct Output {
        QString name; // as the refusal names it
        outputfile::Identity identity;
    };
    std::vector<Output> outputs;
    const auto add = [&outputs](const QString &name, const QString &path) {
        if (!path.isEmpty())
            outputs.push_back({name, outputfile::identify(path)});
    };
    // Standard output carries the records (--records -), or the JSON, or the
    // summary.
    const QString standardOutput = options.recordsPath == QLatin1String("-") ? QStringLiteral("--records -")
                                   : options.json                         ? QStringLiteral("--json on standard output")
                                                     : QStringLiteral("the summary on standard output");
    outputs.push_back({standardOutput, outputfile::standardOutput()});
    add(QStringLiteral("--log %1").arg(options.logPath), options.logPath);
    // A log kept within its limit goes on in FILE.1.
    if (!options.logPath.isEmpty() && options.logLimitMb > 0 &&
        outputfile::kindOfEntry(options.logPath) != outputfile::Kind::Other)
        add(QStringLiteral("--log %1 (its older half, %1.1)").arg(options.logPath), options.logPath + QStringLiteral(".1"));
    if (options.recordsPath != QLatin1String("-"))
        add(QStringLiteral("--records %1").arg(options.recordsPath), options.recordsPath);
    add(QStringLiteral("--junit %1").arg(options.junitPath), options.junitPath);
    add(QStringLiteral("--html %1").arg(options.htmlPath), options.htmlPath);
    for (size_t i = 0; i < outputs.size(); ++i) {
        for (size_t j = i + 1; j < outputs.size(); ++j) {
            if (outputs[i].identity == outputs[j].identity && !outputfile::isNullDevice(outputs[i].identity))
                return QStringLiteral("%1 and %2 would write to the same file; give each output a file of its own")
                    .arg(outputs[j].name, outputs[i].name);
        }
    }
    return QString();
}
