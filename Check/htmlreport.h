// The run's report as one self-contained HTML page: no script, nothing
// fetched, the charts inline SVG. The verdict and the diagnosis first, then
// the board, the options and the duration, a table per direction, and
// charts over the run's time from its intervals: groups per second and bus
// load, errors of each kind, TEC and REC of both controllers, with the
// intervals that saw a fault marked on every chart.
#ifndef CHECK_HTMLREPORT_H
#define CHECK_HTMLREPORT_H

#include "records.h"
#include "directionrecord.h"
#include "verdict.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

namespace htmlreport {

struct Page {
    QString title;        // "korvane-check: pass, board 0 (\\.\CAN0)"
    QString result;       // pass, fail, error
    int status = 0;       // the exit status
    bool interrupted = false;
    QString verdictLine;  // the summary's last line
    QString board;
    QString commandLine;
    QString started;      // UTC
    double runSeconds = 0;
    QStringList facts;    // the controllers' line, the workers' lines
    QVector<DirectionRecord> directions;
    QStringList caseNames;
    std::vector<verdict::Diagnosis> diagnosis;
    QVector<IntervalPoint> intervals;
    int intervalsPerPoint = 1;
    bool unfinished = false; // made as the run begins: it did not finish
    std::vector<verdict::Qualified> qualified; // the qualification's cases, when it ran
};

QByteArray render(const Page &page);

} // namespace htmlreport

#endif
