// Elevation: the restart through pkexec as an unprivileged user (dropped to
// nobody with setpriv, in a mount namespace whose password database gives
// nobody the test's home; a setuid stand-in pkexec on PATH that records how
// it was called and runs the program as root as the real one does), refusals
// and failed elevated runs, what the elevated run takes of the user's and
// leaves behind, and the elevated actions' own branches as root.
#include <QCheckBox>
#include <QComboBox>
#include <QListView>
#include <QStandardItemModel>
#include <QPointer>
#include <QPushButton>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStorageInfo>
#include <QtTest>
#include <memory>

#include <QFileDialog>
#include <csignal>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "../drivefs/index/loopmount.h"
#include "batchconvertwindow.h"
#include "driveindexdialog.h"
#include "reporters.h"
#include "elevation.h"
#include "fileitemmap.h"
#include "ftpmultisetupwidget.h"
#include "ostrandencoder.h"
#include "programstart.h"
#include "tgahelpers.h"
#include "testutil.h"
#include "updatenoticedialog.h"
#include "windowtestenv.h"

using namespace fileitem;

extern char** environ;

using windowtest::MessageBoxAnswerer;
using windowtest::readFile;
using windowtest::runEventLoop;
using windowtest::shortLoop;

namespace {

const uid_t kNobody = 65534;
// The first argument that makes this program the restarted one. It holds "="
// as the arguments of a real restart ("-src=...") do; what follows "=" says
// what the probe does.
const char kProbePrefix[] = "--elevated-probe=";
const char kProbe[] = "--elevated-probe=report";
const char kProbeSave[] = "--elevated-probe=save";
const char kProbeDialog[] = "--elevated-probe=dialog";
// The unprivileged part runs this program as quorvelc with what follows.
const char kCaller[] = "--caller";
// The source frames of the command-line runs; the root part makes them.
const int kSourceFrames = 300;

const QString kDismissed = "Quorvel needs administrator rights for this; the request for them was dismissed.";
const QString kNotGranted = "Quorvel needs administrator rights for this, but they were not granted.";
const QString kNoPkexec = "Quorvel needs administrator rights for this, but pkexec, which asks for them, "
                          "could not be started.";
const QString kIndexFailed = "Unable to index drive. Make sure the drive exists, is formatted correctly, "
                             "and is not write-protected, and try again.";

bool writeFile(const QString& path, const QByteArray& data, mode_t mode = 0644)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        return false;
    f.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

QString unhex(const QJsonValue& v)
{
    return QFile::decodeName(QByteArray::fromHex(v.toString().toLatin1()));
}

uid_t ownerOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_uid : uid_t(-1);
}

