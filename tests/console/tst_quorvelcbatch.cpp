// quorvelc run as a process for whole conversions of Targa sequences made by
// ffmpeg: the exact bytes and exit code of a 1080 run into a folder with
// blanks in its path, every frame decoded; the second run without force
// (nothing changed) and with it; a 4K source to four quadrant folders; KRX,
// total frames and silent runs; no wait on a pipe, a key on a terminal in
// its foreground, none in the background or with the output in a file; a
// reader that goes away; player drives by label and the drive index result.
#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStorageInfo>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "../drivefs/index/indexfixture.h"
#include "../drivefs/index/loopmount.h"
#include "../engine/targa/tgahelpers.h"
#include "clipfolder.h"
#include "consoletest.h"
#include "volumeinfo.h"

using consoletest::banner;
using consoletest::Run;

namespace {

const QByteArray kRuler(50, '-');
const QByteArray kPluses(50, '+');

QByteArray bytes(const QString& s)
{
    return QFile::encodeName(s);
}

// Name, size, modification time and digest of every file in dir's folders.
QStringList snapshot(const QString& dir)
{
    QStringList out;
    QDir top(dir);
    for (const QString& sub : top.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        out << tgatest::folderSnapshot(top.filePath(sub), sub + "/");
    return out;
}

// quorvelc on a terminal of its own (a pty): in the terminal's foreground,
// started in the background as a shell's "&" does, or with its output sent
// to a file.
struct TerminalRun {
    enum Mode { Foreground, Background, OutputToFile };
    // The exit code that says the background run was stopped by the terminal.
    static const int kStopped = 99;

    pid_t pid = -1;
    int master = -1;
    QByteArray seen;

    TerminalRun() = default;
    TerminalRun(const TerminalRun&) = delete;
    TerminalRun& operator=(const TerminalRun&) = delete;
    ~TerminalRun()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (master >= 0)
            ::close(master);
    }

    bool start(const QList<QByteArray>& args, const QList<QByteArray>& env, Mode mode,
               const QByteArray& outputFile = QByteArray())
    {
        std::vector<char*> argv, envp;
        for (const QByteArray& a : args)
            argv.push_back(const_cast<char*>(a.constData()));
        argv.push_back(nullptr);
        for (const QByteArray& e : env)
            envp.push_back(const_cast<char*>(e.constData()));
        envp.push_back(nullptr);

        pid = ::forkpty(&master, nullptr, nullptr, nullptr);
        if (pid != 0)
            return pid > 0;
        // The child leads the terminal's session and is its foreground group.
        if (mode == OutputToFile) {
            const int fd = ::open(outputFile.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0)
                ::_exit(126);
        }
        if (mode != Background) {
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        // As a shell's job: a process group of its own, not the foreground.
        const pid_t job = ::fork();
        if (job == 0) {
            ::setpgid(0, 0);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::setpgid(job, job);
        int status = 0;
        while (::waitpid(job, &status, WUNTRACED) < 0 && errno == EINTR) {
        }
        if (WIFSTOPPED(status)) {
            ::kill(job, SIGKILL);
            ::waitpid(job, nullptr, 0);
            ::_exit(kStopped);
        }
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128);
    }

    // Waits up to ms for the end, reading the terminal meanwhile.
    bool waitEnd(int ms, int* status)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            const pid_t done = ::waitpid(pid, status, WNOHANG);
            if (done == pid) {
                pid = -1;
                drain(50);
                return true;
            }
            drain(50);
        }
        return false;
    }

    // Reads what the terminal shows for up to ms; false once it has closed.
    bool drain(int ms)
    {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return true;
        char buffer[4096];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        seen.append(buffer, int(n));
        return true;
    }
};

// Reads for ms, or until the text appears, or until the terminal closes with
// the program (an empty until reads on to that).
void readFor(TerminalRun& t, int ms, const QByteArray& until)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms && (until.isEmpty() || !t.seen.contains(until))) {
        if (!t.drain(50))
            return;
    }
}

const QByteArray kPrompt = "Press any key to continue . . . ";

} // namespace

class QuorvelcBatchTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp{consoletest::blankTempTemplate("quorvelc batch")};
    QString m_hd;   // ten 1920 x 1080 frames, shot0001 .. shot0010
    QString m_uhd;  // two 3840 x 2160 frames, city0001 .. city0002
    QByteArray m_hdPictures; // the ten source frames as ffmpeg decodes them
    static const int kFrameBytes = 1920 * 1080 * 3;
    QProcessEnvironment m_env;

    // A two-frame run into a folder of the test's own, for a terminal.
    QList<QByteArray> terminalArgs(const QString& folder) const
    {
        return {bytes(consoletest::quorvelc()), "-src=" + bytes(m_hd), "-dst=" + bytes(m_tmp.filePath(folder)),
                "-tf=2"};
    }
    QList<QByteArray> environment() const
    {
        QList<QByteArray> env;
        for (const QString& e : m_env.toStringList())
            env << e.toLocal8Bit();
        return env;
    }

    Run quorvelc(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment())
    {
        return consoletest::run(consoletest::quorvelc(), args, env.isEmpty() ? m_env : env);
    }

    // What this machine lacks for a mounted player drive; empty when nothing.
    static QString driveMissing()
    {
        const QString missing = LoopMount::missing();
        return missing.isEmpty() ? QString() : "a mounted player drive needs " + missing;
    }

    // Mounts a fresh exFAT player drive of this run's own (mkfs, loop device,
    // exfat-fuse), whose mount point holds no "-p" that would read as an
    // option. Empty when done, else what failed.
    QString mountPlayerDrive(LoopMount& drive, const QString& name, const QString& tail, qint64 size)
    {
        QString error = "no mount point without \"-p\"";
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (!drive.create(m_tmp.filePath(name + QString::number(attempt) + ".img"), size,
                              LoopMount::uniqueLabel("T9PW", tail), &error))
                return error;
            if (!drive.mountPoint().contains("-p"))
                return QString();
            drive.release();
        }
        return error;
    }

    // No conversion holds the clip folder's lock any more.
    static bool unlocked(const QString& clip)
    {
        ClipFolderLock lock;
        return lock.acquire(clip);
    }

    static QString frameName(int n, const char* suffix = ".tga")
    {
        return QString("frame%1").arg(n, 4, 10, QLatin1Char('0')) + QLatin1String(suffix);
    }

    // A source folder of the test's own holding copies of the given shots of
    // the ten-frame source, named frame0001.tga, frame0002.tga, ...
    QString sourceOf(const QString& folder, const QList<int>& shots)
    {
        const QString path = m_tmp.filePath(folder);
        if (!QDir().mkpath(path))
            return QString();
        for (int i = 0; i < shots.size(); ++i) {
            const QString from = m_hd + QString("/shot%1.tga").arg(shots[i], 4, 10, QLatin1Char('0'));
            if (!QFile::copy(from, path + "/" + frameName(i + 1)))
                return QString();
        }
        return path;
    }

    // Empty when the clip holds exactly frame0001.tga, ... decoding to the
    // given shots of the ten-frame source; else what differs.
    QString clipHolds(const QString& clip, const QList<int>& shots) const
    {
        QStringList expected;
        for (int i = 0; i < shots.size(); ++i)
            expected << frameName(i + 1);
        const QStringList found = QDir(clip).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
        if (found != expected)
            return clip + " holds: " + found.join(", ");
        for (int i = 0; i < shots.size(); ++i) {
            if (tgatest::ffmpegDecode(clip + "/" + expected[i], "bgr24")
                != m_hdPictures.mid((shots[i] - 1) * kFrameBytes, kFrameBytes))
                return clip + "/" + expected[i] + " is not shot " + QString::number(shots[i]);
        }
        return QString();
    }

    QByteArray summary1080(int frames, const char* force = "Disabled") const
    {
        return "Source directory:\t\t" + bytes(m_hd) + "/\r\n"
            + "Source framerate:\t\t25.00\r\n"
            + "Source information:\t\t(1080) 1920x1080\r\n"
            + "Destination output type:\tTGA\r\n"
            + "Destination framerate:\t\t59.94\r\n"
            + "Frames to process:\t\t" + QByteArray::number(frames) + " [out of 10]\r\n"
            + "Force overwrite:\t\t" + force + "\r\n";
    }

    // Every frame of a folder of shot####.tga files, decoded by ffmpeg in one run.
    static QByteArray decodeShots(const QString& folder)
    {
        const auto r = testutil::run("ffmpeg", {"-v", "error", "-start_number", "1", "-i", folder + "/shot%04d.tga",
                                                "-f", "rawvideo", "-pix_fmt", "bgr24", "-"});
        return r.ok() ? r.out : QByteArray();
    }

    // Each output frame decodes to the same picture as its source frame.
    void verifyFrames(const QString& clip, int count)
    {
        QCOMPARE(tgatest::filesIn(clip), tgatest::filesIn(m_hd).mid(0, count));
        const QByteArray written = decodeShots(clip);
        QCOMPARE(written.size(), count * kFrameBytes);
        QVERIFY(written == m_hdPictures.left(count * kFrameBytes));
    }

