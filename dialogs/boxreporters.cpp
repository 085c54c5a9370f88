// The message-box reporters of the windowed program.
#include "boxreporters.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

#include "driveindexer.h"
#include "settingswrite.h"

namespace {

// The window the user is looking at; none in a command-line run.
QWidget* shownWindow()
{
    if (QWidget* w = QApplication::activeModalWidget())
        return w;
    if (QWidget* w = QApplication::activeWindow())
        return w;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->isWindow() && !w->inherits("QMenu"))
            return w;
    }
    return nullptr;
}

} // namespace

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
    // Settings that cannot be written: over the window, or printed by a
    // command-line run, which has none and nobody to answer a box.
    SettingsWrite::setFailureReporter([](const QString& text) {
        if (QWidget* window = shownWindow()) {
            showMessageBox(window, text, QMessageBox::Critical);
            return;
        }
        std::printf("ERROR: %s\r\n", text.toLocal8Bit().constData());
        std::fflush(stdout);
    });
}