// The restarted program as the programs start: reports what it was given
// and what it sees into its working folder ("report"), saves the selections
// every way the program does ("save"), or opens a file dialog and draws text
// ("dialog").
int elevatedProbe(int argc, char* argv[])
{
    const QByteArray mode = QByteArray(argv[1]).mid(int(sizeof kProbePrefix) - 1);
    QJsonObject report;
    QJsonArray args;
    for (int i = 2; i < argc; ++i)
        args << hex(argv[i]);
    report["args"] = args;
    char cwd[4096];
    report["cwd"] = hex(::getcwd(cwd, sizeof cwd) ? QByteArray(cwd) : QByteArray());
    int oneArgument = 1;
    ProgramStart start(ProgramStart::Console, oneArgument, argv);
    QJsonObject env;
    for (char** e = environ; *e; ++e) {
        const QByteArray entry(*e);
        const int eq = entry.indexOf('=');
        env[QString::fromLatin1(entry.left(eq))] = hex(entry.mid(eq + 1));
    }
    report["env"] = env;
    report["uid"] = int(::geteuid());
    report["cookie"] = hex(readFile(QFile::decodeName(qgetenv("XAUTHORITY"))));
    {
        OstrandEncoder w;
        auto* devices = w.findChild<QComboBox*>("deviceComboBox");
        report["device"] = devices->currentIndex();
        if (mode == "save") {
            devices->setCurrentIndex(2);
            w.saveSettings();
            UpdateNoticeDialog::disableUpdateNotify();
            auto* panel = w.findChild<FTPMultiSetupWidget*>();
            auto* model = qobject_cast<QStandardItemModel*>(panel->findChild<QListView*>("listView")->model());
            auto* item = new QStandardItem;
            item->setData(QVariantMap{{kFilenameKey, QString("/in/a.mov")}, {kPrimaryServerKey, "10.0.0.9"},
                                      {kPrimaryPasswordKey, "secret"}},
                          Qt::UserRole);
            model->appendRow(item);
            panel->show();
            QTest::mouseClick(panel->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
        } else if (mode == "dialog") {
            w.show();
            QFileDialog dialog(&w, "Open", QDir::currentPath());
            dialog.setOption(QFileDialog::DontUseNativeDialog);
            dialog.show();
            QApplication::processEvents();
            w.grab();
            dialog.grab();
            dialog.close();
        }
    }
    QFile out("probe.json");
    if (!out.open(QIODevice::WriteOnly))
        return 2;
    out.write(QJsonDocument(report).toJson());
    return 0;
}

// This program as quorvelc runs.
int runAsProgram(int argc, char* argv[])
{
    ProgramStart start(ProgramStart::Console, argc, argv);
    if (!start.ready())
        return 1;
    installPrintedReporter();
    OstrandEncoder window;
    window.passAndProcessArgs(argc, argv);
    return QApplication::exec();
}

// Whether process pid runs (an ended one that nobody has reaped yet does not).
bool running(pid_t pid)
{
    const QByteArray stat = readFile(QString("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close > 0 && stat.size() > close + 2 && stat.at(close + 2) != 'Z';
}

// What the stand-in pkexec was given, one entry per argument.
QStringList standInArgs(const QString& standIn)
{
    QStringList out;
    const QList<QByteArray> parts = readFile(standIn + "/args").split('\0');
    for (int i = 0; i + 1 < parts.size(); ++i)
        out << QFile::decodeName(parts.at(i));
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// The part that runs as an unprivileged user, in a child process.

class UnprivilegedTest : public QObject {
    Q_OBJECT

    QString standIn = QFile::decodeName(qgetenv("QUORVEL_STANDIN"));

    bool setMode(const QByteArray& mode)
    {
        QFile::remove(standIn + "/args");
        QFile::remove(standIn + "/caller.uid");
        return writeFile(standIn + "/mode", mode);
    }

    static QComboBox* devices(OstrandEncoder* w) { return w->findChild<QComboBox*>("deviceComboBox"); }

    // Starts this program as quorvelc with arguments, its output going to
    // printed, and returns once the stand-in pkexec holds before running the
    // elevated run, as the real one does while it asks for the password.
    bool startHeld(QProcess* caller, const QStringList& arguments, const QString& printed)
    {
        QFile::remove(standIn + "/pid");
        QFile::remove(standIn + "/held");
        if (!writeFile(standIn + "/hold", QByteArray()))
            return false;
        caller->setStandardOutputFile(printed);
        caller->start(QCoreApplication::applicationFilePath(), QStringList{kCaller} + arguments);
        return caller->waitForStarted()
            && QTest::qWaitFor([&] { return QFile::exists(standIn + "/held"); }, 60000);
    }

    // The elevated run the stand-in started last, once it has ended; 0 when
    // it did not start or did not end.
    pid_t rootRunEnded()
    {
        if (!QTest::qWaitFor([&] { return QFile::exists(standIn + "/pid"); }, 60000))
            return 0;
        const pid_t root = pid_t(readFile(standIn + "/pid").trimmed().toInt());
        return root > 1 && QTest::qWaitFor([&] { return !running(root); }, 60000) ? root : 0;
    }

private slots:
    void cleanup()
    {
        // A stand-in left holding would hold every later run.
        QFile::remove(standIn + "/hold");
    }

    void initTestCase()
    {
        QVERIFY2(!standIn.isEmpty(), "started by the elevation test");
        QVERIFY(::geteuid() != 0);
        QVERIFY(!OstrandEncoder::isRunningAsAdmin());
    }

    // The program lies under a folder named with "=" and a blank: each
    // word still reaches the restarted program as it was, and none runs.
    void restartCarriesArgumentsFolderAndDisplay()
    {
        QVERIFY(setMode("run"));
        QFile::remove("probe.json");
        const QString injected = standIn + "/INJECTED";
        const QStringList args = {"-src=/x", "-dst=/y", "touch", injected, "--", "-src=/tmp/with blank/a", "two  blanks ",
                                  "quote\"d", "it's", "", "ünï", "*", "$HOME", "a\nb", "-ucindex", "--chdir=/",
                                  "-i", "A=B", "`touch " + injected + "`"};
        QVERIFY2(QCoreApplication::applicationFilePath().contains("a=b c/"),
                 qPrintable(QCoreApplication::applicationFilePath()));
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        OstrandEncoder w;
        w.show();
        devices(&w)->setCurrentIndex(2);
        QVERIFY(w.elevateAndRestart(QStringList{kProbe} + args));
        QVERIFY(!w.isVisible());
        // This process ends with the elevated run's exit code, here without a word.
        QCOMPARE(runEventLoop(), 0);
        QVERIFY(answerer.seen.isEmpty());
        QVERIFY(!w.isVisible());
        QVERIFY2(!QFile::exists(injected), "an argument was run as a command");

        QCOMPARE(readFile(standIn + "/caller.uid").trimmed(), QByteArray::number(::geteuid()));
        const QStringList called = standInArgs(standIn);
        QCOMPARE(called.value(0), QString("/usr/bin/env"));
        QCOMPARE(called.value(1), "--chdir=" + QDir::currentPath());
        const int program = called.indexOf(QCoreApplication::applicationFilePath());
        QVERIFY2(program > 1, qPrintable(called.join("|")));
        QCOMPARE(called.mid(program + 1), QStringList{kProbe} + args);

        const QJsonObject report = QJsonDocument::fromJson(readFile("probe.json")).object();
        QVERIFY2(!report.isEmpty(), "the restarted program did not run");
        QCOMPARE(report["uid"].toInt(), 0);
        QStringList got;
        for (const QJsonValue& v : report["args"].toArray())
            got << unhex(v);
        QCOMPARE(got, args);
        QCOMPARE(unhex(report["cwd"]), QDir::currentPath());
        QVERIFY2(QDir::currentPath().contains(' '), "the working folder has a blank in its name");

        // pkexec's clean environment, with what the restart passes on top.
        const QJsonObject env = report["env"].toObject();
        for (const char* name : {"DISPLAY", "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM", "LANG"}) {
            QVERIFY2(qEnvironmentVariableIsSet(name), name);
            QCOMPARE(unhex(env[name]), qEnvironmentVariable(name));
        }
        for (const char* name : {"WAYLAND_DISPLAY", "LC_ALL", "XDG_CONFIG_HOME", "QUORVEL_STANDIN", "A", "-src",
                                 "QUORVEL_CALLER"}) {
            QVERIFY2(!env.contains(name), name);
        }
        QCOMPARE(unhex(env["HOME"]), QFile::decodeName(::getpwuid(0)->pw_dir));
        QCOMPARE(unhex(env["PKEXEC_UID"]), QString::number(::geteuid()));
        // The X cookie the caller named reaches root as a copy of root's own.
        QVERIFY(qEnvironmentVariableIsSet("XAUTHORITY"));
        QVERIFY(unhex(env["XAUTHORITY"]) != qEnvironmentVariable("XAUTHORITY"));
        QCOMPARE(unhex(report["cookie"]), QString("cookie"));
        // The selections were saved before the restart, where it looks for them.
        QCOMPARE(report["device"].toInt(), 2);
    }

    // Fault: env was looked up on the caller's PATH, so a program named env
    // in the current folder ran as root. Only fixed programs are handed over.
    void plantedEnvNeverRuns()
    {
        QVERIFY(setMode("run"));
        QFile::remove("probe.json");
        const QString marker = QDir::currentPath() + "/planted.ran";
        QVERIFY(writeFile("env", "#!/bin/sh\nid -u > '" + QFile::encodeName(marker) + "'\nexit 0\n", 0755));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", ".:" + path);
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        OstrandEncoder w;
        const bool started = w.elevateAndRestart({kProbe});
        qputenv("PATH", path);
        QFile::remove("env");
        QVERIFY(started);
        QCOMPARE(runEventLoop(), 0);
        QVERIFY2(!QFile::exists(marker), readFile(marker).constData());
        const QStringList called = standInArgs(standIn);
        QCOMPARE(called.value(0), QString("/usr/bin/env"));
        QVERIFY(called.contains(QCoreApplication::applicationFilePath()));
        QVERIFY(QFile::exists("probe.json"));
    }

    // Fault: the user's configuration folder reached root, which kept
    // fontconfig's and the file dialog's state there. Nothing of root's is
    // left in the home, and no path into it is handed to pkexec.
    void rootLeavesNothingInTheHome()
    {
        QVERIFY(setMode("run"));
        QFile::remove("probe.json");
        const QString home = QDir::homePath();
        // A font folder without a cache, and a cache folder of the user's.
        QVERIFY(QDir().mkpath(home + "/fonts"));
        QVERIFY(QDir().mkpath(home + "/.config/fontconfig"));
        QVERIFY(QFile::copy("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", home + "/fonts/Own.ttf"));
        QVERIFY(writeFile(home + "/.config/fontconfig/fonts.conf",
                          "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n<fontconfig>\n"
                          "<dir>" + QFile::encodeName(home) + "/fonts</dir>\n<cachedir>" + QFile::encodeName(home)
                              + "/fc-cache</cachedir>\n</fontconfig>\n"));
        OstrandEncoder w;
        QVERIFY(w.elevateAndRestart({kProbeDialog}));
        QCOMPARE(runEventLoop(), 0);
        QVERIFY2(QFile::exists("probe.json"), "the elevated run did not end its work");

        for (const QString& word : standInArgs(standIn)) {
            if (word.startsWith("-") || !word.contains('='))
                continue;
            QVERIFY2(!word.contains(home), qPrintable(word));
        }
        QStringList roots;
        QDirIterator it(home, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString entry = it.next();
            if (ownerOf(entry) != ::geteuid())
                roots << entry;
        }
        QVERIFY2(roots.isEmpty(), qPrintable(roots.join(", ")));
    }

    // Fault: a command-line run elevated went on as root after the run that
    // started it had been ended. It stops as Cancel stops it, and ends.
    void elevatedRunEndsWithItsCaller()
    {
        if (qEnvironmentVariable("QUORVEL_SOURCE").isEmpty())
            QSKIP("missing tool: ffmpeg (makes the source frames)");
        QVERIFY(setMode("run"));
        QFile::remove(standIn + "/pid");
        const QString out = QDir::homePath() + "/ended";
        QProcess caller;
        caller.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        caller.start(QCoreApplication::applicationFilePath(),
                     {kCaller, "-src=" + qEnvironmentVariable("QUORVEL_SOURCE"), "-dst=" + out, "-ifr=25", "-si"});
        QVERIFY(caller.waitForStarted());
        auto frames = [&] {
            QStringList names;
            QDirIterator it(out, {"*.tga"}, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext())
                names << it.next();
            return names;
        };
        QVERIFY2(QTest::qWaitFor([&] { return !frames().isEmpty(); }, 60000), caller.readAll().constData());
        const pid_t root = pid_t(readFile(standIn + "/pid").trimmed().toInt());
        QVERIFY(root > 1);
        // As timeout(1) ends it.
        ::kill(pid_t(caller.processId()), SIGTERM);
        QVERIFY(caller.waitForFinished(30000));
        QVERIFY2(QTest::qWaitFor([&] { return !running(root); }, 60000),
                 "the elevated run outlived its caller");
        const QStringList written = frames();
        QVERIFY2(written.size() < kSourceFrames, qPrintable(QString::number(written.size())));
        QDirIterator parts(out, {"*.part"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        QVERIFY2(!parts.hasNext(), qPrintable(parts.hasNext() ? parts.next() : QString()));
        for (const QString& frame : written)
            QCOMPARE(QFileInfo(frame).size(), QFileInfo(written.first()).size());
        QVERIFY(QDir(out).removeRecursively());
    }

    // Fault: folders and frames an elevated run made in the user's own
    // folder stayed root's, and the user could not delete them. Also: the
    // banner and the warnings were printed by both processes.
    void madeFilesAreTheUsers()
    {
        if (qEnvironmentVariable("QUORVEL_SOURCE").isEmpty())
            QSKIP("missing tool: ffmpeg (makes the source frames)");
        QVERIFY(setMode("run"));
        const QString out = QDir::homePath() + "/made";
        QProcess caller;
        caller.setProcessChannelMode(QProcess::MergedChannels);
        caller.start(QCoreApplication::applicationFilePath(),
                     {kCaller, "-src=" + qEnvironmentVariable("QUORVEL_SOURCE"), "-dst=" + out, "-ifr=25", "-tf=3", "extra"});
        QVERIFY(caller.waitForFinished(120000));
        const QByteArray printed = caller.readAll();
        QVERIFY2(caller.exitStatus() == QProcess::NormalExit && caller.exitCode() == 0, printed.constData());
        QStringList entries, roots;
        QDirIterator it(out, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString entry = it.next();
            entries << entry;
            if (ownerOf(entry) != ::geteuid())
                roots << entry;
        }
        QCOMPARE(entries.filter(QRegularExpression("\\.tga$")).size(), 3);
        QVERIFY2(roots.isEmpty(), qPrintable(roots.join(", ")));
        QVERIFY(QDir(out).removeRecursively());
        QVERIFY(!QFile::exists(out));
        // Once, though two processes ran: the banner and the warnings come
        // from the run that was started, the work's report from root's.
        QCOMPARE(printed.count("Command Line Utility"), 1);
        QCOMPARE(printed.count("WARNING: Ignoring unrecognized argument 'extra'"), 1);
        QCOMPARE(printed.count("Done."), 1);
    }

    // Fault: a caller killed while pkexec asked for the password went
    // unnoticed: the elevated run began with another parent, converted every
    // frame printing its banner again, or kept its batch window open for
    // ever. It starts nothing and ends.
    void runWhoseCallerWentBeforeItBeganEnds_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("banners");
        const QString source = qEnvironmentVariable("QUORVEL_SOURCE");
        QTest::newRow("command line") << QStringList{"-src=" + source, "-dst=" + QDir::homePath() + "/early",
                                                     "-ifr=25"}
                                      << 1;
        QTest::newRow("batch window") << QStringList{"-ucconvert"} << 0;
    }

    void runWhoseCallerWentBeforeItBeganEnds()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, banners);
        if (banners > 0 && qEnvironmentVariable("QUORVEL_SOURCE").isEmpty())
            QSKIP("missing tool: ffmpeg (makes the source frames)");
        QVERIFY(setMode("run"));
        const QString out = QDir::homePath() + "/early";
        const QString printed = QDir::homePath() + "/early.txt";
        QProcess caller;
        QVERIFY2(startHeld(&caller, arguments, printed), "pkexec did not hold");
        ::kill(pid_t(caller.processId()), SIGKILL);
        QVERIFY(caller.waitForFinished(30000));
        QVERIFY(QFile::remove(standIn + "/hold"));
        QVERIFY2(rootRunEnded() > 1, "the elevated run did not end");
        // The destination is the caller's own; nothing was made in it.
        if (banners > 0) {
            const QStringList made = QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
            QVERIFY2(made.isEmpty(), qPrintable(made.join(", ")));
            QVERIFY(QDir(out).removeRecursively());
        }
        const QByteArray text = readFile(printed);
        QCOMPARE(text.count("Command Line Utility"), banners);
        QVERIFY2(!text.contains("Processing") && !text.contains("Done."), text.constData());
        QVERIFY(QFile::remove(printed));
    }

    // Fault: what the elevated run made in the user's folder was handed over
    // afterwards, by its path looked up again from the top, so a clip folder
    // reached through a link of the user's, or made in a destination the run
    // had to make again (the caller's went while pkexec asked for the
    // password), stayed root's with every frame in it. Each folder and file
    // is the user's as it is made; in the second run too.
    void madeFoldersAreTheUsersAsTheyAreMade_data()
    {
        QTest::addColumn<bool>("linked");
        QTest::newRow("destination a link of the user's") << true;
        QTest::newRow("destination made again by the elevated run") << false;
    }

    void madeFoldersAreTheUsersAsTheyAreMade()
    {
        QFETCH(bool, linked);
        if (qEnvironmentVariable("QUORVEL_SOURCE").isEmpty())
            QSKIP("missing tool: ffmpeg (makes the source frames)");
        QVERIFY(setMode("run"));
        const QString home = QDir::homePath();
        const QString real = home + (linked ? "/real-linked" : "/real-remade"), out = linked ? home + "/linked" : real;
        const QString printed = home + "/made.txt";
        if (linked) {
            QVERIFY(QDir().mkpath(real));
            QVERIFY(QFile::link(real, out));
        }
        const QStringList arguments{"-src=" + qEnvironmentVariable("QUORVEL_SOURCE"), "-dst=" + out, "-ifr=25",
                                    "-tf=3", "-f"};
        for (int run = 1; run <= 2; ++run) {
            QProcess caller;
            if (!linked && run == 1) {
                QVERIFY2(startHeld(&caller, arguments, printed), "pkexec did not hold");
                QVERIFY(QDir().rmdir(real));
                QVERIFY(QFile::remove(standIn + "/hold"));
            } else {
                caller.setStandardOutputFile(printed);
                caller.start(QCoreApplication::applicationFilePath(), QStringList{kCaller} + arguments);
            }
            QVERIFY(caller.waitForFinished(120000));
            QVERIFY2(caller.exitStatus() == QProcess::NormalExit && caller.exitCode() == 0,
                     readFile(printed).constData());
            QStringList frames, roots;
            if (ownerOf(real) != ::geteuid())
                roots << real;
            QDirIterator it(real, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString entry = it.next();
                if (entry.endsWith(".tga"))
                    frames << entry;
                if (ownerOf(entry) != ::geteuid())
                    roots << entry;
            }
            // The source has no number: each run writes a clip folder of its own.
            QCOMPARE(frames.size(), 3 * run);
            QVERIFY2(roots.isEmpty(), qPrintable(QString("run %1: ").arg(run) + roots.join(", ")));
        }
        QVERIFY(QDir(real).removeRecursively());
        QVERIFY(!linked || QFile::remove(out));
        QVERIFY(QFile::remove(printed));
    }

    // An elevated run that ends with a failure is reported: its own words may
    // have gone nowhere. The window comes back for the box; this process still
    // ends with that run's code.
    void failedElevatedRunIsReported_data()
    {
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<bool>("window");
        QTest::addColumn<bool>("removeFolder");
        QTest::addColumn<int>("code");
        QTest::newRow("ended 1, window") << QByteArray("1") << true << false << 1;
        QTest::newRow("working folder removed: env ends 125") << QByteArray("run") << true << true << 125;
        QTest::newRow("ended 5, command line") << QByteArray("5") << false << false << 5;
    }

    void failedElevatedRunIsReported()
    {
        QFETCH(QByteArray, mode);
        QFETCH(bool, window);
        QFETCH(bool, removeFolder);
        QFETCH(int, code);
        QVERIFY(setMode(mode));
        QFile::remove("probe.json");
        const QString home = QDir::currentPath();
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        OstrandEncoder w;
        if (window)
            w.show();
        if (removeFolder) {
            const QString gone = home + "/gone";
            QVERIFY(QDir().mkpath(gone));
            QVERIFY(QDir::setCurrent(gone));
            QVERIFY(QDir().rmdir(gone));
        }
        QTemporaryFile captured;
        QVERIFY(captured.open());
        std::fflush(stdout);
        const int saved = ::dup(1);
        ::dup2(captured.handle(), 1);
        const bool started = w.elevateAndRestart({kProbe, "-src=/a"});
        std::fflush(stdout);
        ::dup2(saved, 1);
        ::close(saved);
        QVERIFY(QDir::setCurrent(home));
        QVERIFY(started);
        const QString text = QString("The elevated Quorvel ended with code %1.").arg(code);
        if (window) {
            QCOMPARE(answerer.seen.size(), 1);
            QCOMPARE(answerer.seen[0].title, QString("Quorvel"));
            QCOMPARE(answerer.seen[0].text, text);
            QCOMPARE(answerer.seen[0].icon, QMessageBox::Critical);
            QCOMPARE(answerer.seen[0].parent, &w);
            QVERIFY(w.isVisible());
        } else {
            QVERIFY(answerer.seen.isEmpty());
            QVERIFY(readFile(captured.fileName()).endsWith(("ERROR: " + text + "\r\n").toUtf8()));
            QVERIFY(!w.isVisible());
        }
        QVERIFY(!QFile::exists("probe.json"));
        QCOMPARE(runEventLoop(), code);
    }

    void refusalsAreReported_data()
    {
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<QString>("text");
        QTest::newRow("dismissed (126)") << QByteArray("126") << kDismissed;
        QTest::newRow("not authorised (127)") << QByteArray("127") << kNotGranted;
        QTest::newRow("no pkexec") << QByteArray() << kNoPkexec;
    }

    void refusalsAreReported()
    {
        QFETCH(QByteArray, mode);
        QFETCH(QString, text);
        QVERIFY(setMode(mode));
        const QByteArray path = qgetenv("PATH");
        if (mode.isEmpty()) {
            qputenv("PATH", "/usr/bin:/bin");
            if (!QStandardPaths::findExecutable("pkexec").isEmpty()) {
                qputenv("PATH", path);
                QSKIP("a real pkexec is installed in /usr/bin or /bin");
            }
        }
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        OstrandEncoder w;
        w.show();
        const bool started = w.elevateAndRestart({"-ucconvert"});
        qputenv("PATH", path);
        QVERIFY(!started);
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].title, QString("Quorvel"));
        QCOMPARE(answerer.seen[0].text, text);
        QCOMPARE(answerer.seen[0].icon, QMessageBox::Critical);
        QCOMPARE(answerer.seen[0].parent, &w);
        // The window is back and nothing ends the program.
        QVERIFY(w.isVisible());
        QCOMPARE(shortLoop(), 5);
        QCOMPARE(QFile::exists(standIn + "/args"), !mode.isEmpty());
    }

    // A command-line run has no window to show a box over: it prints.
    void refusalPrintedInCommandLineRun()
    {
        QVERIFY(setMode("126"));
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        OstrandEncoder w;
        QTemporaryFile captured;
        QVERIFY(captured.open());
        std::fflush(stdout);
        const int saved = ::dup(1);
        ::dup2(captured.handle(), 1);
        const bool started = w.elevateAndRestart({"-src=/a", "-dst=/b"});
        std::fflush(stdout);
        ::dup2(saved, 1);
        ::close(saved);
        QVERIFY(!started);
        QCOMPARE(readFile(captured.fileName()), ("ERROR: " + kDismissed + "\r\n").toUtf8());
        QVERIFY(answerer.seen.isEmpty());
        QVERIFY(!w.isVisible());
        QCOMPARE(shortLoop(), 5);
    }

    void actionsRestartWithTheirArguments_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("convertAndIndex") << "convert" << QStringList{"-ucconvert"};
        QTest::newRow("indexDrive()") << "indexDialog" << QStringList{"-ucindex"};
        QTest::newRow("indexDrive(path)") << "indexPath" << QStringList{"-ucindex", "/media/T9PW Slot1"};
    }

    void actionsRestartWithTheirArguments()
    {
        QFETCH(QString, action);
        QFETCH(QStringList, expected);
        QVERIFY(setMode("0"));
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        OstrandEncoder w;
        w.show();
        if (action == "convert")
            w.convertAndIndex();
        else if (action == "indexDialog")
            w.indexDrive();
        else
            w.indexDrive("/media/T9PW Slot1");
        const QStringList called = standInArgs(standIn);
        QCOMPARE(called.mid(called.size() - expected.size() - 1),
                 QStringList{QCoreApplication::applicationFilePath()} + expected);
        QVERIFY(answerer.seen.isEmpty());
        QVERIFY(!w.isVisible());
        QCOMPARE(runEventLoop(), 0);
    }

    // A settings file this user cannot write is reported once per run, in
    // a box over the window, and never silently dropped. Late: it leaves the
    // program's reporters installed.
    void unwritableSettingsReportedOnce()
    {
        installBoxReporter();
        QString file;
        {
            QSettings settings;
            settings.setValue("lastProductIndex", int(kPln3300Device));
            file = settings.fileName();
        }
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0444) == 0);
        const QByteArray before = readFile(file);
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        {
            OstrandEncoder w;
            w.show();
            devices(&w)->setCurrentIndex(devices(&w)->currentIndex() == 1 ? 2 : 1);
            w.saveSettings();
            QCOMPARE(answerer.seen.size(), 1);
            QCOMPARE(answerer.seen[0].text, "Your selections could not be saved: " + file);
            QCOMPARE(answerer.seen[0].title, QString("Quorvel"));
            QCOMPARE(answerer.seen[0].icon, QMessageBox::Critical);
            // Once per run: later writes fail without another box.
            UpdateNoticeDialog::disableUpdateNotify();
            auto* panel = w.findChild<FTPMultiSetupWidget*>();
            panel->show();
            QTest::mouseClick(panel->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
            w.saveSettings();
            QCOMPARE(answerer.seen.size(), 1);
        }
        QCOMPARE(readFile(file), before);
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0600) == 0);
    }

    // Fault: root wrote the user's settings through a link the user placed
    // there (here to a root-owned file), and read settings through one. Root
    // reads only a plain file of the user's and the user's rights write it
    // back, after every kind of write. After unwritableSettingsReportedOnce:
    // the caller's own save here fails too, and is reported once per run.
    void settingsLinkNeverFollowedByRoot()
    {
        QVERIFY(setMode("run"));
        QFile::remove("probe.json");
        const QString settings = QSettings().fileName();
        const QString rootsFile = QFile::decodeName(qgetenv("QUORVEL_ROOTS_FILE"));
        const QByteArray before = readFile(rootsFile);
        QVERIFY(before.contains("lastProductIndex=1"));
        QVERIFY(QFile::remove(settings) || !QFile::exists(settings));
        QVERIFY(QFile::link(rootsFile, settings));

        MessageBoxAnswerer answerer(QMessageBox::Ok);
        OstrandEncoder w;
        // The caller's own save meets the link as the user: root's file is
        // not the user's to write. Qt keeps it and writes it later, so it
        // holds the selection the elevated run saves.
        devices(&w)->setCurrentIndex(2);
        QVERIFY(w.elevateAndRestart({kProbeSave}));
        QCOMPARE(runEventLoop(), 0);
        QVERIFY2(QFile::exists("probe.json"), "the elevated run did not end its work");
        const QJsonObject report = QJsonDocument::fromJson(readFile("probe.json")).object();
        QCOMPARE(report["device"].toInt(), 0);

        QCOMPARE(readFile(rootsFile), before);
        QCOMPARE(ownerOf(rootsFile), uid_t(0));
        QFileInfo written(settings);
        QVERIFY(!written.isSymLink());
        QCOMPARE(ownerOf(settings), ::geteuid());
        QCOMPARE(ownerOf(QFileInfo(settings).absolutePath()), ::geteuid());
        QCOMPARE(QFile::permissions(settings) & 0x0077, QFileDevice::Permissions());
        // Read as written: this process keeps its own failed save in memory.
        const QByteArray saved = readFile(settings);
        QVERIFY2(saved.contains("lastProductIndex=" + QByteArray::number(kPln3100Device)), saved.constData());
        QVERIFY2(saved.contains("updateNotify=false"), saved.constData());
        QVERIFY2(saved.contains("primaryPassword=secret"), saved.constData());
        QVERIFY(!QDir(QFileInfo(settings).absolutePath()).entryList(QDir::Files | QDir::Hidden).join(",").contains(".quorvel-"));
    }
};

