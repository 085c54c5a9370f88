#include "boxreporters.h"
#include "ostrandencoder.h"
#include "programstart.h"

int main(int argc, char* argv[])
{
    ProgramStart start(ProgramStart::Windowed, argc, argv);
    if (!start.ready())
        return 1;
    installBoxReporters();

    OstrandEncoder window;
    if (argc < 2)
        window.show();
    else
        window.passAndProcessArgs(argc, argv);
    return QApplication::exec();
}
