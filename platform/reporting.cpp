// The one installed reporter and the printed form of a report.
#include "reporting.h"

#include <QMutex>
#include <QMutexLocker>
#include <cstdio>

namespace reporting {

namespace {

// Reports can come from any thread that runs a library call (an interactive
// drive index, say): the reporter is swapped and read under the lock.
QMutex g_lock;
Reporter g_reporter;

void printOnStandardError(const Report& report)
{
    QByteArray line = printedLine(report);
    if (!line.endsWith('\n'))
        line += '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

Reporter install(Reporter reporter)
{
    QMutexLocker lock(&g_lock);
    Reporter previous = std::move(g_reporter);
    g_reporter = std::move(reporter);
    return previous;
}

Reporter installed()
{
    QMutexLocker lock(&g_lock);
    return g_reporter;
}

bool canAsk()
{
    QMutexLocker lock(&g_lock);
    return g_reporter.canAsk();
}

Level levelOf(int messageLevel)
{
    switch (messageLevel) {
    case InformationMessage:
        return Level::Information;
    case ErrorMessage:
        return Level::Error;
    default:
        return Level::Warning;
    }
}

void report(const Report& report)
{
    Reporter reporter;
    {
        QMutexLocker lock(&g_lock);
        reporter = g_reporter;
    }
    // Called outside the lock: a box's event loop may report or install again.
    if (reporter)
        reporter(report);
    else
        printOnStandardError(report);
}

void report(Level level, const QString& text, QObject* parent, Printed printed)
{
    report(Report{level, text, parent, printed});
}

QList<QByteArray> printedLines(const Report& report)
{
    if (report.printed != Printed::AsErrorLines)
        return {printedLine(report)};
    QList<QByteArray> lines;
    for (const QString& line : report.text.split(QLatin1Char('\n')))
        lines << printedLine(Report{report.level, line, report.parent, Printed::AsError});
    return lines;
}

QByteArray printedLine(const Report& report)
{
    if (report.printed == Printed::AsErrorLines)
        return printedLines(report).join();
    QByteArray prefix;
    if (report.printed != Printed::ByLevel || report.level == Level::Error)
        prefix = "ERROR: ";
    else if (report.level == Level::Warning)
        prefix = "Warning: ";
    // Up to a NUL character, as "%s" has always printed it.
    QByteArray line = prefix + QByteArray(report.text.toLocal8Bit().constData());
    if (report.printed != Printed::AsErrorOpen)
        line += '\n';
    return line;
}

} // namespace reporting
