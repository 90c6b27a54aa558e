// korvane-check: sends the tool's test groups from one channel to the other
// and checks them, without a window, for test stations and scripts.
#include "checkrun.h"
#include "report.h"
#include "runsignals.h"
#include "verdict.h"
#include "workerlines.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdio>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Values are taken only as written: no sign, blank, exponent or leading zero.
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

// A refused command line: said with the usage, and in the JUnit and HTML
// reports when they were named, so that no earlier run's report stands for
// this one.
int usageError(const QCommandLineParser &parser, const QString &message, const CheckOptions &options = {})
{
    std::fprintf(stderr, "korvane-check: %s\n\n%s", qPrintable(message), qPrintable(parser.helpText()));
    CheckOptions reported = options;
    if (reported.junitPath.isEmpty() && parser.isSet(QStringLiteral("junit")))
        reported.junitPath = parser.value(QStringLiteral("junit"));
    if (reported.htmlPath.isEmpty() && parser.isSet(QStringLiteral("html")))
        reported.htmlPath = parser.value(QStringLiteral("html"));
    reported.commandLine = QCoreApplication::arguments().join(QLatin1Char(' '));
    if (reported.junitPath.isEmpty() && reported.htmlPath.isEmpty())
        return verdict::Usage;
    reported.json = false;
    report::RunState state;
    state.refused = QStringLiteral("refused: ") + message;
    return report::Outputs(reported).conclude({}, state, false);
}

