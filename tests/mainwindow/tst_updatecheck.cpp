// The update check with stand-in checker and updater programs, written by the
// test into Updater/ beside this program: when the checker runs, what its
// exit code brings, the notice dialog answered as a user does, the updater
// started, and quiet command-line runs.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QStackedWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

#include "encodingthread.h"
#include "fileitemmap.h"
#include "ostrandencoder.h"
#include "renderlistmodel.h"
#include "testutil.h"
#include "updatenoticedialog.h"
#include "windowtestenv.h"

using namespace fileitem;

using windowtest::readFile;
using windowtest::shortLoop;

namespace {

QString updaterDir()
{
    return QCoreApplication::applicationDirPath() + "/Updater";
}

bool writeFile(const QString& path, const QByteArray& data, bool executable)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        return false;
    f.close();
    return ::chmod(QFile::encodeName(path).constData(), executable ? 0755 : 0644) == 0;
}

QByteArray quoted(const QString& path)
{
    return "'" + QFile::encodeName(path) + "'";
}

// The checker records its folder and arguments and ends with the code in
// checker.exit ("killed": by signal 1, which QProcess also reads as exit
// code 1); the updater records its folder.
bool writeStandIns(const QString& records, bool checker, bool updater, bool updaterRunnable = true)
{
    QDir(updaterDir()).removeRecursively();
    if (!QDir().mkpath(updaterDir()))
        return false;
    const QByteArray rec = quoted(records);
    if (checker) {
        const QByteArray body = "#!/bin/sh\n"
                                "pwd -P > " + rec + "/checker.ran\n"
                                "printf '%s\\n' \"$@\" >> " + rec + "/checker.ran\n"
                                "code=$(cat " + rec + "/checker.exit)\n"
                                "[ \"$code\" = killed ] && kill -HUP $$\n"
                                "exit $code\n";
        if (!writeFile(updaterDir() + "/uptr_check", body, true))
            return false;
    }
    if (updater) {
        const QByteArray body = "#!/bin/sh\npwd -P > " + rec + "/updater.ran\n";
        if (!writeFile(updaterDir() + "/updater", body, updaterRunnable))
            return false;
    }
    return true;
}

bool setCheckerExit(const QString& records, const QByteArray& code)
{
    return writeFile(records + "/checker.exit", code, false);
}

// Finds the notice dialog among the top-level widgets while it runs modally,
// records what it shows and answers it.
class NoticeAnswerer : public QObject {
public:
    enum Answer { Yes, No, Escape };
    NoticeAnswerer(Answer answer, bool tick)
        : answer(answer), tick(tick)
    {
        connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start(20);
    }

    int seen = 0;
    bool modal = false;
    QWidget* parent = nullptr;
    QString title, text, checkText, yesText, noText;
    QSize size;
    QImage picture;

private:
    void poll()
    {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* d = qobject_cast<UpdateNoticeDialog*>(w);
            if (!d || !d->isVisible())
                continue;
            ++seen;
            modal = QApplication::activeModalWidget() == d;
            parent = d->parentWidget();
            title = d->windowTitle();
            size = d->size();
            text = d->findChild<QLabel*>("label_2")->text();
            picture = d->findChild<QLabel*>("label")->pixmap(Qt::ReturnByValue).toImage();
            auto* box = d->findChild<QCheckBox*>("notAgainCheckbox");
            checkText = box->text();
            auto* yes = d->findChild<QPushButton*>("yesButton");
            auto* no = d->findChild<QPushButton*>("noButton");
            yesText = yes->text();
            noText = no->text();
            if (tick)
                QTest::mouseClick(box, Qt::LeftButton);
            if (answer == Yes)
                QTest::mouseClick(yes, Qt::LeftButton);
            else if (answer == No)
                QTest::mouseClick(no, Qt::LeftButton);
            else
                QTest::keyClick(d, Qt::Key_Escape);
        }
    }

    Answer answer;
    bool tick;
    QTimer timer;
};

QVariant storedNotify()
{
    QSettings settings;
    settings.beginGroup("update");
    return settings.contains("updateNotify") ? settings.value("updateNotify") : QVariant();
}

} // namespace

// Named as the window's friend, for its checker process.
class OstrandEncoderTest : public QObject {
    Q_OBJECT

    windowtest::Cases cases;
    std::unique_ptr<QTemporaryDir> records;

    QString rec(const QString& name) const { return records->path() + "/" + name; }

