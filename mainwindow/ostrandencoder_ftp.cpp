// The FTP setup panel as the main window opens it, and the question asked
// before running uploads are stopped.
#include "ostrandencoder.h"

#include <QMessageBox>

#include "ftpmultisetupwidget.h"
#include "ftpqueue.h"

void OstrandEncoder::showFtpSettingsDialog()
{
    ftpSetup->show();
}

bool OstrandEncoder::stopUploadsAsked()
{
    return !ftpQueue || ftpQueue->remaining() == 0
        || QMessageBox::question(this, tr("Quorvel"),
                                 tr("Uploads are still running. Stop them and leave the uploaded files incomplete?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}
