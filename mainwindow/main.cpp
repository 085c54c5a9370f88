#include "ostrandencoder.h"
#include "programstart.h"
#include "reporters.h"

int main(int argc, char* argv[])
{
    ProgramStart start(ProgramStart::Windowed, argc, argv);
    if (!start.ready())
        return 1;
    // Command-line runs switch to printed lines once they know no window opens.
    installBoxReporter();

    OstrandEncoder window;
    if (argc < 2)
        window.show();
    else
        window.passAndProcessArgs(argc, argv);
    return QApplication::exec();
}
