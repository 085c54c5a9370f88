// The console variants of the functions that report to the user.
#include "consolereporters.h"

#include <QString>
#include <cstdio>

#include "batchconvertmodel.h"
#include "batchconvertwindow.h"
#include "driveindexer.h"
#include "ostrandencoder.h"

namespace {

// A failed interactive index leaves the cursor on its line.
void printIndexFailure(QObject*, const QString& text)
{
    std::printf("ERROR: %s", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

// The batch model's warnings (one clip folder for two destinations, say) read
// like the window's messages.
void printModelWarning(QObject*, const QString& text)
{
    BatchConvertWindow::printMessage(nullptr, text, 2);
}

} // namespace

void installConsoleReporters()
{
    BatchConvertWindow::setMessageReporter(BatchConvertWindow::printMessage);
    BatchConvertModel::setWarningReporter(printModelWarning);
    DriveIndexer::setInteractiveReporter(printIndexFailure);
    OstrandEncoder::setNoticeReporter(OstrandEncoder::printNotice);
}
