// korvane-check: sends the tool's test groups from one channel to the other
// and checks them, without a window, for test stations and scripts.
#include "checkrun.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

bool parseRate(const QString &text, unsigned int *kbps)
{
    bool ok = false;
    const unsigned int value = text.toUInt(&ok, 10);
    if (!ok || (value != 125 && value != 250 && value != 500 && value != 1000))
        return false;
    *kbps = value;
    return true;
}

int usageError(const QCommandLineParser &parser, const QString &message)
{
    std::fprintf(stderr, "korvane-check: %s\n\n%s", qPrintable(message), qPrintable(parser.helpText()));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvane-check"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends test groups of five frames from one CAN channel of the board to the other and checks "
        "that each arrives whole, as Korvane soft's window does.\n"
        "Exit status: 0 every group sent arrived clean and nothing else arrived; 1 groups were lost "
        "or arrived with errors, frames nobody sent arrived, or the run was interrupted; 2 a usage "
        "error, or a board that cannot be opened or configured."));
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
                                    QStringLiteral("Stop each direction after this many groups sent (1 to "
                                                   "1000000000); with --seconds, whichever comes first."),
                                    QStringLiteral("count"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Write the summary as JSON on stdout (the other lines go to stderr)."));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Write every received frame to FILE in candump log format, "
                                                "time-stamped from the DMA block header (can0: received on "
                                                "channel 1, can1: on channel 2)."),
                                 QStringLiteral("file"));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("No line a second while the traffic runs, no board messages."));
    parser.addOptions({rate, rate1, rate2, direction, seconds, groups, json, log, quiet});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser, parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fprintf(stdout, "%s", qPrintable(parser.helpText()));
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::fprintf(stdout, "korvane-check 1.0\n");
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(parser, QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));

    CheckOptions options;
    if (parser.isSet(rate) && !parseRate(parser.value(rate), &options.kbps[0]))
        return usageError(parser, QStringLiteral("--rate %1: the rates are 125, 250, 500 and 1000").arg(parser.value(rate)));
    options.kbps[1] = options.kbps[0];
    if (parser.isSet(rate1) && !parseRate(parser.value(rate1), &options.kbps[0]))
        return usageError(parser, QStringLiteral("--rate1 %1: the rates are 125, 250, 500 and 1000").arg(parser.value(rate1)));
    if (parser.isSet(rate2) && !parseRate(parser.value(rate2), &options.kbps[1]))
        return usageError(parser, QStringLiteral("--rate2 %1: the rates are 125, 250, 500 and 1000").arg(parser.value(rate2)));
    const QString which = parser.isSet(direction) ? parser.value(direction) : QStringLiteral("both");
    if (which == QLatin1String("1to2"))
        options.directions = {1};
    else if (which == QLatin1String("2to1"))
        options.directions = {2};
    else if (which == QLatin1String("both"))
        options.directions = {1, 2};
    else
        return usageError(parser, QStringLiteral("--direction %1: give 1to2, 2to1 or both").arg(which));
    if (parser.isSet(seconds)) {
        bool ok = false;
        options.seconds = parser.value(seconds).toDouble(&ok);
        if (!ok || !(options.seconds >= 0.1 && options.seconds <= 86400))
            return usageError(parser, QStringLiteral("--seconds %1: give 0.1 to 86400").arg(parser.value(seconds)));
    } else if (parser.isSet(groups)) {
        options.seconds = 86400;
    }
    if (parser.isSet(groups)) {
        bool ok = false;
        options.groups = parser.value(groups).toULongLong(&ok, 10);
        if (!ok || options.groups < 1 || options.groups > 1000000000)
            return usageError(parser, QStringLiteral("--groups %1: give 1 to 1000000000").arg(parser.value(groups)));
    }
    options.json = parser.isSet(json);
    options.quiet = parser.isSet(quiet);
    options.logPath = parser.value(log);

    CheckRun::installMessageHandler(options.quiet);
    CheckRun run(options);
    return run.run();
}
