// ./build.sh as a newcomer meets it: packages it cannot install said in one
// line, apt's chatter kept in a log, "run" building only the two programs and
// ending Quorvel and its virtual display when it is ended itself. Stand-in
// tools on PATH (cmake, apt-get, dpkg-query, id) keep the machine untouched.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include "testutil.h"

namespace {

QString buildScript()
{
    return QFileInfo(testutil::testsDir() + "/../build.sh").canonicalFilePath();
}

bool writeScript(const QString& path, const QByteArray& body)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("#!/bin/sh\n" + body) > 0
        && f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A process that has ended: gone, or a zombie nobody has reaped yet.
bool ended(qint64 pid)
{
    if (::kill(pid_t(pid), 0) != 0)
        return true;
    const QByteArray stat = readAll(QString("/proc/%1/stat").arg(pid));
    return stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

} // namespace

class BuildScriptTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_build;  // BUILD_DIR of every run
    QTemporaryDir m_bin;    // stand-in tools, first on PATH

    QProcessEnvironment env(const QString& path) const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("BUILD_DIR", m_build.path());
        e.insert("PATH", path);
        return e;
    }
    QString withRealPath() const { return m_bin.path() + ":" + qEnvironmentVariable("PATH"); }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(buildScript()).isExecutable());
        QVERIFY(m_build.isValid() && m_bin.isValid());
        QVERIFY(QDir().mkpath(m_build.filePath("run")));
        // Every package looks missing unless the run says otherwise; cmake
        // finds nothing to do and says how it was called.
        QVERIFY(writeScript(m_bin.filePath("dpkg-query"),
                            "[ -n \"$ALL_INSTALLED\" ] && printf 'install ok installed' && exit 0\nexit 1\n"));
        QVERIFY(writeScript(m_bin.filePath("cmake"), "echo \"$*\" >>\"$BUILD_DIR/cmake.calls\"\n"));
    }

    void init()
    {
        QFile::remove(m_build.filePath("cmake.calls"));
        QFile::remove(m_build.filePath("packages.log"));
    }

    // Neither root nor sudo: one line that says so, and nothing tried.
    void missingPackagesWithoutRootOrSudo()
    {
        QVERIFY(writeScript(m_bin.filePath("id"), "echo 1000\n"));
        const auto removeId = qScopeGuard([this] { QFile::remove(m_bin.filePath("id")); });
        // PATH holds the stand-ins and the few tools the script needs before it gives up; no sudo.
        for (const char* tool : {"dirname", "grep"}) {
            const QString real = QStandardPaths::findExecutable(tool);
            QVERIFY2(!real.isEmpty(), tool);
            QVERIFY(QFile::link(real, m_bin.filePath(tool)));
        }
        const auto removeLinks = qScopeGuard([this] {
            QFile::remove(m_bin.filePath("dirname"));
            QFile::remove(m_bin.filePath("grep"));
        });
        QProcess p;
        p.setProcessEnvironment(env(m_bin.path()));
        p.start("/bin/bash", {buildScript(), "build"});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 1);
        QCOMPARE(p.readAllStandardOutput(), QByteArray());
        const QByteArray err = p.readAllStandardError();
        QCOMPARE(err.count('\n'), 1);
        QVERIFY2(err.startsWith("Missing Debian packages (cmake g++ ") && err.contains(" locales)")
                     && err.endsWith(": run this as root, or install sudo, or install them first.\n"),
                 err.constData());
        QVERIFY(!QFileInfo::exists(m_build.filePath("cmake.calls")));
    }

    // sudo there but giving this user no rights: the same one line, saying
    // why, and no package tool started through it.
    void missingPackagesWithSudoButNoRights()
    {
        QVERIFY(writeScript(m_bin.filePath("id"), "echo 1000\n"));
        QVERIFY(writeScript(m_bin.filePath("sudo"),
                            "echo \"$*\" >>\"$BUILD_DIR/sudo.calls\"\n"
                            "echo 'We trust you have received the usual lecture.' >&2\n"
                            "echo 'Sorry, user tester may not run sudo on box.' >&2\nexit 1\n"));
        const auto removeStandIns = qScopeGuard([this] {
            QFile::remove(m_bin.filePath("id"));
            QFile::remove(m_bin.filePath("sudo"));
            QFile::remove(m_build.filePath("sudo.calls"));
        });
        for (int run = 0; run < 2; ++run) {
            const testutil::RunResult r = testutil::run(buildScript(), {"build"}, 60000, QByteArray(), env(withRealPath()));
            QCOMPARE(r.exitCode, 1);
            QCOMPARE(r.out, QByteArray());
            QCOMPARE(r.err.count('\n'), 1);
            QVERIFY2(r.err.startsWith("Missing Debian packages (cmake g++ ")
                         && r.err.endsWith(": sudo gives no rights here (Sorry, user tester may not run sudo on box.); "
                                           "run this as root, or install them first.\n"),
                     r.err.constData());
            QCOMPARE(readAll(m_build.filePath("sudo.calls")), QByteArray(run == 0 ? "-v\n" : "-v\n-v\n"));
            QVERIFY(!QFileInfo::exists(m_build.filePath("packages.log")));
            QVERIFY(!QFileInfo::exists(m_build.filePath("cmake.calls")));
        }
    }

    // apt's many lines go to a log; a failure shows its end, a success nothing.
    void packageOutputInALog()
    {
        QVERIFY(writeScript(m_bin.filePath("id"), "echo 0\n"));
        const auto removeId = qScopeGuard([this] {
            QFile::remove(m_bin.filePath("id"));
            QFile::remove(m_bin.filePath("apt-get"));
        });
        const QByteArray chatter = "i=0; while [ $i -lt 700 ]; do echo \"Unpacking package $i\"; i=$((i+1)); done\n";
        QVERIFY(writeScript(m_bin.filePath("apt-get"), chatter + "[ \"$1\" = update ] && exit 0\n"
                                                                  "echo 'E: planted failure' >&2; exit 100\n"));
        testutil::RunResult r = testutil::run(buildScript(), {"build"}, 60000, QByteArray(), env(withRealPath()));
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.out.startsWith("Installing: cmake ") && r.out.count('\n') == 1, r.out.constData());
        const QList<QByteArray> lines = r.err.trimmed().split('\n');
        QCOMPARE(lines.first(), "Installing the packages failed; the end of " + QFile::encodeName(m_build.filePath("packages.log")) + ":");
        QVERIFY2(lines.size() > 10 && lines.size() <= 41, r.err.constData());
        QCOMPARE(lines.last(), QByteArray("E: planted failure"));
        QCOMPARE(readAll(m_build.filePath("packages.log")).count("Unpacking package"), 1400);
        QVERIFY(!QFileInfo::exists(m_build.filePath("cmake.calls")));

        QVERIFY(writeScript(m_bin.filePath("apt-get"), chatter));
        r = testutil::run(buildScript(), {"build"}, 60000, QByteArray(), env(withRealPath()));
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.startsWith("Installing: cmake ") && r.out.count('\n') == 1, r.out.constData());
        QCOMPARE(r.err, QByteArray());
        QVERIFY(QFileInfo::exists(m_build.filePath("cmake.calls")));
    }

    // "run" builds the two programs it may start, not every test program.
    void runBuildsOnlyThePrograms()
    {
        QVERIFY(writeScript(m_build.filePath("Quorvel"), "echo started\n"));
        QProcessEnvironment e = env(withRealPath());
        e.insert("QT_QPA_PLATFORM", "offscreen");   // a display: no Xvfb needed
        e.insert("ALL_INSTALLED", "1");
        const testutil::RunResult r = testutil::run(buildScript(), {"run"}, 60000, QByteArray(), e);
        QVERIFY2(r.ok(), r.out + r.err);
        QCOMPARE(r.out, QByteArray("started\n"));
        const QList<QByteArray> calls = readAll(m_build.filePath("cmake.calls")).trimmed().split('\n');
        QCOMPARE(calls.size(), 2);
        QVERIFY2(calls[1].startsWith("--build " + QFile::encodeName(m_build.path()) + " -j")
                     && calls[1].endsWith(" --target Quorvel quorvelc"),
                 calls[1].constData());
    }

    // JOBS=2 builds with two jobs at a time, on every run.
    void fewerBuildJobs()
    {
        QProcessEnvironment e = env(withRealPath());
        e.insert("ALL_INSTALLED", "1");
        e.insert("JOBS", "2");
        for (int run = 0; run < 2; ++run) {
            QFile::remove(m_build.filePath("cmake.calls"));
            const testutil::RunResult r = testutil::run(buildScript(), {"build"}, 60000, QByteArray(), e);
            QVERIFY2(r.ok(), r.out + r.err);
            const QList<QByteArray> calls = readAll(m_build.filePath("cmake.calls")).trimmed().split('\n');
            QCOMPARE(calls.size(), 2);
            QCOMPARE(calls[1], "--build " + QFile::encodeName(m_build.path()) + " -j2");
        }
    }

    // Ended by its process id, "./build.sh run" on a virtual display ends
    // Quorvel and Xvfb with it.
    void runEndedByItsPidEndsQuorvelAndXvfb()
    {
        if (!testutil::haveTool("xvfb-run") || !testutil::haveTool("Xvfb"))
            QSKIP("missing tool: xvfb-run");
        const QString started = m_build.filePath("started");
        QVERIFY(writeScript(m_build.filePath("Quorvel"),
                            "echo \"$$ ${DISPLAY#:}\" >\"$BUILD_DIR/started.part\"\n"
                            "mv \"$BUILD_DIR/started.part\" \"$BUILD_DIR/started\"\n"
                            "exec sleep 600\n"));
        QProcessEnvironment e = env(withRealPath());
        e.remove("DISPLAY");
        e.remove("WAYLAND_DISPLAY");
        e.remove("QT_QPA_PLATFORM");
        e.insert("ALL_INSTALLED", "1");
        QProcess script;
        script.setProcessEnvironment(e);
        script.start(buildScript(), {"run"});
        QVERIFY(script.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(started), 60000);
        const QList<QByteArray> fields = readAll(started).trimmed().split(' ');
        QCOMPARE(fields.size(), 2);
        const qint64 quorvel = fields[0].toLongLong();
        // The X server writes its process id into its lock file.
        const qint64 xvfb = readAll(QString("/tmp/.X%1-lock").arg(QString(fields[1]))).trimmed().toLongLong();
        QVERIFY(quorvel > 0 && xvfb > 0);
        const auto killLeft = qScopeGuard([quorvel, xvfb] {
            ::kill(pid_t(quorvel), SIGKILL);
            ::kill(pid_t(xvfb), SIGKILL);
        });
        QVERIFY(!ended(quorvel) && !ended(xvfb));

        script.terminate();   // SIGTERM to the script's own process id
        QVERIFY(script.waitForFinished(30000));
        QCOMPARE(script.exitStatus(), QProcess::NormalExit);
        QCOMPARE(script.exitCode(), 143);
        QTRY_VERIFY_WITH_TIMEOUT(ended(quorvel), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(ended(xvfb), 30000);
    }
};

QTEST_GUILESS_MAIN(BuildScriptTest)
#include "tst_buildscript.moc"
