// The two reporters the programs install: message boxes in Quorvel, printed
// lines in quorvelc and in command-line runs (which switch at run time).
#pragma once

#include <QMessageBox>

namespace reporting {
enum class Level;
struct Report;
}

// The icon of a box of that level: information, warning or critical.
QMessageBox::Icon iconOf(reporting::Level level);

// A modal box titled "Quorvel" with one OK button over the report's window;
// the icon says the level. A report about the application goes over the window
// the user is looking at, and is printed when none is shown.
void showReportBox(const reporting::Report& report);
// The report's lines on standard output at once, each around an open ruler.
void printReportLine(const reporting::Report& report);

// The box reporter can ask the user; the printed one cannot.
void installBoxReporter();
void installPrintedReporter();
// A command-line run opens no window: when the installed reporter asks the
// user (boxes), the printed one takes its place (any other reporter stays).
// True when it did.
bool printInsteadOfBoxes();
