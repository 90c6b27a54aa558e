// korvane-check: sends the tool's test groups from one channel to the other
// and checks them, without a window, for test stations and scripts.
#include "checkrun.h"
#include "commandline.h"
#include "outputfile.h"
#include "outputs.h"
#include "qualification.h"
#include "runsignals.h"
#include "verdict.h"
#include "workerlines.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// A refused command line: said with the usage, and in the reports and the
// JSON where they were named, so that no earlier run's report stands for
// this one. Its status is the verdict's.
int refuse(const CommandLine &line)
{
    std::fprintf(stderr, "korvane-check: %s\n\n%s", qPrintable(line.error), qPrintable(line.helpText));
    report::RunState state;
    state.refused = QStringLiteral("refused: ") + line.error;
    return report::Outputs(line.options).conclude({}, state, false);
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

int printed(const QString &text)
{
    std::fputs(qPrintable(text), stdout);
    return std::fflush(stdout) == 0 ? int(verdict::Passed) : int(verdict::NotCarried);
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

    QStringList inexact;
    for (int i = 1; i < argc; ++i) {
        if (!outputfile::encodesExactly(argv[i]))
            inexact << QFile::decodeName(argv[i]);
    }
    CommandLine line = parseCommandLine(QCoreApplication::arguments(), inexact);
    switch (line.action) {
    case CommandLine::Help:
        return printed(line.helpText);
    case CommandLine::Version:
        return printed(QStringLiteral("korvane-check 1.0\n"));
    case CommandLine::ListCases: {
        QString list;
        for (const qualify::Case &c : qualify::catalogue())
            list += QStringLiteral("%1  %2\n").arg(QString::fromStdString(c.name), -22).arg(QString::fromStdString(c.summary));
        return printed(list);
    }
    case CommandLine::Refused:
        return refuse(line);
    case CommandLine::Run:
        break;
    }
    line.options.resultClosed = stdoutClosed;
    workerlines::install(line.options.quiet);
    CheckRun run(line.options);
    const int status = run.run();
    runsignals::finished();
    return status;
}
