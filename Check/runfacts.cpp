#include "runfacts.h"

namespace report {

QString boardName(int board)
{
    return QStringLiteral("board %1 (\\\\.\\CAN%1)").arg(board);
}

QString directionName(unsigned int from)
{
    return QStringLiteral("%1->%2").arg(from).arg(3 - from);
}

QStringList caseNames(const CheckOptions &options)
{
    QStringList names;
    for (int i = 0; i < options.directions.size(); ++i) {
        const unsigned int from = options.directions[i];
        QString name = QStringLiteral("%1 at %2 kbit/s").arg(directionName(from)).arg(options.kbps[from - 1]);
        if (options.rounds > 1 && options.roundOf(i) > 1)
            name += QStringLiteral(" (round %1)").arg(options.roundOf(i));
        names << name;
    }
    return names;
}

verdict::Run facts(const CheckOptions &options, const QVector<DirectionRecord> &results, const RunState &state)
{
    verdict::Run run;
    run.refused = state.refused.toStdString();
    run.setUpFailure = state.setUpFailure.toStdString();
    run.setUpFault = state.setUpFault;
    run.unfinished = state.unfinished;
    const QStringList names = caseNames(options);
    for (const QString &name : names)
        run.directionsAsked.push_back(name.toStdString());
    run.kbps[0] = options.kbps[0];
    run.kbps[1] = options.kbps[1];
    run.interrupted = state.interrupted;
    run.stuck = state.stuck.toStdString();
    run.outputs = state.outputs;
    run.controllers[0] = state.controllers[0];
    run.controllers[1] = state.controllers[1];
    run.controllersAsked = state.controllersAsked;
    run.qualifying = options.qualify;
    run.qualified = state.qualified;
    for (int i = 0; i < results.size(); ++i) {
        const DirectionRecord &r = results[i];
        const QString title = i < names.size() ? names[i] : QStringLiteral("%1 at %2 kbit/s").arg(r.name()).arg(r.kbps);
        run.directions.push_back(r.facts(title, options.minLoadGiven));
    }
    return run;
}

} // namespace report