private slots:
    void initTestCase()
    {
        REQUIRE_TOOL("ffmpeg");
        // Every case converts, which quorvelc does only as root.
        if (::geteuid() != 0)
            QSKIP("needs root (else each run restarts through pkexec)");
        QVERIFY(m_tmp.isValid());
        // Numbered 1: its runs write shot_f25_00001 again, which a source
        // without a number never takes once another clip folder has it.
        m_hd = m_tmp.filePath("hd source 1");
        m_uhd = m_tmp.filePath("uhd source");
        QVERIFY(QDir().mkpath(m_hd) && QDir().mkpath(m_uhd));
        QCOMPARE(tgatest::ffmpegFrames(m_hd + "/shot%04d.tga", 1920, 1080, 24, false, 10), QString());
        QCOMPARE(tgatest::ffmpegFrames(m_uhd + "/city%04d.tga", 3840, 2160, 24, true, 2), QString());
        m_hdPictures = decodeShots(m_hd);
        QCOMPARE(m_hdPictures.size(), 10 * kFrameBytes);
        m_env = consoletest::isolatedEnvironment(m_tmp.filePath("home"));
    }

    void fullConversionThenAgainThenForce()
    {
        // The checks make the folder; its last 20 characters show in the report.
        const QString out = m_tmp.filePath("frames for the player");
        const QString clip = out + "/shot_f25_00001";
        const QStringList args{"-src=" + m_hd, "-dst=" + out, "-ifr=25", "-vo=tga", "extra"};
        const QByteArray expected = "WARNING: Ignoring unrecognized argument 'extra', possibly missing '-'\r\n" + banner()
            + summary1080(10) + "Destination:\t\t\tames for the player/\tFULL (1080)\r\n"
            + "\r\nTotal to process:\t|" + kRuler + "| 10 frames\r\n"
            + "Processing:\t\t|" + kPluses + "| 10 frames\r\n"
            + "Indexing Drives...\r\nDone.\r\n";

        Run r = quorvelc(args);
        QVERIFY(r.finished);
        QCOMPARE(r.out, expected);
        QCOMPARE(r.code, 0);
        // A script is never asked for a key.
        QVERIFY(!r.out.contains("Press any key"));
        verifyFrames(clip, 10);

        // Again without force: nothing is written, and the run failed.
        const QStringList before = snapshot(out);
        r = quorvelc(args);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.endsWith("Processing:\t\t|\nERROR: Output directory '" + bytes(clip)
                                + "' is not empty!  Please delete the directory or use force overwrite option.\r\n"),
                 r.out.constData());
        QCOMPARE(snapshot(out), before);

        // With force the frames are written anew: a damaged one comes back whole.
        QVERIFY(QFile::resize(clip + "/shot0007.tga", 100));
        r = quorvelc(args + QStringList{"-f"});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.contains(summary1080(10, "Enabled")));
        QVERIFY(r.out.endsWith("| 10 frames\r\nIndexing Drives...\r\nDone.\r\n"));
        verifyFrames(clip, 10);

        // Quorvel with the same arguments prints the same bytes.
        QVERIFY(QDir(out).removeRecursively());
        r = consoletest::run(consoletest::quorvel(), args, m_env);
        QCOMPARE(r.out, expected);
        QCOMPARE(r.code, 0);
        verifyFrames(clip, 10);
    }

    void uhdToFourQuadrants()
    {
        QStringList args{"-src=" + m_uhd, "-ifr=25"};
        QStringList quadrants;
        for (int q = 1; q <= 4; ++q) {
            quadrants << m_tmp.filePath(QString("quadrant %1 of the wall").arg(q));
            args << QString("-dst4k%1=%2").arg(q).arg(quadrants.last());
        }
        const Run r = quorvelc(args);
        QVERIFY(r.finished);
        QCOMPARE(r.code, 0);
        QByteArray destinations;
        for (int q = 1; q <= 4; ++q)
            destinations += "Destination:\t\t\tdrant " + QByteArray::number(q) + " of the wall/\tQUAD:" + QByteArray::number(q)
                + " (1080)\r\n";
        QVERIFY2(r.out.contains("Source information:\t\t(4K) 3840x2160\r\n"
                                "Destination output type:\tTGA\r\n"),
                 r.out.constData());
        QVERIFY2(r.out.contains(destinations
                                + "\r\n   Quadrants Mapping  \r\n  ___________________ \r\n |1        |2        |\r\n"
                                  " | ..wall/ | ..wall/ |\r\n |_________|_________|\r\n |3        |4        |\r\n"
                                  " | ..wall/ | ..wall/ |\r\n |_________|_________|\r\n"
                                  "\r\nTotal to process:\t|"
                                + kRuler + "| 2 frames\r\nProcessing:\t\t|" + kPluses
                                + "| 2 frames\r\nIndexing Drives...\r\nDone.\r\n"),
                 r.out.constData());

        for (const QString& frame : {QString("city0001.tga"), QString("city0002.tga")}) {
            const QByteArray whole = tgatest::ffmpegDecode(m_uhd + "/" + frame, "bgr24");
            QCOMPARE(whole.size(), 3840 * 2160 * 3);
            for (int q = 0; q < 4; ++q) {
                const QString written = quadrants[q] + "/city_f25_00001/" + frame;
                QVERIFY2(tgatest::ffmpegDecode(written, "bgr24")
                             == tgatest::crop(whole, 3840, 3, (q % 2) * 1920, (q / 2) * 1080, 1920, 1080),
                         qPrintable(written));
            }
        }
    }

    void kindOfDestinationAgainstSource()
    {
        const QString out = m_tmp.filePath("wrong kind");
        Run r = quorvelc({"-src=" + m_uhd, "-dst=" + out});
        QCOMPARE(r.code, 1);
        QVERIFY(r.out.endsWith("ERROR: Attempting to perform non-4K operation on 4K source.\r\n"));
        r = quorvelc({"-src=" + m_hd, "-dst4k1=" + out, "-si"});
        QCOMPARE(r.code, 1);
        QCOMPARE(r.out, QByteArray("ERROR: Attempting to perform 4K split on a non-4K source.\r\n"));
        QVERIFY(QDir(out).isEmpty());
    }

    void krxTotalFramesAndSilence()
    {
        // KRX for three frames; "-tf" with no number is every frame.
        const QString krx = m_tmp.filePath("krx out");
        Run r = quorvelc({"-src=" + m_hd, "-dst=" + krx, "-ifr=25", "-vo=krx", "-tf=3"});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.contains("Destination output type:\tKRX\r\n"));
        QVERIFY(r.out.contains("Frames to process:\t\t3 [out of 10]\r\n"));
        const QStringList frames = tgatest::filesIn(krx + "/shot_f25_00001");
        QCOMPARE(frames, (QStringList{"shot0001.krx", "shot0002.krx", "shot0003.krx"}));
        for (const QString& f : frames)
            QVERIFY(tgatest::readAll(krx + "/shot_f25_00001/" + f).startsWith("KRX_"));

        const QString all = m_tmp.filePath("every frame");
        r = quorvelc({"-src=" + m_hd, "-dst=" + all, "-ifr=25", "-tf=abc", "-vo=TARGA"});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.contains(summary1080(10)));
        QCOMPARE(tgatest::filesIn(all + "/shot_f25_00001").size(), 10);

        // Silent runs print nothing of a conversion that went well.
        for (const QString& flag : {QString("-si"), QString("-sa")}) {
            const QString quiet = m_tmp.filePath("quiet " + flag.mid(1));
            r = quorvelc({flag, "-src=" + m_hd, "-dst=" + quiet, "-ifr=25", "-tf=2"});
            QCOMPARE(r.out, QByteArray());
            QCOMPARE(r.code, 0);
            QCOMPARE(tgatest::filesIn(quiet + "/shot_f25_00001").size(), 2);
        }
    }

    // On a terminal the run ends with "Press any key" and waits for one.
    void terminalWaitsForAKey()
    {
        TerminalRun t;
        QVERIFY(t.start(terminalArgs("typed"), environment(), TerminalRun::Foreground));
        readFor(t, 60000, kPrompt);
        QVERIFY2(t.seen.contains(kPrompt), t.seen.constData());
        QVERIFY(t.seen.contains("Done."));
        // It waits.
        readFor(t, 300, QByteArray());
        int status = 0;
        QCOMPARE(::waitpid(t.pid, &status, WNOHANG), 0);
        QCOMPARE(::write(t.master, "k", 1), ssize_t(1));
        // Until the terminal closes with the program.
        const int before = t.seen.size();
        QVERIFY(t.waitEnd(10000, &status));
        QVERIFY(t.seen.size() > before);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        // The key is not echoed; the line ends after it.
        QVERIFY2(t.seen.endsWith(kPrompt + "\r\r\n") || t.seen.endsWith(kPrompt + "\r\n"), t.seen.constData());
    }

    // Started with "&" from an interactive shell: the terminal belongs to the
    // shell, so the run neither asks for a key nor stops on the terminal.
    void backgroundRunDoesNotWait()
    {
        TerminalRun t;
        QVERIFY(t.start(terminalArgs("in the background"), environment(), TerminalRun::Background));
        int status = 0;
        QVERIFY2(t.waitEnd(60000, &status), t.seen.constData());
        QVERIFY(WIFEXITED(status));
        QVERIFY2(WEXITSTATUS(status) != TerminalRun::kStopped, "stopped on the terminal");
        QCOMPARE(WEXITSTATUS(status), 0);
        QVERIFY2(t.seen.contains("Done."), t.seen.constData());
        QVERIFY(!t.seen.contains(kPrompt));
        QCOMPARE(tgatest::filesIn(m_tmp.filePath("in the background") + "/shot_f59_00001").size(), 2);
    }

    // Output sent to a file, the keyboard still a terminal: nobody sees a
    // prompt, so the run ends without one.
    void redirectedRunDoesNotWait()
    {
        const QString log = m_tmp.filePath("redirected.log");
        TerminalRun t;
        QVERIFY(t.start(terminalArgs("redirected"), environment(), TerminalRun::OutputToFile, bytes(log)));
        int status = 0;
        QVERIFY2(t.waitEnd(60000, &status), "waits for a key");
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        const QByteArray written = tgatest::readAll(log);
        QVERIFY2(written.endsWith("Done.\r\n"), written.constData());
        QVERIFY(!written.contains(kPrompt));
        QVERIFY(!t.seen.contains(kPrompt));
    }

    // A reader that stops reading (| head) does not end the conversion.
    void readerGoesAway()
    {
        REQUIRE_TOOL("bash");
        const QString out = m_tmp.filePath("piped away");
        const auto r = testutil::run(
            "bash", {"-c", "\"$0\" \"$@\" | head -c 16 >/dev/null; echo \"status=${PIPESTATUS[0]}\"",
                     consoletest::quorvelc(), "-src=" + m_hd, "-dst=" + out, "-ifr=25"});
        QCOMPARE(r.out.trimmed(), QByteArray("status=0"));
        verifyFrames(out + "/shot_f25_00001", 10);
    }

    // Player drives: a label names its drive exactly before it names one by
    // containment, so ..._1 is never ..._10 (mounted first here). The labels
    // are this run's own, so that other runs' drives never answer.
    void playerDrivesByLabel()
    {
        const QString missing = LoopMount::missing();
        if (!missing.isEmpty())
            QSKIP(qPrintable("a mounted player drive needs " + missing));
        QString error;
        // A mount point whose random name holds "-p" would be skipped as an argument.
        auto mount = [&](LoopMount& drive, const QString& label) {
            for (int attempt = 0; attempt < 5; ++attempt) {
                if (!drive.create(m_tmp.filePath(label + QString::number(attempt) + ".img"), 40 << 20, label, &error))
                    return false;
                if (!drive.mountPoint().contains("-p"))
                    return true;
                drive.release();
            }
            return false;
        };
        LoopMount slot10, slot1;
        const QString label10 = LoopMount::uniqueLabel("T9PW", "_10");
        const QString label1 = LoopMount::uniqueLabel("T9PW", "_1");
        QVERIFY2(mount(slot10, label10), qPrintable(error));
        QVERIFY2(mount(slot1, label1), qPrintable(error));

        Run r = quorvelc({"-src=" + m_hd, "-dst=" + label1, "-ifr=25", "-tf=1"});
        QCOMPARE(r.code, 0);
        const QByteArray root = bytes(slot1.mountPoint() + "/");
        const QByteArray shown = "Destination:\t\t\t[" + label1.toLatin1() + "] " + root.left(10) + "\tFULL (1080)\r\n";
        QVERIFY2(r.out.contains(shown), r.out.constData());
        QVERIFY(r.out.endsWith("Indexing Drives...\r\nDone.\r\n"));
        QCOMPARE(tgatest::filesIn(slot1.mountPoint() + "/shot_f25_00001"), QStringList{"shot0001.tga"});
        QVERIFY(QFileInfo(slot1.mountPoint() + "/index.dat").size() > 0);
        QVERIFY(QDir(slot10.mountPoint()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

        // Part of a label finds it by containment; an absolute mount point is
        // a path that keeps its case and shows the volume's label.
        r = quorvelc({"-src=" + m_hd, "-dst=" + label10.mid(3), "-ifr=25", "-tf=1"});
        QCOMPARE(r.code, 0);
        QCOMPARE(tgatest::filesIn(slot10.mountPoint() + "/shot_f25_00001"), QStringList{"shot0001.tga"});
        r = quorvelc({"-src=" + m_hd, "-dst=" + slot1.mountPoint(), "-ifr=25", "-tf=1", "-f"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(shown), r.out.constData());

        // The drive index result is printed, never a box.
        r = quorvelc({"-ucindex", slot10.mountPoint()});
        QCOMPARE(r.out, QByteArray("Drive indexed successfully.\n"));
        QCOMPARE(r.code, 0);
        QVERIFY(QFileInfo(slot10.mountPoint() + "/index.dat").size() > 0);
        QVERIFY2(slot1.release(), qPrintable(slot1.releaseError()));
        QVERIFY2(slot10.release(), qPrintable(slot10.releaseError()));
    }

    // A drive still in use when the test lets it go: its unmount waits for
    // the last user rather than failing at once; a drive held past the wait
    // says what failed and why, and still goes once it is let go.
    void busyDriveIsReleased()
    {
        const QString missing = LoopMount::missing();
        if (!missing.isEmpty())
            QSKIP(qPrintable("a mounted player drive needs " + missing));
        const QString image = m_tmp.filePath("busy.img");
        auto attached = [&] { return !testutil::run(LoopMount::tool("losetup"), {"-j", image}).out.trimmed().isEmpty(); };
        for (const bool letGo : {true, false}) {
            LoopMount drive;
            QString error;
            QVERIFY2(drive.create(image, 40 << 20, LoopMount::uniqueLabel("T9PB"), &error), qPrintable(error));
            // A program working in the drive's root holds it: for 10 s (a
            // loaded machine's slow ending), or until it is ended.
            QProcess holder;
            holder.setWorkingDirectory(drive.mountPoint());
            holder.start("sleep", {letGo ? "10" : "600"});
            QVERIFY(holder.waitForStarted());
            if (letGo) {
                QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
                QVERIFY(drive.releaseError().isEmpty());
            } else {
                QVERIFY(!drive.release(500));
                const QString reason = drive.releaseError();
                QVERIFY2(reason.startsWith("umount ") && reason.contains("busy"), qPrintable(reason));
                holder.kill();
            }
            QVERIFY(holder.waitForFinished());
            QVERIFY(drive.mountPoint().isEmpty());
            QTRY_VERIFY_WITH_TIMEOUT(!attached(), 60000);
            QVERIFY(QFile::remove(image));
        }
    }

    // A drive formatted whole by mkfs.exfat, named by its label: converted,
    // indexed at the end of the run and again by -ucindex.
    void wholeDiskDriveByLabel()
    {
        const QString missing = LoopMount::missing();
        if (!missing.isEmpty())
            QSKIP(qPrintable("a mounted player drive needs " + missing));
        if (!QFileInfo::exists("/usr/bin/python3"))
            QSKIP("missing /usr/bin/python3 (the index checker)");
        const QString label = LoopMount::uniqueLabel(1);
        const QString image = m_tmp.filePath("whole.img");
        LoopMount drive;
        QString error;
        // A mount point whose random name holds "-p" would be skipped as an argument.
        for (int attempt = 0; attempt < 5; ++attempt) {
            QVERIFY2(drive.createWholeDisk(image, 40 << 20, label, &error), qPrintable(error));
            if (!drive.mountPoint().contains("-p"))
                break;
            drive.release();
        }
        const QString root = drive.mountPoint() + "/";
        Run r = quorvelc({"-src=" + m_hd, "-dst=" + label, "-ifr=25", "-tf=2"});
        QVERIFY2(r.out.endsWith("Indexing Drives...\r\nDone.\r\n"), r.out.constData());
        QCOMPARE(r.code, 0);
        QCOMPARE(tgatest::filesIn(root + "shot_f25_00001"), (QStringList{"shot0001.tga", "shot0002.tga"}));
        const QByteArray first = tgatest::readAll(root + "index.dat");
        QVERIFY(first.size() > 687960);
        QVERIFY(QFile::remove(root + "index.dat"));
        r = quorvelc({"-ucindex", drive.mountPoint()});
        QCOMPARE(r.out, QByteArray("Drive indexed successfully.\n"));
        QCOMPARE(r.code, 0);
        const QByteArray second = tgatest::readAll(root + "index.dat");
        QCOMPARE(second, first);
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
        const QString report = indexfixture::check(image, second, m_tmp.filePath("whole-index.dat"));
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }

    // A frame of another size than the first fails the run: an error line
    // naming it, "Error.", exit code 1; the frames before it stay whole.
    void frameOfAnotherSizeFailsTheRun()
    {
        const QString source = m_tmp.filePath("mixed source");
        QVERIFY(QDir().mkpath(source));
        for (const char* f : {"shot0001.tga", "shot0002.tga"})
            QVERIFY(QFile::copy(m_hd + "/" + QLatin1String(f), source + "/" + QLatin1String(f)));
        QCOMPARE(tgatest::ffmpegFrames(source + "/shot0003.tga", 1920, 1200, 24, false), QString());
        const QString out = m_tmp.filePath("mixed out");
        const Run r = quorvelc({"-src=" + source, "-dst=" + out, "-ifr=25", "-vo=KRX"});
        QVERIFY2(r.out.contains("ERROR: Source frame " + bytes(source) + "/shot0003.tga is 1920 x 1200 at 24 bits per "
                                "pixel, but the sequence's first frame is 1920 x 1080 at 24 bits per pixel.\n"),
                 r.out.constData());
        QVERIFY2(r.out.endsWith("Error.\r\n"), r.out.constData());
        QCOMPARE(r.code, 1);
        const QString clip = out + "/shot_f25_00001";
        QCOMPARE(tgatest::filesIn(clip), (QStringList{"shot0001.krx", "shot0002.krx"}));
        for (const QString& f : tgatest::filesIn(clip))
            QCOMPARE(QFileInfo(clip + "/" + f).size(), qint64(512 + 1920 * 1080 * 3 / 15 * 16));
    }

    // A clip folder another Quorvel is writing (its lock held here) is not
    // written by a second run, -f or not.
    void clipFolderBeingWrittenIsRefused()
    {
        const QString out = m_tmp.filePath("busy out");
        const QString clip = out + "/shot_f25_00001";
        QVERIFY(QDir().mkpath(clip));
        QVERIFY(tgatest::writeAll(clip + "/shot0001.tga", "the other run's frame"));
        ClipFolderLock other;
        QVERIFY(other.acquire(clip));
        const Run r = quorvelc({"-src=" + m_hd, "-dst=" + out, "-ifr=25", "-tf=2", "-f", "-si"});
        QVERIFY2(r.out.contains("ERROR: " + bytes(clip) + " is being written by another Quorvel.\n"),
                 r.out.constData());
        QCOMPARE(r.code, 1);
        QCOMPARE(tgatest::filesIn(clip), QStringList{"shot0001.tga"});
        QCOMPARE(tgatest::readAll(clip + "/shot0001.tga"), QByteArray("the other run's frame"));
        other.release();
        const Run again = quorvelc({"-src=" + m_hd, "-dst=" + out, "-ifr=25", "-tf=2", "-f", "-si"});
        QCOMPARE(again.code, 0);
        verifyFrames(clip, 2);
    }

    // A run killed while it writes leaves no frame file cut short under a
    // frame's name.
    void killedRunLeavesNoCutFrame()
    {
        const QString out = m_tmp.filePath("killed out");
        const QString clip = out + "/shot_f25_00001";
        QProcess run;
        run.setProcessEnvironment(m_env);
        run.start(consoletest::quorvelc(), {"-src=" + m_hd, "-dst=" + out, "-ifr=25", "-si"});
        QVERIFY(run.waitForStarted());
        // Killed as soon as the first file shows up in the clip folder.
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 60000 && run.state() == QProcess::Running
               && QDir(clip).entryList(QDir::Files | QDir::Hidden).isEmpty())
            QThread::usleep(200);
        ::kill(pid_t(run.processId()), SIGKILL);
        QVERIFY(run.waitForFinished());
        const qint64 whole = 18 + qint64(kFrameBytes) + 26;
        for (const QString& f : tgatest::filesIn(clip))
            QVERIFY2(QFileInfo(clip + "/" + f).size() == whole, qPrintable(f + " is cut short"));
    }

    // One label on two mounted drives: the run says which one it writes to,
    // with the whole root path, before the summary; also under -si, never
    // under -sa.
    void labelOnTwoDrives()
    {
        const QString missing = LoopMount::missing();
        if (!missing.isEmpty())
            QSKIP(qPrintable("two mounted player drives need " + missing));
        QString error;
        auto mount = [&](LoopMount& drive, const QString& image) {
            for (int attempt = 0; attempt < 5; ++attempt) {
                if (!drive.create(m_tmp.filePath(image + QString::number(attempt) + ".img"), 40 << 20, "T9PW_Twin27",
                                  &error))
                    return false;
                if (!drive.mountPoint().contains("-p"))
                    return true;
                drive.release();
            }
            return false;
        };
        LoopMount mine, theirs;
        QVERIFY2(mount(mine, "twin a"), qPrintable(error));
        QVERIFY2(mount(theirs, "twin b"), qPrintable(error));
        // The first of them in the system's list is the one taken.
        QString first;
        for (const VolumeInfo& v : VolumeInfo::mountedVolumes()) {
            if (first.isEmpty() && v.name() == "T9PW_Twin27")
                first = v.rootPath();
        }
        QVERIFY(first == mine.mountPoint() + "/" || first == theirs.mountPoint() + "/");
        const QString other = first == mine.mountPoint() + "/" ? theirs.mountPoint() : mine.mountPoint();
        const QByteArray warning =
            "WARNING: Volume label 'T9PW_Twin27' matches 2 mounted volumes; using " + bytes(first) + "\r\n";

        Run r = quorvelc({"-src=" + m_hd, "-dst=T9PW_Twin27", "-ifr=25", "-tf=1"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.startsWith(banner() + warning + "Source directory:"), r.out.constData());
        QVERIFY(r.out.contains("Destination:\t\t\t[T9PW_Twin2] " + bytes(first).left(10) + "\tFULL (1080)\r\n"));
        QCOMPARE(tgatest::filesIn(first + "shot_f25_00001"), QStringList{"shot0001.tga"});
        QVERIFY(!QFileInfo::exists(other + "/shot_f25_00001"));

        r = quorvelc({"-si", "-src=" + m_hd, "-dst=T9PW_Twin27", "-ifr=25", "-tf=1", "-f"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, warning);
        r = quorvelc({"-src=" + m_hd, "-dst=T9PW_Twin27", "-ifr=25", "-tf=1", "-f", "-sa"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QByteArray());
        QVERIFY2(mine.release(), qPrintable(mine.releaseError()));
        QVERIFY2(theirs.release(), qPrintable(theirs.releaseError()));
    }

    // Linux paths that hold option texts keep their meaning: "-p" in the
    // source, "-src" and "-f" in the destination.
    void hyphenatedPaths()
    {
        const QString source = m_tmp.filePath("my-pics 1");
        QVERIFY(QDir().mkpath(source));
        for (const QString& f : tgatest::filesIn(m_hd))
            QVERIFY(QFile::copy(m_hd + "/" + f, source + "/" + f));
        const QString first = m_tmp.filePath("a-src");
        const QString second = m_tmp.filePath("x-f/out");
        QVERIFY(QDir().mkpath(m_tmp.filePath("x-f")));

        Run r = quorvelc({"-src=" + source, "-dst=" + first, "-ifr=25", "-tf=2"});
        QVERIFY2(r.code == 0, r.out.constData());
        QVERIFY(r.out.contains("Source directory:\t\t" + bytes(source) + "/\r\n"));
        QCOMPARE(tgatest::filesIn(first + "/shot_f25_00001").size(), 2);

        r = quorvelc({"-src=" + source, "-dst=" + second, "-ifr=25", "-tf=2"});
        QVERIFY2(r.code == 0, r.out.constData());
        QVERIFY(r.out.contains("Force overwrite:\t\tDisabled\r\n"));
        QCOMPARE(tgatest::filesIn(second + "/shot_f25_00001").size(), 2);
        // Without force the second run into it is refused.
        r = quorvelc({"-src=" + source, "-dst=" + second, "-ifr=25", "-tf=2"});
        QCOMPARE(r.code, 1);
        QVERIFY(r.out.contains("is not empty!"));
    }

    // Two unnumbered sources whose frames have one name: the second never
    // takes the first one's clip folder, with force or not, again or not.
    void unnumberedSourcesKeepTheirOwnClips()
    {
        SKIP_WHEN(driveMissing());
        LoopMount drive;
        QCOMPARE(mountPlayerDrive(drive, "unnumbered", "_41", 96 << 20), QString());
        const QString shotA = sourceOf("shot A", {1, 2, 3});
        const QString shotB = sourceOf("shot B", {4, 5});
        QVERIFY(!shotA.isEmpty() && !shotB.isEmpty());
        const QString root = drive.mountPoint() + "/";

        Run r = quorvelc({"-src=" + shotA, "-dst=" + root, "-ifr=25", "-si"});
        QVERIFY2(r.code == 0, r.out.constData());
        QCOMPARE(clipHolds(root + "frame_f25_00001", {1, 2, 3}), QString());

        r = quorvelc({"-src=" + shotB, "-dst=" + root, "-ifr=25", "-si"});
        QVERIFY2(r.code == 0, r.out.constData());
        QCOMPARE(clipHolds(root + "frame_f25_00002", {4, 5}), QString());
        QCOMPARE(clipHolds(root + "frame_f25_00001", {1, 2, 3}), QString());

        // Force overwrites nothing of another source: B takes the next free number.
        r = quorvelc({"-src=" + shotB, "-dst=" + root, "-ifr=25", "-si", "-f"});
        QVERIFY2(r.code == 0, r.out.constData());
        QCOMPARE(clipHolds(root + "frame_f25_00003", {4, 5}), QString());
        QCOMPARE(clipHolds(root + "frame_f25_00002", {4, 5}), QString());
        QCOMPARE(clipHolds(root + "frame_f25_00001", {1, 2, 3}), QString());
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
    }

    // A fifo under a middle frame's name fails the run as a missing frame
    // does, without waiting on it; the clip folder is free again afterwards.
    void frameThatIsNoFileFailsTheRun()
    {
        SKIP_WHEN(driveMissing());
        LoopMount drive;
        QCOMPARE(mountPlayerDrive(drive, "fifo", "_42", 64 << 20), QString());
        const QString source = sourceOf("fifo take 6", {1});
        QVERIFY(!source.isEmpty());
        QVERIFY(QFile::copy(m_hd + "/shot0003.tga", source + "/" + frameName(3)));
        QCOMPARE(::mkfifo(QFile::encodeName(source + "/" + frameName(2)).constData(), 0644), 0);
        const QString root = drive.mountPoint() + "/";
        const QString clip = root + "frame_f25_00006";

        Run r = consoletest::run(consoletest::quorvelc(), {"-src=" + source, "-dst=" + root, "-ifr=25", "-tf=3"},
                                 m_env, QString(), 60000);
        QVERIFY2(r.finished, "waits on the fifo");
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.contains("ERROR: "), r.out.constData());
        QVERIFY2(r.out.endsWith("Error.\r\n"), r.out.constData());
        QCOMPARE(clipHolds(clip, {1}), QString());
        QVERIFY(unlocked(clip));

        // The frame a file again: the run converts the clip whole.
        QVERIFY(QFile::remove(source + "/" + frameName(2)));
        QVERIFY(QFile::copy(m_hd + "/shot0002.tga", source + "/" + frameName(2)));
        r = quorvelc({"-src=" + source, "-dst=" + root, "-ifr=25", "-f", "-si"});
        QVERIFY2(r.code == 0, r.out.constData());
        QCOMPARE(clipHolds(clip, {1, 2, 3}), QString());
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
    }

    // A folder number too large for a player drive, however many digits it
    // has, is refused naming it, before anything is written; 0 is clip 1.
    void clipNumbersAboveTheLimitRefused()
    {
        SKIP_WHEN(driveMissing());
        LoopMount drive;
        QCOMPARE(mountPlayerDrive(drive, "numbers", "_43", 64 << 20), QString());
        const QString root = drive.mountPoint() + "/";
        const QString huge = sourceOf("take4294967297", {1});
        const QString huger = sourceOf("take00099999999999", {2});
        const QString zero = sourceOf("take0", {3});
        QVERIFY(!huge.isEmpty() && !huger.isEmpty() && !zero.isEmpty());
        auto rootEntries = [&] { return QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); };

        for (int pass = 0; pass < 2; ++pass) {
            const Run r = quorvelc({"-src=" + huge, "-dst=" + root, "-ifr=25", "-si"});
            QCOMPARE(r.code, 1);
            QVERIFY2(r.out.contains("clip number 4294967297 is above 9998"), r.out.constData());
            QVERIFY2(!r.out.contains("Done."), r.out.constData());
            QCOMPARE(rootEntries(), QStringList());
        }

        Run r = quorvelc({"-src=" + zero, "-dst=" + root, "-ifr=25", "-si"});
        QVERIFY2(r.code == 0, r.out.constData());
        QCOMPARE(clipHolds(root + "frame_f25_00001", {3}), QString());
        const QStringList before = snapshot(root);
        const QStringList entries = rootEntries();
        for (int pass = 0; pass < 2; ++pass) {
            r = quorvelc({"-src=" + huger, "-dst=" + root, "-ifr=25", "-si", "-f"});
            QCOMPARE(r.code, 1);
            QVERIFY2(r.out.contains("clip number 99999999999 is above 9998"), r.out.constData());
            QCOMPARE(rootEntries(), entries);
            QCOMPARE(snapshot(root), before);
        }
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
    }

    // SIGTERM, SIGINT or SIGHUP in the middle of a conversion end the run as
    // Cancel does: whole frames only, the clip folder free, a failed exit.
    void stopSignalEndsTheRunAsCancelDoes_data()
    {
        QTest::addColumn<bool>("window");
        QTest::addColumn<int>("signal");
        QTest::newRow("quorvelc SIGTERM") << false << int(SIGTERM);
        QTest::newRow("quorvelc SIGINT") << false << int(SIGINT);
        QTest::newRow("quorvelc SIGHUP") << false << int(SIGHUP);
        QTest::newRow("Quorvel SIGTERM") << true << int(SIGTERM);
    }

    void stopSignalEndsTheRunAsCancelDoes()
    {
        QFETCH(bool, window);
        QFETCH(int, signal);
        SKIP_WHEN(driveMissing());
        // Many small frames, so that the run is still converting when the signal comes.
        const QString source = m_tmp.filePath("long take 9");
        const int frames = 120;
        const qint64 whole = 18 + qint64(1280) * 720 * 3 + 26;
        if (!QFileInfo::exists(source + "/" + frameName(frames))) {
            QVERIFY(QDir().mkpath(source));
            QCOMPARE(tgatest::ffmpegFrames(source + "/" + frameName(1), 1280, 720, 24, false), QString());
            for (int n = 2; n <= frames; ++n)
                QVERIFY(QFile::copy(source + "/" + frameName(1), source + "/" + frameName(n)));
        }
        LoopMount drive;
        QCOMPARE(mountPlayerDrive(drive, "stopped", "_44", 160 << 20), QString());
        const QString root = drive.mountPoint() + "/";
        const QString clip = root + "frame_f25_00009";

        QProcessEnvironment env = m_env;
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess run;
        run.setProcessEnvironment(env);
        run.start(window ? consoletest::quorvel() : consoletest::quorvelc(),
                  {"-src=" + source, "-dst=" + root, "-ifr=25"});
        QVERIFY(run.waitForStarted());
        // Signalled as soon as the first frame file shows in the clip folder.
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 60000 && run.state() == QProcess::Running
               && QDir(clip).entryList(QDir::Files | QDir::Hidden).isEmpty())
            QThread::usleep(200);
        QCOMPARE(run.state(), QProcess::Running);
        QCOMPARE(::kill(pid_t(run.processId()), signal), 0);
        QVERIFY(run.waitForFinished(60000));
        const QByteArray out = run.readAllStandardOutput();
        QVERIFY2(run.exitStatus() == QProcess::NormalExit, "ended by the signal");
        QVERIFY2(run.exitCode() != 0, out.constData());
        QVERIFY2(out.contains("User Canceled."), out.constData());
        QVERIFY2(!out.contains("Done."), out.constData());
        const QStringList left = QDir(clip).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
        QVERIFY(left.size() < frames);
        for (const QString& f : left)
            QVERIFY2(!f.startsWith('.') && QFileInfo(clip + "/" + f).size() == whole, qPrintable(f));
        QVERIFY(unlocked(clip));

        // The next run converts the clip whole.
        const Run again = quorvelc({"-src=" + source, "-dst=" + root, "-ifr=25", "-tf=4", "-f", "-si"});
        QVERIFY2(again.code == 0, again.out.constData());
        QCOMPARE(tgatest::filesIn(clip), (QStringList{frameName(1), frameName(2), frameName(3), frameName(4)}));
        for (const QString& f : tgatest::filesIn(clip))
            QCOMPARE(QFileInfo(clip + "/" + f).size(), whole);
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
    }

    // Frame names that are no text in the locale's encoding: the run says
    // that the names cannot be read, not that the folder is empty.
    void unreadableFrameNamesNamed()
    {
        SKIP_WHEN(driveMissing());
        LoopMount drive;
        QCOMPARE(mountPlayerDrive(drive, "names", "_45", 64 << 20), QString());
        const QString root = drive.mountPoint() + "/";
        const QString source = m_tmp.filePath("odd names 4");
        QVERIFY(QDir().mkpath(source));
        const QByteArray odd = QFile::encodeName(source) + "/fr\xe9me0001.tga";
        QCOMPARE(::link(QFile::encodeName(m_hd + "/shot0001.tga").constData(), odd.constData()), 0);
        QProcessEnvironment env = m_env;
        env.insert("LANG", "C.UTF-8");
        env.remove("LC_ALL");

        Run r = quorvelc({"-src=" + source, "-dst=" + root, "-ifr=25"}, env);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.contains("ERROR: The file names in source directory '" + bytes(source)
                                + "' are not valid text in this system's encoding.\r\n"),
                 r.out.constData());
        QVERIFY2(!r.out.contains("is empty!"), r.out.constData());
        QVERIFY(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());

        // Renamed to text, the frame converts.
        QCOMPARE(::rename(odd.constData(), QFile::encodeName(source + "/" + frameName(1)).constData()), 0);
        r = quorvelc({"-src=" + source, "-dst=" + root, "-ifr=25", "-si"}, env);
        QVERIFY2(r.code == 0, r.out.constData());
        QCOMPARE(clipHolds(root + "frame_f25_00004", {1}), QString());
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
    }

    void driveIndexFailurePrinted()
    {
        if (::geteuid() != 0)
            QSKIP("needs root (else the run restarts through pkexec)");
        QTemporaryDir shm("/dev/shm/quorvelc-XXXXXX");
        const QString target = shm.isValid() ? shm.path() : m_tmp.path();
        const Run r = quorvelc({"-ucindex", target});
        QCOMPARE(r.out, QByteArray("ERROR: Unable to index drive. Make sure the drive exists, is formatted correctly, "
                                   "and is not write-protected, and try again.\n"));
        QCOMPARE(r.code, 1);
        QVERIFY(!QFileInfo::exists(target + "/index.dat"));
    }
};

QTEST_GUILESS_MAIN(QuorvelcBatchTest)
#include "tst_quorvelcbatch.moc"