// A standard stream that was closed before the start: its descriptor is
// given /dev/null, so that no file opened later takes its place and receives
// what was meant for it. Tells whether it was closed.
bool closedAtStart(int descriptor)
{
#ifdef Q_OS_WIN
    Q_UNUSED(descriptor);
    return false;
#else
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF)
        return false;
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != descriptor) {
        dup2(null, descriptor);
        close(null);
    }
    return true;
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    runsignals::catchSignals();
    const bool stdoutClosed = closedAtStart(1);
    closedAtStart(2);
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvane-check"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends test groups of five frames from one CAN channel of the board to the other and checks "
        "that each arrives whole, as Korvane soft's window does.\n"
        "Exit status: 0 every group sent arrived whole, nothing else arrived and the controllers "
        "stayed error-active; 1 the board failed (groups or frames missing or damaged, frames nobody "
        "sent, a frame that did not go out, a controller error-passive or bus-off, an SPI bridge "
        "stuck busy) or the run was interrupted (SIGINT, SIGTERM, SIGHUP; a second one ends it at "
        "once); 2 a usage error, a board that cannot be opened or configured, or a --log file that "
        "cannot be created; 3 the test could not be carried out (a driver request failed, the host "
        "fell behind and lost frames, a worker did not stop in time, full load below its minimum "
        "load, or the log, the report or the output could not be written), with the reason on the "
        "last line."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption rate({QStringLiteral("r"), QStringLiteral("rate")},
                                  QStringLiteral("Bit rate of both channels in kbit/s: 125, 250, 500 or 1000 (default 125)."),
                                  QStringLiteral("kbps"));
    const QCommandLineOption rate1(QStringLiteral("rate1"), QStringLiteral("Bit rate of channel 1 alone."),
                                   QStringLiteral("kbps"));
    const QCommandLineOption rate2(QStringLiteral("rate2"), QStringLiteral("Bit rate of channel 2 alone."),
                                   QStringLiteral("kbps"));
    const QCommandLineOption direction(
        {QStringLiteral("d"), QStringLiteral("direction")},
        QStringLiteral("1to2, 2to1, or both: 1to2 then 2to1 (default both)."), QStringLiteral("direction"));
    const QCommandLineOption seconds({QStringLiteral("s"), QStringLiteral("seconds")},
                                     QStringLiteral("How long each direction runs (default 5; 0.1 to 86400)."),
                                     QStringLiteral("seconds"));
    const QCommandLineOption groups({QStringLiteral("g"), QStringLiteral("groups")},
                                    QStringLiteral("Stop each direction once this many groups are sent (1 to "
                                                   "1000000000; the group under way is finished); with "
                                                   "--seconds, whichever comes first."),
                                    QStringLiteral("count"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Write the summary as JSON on stdout (the other lines go to stderr)."));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Write every received frame to FILE in candump log format, "
                                                "time-stamped from the DMA block header (can0: received on "
                                                "channel 1, can1: on channel 2; on board N, can<2N> and "
                                                "can<2N+1>)."),
                                 QStringLiteral("file"));
    const QCommandLineOption logLimit(
        QStringLiteral("log-limit"),
        QStringLiteral("Keep the --log file within MB megabytes (0 to 1048576; default 1024; 0: no limit): when it "
                       "holds half, it becomes FILE.1 (dropping the one before) and FILE begins again."),
        QStringLiteral("MB"));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("No line a second while the traffic runs, no board messages."));
    const QCommandLineOption load(
        QStringLiteral("load"),
        QStringLiteral("window: the window's transmit sequence (default); full: frames back to back at the bus "
                       "limit, all three transmit buffers kept loaded, in the order they are loaded."),
        QStringLiteral("sequence"));
    const QCommandLineOption minLoad(
        QStringLiteral("min-load"),
        QStringLiteral("The least share of the bus, in percent (0 to 100), that full load must reach, or the test "
                       "could not be carried out (default 90 with --load full)."),
        QStringLiteral("percent"));
    const QCommandLineOption board(QStringLiteral("board"),
                                   QStringLiteral("The board to test, by its index N (0 to 15): the device "
                                                  "\\\\.\\CAN<N> (default 0)."),
                                   QStringLiteral("N"));
    const QCommandLineOption rounds(
        QStringLiteral("rounds"),
        QStringLiteral("Run the directions this many times in turn (1 to 10000, default 1): with -d both, 1->2, "
                       "2->1, 1->2, ... each for --seconds; how a long run alternates."),
        QStringLiteral("count"));
    const QCommandLineOption every(
        QStringLiteral("every"),
        QStringLiteral("Write a record every SECONDS (1 to 86400) while the traffic runs: one line of JSON per "
                       "interval to the --records file, each flushed to the disk as it is written."),
        QStringLiteral("seconds"));
    const QCommandLineOption records(QStringLiteral("records"),
                                     QStringLiteral("The file of the --every records (- for standard output, "
                                                    "whose other lines then go to stderr)."),
                                     QStringLiteral("file"));
    const QCommandLineOption html(QStringLiteral("html"),
                                  QStringLiteral("Write the run's report to FILE as one self-contained HTML page: the "
                                                 "verdict and the diagnosis, a table per direction, and charts over "
                                                 "time (of the --every intervals, else of each second)."),
                                  QStringLiteral("file"));
    const QCommandLineOption junit(QStringLiteral("junit"),
                                   QStringLiteral("Write a JUnit XML report to FILE: a test case a direction, the "
                                                  "board's failures and the reasons the test could not be carried "
                                                  "out, the figures as properties."),
                                   QStringLiteral("file"));
    parser.addOptions(
        {board, rate, rate1, rate2, direction, seconds, rounds, groups, load, minLoad, every, records, json, log, logLimit, junit, html, quiet});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser, parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.optionNames().contains(QStringLiteral("help-all"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return std::fflush(stdout) == 0 ? 0 : int(verdict::NotCarried);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::fputs("korvane-check 1.0\n", stdout);
        return std::fflush(stdout) == 0 ? 0 : int(verdict::NotCarried);
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(parser, QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));
    for (const QCommandLineOption &option :
         {board, rate, rate1, rate2, direction, seconds, rounds, groups, load, minLoad, every, records, log, logLimit, junit, html}) {
        if (parser.values(option).size() > 1)
            return usageError(parser, QStringLiteral("--%1 is given more than once").arg(option.names().last()));
    }

    CheckOptions options;
    options.commandLine = QCoreApplication::arguments().join(QLatin1Char(' '));
    if (parser.isSet(board)) {
        const QString text = parser.value(board);
        if (!matches(text, "(0|[1-9][0-9]?)") || text.toInt() > 15)
            return usageError(parser, QStringLiteral("--board %1: give a board index from 0 to 15").arg(text), options);
        options.board = text.toInt();
    }
    if (parser.isSet(rate) && !parseRate(parser.value(rate), &options.kbps[0]))
        return usageError(parser, QStringLiteral("--rate %1: the rates are 125, 250, 500 and 1000").arg(parser.value(rate)), options);
    options.kbps[1] = options.kbps[0];
    if (parser.isSet(rate1) && !parseRate(parser.value(rate1), &options.kbps[0]))
        return usageError(parser, QStringLiteral("--rate1 %1: the rates are 125, 250, 500 and 1000").arg(parser.value(rate1)), options);
    if (parser.isSet(rate2) && !parseRate(parser.value(rate2), &options.kbps[1]))
        return usageError(parser, QStringLiteral("--rate2 %1: the rates are 125, 250, 500 and 1000").arg(parser.value(rate2)), options);
    const QString which = parser.isSet(direction) ? parser.value(direction) : QStringLiteral("both");
    if (which == QLatin1String("1to2"))
        options.directions = {1};
    else if (which == QLatin1String("2to1"))
        options.directions = {2};
    else if (which == QLatin1String("both"))
        options.directions = {1, 2};
    else
        return usageError(parser, QStringLiteral("--direction %1: give 1to2, 2to1 or both").arg(which), options);
    if (parser.isSet(rounds)) {
        const QString text = parser.value(rounds);
        if (!matches(text, "[1-9][0-9]{0,4}") || text.toInt() > 10000)
            return usageError(parser, QStringLiteral("--rounds %1: give 1 to 10000").arg(text), options);
        options.rounds = text.toInt();
        const QVector<unsigned int> once = options.directions;
        for (int round = 1; round < options.rounds; ++round)
            options.directions += once;
    }
    if (parser.isSet(seconds)) {
        const QString text = parser.value(seconds);
        options.seconds = text.toDouble();
        if (!matches(text, "(0|[1-9][0-9]{0,4})(\\.[0-9]{1,3})?") || options.seconds < 0.1 ||
            options.seconds > 86400)
            return usageError(parser, QStringLiteral("--seconds %1: give 0.1 to 86400").arg(text), options);
    } else if (parser.isSet(groups)) {
        options.seconds = 86400;
    }
    if (parser.isSet(groups)) {
        const QString text = parser.value(groups);
        options.groups = text.toULongLong();
        if (!matches(text, "[1-9][0-9]{0,9}") || options.groups > 1000000000)
            return usageError(parser, QStringLiteral("--groups %1: give 1 to 1000000000").arg(text), options);
    }
    if (parser.isSet(load)) {
        const QString sequence = parser.value(load);
        if (sequence != QLatin1String("window") && sequence != QLatin1String("full"))
            return usageError(parser, QStringLiteral("--load %1: give window or full").arg(sequence), options);
        options.fullLoad = sequence == QLatin1String("full");
    }
    if (options.fullLoad)
        options.minLoad = 0.9;
    if (parser.isSet(minLoad)) {
        const QString text = parser.value(minLoad);
        if (!options.fullLoad)
            return usageError(parser, QStringLiteral("--min-load is for --load full"), options);
        if (!matches(text, "(0|[1-9][0-9]?|100)(\\.[0-9]{1,2})?") || text.toDouble() > 100)
            return usageError(parser, QStringLiteral("--min-load %1: give 0 to 100").arg(text), options);
        options.minLoad = text.toDouble() / 100;
        options.minLoadGiven = true;
    }
    options.json = parser.isSet(json);
    options.quiet = parser.isSet(quiet);
    options.logPath = parser.value(log);
    if (parser.isSet(log) && options.logPath.isEmpty())
        return usageError(parser, QStringLiteral("--log needs a file name"), options);
    options.junitPath = parser.value(junit);
    if (parser.isSet(junit) && options.junitPath.isEmpty())
        return usageError(parser, QStringLiteral("--junit needs a file name"), options);
    if (parser.isSet(logLimit)) {
        const QString text = parser.value(logLimit);
        if (!matches(text, "0|[1-9][0-9]{0,6}") || text.toLongLong() > 1048576)
            return usageError(parser, QStringLiteral("--log-limit %1: give 0 to 1048576").arg(text), options);
        if (!parser.isSet(log))
            return usageError(parser, QStringLiteral("--log-limit is for --log"), options);
        options.logLimitMb = text.toLongLong();
    }
    options.htmlPath = parser.value(html);
    if (parser.isSet(html) && options.htmlPath.isEmpty())
        return usageError(parser, QStringLiteral("--html needs a file name"), options);
    if (parser.isSet(every)) {
        const QString text = parser.value(every);
        if (!matches(text, "[1-9][0-9]{0,4}(\\.[0-9]{1,3})?") || text.toDouble() > 86400)
            return usageError(parser, QStringLiteral("--every %1: give 1 to 86400").arg(text), options);
        options.every = text.toDouble();
        options.recordsPath = parser.value(records);
        if (options.recordsPath.isEmpty())
            return usageError(parser, QStringLiteral("--every needs --records FILE (- for standard output)"), options);
        if (options.recordsPath == QLatin1String("-") && options.json)
            return usageError(parser, QStringLiteral("--records - and --json both want standard output"), options);
    } else if (parser.isSet(records)) {
        return usageError(parser, QStringLiteral("--records is for --every"), options);
    }

    options.resultClosed = stdoutClosed;
    workerlines::install(options.quiet);
    CheckRun run(options);
    const int status = run.run();
    runsignals::finished();
    return status;
}
