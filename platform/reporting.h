// Telling the user something: a level and a text go to the one reporter the
// program installed, message boxes in Quorvel, printed lines in quorvelc and
// in command-line runs. Nothing here opens a box; workers report by signal to
// an object on the GUI thread, which reports here.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <type_traits>
#include <utility>

class QObject;

namespace reporting {

enum class Level { Information, Warning, Error };

// The level a worker's message(text, level) signal carries: the numbers of
// QMessageBox's icons, which the libraries below the dialogs cannot name.
enum MessageLevel : int { InformationMessage = 1, WarningMessage = 2, ErrorMessage = 3 };
// The report level of a message level; any number but 1 and 3 is a warning.
Level levelOf(int messageLevel);

// How a report reads as a printed line; a box shows the text alone.
enum class Printed {
    ByLevel,      // "ERROR: ", "Warning: " or nothing, then the text and "\n"
    AsError,      // "ERROR: " whatever the level, then the text and "\n"
    AsErrorOpen,  // "ERROR: " and the text; the cursor stays on its line
    AsErrorLines, // each line of the text its own "ERROR: " line: one box, several lines
};

struct Report {
    Level level = Level::Error;
    QString text;
    // The window a box opens over (when it is a widget); the application
    // itself means whichever window the user is looking at. May be null.
    QObject* parent = nullptr;
    Printed printed = Printed::ByLevel;
};

// What receives the reports, and whether it can put a question to the user
// (a box someone answers can; a printed line cannot).
class Reporter {
public:
    Reporter() = default;
    template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Reporter>
                                                      && std::is_invocable_v<F&, const Report&>>>
    Reporter(F show, bool canAsk = false)
        : m_show(std::move(show))
        , m_canAsk(canAsk && m_show)
    {
    }
    explicit operator bool() const { return bool(m_show); }
    void operator()(const Report& report) const { m_show(report); }
    bool canAsk() const { return m_canAsk; }

private:
    std::function<void(const Report&)> m_show;
    bool m_canAsk = false;
};

// Makes reporter the one that receives every report from now on and returns
// the one it replaces. An empty reporter puts back the default, which writes
// each report's line, ended, on standard error.
Reporter install(Reporter reporter);
// The reporter installed now; empty while the default reports.
Reporter installed();
// Whether the installed reporter can ask the user (the default cannot).
bool canAsk();

// Hands the report to the installed reporter, which may run an event loop
// (a modal box) before it returns.
void report(const Report& report);
void report(Level level, const QString& text, QObject* parent = nullptr, Printed printed = Printed::ByLevel);

// The bytes a printed line of the report is made of, in the local 8-bit encoding.
QByteArray printedLine(const Report& report);
// The same bytes as one line or, printed AsErrorLines, one per line of the text.
QList<QByteArray> printedLines(const Report& report);

} // namespace reporting
