// Collects qDebug() lines from every thread for tests that check their texts.
#ifndef TESTS_DEBUGLOG_H
#define TESTS_DEBUGLOG_H

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>

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
    QStringList lines() const
    {
        QMutexLocker locker(&m_mutex);
        return m_lines;
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
        QMutexLocker locker(&m_mutex);
        m_lines.clear();
    }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        if (DebugLog *log = s_instance) {
            QMutexLocker locker(&log->m_mutex);
            log->m_lines.append(message);
        }
    }

    static inline DebugLog *s_instance = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_lines;
};

#endif
