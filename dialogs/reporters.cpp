// The message-box and printed-line reporters.
#include "reporters.h"

#include <QApplication>

#include "batchconsolereport.h"
#include "reporting.h"

namespace {

// The window the user is looking at; none in a command-line run.
QWidget* shownWindow()
{
    if (QWidget* w = QApplication::activeModalWidget())
        return w;
    if (QWidget* w = QApplication::activeWindow())
        return w;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->isWindow() && !w->inherits("QMenu"))
            return w;
    }
    return nullptr;
}

} // namespace

QMessageBox::Icon iconOf(reporting::Level level)
{
    switch (level) {
    case reporting::Level::Information:
        return QMessageBox::Information;
    case reporting::Level::Warning:
        return QMessageBox::Warning;
    case reporting::Level::Error:
        break;
    }
    return QMessageBox::Critical;
}

void showReportBox(const reporting::Report& report)
{
    QWidget* parent = qobject_cast<QWidget*>(report.parent);
    if (report.parent && report.parent == QCoreApplication::instance()) {
        parent = shownWindow();
        // Nobody could answer a box that no window shows.
        if (!parent) {
            printReportLine(report);
            return;
        }
    }
    QMessageBox box(iconOf(report.level), QMessageBox::tr("Quorvel"), report.text, QMessageBox::Ok, parent);
    box.exec();
}

void printReportLine(const reporting::Report& report)
{
    for (const QByteArray& line : reporting::printedLines(report))
        printConsoleMessage(line);
}

void installBoxReporter()
{
    reporting::install(reporting::Reporter(showReportBox, true));
}

void installPrintedReporter()
{
    reporting::install(printReportLine);
}

bool printInsteadOfBoxes()
{
    if (!reporting::canAsk())
        return false;
    installPrintedReporter();
    return true;
}
