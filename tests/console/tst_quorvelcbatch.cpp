// quorvelc run as a process for whole conversions of Targa sequences made by
// ffmpeg: the exact bytes and exit code of a 1080 run into a folder with
// blanks in its path, every frame decoded; the second run without force
// (nothing changed) and with it; a 4K source to four quadrant folders; KRX,
// total frames and silent runs; no wait on a pipe, a key on a terminal; a
// reader that goes away; player drives by label and the drive index result.
#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "../drivefs/index/loopmount.h"
#include "../engine/targa/tgahelpers.h"
#include "consoletest.h"

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

} // namespace

class QuorvelcBatchTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp{consoletest::blankTempTemplate("quorvelc batch")};
    QString m_hd;   // ten 1920 x 1080 frames, shot0001 .. shot0010
    QString m_uhd;  // two 3840 x 2160 frames, city0001 .. city0002
    QByteArray m_hdPictures; // the ten source frames as ffmpeg decodes them
    static const int kFrameBytes = 1920 * 1080 * 3;
    QProcessEnvironment m_env;

    Run quorvelc(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment())
    {
        return consoletest::run(consoletest::quorvelc(), args, env.isEmpty() ? m_env : env);
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
        QVERIFY(m_tmp.isValid());
        m_hd = m_tmp.filePath("hd source");
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
        const QString out = m_tmp.filePath("typed");
        const QList<QByteArray> argList{bytes(consoletest::quorvelc()), "-src=" + bytes(m_hd), "-dst=" + bytes(out),
                                        "-tf=2"};
        QList<QByteArray> envList;
        for (const QString& e : m_env.toStringList())
            envList << e.toLocal8Bit();
        std::vector<char*> argv, envp;
        for (const QByteArray& a : argList)
            argv.push_back(const_cast<char*>(a.constData()));
        argv.push_back(nullptr);
        for (const QByteArray& e : envList)
            envp.push_back(const_cast<char*>(e.constData()));
        envp.push_back(nullptr);

        int master = -1;
        const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
        QVERIFY(pid >= 0);
        if (pid == 0) {
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        QByteArray seen;
        // Reads for ms, or until the text appears, or until the terminal
        // closes with the program (an empty until reads on to that).
        auto readFor = [&](int ms, const QByteArray& until) {
            QElapsedTimer timer;
            timer.start();
            while (timer.elapsed() < ms && (until.isEmpty() || !seen.contains(until))) {
                pollfd p{master, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                char buffer[4096];
                const ssize_t n = ::read(master, buffer, sizeof buffer);
                if (n <= 0)
                    return;
                seen.append(buffer, int(n));
            }
        };
        const QByteArray prompt = "Press any key to continue . . . ";
        readFor(60000, prompt);
        QVERIFY2(seen.contains(prompt), seen.constData());
        QVERIFY(seen.contains("Done."));
        // It waits.
        readFor(300, QByteArray());
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, WNOHANG), 0);
        QCOMPARE(::write(master, "k", 1), ssize_t(1));
        // Until the terminal closes with the program.
        const int before = seen.size();
        readFor(10000, QByteArray());
        QCOMPARE(::waitpid(pid, &status, 0), pid);
        QVERIFY(seen.size() > before);
        ::close(master);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        // The key is not echoed; the line ends after it.
        QVERIFY2(seen.endsWith(prompt + "\r\r\n") || seen.endsWith(prompt + "\r\n"), seen.constData());
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
        QVERIFY(slot1.release() && slot10.release());
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
