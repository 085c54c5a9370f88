// Reports shown as message boxes: the box every default reporter opens, and
// those of the libraries below the window, which the windowed program installs
// at start (the console program prints instead).
#pragma once

class QString;
class QWidget;

// A modal box titled "Quorvel" with one OK button; level is a QMessageBox::Icon
// (a warning when it names none).
void showMessageBox(QWidget* parent, const QString& text, int level);

void installBoxReporters();
