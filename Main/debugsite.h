// Where a debug line is written from. A helper that writes its caller's
// line takes the caller's site, so that the line carries the caller's file,
// line and function, as qDebug() there would.
#ifndef DEBUGSITE_H
#define DEBUGSITE_H

#include <QDebug>

struct DebugSite {
    const char *file;
    int line;
    const char *function;
    QDebug debug() const { return QMessageLogger(file, line, function).debug(); }
};

#define KORVANE_DEBUG_SITE (DebugSite{QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC})

#endif
