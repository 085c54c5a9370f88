// Elevation: the restart through pkexec as an unprivileged user (dropped to
// nobody with setpriv, a stand-in pkexec on PATH that records how it was
// called and mimics pkexec's clean environment), refusals and failed elevated
// runs, the elevated actions' own branches as root, and settings given back
// to the pkexec user after every write.
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

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../drivefs/index/loopmount.h"
#include "batchconvertwindow.h"
#include "driveindexdialog.h"
#include "reporters.h"
#include "elevation.h"
#include "fileitemmap.h"
#include "ftpmultisetupwidget.h"
#include "ostrandencoder.h"
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
// as the arguments of a real restart ("-src=...") do.
const char kProbe[] = "--elevated-probe=report";

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

gid_t groupOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_gid : gid_t(-1);
}

// The restarted program: reports what it was given into its working folder.
int elevatedProbe(int argc, char* argv[])
{
    QJsonObject report;
    QJsonArray args;
    for (int i = 2; i < argc; ++i)
        args << hex(argv[i]);
    report["args"] = args;
    char cwd[4096];
    report["cwd"] = hex(::getcwd(cwd, sizeof cwd) ? QByteArray(cwd) : QByteArray());
    QJsonObject env;
    for (char** e = environ; *e; ++e) {
        const QByteArray entry(*e);
        const int eq = entry.indexOf('=');
        env[QString::fromLatin1(entry.left(eq))] = hex(entry.mid(eq + 1));
    }
    report["env"] = env;
    report["settings"] = hex(readFile(QFile::decodeName(qgetenv("XDG_CONFIG_HOME"))
                                      + "/Ostrand Kelvane Inc/Quorvel.conf"));
    QFile out("probe.json");
    if (!out.open(QIODevice::WriteOnly))
        return 2;
    out.write(QJsonDocument(report).toJson());
    return 0;
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

private slots:
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
        QVERIFY2(called.value(0).endsWith("/env"), qPrintable(called.join("|")));
        QCOMPARE(called.value(1), "--chdir=" + QDir::currentPath());
        const int program = called.indexOf(QCoreApplication::applicationFilePath());
        QVERIFY2(program > 1, qPrintable(called.join("|")));
        QCOMPARE(called.mid(program + 1), QStringList{kProbe} + args);

        const QJsonObject report = QJsonDocument::fromJson(readFile("probe.json")).object();
        QVERIFY2(!report.isEmpty(), "the restarted program did not run");
        QStringList got;
        for (const QJsonValue& v : report["args"].toArray())
            got << unhex(v);
        QCOMPARE(got, args);
        QCOMPARE(unhex(report["cwd"]), QDir::currentPath());
        QVERIFY2(QDir::currentPath().contains(' '), "the working folder has a blank in its name");

        // pkexec's clean environment, with what the restart passes on top.
        const QJsonObject env = report["env"].toObject();
        for (const char* name : {"DISPLAY", "XAUTHORITY", "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM", "LANG",
                                 "XDG_CONFIG_HOME"}) {
            QVERIFY2(qEnvironmentVariableIsSet(name), name);
            QCOMPARE(unhex(env[name]), qEnvironmentVariable(name));
        }
        for (const char* name : {"WAYLAND_DISPLAY", "LC_ALL", "HOME", "QUORVEL_STANDIN", "A", "-src"}) {
            QVERIFY2(!env.contains(name), name);
        }
        QCOMPARE(unhex(env["PKEXEC_UID"]), QString::number(::geteuid()));
        // The selections were saved before the restart, where it looks for them.
        QVERIFY2(unhex(report["settings"]).contains("lastProductIndex=2"), qPrintable(unhex(report["settings"])));
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
    // a box over the window, and never silently dropped. Last: it leaves the
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

    // Drops to nobody and runs UnprivilegedTest there, with its own
    // folders, a stand-in pkexec first on PATH and a copy of this program.
    void unprivilegedRestart()
    {
        const bool root = ::geteuid() == 0;
        if (root && !testutil::haveTool("setpriv"))
            QSKIP("missing tool: setpriv");
        QTemporaryDir top;
        QVERIFY(top.isValid());
        QVERIFY(QFile::setPermissions(top.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                      | QFile::ReadOther | QFile::ExeOther
                                                      | QFile::ReadGroup | QFile::ExeGroup));
        const QString base = top.path() + "/u";
        const QString app = base + "/a=b c", bin = base + "/bin", standIn = base + "/standin";
        const QString home = base + "/home", config = base + "/config", runtime = base + "/runtime";
        const QString work = base + "/work dir";
        for (const QString& d : {app, bin, standIn, home + "/Documents", config, runtime, work})
            QVERIFY(QDir().mkpath(d));
        QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString program = app + "/" + QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
        QVERIFY(::chmod(QFile::encodeName(program).constData(), 0755) == 0);
        QVERIFY(windowtest::copyFolder(cases.dataFolder + "/Presets", work + "/Presets"));
        QVERIFY(QDir().mkpath(work + "/Plugins"));
        windowtest::copyFolder(cases.dataFolder + "/Plugins", work + "/Plugins");
        QVERIFY(writeFile(config + "/user-dirs.dirs",
                          "XDG_DOCUMENTS_DIR=\"" + QFile::encodeName(home) + "/Documents\"\n"));
        QVERIFY(writeFile(home + "/.Xauthority-test", "cookie"));
        // Records how it was called; then runs the command in pkexec's clean
        // environment ("run") or ends with the code in "mode".
        const QByteArray s = "'" + QFile::encodeName(standIn) + "'";
        QVERIFY(writeFile(bin + "/pkexec",
                          "#!/bin/sh\n"
                          "id -u > " + s + "/caller.uid\n"
                          "printf '%s\\0' \"$@\" > " + s + "/args\n"
                          "mode=$(cat " + s + "/mode)\n"
                          "[ \"$mode\" = run ] && exec env -i PKEXEC_UID=\"$(id -u)\" "
                          "PATH=/usr/sbin:/usr/bin:/sbin:/bin \"$@\"\n"
                          "exit \"$mode\"\n",
                          0755));
        if (root)
            QVERIFY(testutil::run("chown", {"-R", "65534:65534", base}).ok());

        QProcessEnvironment env;
        env.insert("PATH", bin + ":/usr/bin:/bin");
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", config);
        env.insert("XDG_RUNTIME_DIR", runtime);
        env.insert("DISPLAY", ":77");
        env.insert("XAUTHORITY", home + "/.Xauthority-test");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("LANG", "C.UTF-8");
        env.insert("QUORVEL_STANDIN", standIn);
        // In the sanitizer build the child keeps its suppressions and log files.
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (qEnvironmentVariableIsSet(name))
                env.insert(name, qEnvironmentVariable(name));
        }
        QProcess child;
        child.setProcessEnvironment(env);
        child.setWorkingDirectory(work);
        child.setProcessChannelMode(QProcess::MergedChannels);
        if (root)
            child.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", program, "--unprivileged"});
        else
            child.start(program, {"--unprivileged"});
        QVERIFY(child.waitForStarted());
        QVERIFY(child.waitForFinished(240000));
        const QByteArray out = child.readAll();
        qInfo().noquote() << "unprivileged part:\n" + QString::fromUtf8(out);
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, "the unprivileged part failed");
        QVERIFY(out.contains("Totals: "));
    }

    void pkexecCommandLine()
    {
        const QStringList names = {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR",
                                   "QT_QPA_PLATFORM", "LANG", "LC_ALL", "XDG_CONFIG_HOME", "HOME"};
        QMap<QString, QByteArray> saved;
        for (const QString& n : names) {
            if (qEnvironmentVariableIsSet(qPrintable(n)))
                saved[n] = qgetenv(qPrintable(n));
        }
        QTemporaryDir home;
        qputenv("HOME", QFile::encodeName(home.path()));
        for (const QString& n : names.mid(0, 8))
            qunsetenv(qPrintable(n));
        qputenv("DISPLAY", ":3");
        qputenv("WAYLAND_DISPLAY", "wayland-1");
        qputenv("LC_ALL", "de_DE.UTF-8");
        const QStringList withoutCookie = elevation::pkexecArguments("/opt/q/Quorvel", {"-a b", ""}, "/w d");
        QVERIFY(writeFile(home.path() + "/.Xauthority", "cookie"));
        const QStringList withCookie = elevation::pkexecArguments("/opt/q/Quorvel", {}, "/w");
        for (const QString& n : names) {
            if (saved.contains(n))
                qputenv(qPrintable(n), saved[n]);
            else
                qunsetenv(qPrintable(n));
        }

        // env's assignments end at a fixed shell, which starts the program.
        const QStringList shell{"/bin/sh", "-c", "exec \"$0\" \"$@\""};
        QVERIFY(withoutCookie.value(0).endsWith("/env"));
        QCOMPARE(withoutCookie.mid(1),
                 (QStringList{"--chdir=/w d", "DISPLAY=:3", "WAYLAND_DISPLAY=wayland-1", "LC_ALL=de_DE.UTF-8",
                              "XDG_CONFIG_HOME=" + home.path() + "/.config"}
                  + shell + QStringList{"/opt/q/Quorvel", "-a b", ""}));
        // Without XAUTHORITY, X reads ~/.Xauthority: root would read its own.
        QCOMPARE(withCookie.mid(1),
                 (QStringList{"--chdir=/w", "DISPLAY=:3", "WAYLAND_DISPLAY=wayland-1", "LC_ALL=de_DE.UTF-8",
                              "XAUTHORITY=" + home.path() + "/.Xauthority",
                              "XDG_CONFIG_HOME=" + home.path() + "/.config"}
                  + shell + QStringList{"/opt/q/Quorvel"}));
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
        QVERIFY(drive.release());
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

    // A run that pkexec started for a user writes that user's settings as
    // root: after every write, what it made goes back to the user, so that a
    // run that is killed leaves nothing root-owned; nothing else changes hands.
    void settingsGivenBackToUser_data()
    {
        QTest::addColumn<bool>("pkexecUid");
        QTest::addColumn<int>("outerOwner");
        QTest::addColumn<int>("innerOwner");
        QTest::addColumn<bool>("givenBack");
        QTest::newRow("the user's settings folder") << true << int(kNobody) << int(kNobody) << true;
        QTest::newRow("not started by pkexec") << false << int(kNobody) << int(kNobody) << false;
        QTest::newRow("root's folders up to /") << true << 0 << 0 << false;
        QTest::newRow("someone else's folder in the user's") << true << int(kNobody) << 4242 << false;
    }

    void settingsGivenBackToUser()
    {
        SKIP_WHEN(rootMissing());
        QFETCH(bool, pkexecUid);
        QFETCH(int, outerOwner);
        QFETCH(int, innerOwner);
        QFETCH(bool, givenBack);
        const QString outer = cases.scope->settingsDir.path() + "/outer";
        const QString folder = outer + "/inner";
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chown(QFile::encodeName(outer).constData(), uid_t(outerOwner), gid_t(outerOwner)) == 0);
        QVERIFY(::chown(QFile::encodeName(folder).constData(), uid_t(innerOwner), gid_t(innerOwner)) == 0);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
        if (pkexecUid)
            qputenv("PKEXEC_UID", QByteArray::number(kNobody));
        const struct passwd* pw = ::getpwuid(kNobody);
        QVERIFY(pw);
        const gid_t userGroup = pw->pw_gid;
        const uid_t owner = givenBack ? kNobody : 0u;

        QString file;
        {
            OstrandEncoder w;
            w.show();
            devices(&w)->setCurrentIndex(2);
            w.saveSettings();
            file = QSettings().fileName();
            QVERIFY(file.startsWith(folder + "/"));
            const QString made = QFileInfo(file).absolutePath();
            QCOMPARE(ownerOf(file), owner);
            QCOMPARE(ownerOf(made), owner);
            if (givenBack) {
                QCOMPARE(groupOf(file), userGroup);
                QCOMPARE(groupOf(made), userGroup);
            }
            QCOMPARE(ownerOf(folder), uid_t(innerOwner));

            // Every other write as root, with the window still there: the
            // notice's, and the FTP panel's Save and "same address" copy.
            const auto rewrittenAsRoot = [&] {
                QVERIFY(::chown(QFile::encodeName(file).constData(), 0, 0) == 0);
            };
            UpdateNoticeDialog::disableUpdateNotify();
            QCOMPARE(ownerOf(file), owner);

            auto* panel = w.findChild<FTPMultiSetupWidget*>();
            QVERIFY(panel);
            auto* model = qobject_cast<QStandardItemModel*>(panel->findChild<QListView*>("listView")->model());
            QVERIFY(model);
            for (int r = 0; r < 2; ++r) {
                auto* item = new QStandardItem;
                item->setData(QVariantMap{{kFilenameKey, QString("/in/%1.mov").arg(r)}}, Qt::UserRole);
                model->appendRow(item);
            }
            panel->show();
            QVariantMap first = model->item(0)->data(Qt::UserRole).toMap();
            first[kPrimaryServerKey] = "10.0.0.9";
            first[kPrimaryPasswordKey] = "secret";
            model->item(0)->setData(first, Qt::UserRole);
            rewrittenAsRoot();
            QTest::mouseClick(panel->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
            QCOMPARE(ownerOf(file), owner);
            QCOMPARE(QSettings().value("ftpUploadSettings/1/primaryPassword").toString(), QString("secret"));

            panel->show();
            rewrittenAsRoot();
            {
                MessageBoxAnswerer yes(QMessageBox::Yes);
                panel->findChild<QCheckBox*>("uploadToSameCheckBox")->setChecked(true);
                QCOMPARE(yes.seen.size(), 1);
            }
            QCOMPARE(QSettings().value("uploadToSameCheckboxState").toBool(), true);
            QCOMPARE(ownerOf(file), owner);
            rewrittenAsRoot();
            panel->findChild<QCheckBox*>("uploadToSameCheckBox")->setChecked(false);
            QCOMPARE(QSettings().value("uploadToSameCheckboxState").toBool(), false);
            QCOMPARE(ownerOf(file), owner);
            QCOMPARE(ownerOf(folder), uid_t(innerOwner));
        }
        QCOMPARE(ownerOf(file), owner);
        QCOMPARE(QSettings().value("lastProductIndex").toInt(), int(kPln3100Device));
        QCOMPARE(QSettings().value("update/updateNotify").toBool(), false);
    }
};

int main(int argc, char* argv[])
{
    if (argc >= 2 && qstrcmp(argv[1], kProbe) == 0)
        return elevatedProbe(argc, argv);
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