// ---------------------------------------------------------------------------
// The part that runs as the test's own user (root in CI).

class ElevationTest : public QObject {
    Q_OBJECT

    windowtest::Cases cases;

    static QComboBox* devices(OstrandEncoder* w) { return w->findChild<QComboBox*>("deviceComboBox"); }

    static QString rootMissing()
    {
        return ::geteuid() == 0 ? QString() : "needs root (the elevated branches)";
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(cases.start(), "tests run in a folder holding Presets/");
    }

    void init()
    {
        QVERIFY(cases.begin());
    }

    void cleanup()
    {
        qunsetenv("PKEXEC_UID");
        const QString broken = cases.end();
        QVERIFY2(broken.isEmpty(), qPrintable(broken));
    }

    void adminIsEffectiveUserZero()
    {
        QCOMPARE(OstrandEncoder::isRunningAsAdmin(), ::geteuid() == 0);
    }

    // Drops to nobody and runs UnprivilegedTest there, with its own folders,
    // a setuid stand-in pkexec first on PATH and a copy of this program, in a
    // mount namespace whose password database gives nobody the test's home.
    void unprivilegedRestart()
    {
        if (::geteuid() != 0)
            QSKIP("needs root (installs a setuid stand-in pkexec and drops to nobody)");
        for (const char* tool : {"setpriv", "unshare", "mount"}) {
            if (!testutil::haveTool(tool))
                QSKIP(qPrintable(QString("missing tool: ") + tool));
        }
        QTemporaryDir top;
        QVERIFY(top.isValid());
        struct statvfs fs;
        if (::statvfs(QFile::encodeName(top.path()).constData(), &fs) == 0 && (fs.f_flag & ST_NOSUID))
            QSKIP("the temporary folder is mounted nosuid: the stand-in pkexec cannot become root");
        QVERIFY(QFile::setPermissions(top.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                      | QFile::ReadOther | QFile::ExeOther
                                                      | QFile::ReadGroup | QFile::ExeGroup));
        const QString base = top.path() + "/u";
        const QString app = base + "/a=b c", bin = base + "/bin", roots = top.path() + "/roots";
        const QString home = base + "/home", runtime = base + "/runtime", source = base + "/source";
        const QString work = base + "/work dir";
        for (const QString& d : {app, bin, home + "/Documents", home + "/.config", runtime, work, roots, source})
            QVERIFY(QDir().mkpath(d));
        QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString program = app + "/" + QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
        QVERIFY(::chmod(QFile::encodeName(program).constData(), 0755) == 0);
        QVERIFY(windowtest::copyFolder(cases.dataFolder + "/Presets", work + "/Presets"));
        QVERIFY(QDir().mkpath(work + "/Plugins"));
        windowtest::copyFolder(cases.dataFolder + "/Plugins", work + "/Plugins");
        QVERIFY(writeFile(home + "/.config/user-dirs.dirs",
                          "XDG_DOCUMENTS_DIR=\"" + QFile::encodeName(home) + "/Documents\"\n"));
        QVERIFY(writeFile(runtime + "/Xauthority", "cookie"));
        // Source frames of the command-line runs.
        if (testutil::haveTool("ffmpeg"))
            QCOMPARE(tgatest::ffmpegFrames(source + "/shot%04d.tga", 1280, 720, 24, true, kSourceFrames), QString());
        QVERIFY(testutil::run("chown", {"-R", "65534:65534", base}).ok());

        // Root's: a settings file in a folder of root's, and nobody's home.
        QVERIFY(writeFile(roots + "/Quorvel.conf", "[General]\nlastProductIndex=1\n", 0644));
        QByteArray passwd;
        for (const QByteArray& line : readFile("/etc/passwd").split('\n')) {
            QList<QByteArray> fields = line.split(':');
            if (fields.size() == 7 && fields[2] == QByteArray::number(kNobody))
                fields[5] = QFile::encodeName(home);
            if (!line.isEmpty())
                passwd += fields.join(':') + '\n';
        }
        QVERIFY(writeFile(roots + "/passwd", passwd, 0644));
        QVERIFY(QFile::copy(QStringLiteral(STANDIN_PKEXEC), bin + "/pkexec"));
        QVERIFY(::chown(QFile::encodeName(bin + "/pkexec").constData(), 0, 0) == 0);
        QVERIFY(::chmod(QFile::encodeName(bin + "/pkexec").constData(), 04755) == 0);

        QProcessEnvironment env;
        env.insert("PATH", bin + ":/usr/bin:/bin");
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/.config");
        env.insert("XDG_RUNTIME_DIR", runtime);
        env.insert("DISPLAY", ":77");
        env.insert("XAUTHORITY", runtime + "/Xauthority");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("LANG", "C.UTF-8");
        env.insert("QUORVEL_STANDIN", bin);
        env.insert("QUORVEL_ROOTS_FILE", roots + "/Quorvel.conf");
        if (testutil::haveTool("ffmpeg"))
            env.insert("QUORVEL_SOURCE", source);
        // In the sanitizer build the child keeps its suppressions and log files.
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (qEnvironmentVariableIsSet(name))
                env.insert(name, qEnvironmentVariable(name));
        }
        QProcess child;
        child.setProcessEnvironment(env);
        child.setWorkingDirectory(work);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start("unshare", {"--mount", "--propagation", "private", "--", "/bin/sh", "-c",
                                "mount --bind \"$1\" /etc/passwd && exec setpriv --reuid=65534 --regid=65534 "
                                "--clear-groups \"$2\" --unprivileged",
                                "sh", roots + "/passwd", program});
        QVERIFY(child.waitForStarted());
        const bool finished = child.waitForFinished(500000);
        // An elevated run that outlived what the unprivileged part waited for ends here.
        for (const QByteArray& line : readFile(bin + "/started").split('\n')) {
            const pid_t pid = pid_t(line.toInt());
            if (pid > 1 && QFileInfo(QString("/proc/%1/exe").arg(pid)).canonicalFilePath()
                               == QFileInfo(program).canonicalFilePath())
                ::kill(pid, SIGKILL);
        }
        QVERIFY(finished);
        const QByteArray out = child.readAll();
        qInfo().noquote() << "unprivileged part:\n" + QString::fromUtf8(out);
        if (!out.contains("Totals: ") && (out.contains("unshare: ") || out.contains("mount: ")))
            QSKIP("no private mount namespace here (unshare --mount)");
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, "the unprivileged part failed");
        QVERIFY(out.contains("Totals: "));
    }

    // Fixed programs only, and no variable naming a folder in the home:
    // XAUTHORITY goes along only when it lies outside the home.
    void pkexecCommandLine()
    {
        const QStringList names = {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR",
                                   "QT_QPA_PLATFORM", "LANG", "LC_ALL", "XDG_CONFIG_HOME", "HOME", "PATH"};
        QMap<QString, QByteArray> saved;
        for (const QString& n : names) {
            if (qEnvironmentVariableIsSet(qPrintable(n)))
                saved[n] = qgetenv(qPrintable(n));
        }
        QTemporaryDir home;
        QVERIFY(writeFile(home.path() + "/env", "#!/bin/sh\n", 0755));
        qputenv("HOME", QFile::encodeName(home.path()));
        for (const QString& n : names.mid(0, 8))
            qunsetenv(qPrintable(n));
        qputenv("PATH", QFile::encodeName(home.path()) + ":.:/usr/bin:/bin");
        qputenv("DISPLAY", ":3");
        qputenv("WAYLAND_DISPLAY", "wayland-1");
        qputenv("LC_ALL", "de_DE.UTF-8");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()) + "/.config");
        qputenv("XAUTHORITY", QFile::encodeName(home.path()) + "/.Xauthority");
        const QStringList cookieInHome = elevation::pkexecArguments("/opt/q/Quorvel", {"-a b", ""}, "/w d");
        qputenv("XAUTHORITY", "/run/user/1000/xauth_abc");
        const QStringList cookieElsewhere = elevation::pkexecArguments("/opt/q/Quorvel", {}, "/w");
        for (const QString& n : names) {
            if (saved.contains(n))
                qputenv(qPrintable(n), saved[n]);
            else
                qunsetenv(qPrintable(n));
        }

        // env's assignments end at a fixed shell, which starts the program.
        // The caller is named by its id and start time.
        const QStringList shell{"/bin/sh", "-c", "exec \"$0\" \"$@\""};
        const QString caller = "QUORVEL_CALLER=" + QString::number(::getpid()) + ":";
        QVERIFY2(cookieInHome.value(5).startsWith(caller) && cookieInHome.value(5).size() > caller.size(),
                 qPrintable(cookieInHome.value(5)));
        const QString named = cookieInHome.value(5);
        QCOMPARE(cookieInHome,
                 (QStringList{"/usr/bin/env", "--chdir=/w d", "DISPLAY=:3", "WAYLAND_DISPLAY=wayland-1",
                              "LC_ALL=de_DE.UTF-8", named}
                  + shell + QStringList{"/opt/q/Quorvel", "-a b", ""}));
        QCOMPARE(cookieElsewhere,
                 (QStringList{"/usr/bin/env", "--chdir=/w", "DISPLAY=:3", "WAYLAND_DISPLAY=wayland-1",
                              "LC_ALL=de_DE.UTF-8", named, "XAUTHORITY=/run/user/1000/xauth_abc"}
                  + shell + QStringList{"/opt/q/Quorvel"}));
        QCOMPARE(elevation::ownProgram(), QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
    }

    void indexDriveFailureBox_data()
    {
        QTest::addColumn<QString>("where");
        QTest::newRow("tmpfs folder") << "tmpfs";
        QTest::newRow("no such folder") << "missing";
    }

    void indexDriveFailureBox()
    {
        SKIP_WHEN(rootMissing());
        QFETCH(QString, where);
        std::unique_ptr<QTemporaryDir> folder;
        QString path = "/no/such/drive";
        if (where == "tmpfs") {
            folder.reset(new QTemporaryDir("/dev/shm/quorvel-idx-XXXXXX"));
            if (!folder->isValid() || QStorageInfo(folder->path()).fileSystemType() != "tmpfs")
                QSKIP("no tmpfs at /dev/shm");
            path = folder->path();
        }
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        OstrandEncoder w;
        w.show();
        w.indexDrive(path);
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].title, QString("Quorvel"));
        QCOMPARE(answerer.seen[0].text, kIndexFailed);
        QCOMPARE(answerer.seen[0].icon, QMessageBox::Critical);
        QCOMPARE(answerer.seen[0].parent, &w);
        if (folder)
            QVERIFY(QDir(path).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
        QVERIFY(w.isVisible());
    }

    void indexDriveOnPlayerDrive()
    {
        SKIP_WHEN(rootMissing());
        const QString missing = LoopMount::missing();
        if (!missing.isEmpty())
            QSKIP(qPrintable("a mounted player drive needs " + missing));
        QTemporaryDir work;
        LoopMount drive;
        QString error;
        QVERIFY2(drive.create(work.filePath("drive.img"), 8 << 20, LoopMount::uniqueLabel("T9PW", "_1"), &error), qPrintable(error));
        const QString clip = drive.mountPoint() + "/Show_f25_00001";
        QVERIFY(QDir().mkpath(clip));
        QVERIFY(writeFile(clip + "/Show_f25_00000.tga", QByteArray(4096, 'x')));

        MessageBoxAnswerer answerer(QMessageBox::Ok);
        OstrandEncoder w;
        w.show();
        w.indexDrive(drive.mountPoint());
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].text, QString("Drive indexed successfully."));
        QCOMPARE(answerer.seen[0].title, QString("Quorvel"));
        QCOMPARE(answerer.seen[0].icon, QMessageBox::Information);
        QVERIFY(QFileInfo(drive.mountPoint() + "/index.dat").size() > 687960);
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
    }

    // Elevated, the actions stay in this process: nothing restarts. Without
    // a path, indexDrive shows this window and runs the drive index dialog
    // over it until it closes.
    void elevatedIndexDriveOpensTheDialog()
    {
        SKIP_WHEN(rootMissing());
        QTemporaryDir bin;
        QVERIFY(writeFile(bin.path() + "/pkexec", "#!/bin/sh\ntouch '" + QFile::encodeName(bin.path()) + "/called'\nexit 0\n", 0755));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ":" + path);
        OstrandEncoder w;
        devices(&w)->setCurrentIndex(1);
        bool seen = false, windowShown = false, modal = false;
        int deviceThen = -1;
        QTimer closer;
        connect(&closer, &QTimer::timeout, &closer, [&] {
            auto* dialog = qobject_cast<DriveIndexDialog*>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible() || seen)
                return;
            seen = true;
            windowShown = w.isVisible();
            modal = dialog->isModal() && dialog->parentWidget() == &w;
            deviceThen = devices(&w)->currentIndex();
            dialog->findChild<QPushButton*>("closeButton")->click();
        });
        closer.start(20);
        w.indexDrive();
        closer.stop();
        qputenv("PATH", path);
        QVERIFY(seen);
        QVERIFY(windowShown);
        QVERIFY(modal);
        QCOMPARE(deviceThen, 3);
        QVERIFY(w.isVisible());
        QVERIFY(!QFile::exists(bin.path() + "/called"));
        QCOMPARE(shortLoop(), 5);
    }

    // Elevated, convertAndIndex hides this window and opens the batch window
    // on its own, with the output type of the video list; closing it brings
    // this window back.
    void elevatedConvertOpensTheBatchWindow_data()
    {
        QTest::addColumn<int>("deviceBefore");
        QTest::addColumn<int>("video");
        QTest::addColumn<int>("outputType");
        QTest::newRow("uncompressed player, KRX") << int(kUncompressedDevice) << 1 << 1;
        QTest::newRow("uncompressed player, Targa") << int(kUncompressedDevice) << 0 << 0;
        QTest::newRow("another player: lists rebuilt, Targa") << int(kPln3200Device) << -1 << 0;
    }

    void elevatedConvertOpensTheBatchWindow()
    {
        SKIP_WHEN(rootMissing());
        QFETCH(int, deviceBefore);
        QFETCH(int, video);
        QFETCH(int, outputType);
        QTemporaryDir bin;
        QVERIFY(writeFile(bin.path() + "/pkexec", "#!/bin/sh\ntouch '" + QFile::encodeName(bin.path()) + "/called'\nexit 0\n", 0755));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ":" + path);
        OstrandEncoder w;
        w.show();
        devices(&w)->setCurrentIndex(deviceBefore);
        if (video >= 0)
            w.findChild<QComboBox*>("videoComboBox")->setCurrentIndex(video);
        const auto before = QApplication::topLevelWidgets();
        w.convertAndIndex();
        qputenv("PATH", path);
        QVERIFY(!QFile::exists(bin.path() + "/called"));
        QVERIFY(!w.isVisible());
        QCOMPARE(devices(&w)->currentIndex(), 3);
        QList<BatchConvertWindow*> opened;
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (auto* b = qobject_cast<BatchConvertWindow*>(top); b && !before.contains(top))
                opened << b;
        }
        QCOMPARE(opened.size(), 1);
        QPointer<BatchConvertWindow> batch = opened.first();
        QVERIFY(!batch->parentWidget());
        QVERIFY(batch->isVisible());
        QCOMPARE(batch->outputFormat(), outputType);
        QVERIFY(batch->close());
        QVERIFY(w.isVisible());
        QTRY_VERIFY(batch.isNull());
        // The program goes on: nothing ended the event loop.
        QCOMPARE(shortLoop(), 5);
    }
};

int main(int argc, char* argv[])
{
    if (argc >= 2 && QByteArray(argv[1]).startsWith(kProbePrefix))
        return elevatedProbe(argc, argv);
    if (argc >= 2 && qstrcmp(argv[1], kCaller) == 0) {
        argv[1] = argv[0];
        return runAsProgram(argc - 1, argv + 1);
    }
    // Restarted as root by runAsProgram's elevation: the run itself.
    if (argc >= 2 && ::geteuid() == 0 && qEnvironmentVariableIsSet("PKEXEC_UID"))
        return runAsProgram(argc, argv);
    if (argc >= 2 && qstrcmp(argv[1], "--unprivileged") == 0) {
        int childArgc = 1;
        QApplication app(childArgc, argv);
        QTEST_DISABLE_KEYPAD_NAVIGATION
        UnprivilegedTest test;
        return QTest::qExec(&test, childArgc, argv);
    }
    QTemporaryDir home;
    windowtest::isolateUserFolders(home.path());
    QApplication app(argc, argv);
    QTEST_DISABLE_KEYPAD_NAVIGATION
    // As the windowed program's start-up does.
    installBoxReporter();
    ElevationTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_elevation.moc"
