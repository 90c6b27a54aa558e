#include "workerlines.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace workerlines {

namespace {

// Lines arrive from every thread; they are kept under a lock of their own,
// as copies.
std::mutex g_mutex;
std::vector<std::string> g_lines;
bool g_quiet = false;

void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg) {
        std::fprintf(stderr, "korvane-check: %s\n", qPrintable(message));
        return;
    }
    if (message.endsWith(QLatin1String(" was called")))
        return;
    const std::string line = message.toStdString();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (std::find(g_lines.begin(), g_lines.end(), line) != g_lines.end())
        return;
    g_lines.push_back(line);
    if (!g_quiet)
        std::fprintf(stderr, "korvane-check: worker: %s\n", line.c_str());
}

} // namespace

void install(bool quiet)
{
    g_quiet = quiet;
    qInstallMessageHandler(handler);
}

QStringList lines()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    QStringList copy;
    for (const std::string &line : g_lines)
        copy << QString::fromStdString(line);
    return copy;
}

} // namespace workerlines
