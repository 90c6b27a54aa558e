// The files the runner writes, as the system sees them: whether two paths
// reach one file, what kind of file a path names, and a report written
// whole or not at all.
//
// A regular file (or a path where none is yet) is saved by a file beside it
// that is renamed into place once written and synced, so that a report is
// never left half written and an earlier run's never outlives a failed one;
// through a link, the file it leads to is saved so, and the link stays.
// Anything else (a device, a pipe) is written in place: it is never
// renamed, replaced or removed. A pipe is opened only to be written, never
// waits for a reader that is not there, and is given up when its reader
// takes nothing for kStallMs or the station insists on the end (a second
// signal).
#ifndef CHECK_OUTPUTFILE_H
#define CHECK_OUTPUTFILE_H

#include <QByteArray>
#include <QString>

namespace outputfile {

// Which file a path reaches. Two identities are the same file when both
// are known and equal: an existing file by its device and number, one not
// yet made by its folder's and its name.
struct Identity {
    bool known = false;
    QByteArray key;
    bool operator==(const Identity &o) const { return known && o.known && key == o.key; }
};
Identity identify(const QString &path);
// The file behind the process's standard output.
Identity standardOutput();
// The system's null device, which any number of outputs may share.
bool isNullDevice(const Identity &identity);

enum class Kind { Missing, Regular, Other };
// What the path names, links followed.
Kind kindOf(const QString &path);
// What the path itself is: a link is Other.
Kind kindOfEntry(const QString &path);

// Writes the bytes whole: empty, or the system's reason why not.
QString writeWhole(const QString &path, const QByteArray &bytes);
// Whether the path could be written: a regular file's folder takes a new
// file, anything else opens for writing. Nothing is written.
QString checkWritable(const QString &path);
// Removes the path if it is a regular file; anything else stays.
void removeIfRegular(const QString &path);
// Removes the regular file the path leads to, through its links (which
// stay); anything else stays.
void removeFileBehind(const QString &path);
// For the runner's own use of a pipe as it goes (its log): a pipe opened for
// writing without waiting for a reader (none is an error), then written as
// a pipe is. -1 with *error when it cannot be; -2 when the path is no pipe.
int openPipe(const QString &path, QString *error);

// The bytes of an argument as the system gave them, when they are not what
// the program's own text of them would give back (the system's encoding
// cannot say them): such a path cannot be written to as given.
bool encodesExactly(const char *argument);

} // namespace outputfile

#endif
