// The console program's reports and start-up, in process: the installed
// reporters print where Quorvel opens boxes (batch messages, the batch
// model's warning, an interactive drive index failure, the corrupt-presets
// notice), which runs need a window and how the platform is chosen, numbers
// in the C locale with SIGPIPE ignored, and output kept by a fatal exit.
#include <QPushButton>
#include <QtTest>

#include <clocale>
#include <csignal>
#include <cstdio>

#include "../dialogs/batchtest.h"
#include "../engine/targa/tgahelpers.h"
#include "../mainwindow/windowtestenv.h"
#include "batchconvertmodel.h"
#include "batchconvertwindow.h"
#include "dfs_runtime.h"
#include "driveindexer.h"
#include "ostrandencoder.h"
#include "programstart.h"
#include "reporters.h"

using batchtest::Modal;
using batchtest::StdoutCapture;

namespace {

QByteArray formatted(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// Child: the locale of the environment, as the QApplication takes it, then settled.
int localeChild(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::printf("before=%s ", formatted(59.94).constData());
    ProgramStart::settleProcess();
    std::printf("after=%s ", formatted(59.94).constData());
    std::fflush(stdout);
    std::raise(SIGPIPE);
    std::printf("alive\n");
    return 0;
}

// Child: text printed but not yet flushed, then the volume library's fatal exit.
int fatalChild()
{
    std::printf("printed before the end");
    FatalError("test", 3);
}

} // namespace

class ConsoleReportersTest : public QObject, windowtest::Fixture {
    Q_OBJECT

    QTemporaryDir m_media;

private slots:
    void initTestCase()
    {
        startCase();
        QVERIFY(m_media.isValid());
        installPrintedReporter();
    }
    void init() { startTest(); }
    void cleanup() { endTest(); }

    void batchMessagesAndModelWarning()
    {
        REQUIRE_TOOL("ffmpeg");
        const QString frames = m_media.filePath("clip");
        QVERIFY(QDir().mkpath(frames));
        QCOMPARE(tgatest::ffmpegFrames(frames + "/clip%04d.tga", 1280, 720, 24, false, 1), QString());

        Modal modal;
        BatchConvertWindow window(0, nullptr);
        window.show();
        {
            StdoutCapture capture;
            window.message("100% of %s done %n", 3);
            window.message("second", 2);
            QCOMPARE(capture.stop(), QByteArray("ERROR: 100% of %s done %n\nERROR: second\n"));
        }
        QCOMPARE(window.reportedMessages(), 2);

        // Two destinations of one source into one folder: the model's warning.
        window.addSource(false, frames, 1);
        auto* model = window.findChild<BatchConvertModel*>();
        QVERIFY(model && model->rowCount() == 1);
        model->addDestination(0, -1);
        const QModelIndex source = model->index(0, 0);
        const QString out = m_media.filePath("out") + "/";
        QVERIFY(QDir().mkpath(out));
        QVERIFY(model->setData(model->index(0, BatchConvertModel::DestinationColumn, source), out));
        StdoutCapture capture;
        QVERIFY(!model->setData(model->index(1, BatchConvertModel::DestinationColumn, source), out));
        QCOMPARE(capture.stop(), QByteArray("ERROR: Cannot export multiple files to the same destination at the same "
                                            "time.\n\nPlease select a different destination path.\n"));
        QVERIFY(modal.boxes.isEmpty());
    }

    // A failed interactive index leaves the cursor after its text.
    void interactiveIndexFailure()
    {
        if (DriveIndexer::locate(m_media.path()).mountPoint.isEmpty())
            QSKIP("no mounted volume holds the test folder here (a chroot into a plain folder)");
        Modal modal;
        DriveIndexer indexer;
        StdoutCapture capture;
        QVERIFY(!indexer.indexDrive(m_media.path(), true));
        std::printf("next");
        const QByteArray out = capture.stop();
        QVERIFY2(out.startsWith("ERROR: Error indexing ") && out.endsWith(".next") && !out.contains('\n'),
                 out.constData());
        QVERIFY(modal.boxes.isEmpty());
    }

    void corruptPresetsNotice()
    {
        QVERIFY(windowtest::damagePreset(QDir("Presets").entryList(QDir::Files).first()));
        Modal modal;
        StdoutCapture capture;
        OstrandEncoder window;
        window.show();
        QTRY_VERIFY(!window.isVisible());
        QCOMPARE(capture.stop(), QByteArray("Warning: Quorvel has detected corrupt Presets.\n"
                                            "Please reinstall Quorvel.  If the problem persists, contact Ostrand "
                                            "Kelvane Inc.\n"
                                            "Support: support@ostrandkelvane.com, +1 800 555 0142\n"));
        QVERIFY(modal.boxes.isEmpty());
    }

