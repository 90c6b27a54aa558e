// The signals that end a run: SIGINT, SIGTERM and SIGHUP (a harness's own
// time-out), and on Windows a console's Ctrl+C, Ctrl+Break, closing, logoff
// and shutdown. The handlers only count; the run looks at the count. The
// first ends the run as soon as it can (aborting the group under way); a
// second ends it at once, with the summary so far.
#ifndef CHECK_RUNSIGNALS_H
#define CHECK_RUNSIGNALS_H

namespace runsignals {

// Installed before anything else happens. A closed pipe on the output is a
// write error, not a signal; system calls interrupted by a signal go on.
void catchSignals();
bool interrupted();
// A second signal came: the station wants the run ended now.
bool insisted();
// The summary is written: a closing console may end the process now.
void finished();

} // namespace runsignals

#endif
