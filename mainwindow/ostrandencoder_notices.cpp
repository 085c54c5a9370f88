// OstrandEncoder: its own notices to the user, shown in a message box or,
// by the console program and by command-line runs, printed.
#include "ostrandencoder.h"

#include <QMessageBox>

#include "batchconsolereport.h"
#include "boxreporters.h"

namespace {

OstrandEncoder::NoticeReporter g_noticeReporter = showMessageBox;

} // namespace

void OstrandEncoder::setNoticeReporter(NoticeReporter reporter)
{
    g_noticeReporter = reporter ? reporter : showMessageBox;
}

void OstrandEncoder::printNotice(QWidget*, const QString& text, int level)
{
    const char* prefix = "";
    if (level == QMessageBox::Critical)
        prefix = "ERROR: ";
    else if (level == QMessageBox::Warning)
        prefix = "Warning: ";
    printConsoleMessage(prefix + QByteArray(text.toLocal8Bit().constData()) + "\n");
}

void OstrandEncoder::notice(const QString& text, int level)
{
    // Nobody could answer a box in a run that shows no window.
    if (printNotices)
        printNotice(this, text, level);
    else
        g_noticeReporter(this, text, level);
}
