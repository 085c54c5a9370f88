// The command-line mode in Quorvel's own process, with its message boxes:
// the internal first arguments as root (the batch window, the drive index
// result in a box with the run's exit code, the drive index dialog), and a
// run of options, which shows no window and prints the notices instead.
#include <QPushButton>
#include <QtTest>

#include <unistd.h>

#include "../dialogs/batchtest.h"
#include "batchconvertwindow.h"
#include "reporters.h"
#include "driveindexdialog.h"
#include "ostrandencoder.h"
#include "windowtestenv.h"

using windowtest::MessageBoxAnswerer;
using windowtest::runEventLoop;
using windowtest::shortLoop;

namespace {

// passAndProcessArgs with these arguments after the program's name.
void runWith(OstrandEncoder& window, const QList<QByteArray>& args)
{
    QList<QByteArray> storage{"Quorvel"};
    storage += args;
    std::vector<char*> argv;
    for (QByteArray& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    window.passAndProcessArgs(int(storage.size()), argv.data());
}

QString rootMissing()
{
    return ::geteuid() == 0 ? QString() : "needs root (else the internal arguments restart through pkexec)";
}

} // namespace

class CommandLineTest : public QObject, windowtest::Fixture {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        startCase();
        installBoxReporter();
    }
    void init() { startTest(); }
    void cleanup() { endTest(); }

    // The batch window opens and keeps the program running.
    void convertOpensTheBatchWindow()
    {
        SKIP_WHEN(rootMissing());
        OstrandEncoder window;
        const auto before = QApplication::topLevelWidgets();
        runWith(window, {"-ucconvert"});
        BatchConvertWindow* batch = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (auto* b = qobject_cast<BatchConvertWindow*>(top); b && !before.contains(top))
                batch = b;
        }
        QVERIFY(batch);
        QVERIFY(batch->isVisible());
        QVERIFY(!window.isVisible());
        QCOMPARE(shortLoop(), 5);
        QVERIFY(batch->close());
        QVERIFY(window.isVisible());
        QCOMPARE(shortLoop(), 5);
    }

    // Quorvel shows the result of "-ucindex DRIVE" in a box; the run ends with 1 when it failed.
    void indexDriveResultInABox()
    {
        SKIP_WHEN(rootMissing());
        QTemporaryDir folder;
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        OstrandEncoder window;
        runWith(window, {"-ucindex", QFile::encodeName(folder.path())});
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].title, QString("Quorvel"));
        QCOMPARE(answerer.seen[0].icon, QMessageBox::Critical);
        QCOMPARE(answerer.seen[0].text, QString("Unable to index drive. Make sure the drive exists, is formatted "
                                                "correctly, and is not write-protected, and try again."));
        QCOMPARE(answerer.seen[0].parent, &window);
        QCOMPARE(runEventLoop(), 1);
    }

    // Without a drive: the main window with the drive index dialog over it;
    // closing the dialog leaves the program running.
    void indexWithoutDriveOpensTheDialog()
    {
        SKIP_WHEN(rootMissing());
        OstrandEncoder window;
        bool seen = false;
        QTimer closer;
        connect(&closer, &QTimer::timeout, &closer, [&] {
            auto* dialog = qobject_cast<DriveIndexDialog*>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible() || seen)
                return;
            seen = window.isVisible() && dialog->parentWidget() == &window;
            dialog->findChild<QPushButton*>("closeButton")->click();
        });
        closer.start(20);
        runWith(window, {"-ucindex"});
        closer.stop();
        QVERIFY(seen);
        QVERIFY(window.isVisible());
        QCOMPARE(shortLoop(), 5);
    }

    // A run of options opens no window: even with the box reporters
    // installed, the corrupt-presets notice is printed after its output.
    void optionRunPrintsItsNotices()
    {
        QVERIFY(windowtest::damagePreset(QDir("Presets").entryList(QDir::Files).first()));
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        batchtest::StdoutCapture capture;
        OstrandEncoder window;
        runWith(window, {"-si", "-ifr=61"});
        QCOMPARE(runEventLoop(), 1);
        QCOMPARE(capture.stop(), QByteArray("ERROR: Invalid input framerate specified.\r\n"
                                            "Warning: Quorvel has detected corrupt Presets.\n"
                                            "Please reinstall Quorvel.  If the problem persists, contact Ostrand "
                                            "Kelvane Inc.\n"
                                            "Support: support@ostrandkelvane.com, +1 800 555 0142\n"));
        QVERIFY(answerer.seen.isEmpty());
        QVERIFY(!window.isVisible());
    }
};

int main(int argc, char* argv[])
{
    return windowtest::runWindowTests<CommandLineTest>(argc, argv);
}

#include "tst_commandline.moc"
