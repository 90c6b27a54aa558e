// korvane-check's command line: what it asks for, or why it is refused.
// Values are taken only as written (no sign, blank, exponent or leading
// zero); every output must reach a file of its own.
#ifndef CHECK_COMMANDLINE_H
#define CHECK_COMMANDLINE_H

#include "checkoptions.h"

#include <QString>
#include <QStringList>

struct CommandLine {
    enum Action { Run, Help, Version, ListCases, Refused };
    Action action = Run;
    // What was read, also for a refusal: its reports and JSON go where the
    // command line named them, as far as it could be read.
    CheckOptions options;
    QString error;    // why it was refused
    QString helpText; // the usage, for --help and after a refusal
};

// The arguments as the program has them (the first is the program); any
// that the system's encoding could not say exactly (so that a file named by
// it could not be written as given) listed apart, as the program has them.
CommandLine parseCommandLine(const QStringList &arguments, const QStringList &inexact = {});

// Why two of the outputs asked for would reach one file (the same path, a
// link, /dev/stdout beside the summary, the log's older half), or nothing.
// standardOutputOwner names what standard output carries.
QString conflictingOutputs(const CheckOptions &options);

#endif
