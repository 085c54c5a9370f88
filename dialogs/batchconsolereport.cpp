// BatchConsoleReport: the texts of the command-line batch run's report.
#include "batchconsolereport.h"

#include <QMutex>
#include <QMutexLocker>
#include <cstdio>

#include "targasequence.h"

namespace {

// The report whose ruler row is open; other lines are printed around it.
const BatchConsoleReport* g_openRuler = nullptr;
// One line at a time, whole, on standard output.
QMutex g_printLock;

// printf's "%-N.Ns", counted in characters rather than bytes so that a name
// is never cut inside a character.
QString column(const QString& text, int width)
{
    return text.leftJustified(width, QLatin1Char(' '), true);
}

const char kRowStart[] = "Processing:\t\t|";

} // namespace

QByteArray BatchConsoleReport::summary(const Summary& s)
{
    // Numbers in the C locale, whatever the user's.
    return (QStringLiteral("Source directory:\t\t%1\r\n").arg(s.sourceFolder)
            + QStringLiteral("Source framerate:\t\t%1\r\n").arg(QString::number(s.inputRate, 'f', 2))
            + QStringLiteral("Source information:\t\t(%1) %2x%3\r\n")
                  .arg(s.split ? QStringLiteral("4K") : QStringLiteral("1080"))
                  .arg(s.width)
                  .arg(s.height)
            + QStringLiteral("Destination output type:\t%1\r\n").arg(s.krx ? QStringLiteral("KRX") : QStringLiteral("TGA"))
            + QStringLiteral("Destination framerate:\t\t%1\r\n").arg(QString::number(s.outputRate, 'f', 2))
            + QStringLiteral("Frames to process:\t\t%1 [out of %2]\r\n").arg(s.totalFrames).arg(s.framesFound)
            + QStringLiteral("Force overwrite:\t\t%1\r\n")
                  .arg(s.force ? QStringLiteral("Enabled") : QStringLiteral("Disabled")))
        .toUtf8();
}

QByteArray BatchConsoleReport::destinationLine(const QString& destination, const QString& volumeName,
                                               const QString& slot)
{
    QString line = QStringLiteral("Destination:\t\t\t");
    if (volumeName.isEmpty())
        line += column(destination.size() >= 20 ? destination.right(20) : destination, 20);
    else
        line += QLatin1Char('[') + column(volumeName, 10) + QStringLiteral("] ") + column(destination, 10);
    if (slot == QLatin1String("0"))
        line += QStringLiteral("\tFULL (1080)\r\n");
    else
        line += QStringLiteral("\tQUAD:%1 (1080)\r\n").arg(slot);
    return line.toUtf8();
}

QString BatchConsoleReport::quadrantCell(const QString& destination)
{
    return destination.size() < 7 ? QStringLiteral("  ") + destination : QStringLiteral("..") + destination.right(5);
}

QByteArray BatchConsoleReport::quadrantBox(const QStringList& cells)
{
    auto cell = [&cells](int i) { return column(cells.value(i, QStringLiteral(" ")), 7); };
    return (QStringLiteral("\r\n   Quadrants Mapping  \r\n  ___________________ \r\n |1        |2        |\r\n")
            + QStringLiteral(" | %1 | %2 |\r\n").arg(cell(0), cell(1))
            + QStringLiteral(" |_________|_________|\r\n |3        |4        |\r\n")
            + QStringLiteral(" | %1 | %2 |\r\n").arg(cell(2), cell(3))
            + QStringLiteral(" |_________|_________|\r\n"))
        .toUtf8();
}

BatchConsoleReport::~BatchConsoleReport()
{
    QMutexLocker lock(&g_printLock);
    if (g_openRuler == this)
        g_openRuler = nullptr;
}

QByteArray BatchConsoleReport::openRuler(int frames)
{
    {
        QMutexLocker lock(&g_printLock);
        position = 0;
        rulerOpen = true;
        g_openRuler = this;
    }
    return "\r\nTotal to process:\t|" + QByteArray(kRulerWidth, '-') + "| " + QByteArray::number(frames)
        + " frames\r\n" + kRowStart;
}

QByteArray BatchConsoleReport::progress(int done, int frames)
{
    int at = frames > 0 ? int(qint64(done) * kRulerWidth / frames) : kRulerWidth;
    at = qBound(0, at, kRulerWidth);
    QMutexLocker lock(&g_printLock);
    const int advanced = at - position;
    position = at;
    return advanced > 0 ? QByteArray(advanced, '+') : QByteArray();
}

QByteArray BatchConsoleReport::end(int status, int frames)
{
    QByteArray text;
    {
        QMutexLocker lock(&g_printLock);
        if (rulerOpen) {
            rulerOpen = false;
            if (g_openRuler == this)
                g_openRuler = nullptr;
            text = "| " + QByteArray::number(frames) + " frames\r\n";
        }
    }
    switch (status) {
    case DestinationCompleted:
        return text + "Done.\r\n";
    case DestinationIndexing:
        return text + "Indexing Drives...\r\n";
    case DestinationFailed:
        return text + "Error.\r\n";
    case DestinationCanceled:
        return text + "User Canceled.\r\n";
    default:
        return text + "Aborted.\r\n";
    }
}

void BatchConsoleReport::leaveRuler()
{
    QMutexLocker lock(&g_printLock);
    rulerOpen = false;
    if (g_openRuler == this)
        g_openRuler = nullptr;
}

QByteArray BatchConsoleReport::rulerRow() const
{
    return kRowStart + QByteArray(position, '+');
}

QByteArray BatchConsoleReport::aroundOpenRuler(const QByteArray& line)
{
    QMutexLocker lock(&g_printLock);
    if (!g_openRuler)
        return line;
    QByteArray text = "\r\n" + line;
    if (!line.endsWith('\n'))
        text += "\r\n";
    return text + g_openRuler->rulerRow();
}

void printConsoleReport(const QByteArray& bytes)
{
    QMutexLocker lock(&g_printLock);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void printConsoleMessage(const QByteArray& line)
{
    printConsoleReport(BatchConsoleReport::aroundOpenRuler(line));
}
