// A board is held by one test at a time: a lock that the system releases
// with the process, however it ends (a named mutex on Windows, a lock file
// taken with flock elsewhere). The window does not take it.
#ifndef CHECK_BOARDLOCK_H
#define CHECK_BOARDLOCK_H

#include <QString>

class BoardLock
{
public:
    BoardLock() = default;
    ~BoardLock();
    BoardLock(const BoardLock &) = delete;
    BoardLock &operator=(const BoardLock &) = delete;

    enum Result { Held, InUse, Failed };
    // Takes board N for this process. InUse: another process holds it
    // (*holder its process id where the system says it, else 0); Failed:
    // the lock itself could not be made (*error says why).
    Result take(int board, long long *holder, QString *error);

private:
#ifdef _WIN32
    void *m_mutex = nullptr;
#else
    int m_descriptor = -1;
#endif
};

#endif