    // A window as a user starts it; waits until its checker has ended.
    std::unique_ptr<OstrandEncoder> startAndWaitForChecker()
    {
        std::unique_ptr<OstrandEncoder> w(new OstrandEncoder);
        QSignalSpy finished(&w->updaterProcess, SIGNAL(finished(int, QProcess::ExitStatus)));
        w->show();
        if (!finished.wait(10000))
            qWarning("the checker never ended");
        return w;
    }

    // The stand-in programs as found on PATH (pkexec for the elevated updater).
    void prependToPath(const QString& dir)
    {
        qputenv("PATH", QFile::encodeName(dir) + ":" + qgetenv("PATH"));
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QProcess::ExitStatus>();
        QVERIFY2(cases.start(), "tests run in a folder holding Presets/");
    }

    void init()
    {
        QVERIFY(cases.begin());
        records.reset(new QTemporaryDir);
        QVERIFY(records->isValid());
    }

    void cleanup()
    {
        const QString broken = cases.end();
        QDir(updaterDir()).removeRecursively();
        QVERIFY2(broken.isEmpty(), qPrintable(broken));
    }

    void firstStartWritesSettingAndChecks()
    {
        QVERIFY(writeStandIns(records->path(), true, true));
        QVERIFY(setCheckerExit(records->path(), "0"));
        QVERIFY(!storedNotify().isValid());
        NoticeAnswerer answerer(NoticeAnswerer::No, false);
        auto w = startAndWaitForChecker();
        QCOMPARE(storedNotify(), QVariant(true));
        const QList<QByteArray> lines = readFile(rec("checker.ran")).split('\n');
        QCOMPARE(lines.value(0), QFile::encodeName(QFileInfo(updaterDir()).canonicalFilePath()));
        QCOMPARE(lines.mid(1), (QList<QByteArray>{"-checkforupdates", ""}));
        QVERIFY(testutil::neverWithin(200, [&] { return answerer.seen != 0 || QFile::exists(rec("updater.ran")); }));
        QCOMPARE(answerer.seen, 0);
        QVERIFY(!QFile::exists(rec("updater.ran")));
    }

    void noOfferWithoutExitCodeOne_data()
    {
        QTest::addColumn<QByteArray>("code");
        QTest::newRow("0") << QByteArray("0");
        QTest::newRow("2") << QByteArray("2");
        QTest::newRow("255") << QByteArray("255");
        QTest::newRow("killed") << QByteArray("killed");
    }

    void noOfferWithoutExitCodeOne()
    {
        QFETCH(QByteArray, code);
        QVERIFY(writeStandIns(records->path(), true, true));
        QVERIFY(setCheckerExit(records->path(), code));
        NoticeAnswerer answerer(NoticeAnswerer::No, false);
        auto w = startAndWaitForChecker();
        QVERIFY(QFile::exists(rec("checker.ran")));
        QVERIFY(testutil::neverWithin(200, [&] { return answerer.seen != 0; }));
        QCOMPARE(answerer.seen, 0);
        QVERIFY(w->isVisible());
        QCOMPARE(shortLoop(), 5);
    }

    void settingOffMeansNoCheck()
    {
        QVERIFY(writeStandIns(records->path(), true, true));
        QVERIFY(setCheckerExit(records->path(), "1"));
        {
            QSettings settings;
            settings.setValue("update/updateNotify", false);
        }
        NoticeAnswerer answerer(NoticeAnswerer::No, false);
        OstrandEncoder w;
        w.show();
        QVERIFY(testutil::neverWithin(400, [&] {
            return QFile::exists(rec("checker.ran")) || w.updaterProcess.state() != QProcess::NotRunning
                || answerer.seen != 0;
        }));
        QVERIFY(!QFile::exists(rec("checker.ran")));
        QCOMPARE(w.updaterProcess.state(), QProcess::NotRunning);
        QCOMPARE(answerer.seen, 0);
        QCOMPARE(storedNotify(), QVariant(false));
    }

    // Quorvel ships neither program; with only one of them nothing starts.
    void missingProgramsStartNothing_data()
    {
        QTest::addColumn<bool>("checker");
        QTest::addColumn<QString>("updater");
        QTest::newRow("only the checker") << true << "none";
        QTest::newRow("only the updater") << false << "file";
        QTest::newRow("neither") << false << "none";
        QTest::newRow("the updater a folder") << true << "folder";
    }

