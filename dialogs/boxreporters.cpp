// The message-box reporters of the windowed program.
#include "boxreporters.h"

#include <QMessageBox>

#include "driveindexer.h"

void installBoxReporters()
{
    // Drive index failures of an interactive run open a box over the window.
    DriveIndexer::setInteractiveReporter([](QObject* boxParent, const QString& text) {
        QMessageBox::critical(qobject_cast<QWidget*>(boxParent), DriveIndexer::tr("Quorvel"), text, QMessageBox::Ok);
    });
}
