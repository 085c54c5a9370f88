// The FTP setup panel as the main window opens it.
#include "ostrandencoder.h"

#include "ftpmultisetupwidget.h"

void OstrandEncoder::showFtpSettingsDialog()
{
    ftpSetup->show();
}
