// The message-box reporters of the windowed program.
#include "boxreporters.h"

#include <QMessageBox>

#include "driveindexer.h"

void showMessageBox(QWidget* parent, const QString& text, int level)
{
    const QMessageBox::Icon icon =
        level >= QMessageBox::NoIcon && level <= QMessageBox::Question ? QMessageBox::Icon(level) : QMessageBox::Warning;
    QMessageBox box(icon, QMessageBox::tr("Quorvel"), text, QMessageBox::Ok, parent);
    box.exec();
}

void installBoxReporters()
{
    // Drive index failures of an interactive run open a box over the window.
    DriveIndexer::setInteractiveReporter([](QObject* boxParent, const QString& text) {
        showMessageBox(qobject_cast<QWidget*>(boxParent), text, QMessageBox::Critical);
    });
}
