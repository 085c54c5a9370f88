// Main-window slots whose work lands with the file list, output naming, encode
// loop, FTP setup panel, elevated actions and command-line mode. Until then
// they do nothing, so that the wizard's wiring is complete and testable.
#include "ostrandencoder.h"

#include <QDir>

void OstrandEncoder::chooseFiles() {}
void OstrandEncoder::addFiles(QStringList) {}
void OstrandEncoder::removeFiles() {}
void OstrandEncoder::showPage3NameCheck() {}
void OstrandEncoder::showPage3() {}
void OstrandEncoder::updateToEncodeCount() {}
void OstrandEncoder::ftpChecked(int) {}
void OstrandEncoder::updateProgressBar() {}
void OstrandEncoder::encodeNextFile(int) {}
void OstrandEncoder::cancelEncoding() {}
void OstrandEncoder::openOutputDirectory() {}
void OstrandEncoder::generateOutputNames() {}
void OstrandEncoder::ostrandNamingCheckboxChanged(int) {}
void OstrandEncoder::QFHDCheckboxChanged(int) {}
void OstrandEncoder::browseOutputDir() {}
void OstrandEncoder::showFtpSettingsDialog() {}
void OstrandEncoder::updateFtpProgress(QString, double) {}
void OstrandEncoder::checkParamCompletion() {}
void OstrandEncoder::exportFilenameMap() {}
QString OstrandEncoder::generateDefaultOutputDir(QString folder)
{
    // First "outputN/" under the folder that does not exist yet.
    for (int n = 0;; ++n) {
        const QString path = folder + QStringLiteral("/output") + QString::number(n) + QLatin1Char('/');
        if (!QDir(path).exists())
            return QDir::fromNativeSeparators(path);
    }
}
void OstrandEncoder::inputProcessingFinished(QStandardItem*, QVariantMap) {}
void OstrandEncoder::updateToProcessCount(int) {}
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

void OstrandEncoder::addQFHDQuadrants() {}
void OstrandEncoder::addTallParts() {}
void OstrandEncoder::removeQFHDQuadrants() {}
void OstrandEncoder::removeTallParts() {}
