// The runner's interval records for long runs: one line of JSON per
// interval (JSON Lines), each written whole with one write and flushed to
// the disk, so that a power loss or a kill keeps every interval already
// measured and the file only ever holds whole lines. And a bounded history
// of them for the run's report: however long the run, at most so many
// points, neighbours merged as it fills.
#ifndef CHECK_RECORDS_H
#define CHECK_RECORDS_H

#include "controllerhealth.h"
#include "trafficcounts.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

#include <cstdint>

class RecordLog
{
public:
    // Truncates the file; "-" is standard output.
    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_descriptor >= 0; }
    // One line; after a failure nothing more is written.
    bool write(const QJsonObject &record);
    // Empty, or why the records could not be written.
    QString error() const { return m_error; }
    void close();

private:
    // The system's own descriptor: what is written is synced to the disk
    // with it on every system.
    int m_descriptor = -1;
    bool m_stdout = false;
    qint64 m_written = 0;
    QString m_error;
};

// The figures of one interval, as the report draws them.
struct IntervalPoint {
    double start = 0;   // seconds from the run's start
    double seconds = 0; // its length
    int direction = 0;  // the transmitting channel
    TrafficCounts counts;
    double limitGroupsPerSecond = 0;
    ControllerHealth controllers[2];
    double groupsPerSecond() const { return seconds > 0 ? counts.sent / seconds : 0; }
};

class IntervalHistory
{
public:
    // Its room is taken, and written, at once: the history's resident memory
    // does not grow as the run goes on (room only reserved would become
    // resident page by page as the points come).
    explicit IntervalHistory(int capacity = 2048) : m_capacity(capacity) { takeRoom(m_points, capacity); }
    // An interval of the run, in order. When the history is full, each two
    // neighbours become one: counts added, the worse controller state kept.
    void add(const IntervalPoint &point);
    QVector<IntervalPoint> points() const;
    // How many intervals each point holds now (a power of two).
    int merged() const { return m_perPoint; }

private:
    static void takeRoom(QVector<IntervalPoint> &points, int capacity);
    void halve();

    int m_capacity;
    QVector<IntervalPoint> m_points;
    // Intervals waiting to make a point while merged() > 1.
    IntervalPoint m_partial;
    int m_partialCount = 0;
    int m_perPoint = 1;
};

#endif