    void missingProgramsStartNothing()
    {
        QFETCH(bool, checker);
        QFETCH(QString, updater);
        QVERIFY(writeStandIns(records->path(), checker, updater == "file"));
        if (updater == "folder")
            QVERIFY(QDir(updaterDir()).mkdir("updater"));
        QVERIFY(setCheckerExit(records->path(), "1"));
        NoticeAnswerer answerer(NoticeAnswerer::No, false);
        OstrandEncoder w;
        w.show();
        QVERIFY(testutil::neverWithin(400, [&] {
            return QFile::exists(rec("checker.ran")) || w.updaterProcess.state() != QProcess::NotRunning
                || answerer.seen != 0;
        }));
        QCOMPARE(w.updaterProcess.state(), QProcess::NotRunning);
        QVERIFY(!QFile::exists(rec("checker.ran")));
        QCOMPARE(answerer.seen, 0);
        QCOMPARE(storedNotify(), QVariant(true));
    }

    void offerDeclined_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("tick");
        QTest::addColumn<bool>("notifyAfter");
        QTest::newRow("No") << int(NoticeAnswerer::No) << false << true;
        QTest::newRow("No, not again") << int(NoticeAnswerer::No) << true << false;
        // Closing the dialog otherwise leaves the setting alone, ticked or not.
        QTest::newRow("Escape, ticked") << int(NoticeAnswerer::Escape) << true << true;
    }

    void offerDeclined()
    {
        QFETCH(int, answer);
        QFETCH(bool, tick);
        QFETCH(bool, notifyAfter);
        QVERIFY(writeStandIns(records->path(), true, true));
        QVERIFY(setCheckerExit(records->path(), "1"));
        {
            NoticeAnswerer answerer(NoticeAnswerer::Answer(answer), tick);
            auto w = startAndWaitForChecker();
            QTRY_COMPARE_WITH_TIMEOUT(answerer.seen, 1, 5000);
            QVERIFY(answerer.modal);
            QCOMPARE(answerer.parent, w.get());
            QCOMPARE(answerer.title, QString("Update Available"));
            QCOMPARE(answerer.size, QSize(314, 84));
            QVERIFY(answerer.text.contains("An update for Quorvel is available!  Do you want to update now?"));
            QVERIFY(answerer.text.contains("font-weight:600"));
            QCOMPARE(answerer.checkText, QString("Do not notify me of Quorvel updates"));
            QCOMPARE(answerer.yesText, QString("Yes"));
            QCOMPARE(answerer.noText, QString("No"));
            QCOMPARE(answerer.picture.convertToFormat(QImage::Format_ARGB32),
                     QPixmap(":/OstrandEncoder/arrows").toImage().convertToFormat(QImage::Format_ARGB32));
            QVERIFY(testutil::neverWithin(100, [&] { return answerer.seen != 1; }));
            QCOMPARE(answerer.seen, 1);
            QCOMPARE(storedNotify(), QVariant(notifyAfter));
            QVERIFY(!QFile::exists(rec("updater.ran")));
            QVERIFY(w->isVisible());
            QCOMPARE(shortLoop(), 5); // the program goes on
        }

        // The next start honours the stored choice.
        QFile::remove(rec("checker.ran"));
        NoticeAnswerer later(NoticeAnswerer::No, false);
        OstrandEncoder w;
        w.show();
        if (notifyAfter) {
            QTRY_COMPARE_WITH_TIMEOUT(later.seen, 1, 5000);
            QVERIFY(QFile::exists(rec("checker.ran")));
        } else {
            QVERIFY(testutil::neverWithin(400, [&] { return QFile::exists(rec("checker.ran")) || later.seen != 0; }));
            QVERIFY(!QFile::exists(rec("checker.ran")));
            QCOMPARE(later.seen, 0);
        }
    }

    void offerAcceptedStartsUpdaterAndEnds_data()
    {
        QTest::addColumn<bool>("tick");
        QTest::addColumn<bool>("runnable");
        QTest::newRow("Yes") << false << true;
        QTest::newRow("Yes, not again") << true << true;
        QTest::newRow("updater this user cannot run") << false << false;
    }

    void offerAcceptedStartsUpdaterAndEnds()
    {
        QFETCH(bool, tick);
        QFETCH(bool, runnable);
        QVERIFY(writeStandIns(records->path(), true, true, runnable));
        QVERIFY(setCheckerExit(records->path(), "1"));
        // A stand-in pkexec that records its arguments and runs nothing.
        const QString bin = rec("bin");
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(writeFile(bin + "/pkexec",
                          "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + quoted(rec("pkexec.args")) + "\n", true));
        const QByteArray oldPath = qgetenv("PATH");
        prependToPath(bin);

        NoticeAnswerer answerer(NoticeAnswerer::Yes, tick);
        OstrandEncoder w;
        w.show();
        // The offer ends the program's event loop: run the real one.
        QTimer::singleShot(15000, qApp, [] { QCoreApplication::exit(99); });
        const int result = QApplication::exec();
        qputenv("PATH", oldPath);
        QCOMPARE(result, 0);
        QCOMPARE(answerer.seen, 1);
        QCOMPARE(storedNotify(), QVariant(!tick));

        const QString updater = QFileInfo(updaterDir()).canonicalFilePath();
        if (runnable) {
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(rec("updater.ran")), 5000);
            QTRY_COMPARE_WITH_TIMEOUT(readFile(rec("updater.ran")).trimmed(), QFile::encodeName(updater), 2000);
            QVERIFY(!QFile::exists(rec("pkexec.args")));
        } else {
            // Asked for root instead, in the updater's folder.
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(rec("pkexec.args")), 5000);
            QTRY_VERIFY_WITH_TIMEOUT(readFile(rec("pkexec.args")).endsWith("\n"), 2000);
            const QList<QByteArray> args = readFile(rec("pkexec.args")).trimmed().split('\n');
            QVERIFY2(args.value(0).endsWith("/env"), args.value(0).constData());
            QCOMPARE(args.value(1), "--chdir=" + QFile::encodeName(updaterDir()));
            QCOMPARE(args.last(), QFile::encodeName(updaterDir() + "/updater"));
            QVERIFY(!QFile::exists(rec("updater.ran")));
        }
    }

    void offerAcceptedDuringAnEncode()
    {
        REQUIRE_TOOL("ffmpeg");
        const QString clip = rec("long.mp4");
        QVERIFY(testutil::run("ffmpeg", {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                         "testsrc2=size=320x240:rate=25", "-t", "30", "-c:v", "libx264", "-preset",
                                         "ultrafast", "-pix_fmt", "yuv420p", clip})
                    .ok());
        QVERIFY(writeStandIns(records->path(), true, true));
        // This checker answers "update available" only once the encode runs.
        QVERIFY(writeFile(updaterDir() + "/uptr_check",
                          "#!/bin/sh\nwhile [ ! -e " + quoted(rec("go")) + " ]; do sleep 0.05; done\nexit 1\n", true));

        NoticeAnswerer answerer(NoticeAnswerer::Yes, false);
        OstrandEncoder w;
        w.show();
        Ui::OstrandEncoderClass& f = w.ui;
        w.addFiles({clip});
        QVERIFY(QTest::qWaitFor([&] { return windowtest::rowsProbed(w.model); }, 30000));
        f.deviceComboBox->setCurrentIndex(kPln3300Device);
        f.videoResComboBox->setCurrentIndex(4);
        f.videoComboBox->setCurrentIndex(5);
        w.showPage1();
        f.outputDirLineEdit->setText(rec("out/"));
        w.showPage2();
        w.showPage3NameCheck();
        QCOMPARE(f.stackedWidget->currentIndex(), 3);
        auto progress = [&] { return w.model->item(0)->data(Qt::UserRole).toMap().value(kEncodingProgressKey).toInt(); };
        QVERIFY(QTest::qWaitFor([&] { return progress() > 5; }, 30000));
        QVERIFY(w.encodingActive);

        QVERIFY(writeFile(rec("go"), "", false));
        QTimer::singleShot(20000, qApp, [] { QCoreApplication::exit(99); });
        const int result = QApplication::exec();
        QCOMPARE(result, 0);
        QCOMPARE(answerer.seen, 1);
        // Stopped as Cancel stops it, its partial output gone, the selections kept.
        QVERIFY(w.encodingThread->isFinished());
        QVERIFY(w.cancelled);
        QVERIFY(!QFile::exists(rec("out/VID00001.mpg")));
        QCOMPARE(QDir(rec("out")).entryList(QDir::Files | QDir::Hidden), QStringList());
        QSettings saved;
        QCOMPARE(saved.value("lastProductIndex").toInt(), int(kPln3300Device));
        QCOMPARE(saved.value("lastResIndex").toInt(), 4);
        QCOMPARE(saved.value("lastQualityIndex").toInt(), 5);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(rec("updater.ran")), 5000);
    }

    // Fault: the checker's output was read and kept, without end. Only its
    // exit code counts: what it prints goes nowhere.
    void checkerOutputGoesNowhere()
    {
        QVERIFY(writeStandIns(records->path(), true, true));
        QVERIFY(writeFile(updaterDir() + "/uptr_check", "#!/bin/sh\nhead -c 20000000 /dev/zero\nhead -c 1000000 /dev/zero >&2\nexit 0\n", true));
        NoticeAnswerer answerer(NoticeAnswerer::No, false);
        auto w = startAndWaitForChecker();
        QCOMPARE(w->updaterProcess.exitCode(), 0);
        QCOMPARE(w->updaterProcess.bytesAvailable(), qint64(0));
        QCOMPARE(w->updaterProcess.readAllStandardError().size(), 0);
        QCOMPARE(answerer.seen, 0);
    }

    // Fault: a hung checker, and what it started, outlived the window. They
    // end with it, and after the time limit without it.
    void hungCheckerIsEnded_data()
    {
        QTest::addColumn<bool>("closeWindow");
        QTest::newRow("window closed") << true;
        QTest::newRow("time limit") << false;
    }

    void hungCheckerIsEnded()
    {
        QFETCH(bool, closeWindow);
        QVERIFY(writeStandIns(records->path(), true, true));
        QVERIFY(writeFile(updaterDir() + "/uptr_check",
                          "#!/bin/sh\nsleep 1000 &\necho $! > " + quoted(rec("child.pid")) + "\nwait\nexit 1\n", true));
        NoticeAnswerer answerer(NoticeAnswerer::No, false);
        auto w = std::make_unique<OstrandEncoder>();
        if (!closeWindow)
            w->checkerTimeLimitMs = 300;
        w->show();
        QTRY_VERIFY_WITH_TIMEOUT(readFile(rec("child.pid")).endsWith("\n"), 10000);
        const pid_t child = pid_t(readFile(rec("child.pid")).trimmed().toInt());
        QVERIFY(child > 1);
        // Running: an ended process that nobody has reaped yet does not count.
        const auto sleeping = [child] {
            const QByteArray stat = readFile(QString("/proc/%1/stat").arg(child));
            const int close = stat.lastIndexOf(')');
            return close > 0 && stat.size() > close + 2 && stat.at(close + 2) != 'Z';
        };
        const auto cleanUp = qScopeGuard([&] {
            if (sleeping())
                ::kill(child, SIGKILL);
        });
        QVERIFY(sleeping());
        if (closeWindow) {
            w->close();
            w.reset();
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(w->updaterProcess.state(), QProcess::NotRunning, 10000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!sleeping(), 10000);
        QCOMPARE(answerer.seen, 0);
    }

    // Started with arguments, the program never runs the checker; the same
    // child without them does, so the child would see an offer.
    void commandLineRunStaysQuiet_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("notices");
        QTest::newRow("command line") << "--cmdline-child" << 0;
        QTest::newRow("window") << "--window-child" << 1;
    }

    void commandLineRunStaysQuiet()
    {
        QFETCH(QString, mode);
        QFETCH(int, notices);
        QVERIFY(writeStandIns(records->path(), true, true));
        QVERIFY(setCheckerExit(records->path(), "1"));
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {mode, cases.dataFolder});
        QVERIFY(child.waitForFinished(60000));
        const QByteArray out = child.readAll();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, out.constData());
        QVERIFY2(out.contains("notices=" + QByteArray::number(notices) + "\n"), out.constData());
        QCOMPARE(QFile::exists(rec("checker.ran")), notices > 0);
    }
};

