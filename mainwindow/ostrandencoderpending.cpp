// Main-window slots whose work lands with the encode loop, FTP setup panel,
// elevated actions and command-line mode. Until then they do nothing, so that
// the wizard's wiring is complete and testable.
#include "ostrandencoder.h"

void OstrandEncoder::passAndProcessArgs(int, char*[])
{
    // Set first, before the event loop runs: the update check stays quiet.
    commandLineRun = true;
}
void OstrandEncoder::showCmdLineIntro() {}
void OstrandEncoder::showCmdLineHelp() {}

