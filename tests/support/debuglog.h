// Collects qDebug() lines from every thread for tests that check their texts.
#ifndef TESTS_DEBUGLOG_H
#define TESTS_DEBUGLOG_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>
#include <mutex>
#include <vector>

class DebugLog
{
public:
    // Drops debug lines that no DebugLog collects: the workers write one
    // for every poll round, which would drown the test output.
    static void silenceUncollected()
    {
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                fprintf(stderr, "%s\n", qPrintable(message));
        });
    }

    DebugLog()
    {
        s_instance = this;
        m_previous = qInstallMessageHandler(&DebugLog::handler);
    }
    ~DebugLog()
    {
        qInstallMessageHandler(m_previous);
        s_instance = nullptr;
    }
    // A deep copy made under the lock: nothing of the list is shared with
    // the threads that keep appending.
    QStringList lines() const
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        QStringList copy;
        copy.reserve(int(m_lines.size()));
        for (const QString &line : m_lines)
            copy.append(line);
        return copy;
    }
    int count(const QString &line) const { return lines().count(line); }
    bool contains(const QString &line) const { return lines().contains(line); }
    int countContaining(const QString &part) const
    {
        int n = 0;
        for (const QString &line : lines())
            n += line.contains(part);
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_lines.clear();
    }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        if (DebugLog *log = s_instance) {
            std::lock_guard<std::mutex> locker(log->m_mutex);
            log->m_lines.push_back(message);
        }
    }

    static inline DebugLog *s_instance = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable std::mutex m_mutex;
    std::vector<QString> m_lines;
};

#endif
