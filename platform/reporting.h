// Telling the user something: a level and a text go to the one reporter the
// program installed, message boxes in Quorvel, printed lines in quorvelc and
// in command-line runs. Nothing here opens a box; workers report by signal to
// an object on the GUI thread, which reports here.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

class QObject;

namespace reporting {

enum class Level { Information, Warning, Error };

// How a report reads as a printed line; a box shows the text alone.
enum class Printed {
    ByLevel,     // "ERROR: ", "Warning: " or nothing, then the text and "\n"
    AsError,     // "ERROR: " whatever the level, then the text and "\n"
    AsErrorOpen, // "ERROR: " and the text; the cursor stays on its line
};

struct Report {
    Level level = Level::Error;
    QString text;
    // The window a box opens over (when it is a widget); the application
    // itself means whichever window the user is looking at. May be null.
    QObject* parent = nullptr;
    Printed printed = Printed::ByLevel;
};

using Reporter = std::function<void(const Report&)>;

// Makes reporter the one that receives every report from now on and returns
// the one it replaces. An empty reporter puts back the default, which writes
// each report's line, ended, on standard error.
Reporter install(Reporter reporter);
// The reporter installed now; empty while the default reports.
Reporter installed();

// Hands the report to the installed reporter, which may run an event loop
// (a modal box) before it returns.
void report(const Report& report);
void report(Level level, const QString& text, QObject* parent = nullptr, Printed printed = Printed::ByLevel);

// The bytes a printed line of the report is made of, in the local 8-bit encoding.
QByteArray printedLine(const Report& report);

} // namespace reporting
