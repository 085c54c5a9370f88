// quorvelc and Quorvel run as processes for their texts: the banner, usage
// and examples bytes, every error and warning of the option parser and its
// checks with the exit code, silencing, starts without a display, the
// elevated restart's exit code, and a corrupt preset folder (also noticed in
// the middle of a conversion). Each run of
// quorvelc is repeated with Quorvel, which must print the same bytes.
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "consoletest.h"
#include "../engine/targa/tgahelpers.h"

using consoletest::banner;
using consoletest::examples;
using consoletest::Run;
using consoletest::usage;

namespace {

const QByteArray kNoDisplayTail = " opens a window, but no display is available (DISPLAY is not set or does not answer).\r\n";

} // namespace

class QuorvelcTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp{consoletest::blankTempTemplate("quorvelc texts")};
    QString m_source;  // ten 1920 x 1080 frames
    QString m_empty;   // an empty folder
    QProcessEnvironment m_env;

    // Placeholders in test data: %SRC%, %EMPTY%, %TMP%.
    QStringList expand(const QStringList& args) const
    {
        QStringList out;
        for (QString a : args)
            out << a.replace("%SRC%", m_source).replace("%EMPTY%", m_empty).replace("%TMP%", m_tmp.path());
        return out;
    }
    QByteArray expand(QByteArray text) const
    {
        return text.replace("%SRC%", QFile::encodeName(m_source))
            .replace("%EMPTY%", QFile::encodeName(m_empty))
            .replace("%TMP%", QFile::encodeName(m_tmp.path()));
    }

    // quorvelc, then Quorvel with the same arguments: the same bytes and code.
    Run both(const QStringList& args, const QProcessEnvironment& env, const QString& dir = QString())
    {
        const Run console = consoletest::run(consoletest::quorvelc(), args, env, dir);
        const Run windowed = consoletest::run(consoletest::quorvel(), args, env, dir);
        if (windowed.out != console.out || windowed.code != console.code || !windowed.finished) {
            qWarning().noquote() << "Quorvel printed:\n" + QString::fromLocal8Bit(windowed.out) << "exit"
                                 << windowed.code;
            return Run();
        }
        return console;
    }

    // Without root, a label search also counts the drives other programs
    // mounted whose labels only root can read; which drives those are is not
    // the test's to decide, so that clause is taken out of the output.
    static QByteArray withoutUnreadableLabels(QByteArray out)
    {
        static const QRegularExpression clause(
            "': the labels of [1-9][0-9]* mounted drives can be read only with administrator rights \\(run as root\\)\\.\r\n");
        if (::geteuid() == 0)
            return out;
        return QString::fromLocal8Bit(out).replace(clause, "'\r\n").toLocal8Bit();
    }

