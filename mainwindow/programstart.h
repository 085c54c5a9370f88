// The start of both programs up to their main window: the platform plug-in,
// chosen before the QApplication exists, and what every run relies on after it.
#pragma once

#include <QApplication>
#include <memory>

class ProgramStart {
public:
    enum Program { Windowed, Console };

    // Chooses the platform, builds the QApplication, sets the version, sends
    // standard error to /dev/null and settles the process. A run that needs a
    // window but found no display says so on standard output (see ready()).
    ProgramStart(Program program, int& argc, char** argv);
    ~ProgramStart();

    // False when this run needs a window and no display answered: the
    // program ends with exit code 1 without building its window.
    bool ready() const { return m_ready; }

    // Whether a run of program with these arguments opens a window. Quorvel
    // shows its main window without arguments and its results in boxes;
    // both programs open windows for "-ucconvert" and "-ucindex" without a drive.
    static bool opensWindow(Program program, int argc, char** argv);

    // Sets QT_QPA_PLATFORM: a run that only prints uses "offscreen" (no
    // display needed); a window run keeps the chosen platform (xcb when none)
    // and falls back to "offscreen" when it cannot connect.
    static void choosePlatform(bool window);
    // After the QApplication: a window run that ended up offscreen without
    // having asked for it has no display.
    static bool displayAnswered();

    // After the QApplication: numbers print as "59.94" in every locale, and a
    // reader that goes away (quorvelc ... | head) does not kill a conversion.
    static void settleProcess();

    // Standard input, output and error that were closed at start are opened
    // on /dev/null.
    static void reopenClosedStandardStreams();

private:
    std::unique_ptr<QApplication> m_app;
    bool m_ready = true;
};
