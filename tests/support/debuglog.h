// Collects qDebug() lines from every thread for tests that check their texts.
#ifndef TESTS_DEBUGLOG_H
#define TESTS_DEBUGLOG_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

class DebugLog
{
public:
    // Drops debug lines that no DebugLog collects: the workers write one
    // for every poll round, which would drown the test output.
    static void silenceUncollected()
    {
        qInstallMessageHandler(&DebugLog::handler);
    }

    DebugLog()
    {
        std::lock_guard<std::mutex> locker(mutex());
        s_instance = this;
    }
    ~DebugLog()
    {
        std::lock_guard<std::mutex> locker(mutex());
        s_instance = nullptr;
        m_lines.clear();
    }
    // A deep copy made under the lock: nothing of the list is shared with
    // the threads that keep appending.
    QStringList lines() const
    {
        std::lock_guard<std::mutex> locker(mutex());
        QStringList copy;
        copy.reserve(int(m_lines.size()));
        for (const std::string &line : m_lines)
            copy.append(QString::fromStdString(line));
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
        std::lock_guard<std::mutex> locker(mutex());
        m_lines.clear();
    }

private:
    static std::mutex &mutex()
    {
        static std::mutex instance;
        return instance;
    }

    static void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        std::lock_guard<std::mutex> locker(mutex());
        if (s_instance)
            s_instance->m_lines.push_back(message.toStdString()); // no Qt data crosses threads
        else if (type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    }

    static inline DebugLog *s_instance = nullptr;
    std::vector<std::string> m_lines;
};

#endif
