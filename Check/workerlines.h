// The workers' debug lines during a run: each kept once, for the summary,
// and echoed to stderr unless quiet. Their entry lines ("... was called")
// are dropped; Qt's own warnings are shown. The verdict never reads them:
// the workers tell the runner what happened through their observers.
#ifndef CHECK_WORKERLINES_H
#define CHECK_WORKERLINES_H

#include <QStringList>

namespace workerlines {

void install(bool quiet);
QStringList lines();

} // namespace workerlines

#endif
