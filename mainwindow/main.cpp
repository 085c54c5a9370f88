#include <QApplication>
#include <QMessageBox>
#include <cstdio>

#include "driveindexer.h"
#include "ostrandencoder.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    // The codec layer is chatty on standard error; the window reports what matters.
    if (!std::freopen("/dev/null", "w", stderr)) {
        // Keep the original stream if /dev/null cannot be opened.
    }
    // Drive index failures of an interactive run open a message box over the window.
    DriveIndexer::setInteractiveReporter([](QObject* boxParent, const QString& text) {
        QMessageBox::critical(qobject_cast<QWidget*>(boxParent), DriveIndexer::tr("Quorvel"), text, QMessageBox::Ok);
    });

    OstrandEncoder window;
    if (argc < 2)
        window.show();
    else
        window.passAndProcessArgs(argc, argv);
    return app.exec();
}