// The child of commandLineRunStaysQuiet: a window as main() builds it, with
// or without the command-line mode, watched for a second and a half.
static int quietChild(char* argv[], bool commandLine, const QString& dataFolder)
{
    QTemporaryDir home;
    windowtest::isolateUserFolders(home.path());
    int argc = 1;
    QApplication app(argc, argv);
    windowtest::Scope scope(dataFolder);
    if (!scope.ok)
        return 3;
    NoticeAnswerer answerer(NoticeAnswerer::No, false);
    OstrandEncoder window;
    if (commandLine) {
        // Asks for nothing that ends the run by itself.
        char program[] = "Quorvel";
        char convert[] = "-ucconvert";
        char* args[] = {program, convert, nullptr};
        window.passAndProcessArgs(2, args);
    } else {
        window.show();
    }
    QTimer::singleShot(1500, &app, [] { QCoreApplication::exit(0); });
    app.exec();
    std::printf("notices=%d\n", answerer.seen);
    return 0;
}

int main(int argc, char* argv[])
{
    if (argc == 3 && (qstrcmp(argv[1], "--cmdline-child") == 0 || qstrcmp(argv[1], "--window-child") == 0))
        return quietChild(argv, qstrcmp(argv[1], "--cmdline-child") == 0, QString::fromLocal8Bit(argv[2]));
    QTemporaryDir home;
    windowtest::isolateUserFolders(home.path());
    QApplication app(argc, argv);
    QTEST_DISABLE_KEYPAD_NAVIGATION
    OstrandEncoderTest test;
    const int failures = QTest::qExec(&test, argc, argv);
    QDir(updaterDir()).removeRecursively();
    return failures;
}

#include "tst_updatecheck.moc"