    void whichRunsOpenWindows_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("windowed");
        QTest::addColumn<bool>("console");
        QTest::newRow("no arguments") << QStringList{} << true << false;
        QTest::newRow("-ucconvert") << QStringList{"-ucconvert"} << true << true;
        QTest::newRow("-ucindex") << QStringList{"-ucindex"} << true << true;
        QTest::newRow("-ucindex, empty drive") << QStringList{"-ucindex", ""} << true << true;
        QTest::newRow("-ucindex drive") << QStringList{"-ucindex", "/media/x"} << true << false;
        QTest::newRow("options") << QStringList{"-src=/a", "-dst=/b"} << false << false;
        QTest::newRow("-ucconvert not first") << QStringList{"-h", "-ucconvert"} << false << false;
    }

    void whichRunsOpenWindows()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, windowed);
        QFETCH(bool, console);
        QList<QByteArray> storage{"program"};
        for (const QString& a : args)
            storage << a.toUtf8();
        std::vector<char*> argv;
        for (QByteArray& a : storage)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int argc = int(storage.size());
        QCOMPARE(ProgramStart::opensWindow(ProgramStart::Windowed, argc, argv.data()), windowed);
        QCOMPARE(ProgramStart::opensWindow(ProgramStart::Console, argc, argv.data()), console);
    }

    void platformChoice_data()
    {
        QTest::addColumn<QByteArray>("given");
        QTest::addColumn<bool>("window");
        QTest::addColumn<QByteArray>("chosen");
        QTest::newRow("print only, nothing given") << QByteArray() << false << QByteArray("offscreen");
        QTest::newRow("print only, xcb given") << QByteArray("xcb") << false << QByteArray("offscreen");
        QTest::newRow("window, nothing given") << QByteArray() << true << QByteArray("xcb;offscreen");
        QTest::newRow("window, wayland given") << QByteArray("wayland") << true << QByteArray("wayland;offscreen");
        QTest::newRow("window, offscreen given") << QByteArray("offscreen") << true << QByteArray("offscreen");
    }

    void platformChoice()
    {
        QFETCH(QByteArray, given);
        QFETCH(bool, window);
        QFETCH(QByteArray, chosen);
        const QByteArray saved = qgetenv("QT_QPA_PLATFORM");
        if (given.isEmpty())
            qunsetenv("QT_QPA_PLATFORM");
        else
            qputenv("QT_QPA_PLATFORM", given);
        ProgramStart::choosePlatform(window);
        const QByteArray got = qgetenv("QT_QPA_PLATFORM");
        qputenv("QT_QPA_PLATFORM", saved);
        QCOMPARE(got, chosen);
        // This process runs offscreen because it was asked to: that is a display.
        QVERIFY(ProgramStart::displayAnswered());
    }

    // A German locale prints "59,94"; settled, the process prints "59.94"
    // and lives through SIGPIPE.
    void numbersAndBrokenPipes()
    {
        QTemporaryDir locales;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const bool german = testutil::haveTool("localedef")
            && testutil::run("localedef", {"-i", "de_DE", "-f", "UTF-8", locales.filePath("de_DE.UTF-8")}).exitCode
                <= 1
            && QFileInfo::exists(locales.filePath("de_DE.UTF-8/LC_NUMERIC"));
        if (german) {
            env.insert("LOCPATH", locales.path());
            env.insert("LC_ALL", "de_DE.UTF-8");
        }
        const auto r = testutil::run(QCoreApplication::applicationFilePath(), {"--locale-child"}, 30000, QByteArray(), env);
        QCOMPARE(r.exitCode, 0);
        if (german)
            QCOMPARE(r.out, QByteArray("before=59,94 after=59.94 alive\n"));
        else
            QVERIFY2(r.out.endsWith("after=59.94 alive\n"), r.out.constData());
        if (!german)
            QSKIP("no German locale could be made (localedef and the locales package): the locale half was not tried");
    }

    void fatalExitKeepsPrintedText()
    {
        const auto r = testutil::run(QCoreApplication::applicationFilePath(), {"--fatal-child"});
        QCOMPARE(r.out, QByteArray("printed before the end"));
        QCOMPARE(r.exitCode, 3);
    }
};

int main(int argc, char* argv[])
{
    if (argc == 2 && qstrcmp(argv[1], "--locale-child") == 0)
        return localeChild(argc, argv);
    if (argc == 2 && qstrcmp(argv[1], "--fatal-child") == 0)
        return fatalChild();
    return windowtest::runWindowTests<ConsoleReportersTest>(argc, argv);
}

#include "tst_consolereporters.moc"
