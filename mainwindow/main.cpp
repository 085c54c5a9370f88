#include <QApplication>
#include <cstdio>

#include "boxreporters.h"
#include "ostrandencoder.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    // The codec layer is chatty on standard error; the window reports what matters.
    if (!std::freopen("/dev/null", "w", stderr)) {
        // Keep the original stream if /dev/null cannot be opened.
    }
    installBoxReporters();

    OstrandEncoder window;
    if (argc < 2)
        window.show();
    else
        window.passAndProcessArgs(argc, argv);
    return app.exec();
}
