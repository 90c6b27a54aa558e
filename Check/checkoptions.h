// What a run of korvane-check was asked to do, as its command line says.
#ifndef CHECK_CHECKOPTIONS_H
#define CHECK_CHECKOPTIONS_H

#include <QString>
#include <QVector>

struct CheckOptions {
    int board = 0;                    // \\.\CAN<board>
    unsigned int kbps[2] = {125, 125};
    QVector<unsigned int> directions; // transmitting channels, in order (every round's)
    int rounds = 1;                   // the directions asked for, run this many times in turn
    double every = 0;                 // seconds between interval records; 0: none
    QString recordsPath;              // where they go; "-": standard output
    double seconds = 5;               // per direction
    quint64 groups = 0;               // per direction; 0: no limit
    bool json = false;
    bool quiet = false;
    bool fullLoad = false;            // CFullLoadTh instead of the window's sequence
    double minLoad = -1;              // least share of the bus asked of full load; below 0: none
    bool minLoadGiven = false;        // asked for on the command line (else the default)
    QString logPath;
    qint64 logLimitMb = 1024;         // the log and its older half together; 0: no limit
    QString junitPath;
    QString htmlPath;
    QString commandLine;              // as given, for the reports
    bool resultClosed = false;        // standard output was closed at the start
    // The qualification instead of the traffic: the cases of casesList (a
    // comma-separated list of cases and groups; empty: every case).
    bool qualify = false;
    QString casesList;

    // The round (from 1) of the direction at this index of directions.
    int roundOf(int index) const
    {
        const int perRound = rounds > 1 ? directions.size() / rounds : 0;
        return perRound ? index / perRound + 1 : 1;
    }
};

#endif