private slots:
    void initTestCase()
    {
        REQUIRE_TOOL("ffmpeg");
        QVERIFY(m_tmp.isValid());
        QVERIFY(QFileInfo::exists("Presets") && QFileInfo::exists("Plugins"));
        m_source = m_tmp.filePath("hd source");
        m_empty = m_tmp.filePath("nothing here");
        QVERIFY(QDir().mkpath(m_source) && QDir().mkpath(m_empty));
        QCOMPARE(tgatest::ffmpegFrames(m_source + "/shot%04d.tga", 1920, 1080, 24, false, 2), QString());
        m_env = consoletest::isolatedEnvironment(m_tmp.filePath("home"));
    }

    void bannerUsageAndExamples_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("help -?") << QStringList{"-?"} << banner() + usage();
        QTest::newRow("help -h") << QStringList{"-h"} << banner() + usage();
        QTest::newRow("help ends the loop: the source is never looked at")
            << QStringList{"-?", "-src=C:\\a"} << banner() + usage();
        QTest::newRow("help after an error") << QStringList{"-ifr=60", "-h"} << banner() + usage();
        QTest::newRow("examples") << QStringList{"-e"} << banner() + examples();
        QTest::newRow("-si leaves out the banner") << QStringList{"-si", "-h"} << usage();
    }

    void bannerUsageAndExamples()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, expected);
        const Run r = both(args, m_env);
        QVERIFY(r.finished);
        QCOMPARE(r.out, expected);
        QCOMPARE(r.code, 0);
    }

    // quorvelc alone prints its banner and usage; Quorvel alone opens its window.
    void noArguments()
    {
        const Run r = consoletest::run(consoletest::quorvelc(), {}, m_env);
        QVERIFY(r.finished);
        QCOMPARE(r.out, banner() + usage());
        QCOMPARE(r.code, 0);
    }

    void errorsAndWarnings_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("expected");

        const QByteArray b = banner();
        const QByteArray noSrc = "ERROR: Required parameter '-src' missing.\r\n";
        const QByteArray noDst = "ERROR: Required parameter '-dst' missing.\r\n";
        const QByteArray badList = "ERROR: Incorrectly processed destination list.\r\n";

        QTest::newRow("input rate") << QStringList{"-ifr=60"} << b + "ERROR: Invalid input framerate specified.\r\n";
        QTest::newRow("output rate") << QStringList{"-ofr=24"} << b + "ERROR: Invalid output framerate specified.\r\n";
        QTest::newRow("the last error is reported")
            << QStringList{"-ifr=60", "-vo=BMP"} << b + "ERROR: Invalid output type specified.\r\n";
        QTest::newRow("negative total frames")
            << QStringList{"-src=%SRC%", "-tf=-1"} << b + "ERROR: Invalid total frames (must be a positive number).\r\n";
        QTest::newRow("slot digit") << QStringList{"-src=%SRC%", "-dst4k5=X", "-vo=BMP"}
                                    << b + "ERROR: Invalid slot number in '-dst4k5=X'\r\n";
        QTest::newRow("quadrant without =") << QStringList{"-dst4k1X", "-ifr=60"}
                                           << b + "ERROR: Invalid syntax '-dst4k1X'\r\n";
        QTest::newRow("empty source") << QStringList{"-src="} << b + "ERROR: Invalid syntax '-src='\r\n";
        QTest::newRow("empty destination") << QStringList{"-src=%SRC%", "-dst="} << b + "ERROR: Invalid syntax '-dst='\r\n";
        QTest::newRow("empty quadrant") << QStringList{"-src=%SRC%", "-dst4k2="}
                                        << b + "ERROR: Invalid syntax '-dst4k2='\r\n";
        QTest::newRow("a label that matches nothing")
            << QStringList{"-src=%SRC%", "-dst=NoSuchLabel_q7"} << b + "ERROR: Unable to find volume 'NoSuchLabel_q7'\r\n";
        QTest::newRow("capital K and -dstX are ignored")
            << QStringList{"-src=%SRC%", "-dst4K1=X", "-dstX"} << b + noDst + badList;
        QTest::newRow("an argument starting with -p is skipped")
            << QStringList{"-pics=/data/shots", "-dst=%TMP%/out"} << b + noSrc;
        QTest::newRow("a path holding -p is a source")
            << QStringList{"-src=/data/my-pics", "-dst=%TMP%/out"}
            << b + "ERROR: Source directory '/data/my-pics' doesn't exist!\r\n";
        QTest::newRow("a path holding -src is a destination")
            << QStringList{"-dst=%TMP%/a-src"} << b + noSrc;
        QTest::newRow("nothing at all") << QStringList{"plain", "-x"}
                                        << "WARNING: Ignoring unrecognized argument 'plain', possibly missing '-'\r\n"
                                           "WARNING: Ignoring unrecognized argument '-x'\r\n"
                + b + noSrc + noDst + badList;
        QTest::newRow("missing source folder")
            << QStringList{"-src=%TMP%/no such", "-dst=%TMP%/made anyway"}
            << b + "ERROR: Source directory '%TMP%/no such' doesn't exist!\r\n";
        QTest::newRow("empty source folder") << QStringList{"-src=%EMPTY%", "-dst=%TMP%/out"}
                                             << b + "ERROR: Source directory '%EMPTY%' is empty!\r\n";
        QTest::newRow("destination that cannot be made")
            << QStringList{"-src=%SRC%", "-dst=%TMP%/no such/out"}
            << b + "ERROR: Unable to access resource to verify/create output directory in '%TMP%/no such/out'\r\n";
        QTest::newRow("-sa first hides everything") << QStringList{"-sa", "plain", "-ifr=60"} << QByteArray();
        QTest::newRow("-sa last keeps the earlier warnings")
            << QStringList{"plain", "-ifr=60", "-sa"}
            << QByteArray("WARNING: Ignoring unrecognized argument 'plain', possibly missing '-'\r\n");
        QTest::newRow("-si keeps warnings and errors")
            << QStringList{"-si", "plain", "-ifr=60"}
            << QByteArray("WARNING: Ignoring unrecognized argument 'plain', possibly missing '-'\r\n"
                          "ERROR: Invalid input framerate specified.\r\n");
    }

    // Every run here ends with an error: exit code 1, and no window, no wait.
    void errorsAndWarnings()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, expected);
        const Run r = both(expand(args), m_env);
        QVERIFY(r.finished);
        QCOMPARE(withoutUnreadableLabels(r.out), expand(expected));
        QCOMPARE(r.code, 1);
    }

    // A failed source check still lets the destination folder be made; an
    // empty target never reaches "/" or the first mounted volume.
    void whatTheChecksLeave()
    {
        const QString made = m_tmp.filePath("made first");
        Run r = consoletest::run(consoletest::quorvelc(), {"-src=" + m_tmp.filePath("no such"), "-dst=" + made}, m_env);
        QCOMPARE(r.code, 1);
        QVERIFY(QFileInfo(made).isDir());

        const QString work = m_tmp.filePath("work");
        QVERIFY(QDir().mkpath(work));
        r = consoletest::run(consoletest::quorvelc(), {"-src=" + m_source, "-dst=", "-f"}, m_env, work);
        QCOMPARE(r.code, 1);
        QVERIFY(QDir(work).isEmpty());
        QVERIFY(!QFileInfo::exists("/shot_f59_00001"));
    }

    // Fault: a path argument that is no text in the locale's encoding named
    // another folder ("caf\xef\xbf\xbd" for "caf\xe9") and the run said "Done.".
    // Refused, naming the option, before anything is made.
    void undecodablePathRefused_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<bool>("source");
        QTest::newRow("-dst") << "-dst" << false;
        QTest::newRow("-src") << "-src" << true;
        QTest::newRow("-ucindex") << "-ucindex" << false;
    }

    void undecodablePathRefused()
    {
        QFETCH(QString, option);
        QFETCH(bool, source);
        QTemporaryDir dir(m_tmp.filePath("undecodable-XXXXXX"));
        QVERIFY(dir.isValid());
        QProcessEnvironment env = m_env;
        env.insert("LANG", "C.UTF-8");
        env.remove("LC_ALL");
        // Bytes no QString carries: printf makes the argument.
        const QString script = option == "-ucindex"
            ? "exec \"$0\" -ucindex \"$(printf '%s/caf\\351' \"$2\")\""
            : source ? "exec \"$0\" \"$(printf -- '-src=%s/caf\\351' \"$2\")\" \"-dst=$2/out\" -ifr=25"
                     : "exec \"$0\" \"-src=$1\" \"$(printf -- '-dst=%s/caf\\351' \"$2\")\" -ifr=25";
        if (source)
            QVERIFY(QDir().mkpath(QFile::decodeName(QFile::encodeName(dir.path()) + "/caf\xe9")));
        const Run r = consoletest::run("/bin/sh", {"-c", script, consoletest::quorvelc(), m_source, dir.path()}, env);
        QVERIFY(r.finished);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.contains("ERROR: The path given with '" + option.toUtf8()
                                + "' is not valid text in this system's encoding.\r\n"),
                 r.out.constData());
        QVERIFY2(!r.out.contains("Done."), r.out.constData());
        QStringList made = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        if (source)
            made.removeAll(QFile::decodeName(QByteArray("caf\xe9")));
        QVERIFY2(made.isEmpty(), qPrintable(made.join(", ")));
    }

    // Standard input, output and error closed at start are /dev/null: a
    // descriptor left closed would be the next file Qt opens, and printed
    // lines would land in it. The batch window of "-ucconvert" (root) keeps
    // the run going while its descriptors are looked at.
    void closedStandardStreamsReopened()
    {
        if (::geteuid() != 0)
            QSKIP("needs root (\"-ucconvert\" would ask for it)");
        QProcessEnvironment env = m_env;
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess run;
        run.setProcessEnvironment(env);
        run.start("/bin/sh", {"-c", "exec \"$0\" -ucconvert <&- >&- 2>&-", consoletest::quorvelc()});
        QVERIFY(run.waitForStarted());
        const QString fds = QString("/proc/%1/fd/").arg(run.processId());
        const auto cleanUp = qScopeGuard([&] {
            run.kill();
            run.waitForFinished();
        });
        // Until the program has opened its log: a standard stream left
        // closed would have become that file.
        const auto logOpen = [&] {
            for (const QString& fd : QDir(fds).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
                if (QFile::symLinkTarget(fds + fd).endsWith("/QuorvelLog.log"))
                    return true;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(logOpen(), 120000);
        QTRY_COMPARE_WITH_TIMEOUT(QFile::symLinkTarget(fds + "0"), QString("/dev/null"), 5000);
        QCOMPARE(QFile::symLinkTarget(fds + "1"), QString("/dev/null"));
        QCOMPARE(QFile::symLinkTarget(fds + "2"), QString("/dev/null"));
    }

    // Without a display both programs still print; what needs a window says
    // so and ends with 1 instead of aborting.
    void noDisplay_data()
    {
        QTest::addColumn<QString>("display");
        QTest::newRow("DISPLAY unset") << QString();
        int n = 87;
        while (QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(n)))
            ++n;
        QTest::newRow("DISPLAY that does not answer") << QString(":%1").arg(n);
    }

    void noDisplay()
    {
        QFETCH(QString, display);
        QProcessEnvironment env = m_env;
        env.remove("QT_QPA_PLATFORM");
        env.remove("WAYLAND_DISPLAY");
        if (display.isEmpty())
            env.remove("DISPLAY");
        else
            env.insert("DISPLAY", display);

        Run r = consoletest::run(consoletest::quorvelc(), {}, env);
        QVERIFY(r.normalExit);
        QCOMPARE(r.out, banner() + usage());
        QCOMPARE(r.code, 0);

        r = both({"-h"}, env);
        QVERIFY(r.normalExit);
        QCOMPARE(r.out, banner() + usage());
        QCOMPARE(r.code, 0);

        r = both({"-src=" + m_source, "-ifr=60"}, env);
        QVERIFY(r.normalExit);
        QCOMPARE(r.out, banner() + "ERROR: Invalid input framerate specified.\r\n");
        QCOMPARE(r.code, 1);

        for (const QStringList& args : {QStringList{"-ucconvert"}, QStringList{"-ucindex"}}) {
            r = both(args, env);
            QVERIFY(r.normalExit);
            QCOMPARE(r.out, "ERROR: '" + args.first().toLatin1() + "'" + kNoDisplayTail);
            QCOMPARE(r.code, 1);
        }
        // Quorvel's drive index result is a box; quorvelc prints it.
        r = consoletest::run(consoletest::quorvel(), {"-ucindex", m_tmp.path()}, env);
        QCOMPARE(r.out, "ERROR: '-ucindex'" + kNoDisplayTail);
        QCOMPARE(r.code, 1);
        r = consoletest::run(consoletest::quorvel(), {}, env);
        QVERIFY(r.normalExit);
        QCOMPARE(r.out, "ERROR: Quorvel" + kNoDisplayTail);
        QCOMPARE(r.code, 1);
    }

    // "./build.sh run" on a machine without a display says, before the
    // window starts unseen on a virtual display, that it does so.
    void buildScriptRunWithoutDisplay()
    {
        if (!testutil::haveTool("xvfb-run") || !testutil::haveTool("Xvfb"))
            QSKIP("missing tool: xvfb-run");
        const QString script = QFileInfo(testutil::testsDir() + "/../build.sh").canonicalFilePath();
        QVERIFY(QFileInfo(script).isExecutable());
        // A finished build whose program says where it runs, and a cmake
        // that finds nothing to do: only the run step is under test.
        QTemporaryDir build, bin;
        QVERIFY(QDir().mkpath(build.filePath("run")));
        auto writeScript = [](const QString& path, const QByteArray& body) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write("#!/bin/sh\n" + body) > 0
                && f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        };
        QVERIFY(writeScript(build.filePath("Quorvel"), "echo \"Quorvel started on $DISPLAY in $(pwd -P)\"\n"));
        QVERIFY(writeScript(bin.filePath("cmake"), "exit 0\n"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        env.insert("BUILD_DIR", build.path());
        env.insert("PATH", bin.path() + ":" + env.value("PATH"));
        const testutil::RunResult r = testutil::run(script, {"run"}, 60000, QByteArray(), env);
        QVERIFY2(r.ok(), r.out + r.err);
        const QList<QByteArray> lines = r.out.trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], QByteArray("No display found (DISPLAY is not set): Quorvel runs on an invisible virtual "
                                      "display (Xvfb), so no window appears here. Press Ctrl-C to end it."));
        QVERIFY2(lines[1].startsWith("Quorvel started on :") && lines[1].endsWith(" in "
                                     + QFile::encodeName(QFileInfo(build.filePath("run")).canonicalFilePath())),
                 lines[1].constData());
    }

    // A changed preset file: the notice is printed after what the run
    // printed, by Quorvel's command-line runs too (no box nobody could answer).
    void corruptPresetsNotice()
    {
        const QString work = m_tmp.filePath("bad presets");
        QVERIFY(QDir().mkpath(work + "/Presets") && QDir().mkpath(work + "/Plugins"));
        for (const QString& f : QDir("Presets").entryList(QDir::Files))
            QVERIFY(QFile::copy("Presets/" + f, work + "/Presets/" + f));
        for (const QString& f : QDir("Plugins").entryList(QDir::Files))
            QVERIFY(QFile::copy("Plugins/" + f, work + "/Plugins/" + f));
        const QString victim = work + "/Presets/" + QDir(work + "/Presets").entryList(QDir::Files).first();
        QFile f(victim);
        QVERIFY(f.open(QIODevice::Append));
        f.write("x");
        f.close();

        const QByteArray notice = "Warning: Quorvel has detected corrupt Presets.\n"
                                  "Please reinstall Quorvel.  If the problem persists, contact Ostrand Kelvane Inc.\n"
                                  "Support: support@ostrandkelvane.com, +1 800 555 0142\n";
        Run r = consoletest::run(consoletest::quorvelc(), {}, m_env, work);
        QCOMPARE(r.out, banner() + usage() + notice);
        QCOMPARE(r.code, 0);
        r = both({"-e"}, m_env, work);
        QCOMPARE(r.out, banner() + examples() + notice);
        QCOMPARE(r.code, 0);

        // Arriving while the ruler row is open, it starts a line of its own
        // and the row goes on below it.
        if (::geteuid() != 0)
            QSKIP("the conversion half needs root (else the run restarts through pkexec)");
        r = consoletest::run(consoletest::quorvelc(), {"-src=" + m_source, "-dst=" + work + "/out", "-ifr=25"}, m_env,
                             work);
        QCOMPARE(r.code, 0);
        const QByteArray row = "Processing:\t\t|";
        const int at = r.out.indexOf(notice);
        QVERIFY2(at > 0, r.out.constData());
        QVERIFY2(r.out.left(at).endsWith("\r\n"), r.out.constData());
        QVERIFY(r.out.left(at).contains(row));
        QVERIFY2(r.out.mid(at + notice.size()).startsWith(row), r.out.constData());
        QVERIFY(r.out.endsWith(QByteArray(50, '+') + "| 2 frames\r\nIndexing Drives...\r\nDone.\r\n"));
    }

    // As an unprivileged user the run restarts through pkexec (a stand-in
    // here that records its arguments and ends with a chosen code): this
    // process ends with the elevated run's code, saying so when it is not 0;
    // a refusal is an error.
    void elevatedRestart_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("tail");
        const QStringList batch{"-src=%SRC%", "-dst=%TMP%/elevated out", "-ifr=25", "-si"};
        QTest::newRow("batch, elevated run succeeds") << batch << QByteArray("0") << 0 << QByteArray();
        QTest::newRow("batch, elevated run fails")
            << batch << QByteArray("1") << 1 << QByteArray("ERROR: The elevated Quorvel ended with code 1.\r\n");
        QTest::newRow("batch, other code")
            << batch << QByteArray("5") << 5 << QByteArray("ERROR: The elevated Quorvel ended with code 5.\r\n");
        QTest::newRow("batch, dismissed")
            << batch << QByteArray("126") << 1
            << QByteArray("ERROR: Quorvel needs administrator rights for this; the request for them was dismissed.\r\n");
        QTest::newRow("-ucconvert, refused: no window keeps it running")
            << QStringList{"-ucconvert"} << QByteArray("127") << 1
            << QByteArray("ERROR: Quorvel needs administrator rights for this, but they were not granted.\r\n");
        QTest::newRow("-ucindex drive, refused")
            << QStringList{"-ucindex", "%TMP%"} << QByteArray("126") << 1
            << QByteArray("ERROR: Quorvel needs administrator rights for this; the request for them was dismissed.\r\n");
        QTest::newRow("-ucindex drive, elevated run's code") << QStringList{"-ucindex", "%TMP%"} << QByteArray("0") << 0
                                                            << QByteArray();
    }

    void elevatedRestart()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, mode);
        QFETCH(int, code);
        QFETCH(QByteArray, tail);
        const bool root = ::geteuid() == 0;
        if (root && !testutil::haveTool("setpriv"))
            QSKIP("missing tool: setpriv");

        // Everything the unprivileged run touches is its own.
        QTemporaryDir top(consoletest::blankTempTemplate("quorvelc elevate"));
        QVERIFY(top.isValid());
        QVERIFY(::chmod(QFile::encodeName(top.path()).constData(), 0755) == 0);
        const QString bin = top.filePath("bin"), work = top.filePath("work"), home = top.filePath("home");
        const QString temp = top.filePath("tmp"), runtime = top.filePath("runtime");
        for (const QString& d : {bin, work + "/Presets", work + "/Plugins", home + "/config", temp, runtime})
            QVERIFY(QDir().mkpath(d));
        // Qt takes a runtime folder only when its owner alone may use it.
        QVERIFY(::chmod(QFile::encodeName(runtime).constData(), 0700) == 0);
        const QString program = bin + "/quorvelc";
        QVERIFY(QFile::copy(consoletest::quorvelc(), program));
        QVERIFY(::chmod(QFile::encodeName(program).constData(), 0755) == 0);
        for (const QString& folder : {QString("Presets"), QString("Plugins")})
            for (const QString& f : QDir(folder).entryList(QDir::Files))
                QVERIFY(QFile::copy(folder + "/" + f, work + "/" + folder + "/" + f));
        const QString source = top.filePath("frames");
        QVERIFY(QDir().mkpath(source));
        for (const QString& f : QDir(m_source).entryList(QDir::Files))
            QVERIFY(QFile::copy(m_source + "/" + f, source + "/" + f));
        const QByteArray recorded = QFile::encodeName(top.filePath("pkexec.args"));
        QFile standIn(bin + "/pkexec");
        QVERIFY(standIn.open(QIODevice::WriteOnly));
        standIn.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + recorded + "'\nexit " + mode + "\n");
        standIn.close();
        QVERIFY(::chmod(QFile::encodeName(standIn.fileName()).constData(), 0755) == 0);
        if (root)
            QVERIFY(testutil::run("chown", {"-R", "65534:65534", top.path()}).ok());

        QStringList expanded;
        for (QString a : args)
            expanded << a.replace("%SRC%", source).replace("%TMP%", top.path());
        QProcessEnvironment env;
        env.insert("PATH", bin + ":/usr/bin:/bin");
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/config");
        env.insert("LANG", "C.UTF-8");
        // Without folders of its own, Qt would make runtime-<user> in the
        // system's temporary folder, where the test cannot see it.
        env.insert("TMPDIR", temp);
        env.insert("XDG_RUNTIME_DIR", runtime);
        // Windows of "-ucconvert" offscreen: asked for, so no display is needed.
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QStringList command = expanded;
        QString runner = program;
        if (root) {
            command = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", program} + expanded;
            runner = "setpriv";
        }
        const Run r = consoletest::run(runner, command, env, work);
        QVERIFY(r.finished);
        QCOMPARE(r.code, code);
        QVERIFY2(r.out.endsWith(tail), r.out.constData());
        QCOMPARE(QDir(temp).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());

        // The whole command line went to the elevated run, each argument as it was.
        QFile called(QFile::decodeName(recorded));
        QVERIFY(called.open(QIODevice::ReadOnly));
        const QStringList got = QString::fromUtf8(called.readAll()).split('\n', Qt::SkipEmptyParts);
        const int at = got.indexOf(program);
        QVERIFY2(at > 0, qPrintable(got.join('|')));
        QCOMPARE(got.mid(at + 1), expanded);
        if (expanded.first().startsWith("-src"))
            QVERIFY(QFileInfo(top.filePath("elevated out")).isDir());
    }
};

QTEST_GUILESS_MAIN(QuorvelcTest)
#include "tst_quorvelc.moc"
