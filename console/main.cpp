// quorvelc: the console program. With arguments it runs the command-line
// mode as Quorvel does; without, it prints its banner and usage.
#include <QTimer>

#include "ostrandencoder.h"
#include "programstart.h"
#include "reporters.h"

int main(int argc, char* argv[])
{
    ProgramStart start(ProgramStart::Console, argc, argv);
    if (!start.ready())
        return 1;
    // Before the window exists: its constructor may already report.
    installPrintedReporter();

    OstrandEncoder window;
    if (argc < 2) {
        window.showCmdLineIntro();
        window.showCmdLineHelp();
        QTimer::singleShot(0, qApp, SLOT(quit()));
    } else {
        window.passAndProcessArgs(argc, argv);
    }
    return QApplication::exec();
}
