// Main-window slots whose work lands with the encode loop, FTP setup panel,
// elevated actions and command-line mode. Until then they do nothing, so that
// the wizard's wiring is complete and testable.
#include "ostrandencoder.h"

void OstrandEncoder::showPage3() {}
void OstrandEncoder::ftpChecked(int) {}
void OstrandEncoder::updateProgressBar() {}
void OstrandEncoder::encodeNextFile(int) {}
void OstrandEncoder::cancelEncoding() {}
void OstrandEncoder::openOutputDirectory() {}
void OstrandEncoder::updateFtpProgress(QString, double) {}
void OstrandEncoder::updateFtpStatus(QString, QString) {}
void OstrandEncoder::cancelButtonPressed() {}
void OstrandEncoder::hasUndeletedDP(bool kept)
{
    if (kept)
        decodePipeKept = true;
}
bool OstrandEncoder::addToFtpQueue(QString, QVariantMap) { return false; }
void OstrandEncoder::passAndProcessArgs(int, char*[])
{
    // Set first, before the event loop runs: the update check stays quiet.
    commandLineRun = true;
}
void OstrandEncoder::showCmdLineIntro() {}
void OstrandEncoder::showCmdLineHelp() {}

