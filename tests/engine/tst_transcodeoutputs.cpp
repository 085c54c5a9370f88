// The transcoding engine on real files made by ffmpeg, for what becomes of
// its output files: stops, stalls and kills leave the earlier file whole and
// nothing behind, one writer per output, links and FIFOs placed by another
// user, and damaged or empty inputs that must fail instead of writing (and one
// whose first picture comes late, which must not).
#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "encodingthread.h"
#include "fileitemkeys.h"
#include "testutil.h"
#include "transcode/transcodefixture.h"

extern "C" {
#include <libavformat/avformat.h>
}

using namespace transcodetest;

class TestTranscodeOutputs : public Fixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void stopThroughTheEncodingThread();
    void deletingARunningThreadStopsIt();
    void stallOrStopEndsAWaitingWriter_data();
    void stallOrStopEndsAWaitingWriter();
    void logAndTwoEnginesAtOnce();
    void stoppedOutputLeavesTheOldFile();
    void fullDiskLeavesTheOldFile();
    void killedProcessLeavesTheOldFile();
    void oneOutputOneWriter();
    void linksInASharedFolderAreNotFollowed();
    void leftoversOfStoppedWritersAreRemoved();
    void othersFifoAtTheOutputName();
    void cutInputIsAFailure();
    void matroskaStreamsOfTheirOwnLength();
    void noPictureIsNoVideo();
    void soundThatDecodesToNothingFails();
    void firstPictureAfterAudioPreroll();

public:
    // Child process: one transcode, until it is killed.
    static int transcodeChild(const QString& in, const QString& out, const QString& presetFile, const QString& plugins);

private:
    // The format FFmpeg's probe takes bytes for, read as ffprobe reads a file
    // named name: ever longer beginnings until one is sure enough.
    static QByteArray probedFormat(const QByteArray& bytes, const char* name)
    {
        QByteArray padded = bytes + QByteArray(AVPROBE_PADDING_SIZE, '\0');
        for (int size = 2048;; size = qMin(size * 2, int(bytes.size()))) {
            AVProbeData data{};
            data.filename = name;
            data.buf = reinterpret_cast<unsigned char*>(padded.data());
            data.buf_size = qMin(size, int(bytes.size()));
            int score = data.buf_size < bytes.size() ? AVPROBE_SCORE_RETRY : 0;
            if (const AVInputFormat* format = av_probe_input_format2(&data, 1, &score))
                return format->name;
            if (data.buf_size == bytes.size())
                return QByteArray();
        }
    }
};

void TestTranscodeOutputs::initTestCase()
{
    REQUIRE_TOOL("ffmpeg");
    REQUIRE_TOOL("ffprobe");
    QVERIFY(prepare({"long.mp4", "white.mp4"}));
}

int TestTranscodeOutputs::transcodeChild(const QString& in, const QString& out, const QString& presetFile,
                                  const QString& plugins)
{
    TranscodeEngine engine(plugins.toUtf8().constData());
    return engine.transcode(s(in).c_str(), s(out).c_str(), s(presetFile).c_str(), false, 0, 0, false, false, 0);
}

void TestTranscodeOutputs::stopThroughTheEncodingThread()
{
    QString out = path("stopped.mpg");
    EncodingThread thread(nullptr, path("long.mp4"), out, preset("576p_pal_h264_low"), plugins(), false, 0, 0, false,
                          false, 0);
    QSignalSpy finished(&thread, SIGNAL(transcodeFinished(int)));
    QSignalSpy kept(&thread, SIGNAL(undeletedDP(bool)));
    TranscodeEngine* engine = thread.getTranscoder();
    QCOMPARE(engine->progress(), 0.0);
    // A stop asked before the start is cleared by it.
    engine->stopRequest = true;
    thread.start();
    double seen = 0.0;
    QTRY_VERIFY_WITH_TIMEOUT((seen = engine->progress()) > 0.05, 30000);
    QVERIFY(seen < 1.0);
    double later = engine->progress();
    QVERIFY(later >= seen);
    engine->stopRequest = true;
    QVERIFY(finished.wait(15000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), 0);
    QCOMPARE(kept.count(), 0);
    QVERIFY(thread.wait(5000));
    QCOMPARE(engine->progress(), 0.0);
    // A stopped transcode leaves nothing a player could be given.
    QVERIFY(!QFile::exists(out));
    QCOMPARE(leftovers(m_dir.path(), QDir(m_dir.path()).entryList(QDir::Files)), QStringList());
}

void TestTranscodeOutputs::deletingARunningThreadStopsIt()
{
    QString out = path("deleted.mpg");
    auto* thread = new EncodingThread(nullptr, path("long.mp4"), out, preset("576p_pal_mpeg2_low"), plugins(), false,
                                      0, 0, false, false, 0);
    thread->start();
    QTRY_VERIFY_WITH_TIMEOUT(thread->getTranscoder()->progress() > 0.02, 30000);
    QElapsedTimer timer;
    timer.start();
    delete thread;
    QVERIFY(timer.elapsed() < 15000);
    QVERIFY(!QFile::exists(out));

    // Also right after the start, before the transcode has cleared old requests.
    QString early = path("deleted_early.mpg");
    thread = new EncodingThread(nullptr, path("long.mp4"), early, preset("576p_pal_mpeg2_low"), plugins(), false, 0,
                                0, false, false, 0);
    thread->start();
    timer.restart();
    delete thread;
    QVERIFY(timer.elapsed() < 15000);
    // Stopped, not run to its end.
    QVERIFY(!QFile::exists(early));
}

void TestTranscodeOutputs::stallOrStopEndsAWaitingWriter_data()
{
    QTest::addColumn<bool>("reader");
    QTest::addColumn<bool>("stall");
    // Nobody opens the FIFO: opening the output waits. A reader that never
    // reads: writing waits once the pipe is full.
    QTest::newRow("open, stall limit") << false << true;
    QTest::newRow("open, stop") << false << false;
    QTest::newRow("write, stall limit") << true << true;
    QTest::newRow("write, stop") << true << false;
}

void TestTranscodeOutputs::stallOrStopEndsAWaitingWriter()
{
    QFETCH(bool, reader);
    QFETCH(bool, stall);
    QTemporaryDir folder;
    const QString fifo = folder.filePath("VID00001.mpg");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const int readEnd = reader ? ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    QVERIFY(!reader || readEnd >= 0);
    // Long enough, with a reader, for the work to fill the pipe before it.
    if (stall)
        qputenv("MCPLUGCORE_DEADLOCK_TIMEOUT_MS", reader ? "3000" : "400");
    EncodingThread thread(nullptr, path("long.mp4"), fifo, preset("576p_pal_mpeg2_low"), plugins(), false, 0, 0, false,
                          false, 0);
    QSignalSpy finished(&thread, SIGNAL(transcodeFinished(int)));
    // Whatever fails, the writer is let go before the thread goes.
    const auto release = qScopeGuard([&] {
        qunsetenv("MCPLUGCORE_DEADLOCK_TIMEOUT_MS");
        std::thread drain([&] {
            const int fd = readEnd >= 0 ? readEnd : ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            char buf[65536];
            while (fd >= 0 && !thread.isFinished())
                if (::read(fd, buf, sizeof buf) <= 0)
                    QThread::yieldCurrentThread();
            if (fd >= 0)
                ::close(fd);
        });
        thread.wait();
        drain.join();
    });
    bool full = !reader;
    bool begun = false;
    QByteArray err = media::capture(stderr, [&] {
        thread.start();
        // Its lock is made after the transcode cleared earlier stop requests.
        begun = QTest::qWaitFor([&] { return QFile::exists(folder.filePath(".VID00001.mpg.lock")); }, 30000);
        if (reader) {
            // Stopped or stalled only once the pipe has no room left, as a
            // write end of our own sees.
            const int room = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            full = room >= 0 && QTest::qWaitFor([&] {
                pollfd p{room, POLLOUT, 0};
                return ::poll(&p, 1, 0) == 0;
            }, 60000);
            if (room >= 0)
                ::close(room);
        }
        if (!stall)
            thread.getTranscoder()->stopRequest = true;
        finished.wait(20000);
    });
    QVERIFY(begun && full);
    QCOMPARE(finished.count(), 1);
    if (stall) {
        QCOMPARE(finished.at(0).at(0).toInt(), -1);
        QVERIFY2(err.contains("\n\n*** Error: processing deadlock detected... abort.\n"), err.constData());
    } else {
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
    }
    QCOMPARE(thread.getTranscoder()->progress(), 0.0);
    QVERIFY(thread.wait(5000));
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());
}

void TestTranscodeOutputs::logAndTwoEnginesAtOnce()
{
    auto probeEngine = std::make_unique<TranscodeEngine>(plugins().toUtf8().constData());
    QString expected = QDir::toNativeSeparators(m_home.filePath("Documents/Ostrand Kelvane Inc/Quorvel/QuorvelLog.log"));
    QCOMPARE(QString::fromStdString(probeEngine->logFilePath()), expected);
    QVERIFY(QFileInfo(expected).dir().exists());
    {
        EncodingThread thread(nullptr, path("white.mp4"), path("twoengines.mpg"), preset("720p_pal_mpeg2_low"),
                              plugins(), false, 0, 0, false, false, 0);
        thread.start();
        QVERIFY(thread.wait(60000));
    }
    // The encoding engine has ended; the probe engine still works and logs.
    QCOMPARE(probeEngine->probeFile(s(path("white.mp4")).c_str())[fileitem::kValidKey], std::string("true"));
    media::capture(stderr, [&] { probeEngine->probeFile(s(path("gone-after-encode.mp4")).c_str()); });
    QString log = logText();
    QVERIFY(log.endsWith("*** Input file not found.\n"));
    QVERIFY(log.contains(QRegularExpression(R"(\[info\] \[mpeg2video @ )")) || log.contains("[info] [libx264 @ "));
    probeEngine.reset();

    // An engine without plug-ins says so and opens nothing.
    QTemporaryDir empty;
    std::unique_ptr<TranscodeEngine> bare;
    QByteArray err = media::capture(stderr, [&] { bare.reset(new TranscodeEngine(empty.path().toUtf8().constData())); });
    QCOMPARE(QString(err), QString("No Plugins Found!"));
    QCOMPARE(bare->probeFile(s(path("white.mp4")).c_str())[fileitem::kVideoCodecKey], std::string("Invalid File Type"));
    QVERIFY(logText().contains("No Plugins Found!"));
}

void TestTranscodeOutputs::stoppedOutputLeavesTheOldFile()
{
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    const QByteArray old = "the output of an earlier day";
    QVERIFY(writeOld(out, old));
    EncodingThread thread(nullptr, path("long.mp4"), out, preset("576p_pal_mpeg2_low"), plugins(), false, 0, 0, false,
                          false, 0);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(thread.getTranscoder()->progress() > 0.1, 30000);
    // Meanwhile the earlier file is still whole under its name.
    QCOMPARE(read(out), old);
    thread.getTranscoder()->stopRequest = true;
    QVERIFY(thread.wait(15000));
    QCOMPARE(read(out), old);
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());

    // Run to its end, the new output takes the name.
    EncodingThread whole(nullptr, path("white.mp4"), out, preset("720p_pal_mpeg2_low"), plugins(), false, 0, 0, false,
                         false, 0);
    QSignalSpy finished(&whole, SIGNAL(transcodeFinished(int)));
    whole.start();
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.at(0).at(0).toInt(), 0);
    QCOMPARE(media::ffprobe(out).stream("video").value("width").toInt(), 1280);
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());
}

void TestTranscodeOutputs::fullDiskLeavesTheOldFile()
{
    // The output folder fills up: writes past 300 KB fail as on a full disk.
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    const QByteArray old = "the output of an earlier day";
    QVERIFY(writeOld(out, old));
    struct rlimit before;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = before;
    small.rlim_cur = 300 * 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    TranscodeEngine engine(plugins().toUtf8().constData());
    int result = 0;
    const QByteArray printed = media::capture(stdout, [&] {
        result = engine.transcode(s(path("long.mp4")).c_str(), s(out).c_str(), s(preset("576p_pal_mpeg2_low")).c_str(),
                                  false, 0, 0, false, false, 0);
    });
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(result != 0);
    QCOMPARE(QString::fromStdString(engine.lastFailure()), QString("writing %1: File too large").arg(out));
    QCOMPARE(QString(printed), "Failed: " + QString::fromStdString(engine.lastFailure()));
    QCOMPARE(read(out), old);
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());
}

void TestTranscodeOutputs::killedProcessLeavesTheOldFile()
{
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    const QByteArray old = "the output of an earlier day";
    QVERIFY(writeOld(out, old));
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {"--transcode-child", path("long.mp4"), out, preset("576p_pal_mpeg2_low"), plugins()});
    QVERIFY(child.waitForStarted(10000));
    // Killed once it has written a good part of its output.
    auto written = [&] {
        qint64 most = 0;
        for (const QFileInfo& f : QDir(folder.path()).entryInfoList(QDir::Files | QDir::Hidden))
            most = qMax(most, f.size());
        return most;
    };
    QTRY_VERIFY_WITH_TIMEOUT(written() > 1024 * 1024 || child.state() == QProcess::NotRunning, 30000);
    QCOMPARE(child.state(), QProcess::Running);
    ::kill(pid_t(child.processId()), SIGKILL);
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QCOMPARE(read(out), old);

    // The next transcode of the name is not hindered by what the killed one left.
    QCOMPARE(transcode(path("white.mp4"), out, preset("720p_pal_mpeg2_low")), 0);
    QCOMPARE(media::ffprobe(out).stream("video").value("width").toInt(), 1280);
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());
}

void TestTranscodeOutputs::oneOutputOneWriter()
{
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    EncodingThread first(nullptr, path("long.mp4"), out, preset("576p_pal_mpeg2_low"), plugins(), false, 0, 0, false,
                         false, 0);
    QSignalSpy firstDone(&first, SIGNAL(transcodeFinished(int)));
    first.start();
    QTRY_VERIFY_WITH_TIMEOUT(first.getTranscoder()->progress() > 0.05, 30000);

    // A second encoder of the same name fails at once and writes nothing.
    QByteArray err;
    QElapsedTimer timer;
    timer.start();
    TranscodeEngine second(plugins().toUtf8().constData());
    int result = 0;
    err = media::capture(stderr, [&] {
        result = second.transcode(s(path("white.mp4")).c_str(), s(out).c_str(),
                                  s(preset("720p_pal_mpeg2_low")).c_str(), false, 0, 0, false, false, 0);
    });
    QCOMPARE(result, -1);
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(QString(err), QString("*** %1 is being written by another Quorvel.\n").arg(out));
    QCOMPARE(QString::fromStdString(second.lastFailure()), QString("%1 is being written by another Quorvel.").arg(out));
    QCOMPARE(first.getTranscoder()->progress() > 0.0, true);

    // The first one ends whole and lets go of the name.
    QVERIFY(firstDone.wait(120000));
    QCOMPARE(firstDone.at(0).at(0).toInt(), 0);
    const testutil::RunResult r = testutil::run("ffmpeg", {"-v", "error", "-i", out, "-f", "null", "-"});
    QVERIFY2(r.ok() && r.err.trimmed().isEmpty(), r.err.constData());
    const double seconds = media::ffprobe(out).format.value("duration").toString().toDouble();
    QVERIFY2(qAbs(seconds - 20.0) < 0.5, qPrintable(QString::number(seconds)));
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg"}), QStringList());
    QCOMPARE(second.transcode(s(path("white.mp4")).c_str(), s(out).c_str(), s(preset("720p_pal_mpeg2_low")).c_str(),
                              false, 0, 0, false, false, 0),
             0);
}

void TestTranscodeOutputs::linksInASharedFolderAreNotFollowed()
{
    if (::geteuid() != 0)
        QSKIP("needs root: a second user places the links");
    if (!testutil::haveTool("setpriv"))
        QSKIP("missing tool: setpriv");
    // An output folder everybody may write, inside a folder everybody may enter.
    QTemporaryDir top;
    QVERIFY(QFile::setPermissions(top.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                   | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                                   | QFileDevice::ExeOther));
    const QString shared = top.filePath("shared");
    QVERIFY(QDir().mkdir(shared));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
    // A file of the operator's that the other user may not write.
    const QString victim = top.filePath("victim.txt");
    const QByteArray kept = "the operator's own notes";
    QVERIFY(writeOld(victim, kept));
    auto asNobody = [](const QString& command) {
        return testutil::run("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", command});
    };
    QVERIFY(!asNobody("echo x >> '" + victim + "'").ok());
    for (const char* name : {".VID00001.mpg.part", ".VID00001.mpg.lock"})
        QVERIFY(asNobody("ln -s '" + victim + "' '" + shared + "/" + name + "'").ok());

    const QString out = shared + "/VID00001.mpg";
    QCOMPARE(transcode(path("white.mp4"), out, preset("720p_pal_mpeg2_low")), 0);
    QCOMPARE(read(victim), kept);
    const QFileInfo written(out);
    QVERIFY(!written.isSymLink());
    QVERIFY(written.isFile());
    QCOMPARE(media::ffprobe(out).stream("video").value("width").toInt(), 1280);
    QCOMPARE(QFileInfo(victim).size(), qint64(kept.size()));
}

void TestTranscodeOutputs::leftoversOfStoppedWritersAreRemoved()
{
    QTemporaryDir folder;
    auto plant = [&](const QString& name) { return writeOld(folder.filePath(name), "left behind"); };
    // What writers that were killed or switched off left, in the program's
    // own patterns (also the older fixed temporary name), and what is no
    // temporary file of ours.
    QVERIFY(plant(".VID00007.mpg.k3Q9xZ.part"));
    QVERIFY(plant(".VID00007.mpg.lock"));
    QVERIFY(plant(".VID00008.mpg.part"));
    QVERIFY(plant(".hidden-notes"));
    QVERIFY(plant("VID00009.mpg.part"));

    // A writer that runs keeps its temporary file and its lock.
    EncodingThread running(nullptr, path("long.mp4"), folder.filePath("VID00002.mpg"), preset("576p_pal_mpeg2_low"),
                           plugins(), false, 0, 0, false, false, 0);
    QSignalSpy runningDone(&running, SIGNAL(transcodeFinished(int)));
    running.start();
    QTRY_VERIFY_WITH_TIMEOUT(running.getTranscoder()->progress() > 0.05, 30000);
    const QStringList ofRunning = leftovers(folder.path(), {".VID00007.mpg.k3Q9xZ.part", ".VID00007.mpg.lock",
                                                            ".VID00008.mpg.part", ".hidden-notes", "VID00009.mpg.part"});
    QCOMPARE(ofRunning.size(), 2);

    QCOMPARE(transcode(path("white.mp4"), folder.filePath("VID00001.mpg"), preset("720p_pal_mpeg2_low")), 0);
    QStringList expected = ofRunning + QStringList{"VID00001.mpg", ".hidden-notes", "VID00009.mpg.part"};
    QStringList now = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    expected.sort();
    now.sort();
    QCOMPARE(now, expected);
    QVERIFY(runningDone.wait(120000));
    QCOMPARE(runningDone.at(0).at(0).toInt(), 0);
    QCOMPARE(leftovers(folder.path(), {"VID00001.mpg", "VID00002.mpg", ".hidden-notes", "VID00009.mpg.part"}),
             QStringList());
}

void TestTranscodeOutputs::othersFifoAtTheOutputName()
{
    if (::geteuid() != 0)
        QSKIP("needs root: a second user places the FIFO");
    if (!testutil::haveTool("setpriv"))
        QSKIP("missing tool: setpriv");
    // A drop folder everybody may write, inside a folder everybody may enter.
    QTemporaryDir top;
    QCOMPARE(::chmod(QFile::encodeName(top.path()).constData(), 0755), 0);
    const QString shared = top.filePath("shared");
    QVERIFY(QDir().mkdir(shared));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
    const QString out = shared + "/VID00001.mpg";
    for (int round = 1; round <= 2; ++round) {
        QVERIFY(testutil::run("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
                                          "rm -f '" + out + "' && mkfifo -m 0666 '" + out + "'"})
                    .ok());
        // Whatever a writer sends through the other user's FIFO is counted.
        std::atomic<bool> done{false};
        std::atomic<qint64> received{0};
        std::thread reader([&] {
            const int fd = ::open(QFile::encodeName(out).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            char buf[65536];
            while (fd >= 0 && !done) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 20) > 0) {
                    const ssize_t n = ::read(fd, buf, sizeof buf);
                    received += n > 0 ? n : 0;
                }
            }
            if (fd >= 0)
                ::close(fd);
        });
        const int result = transcode(path("white.mp4"), out, preset("720p_pal_mpeg2_low"));
        done = true;
        reader.join();
        QCOMPARE(result, 0);
        QCOMPARE(received.load(), qint64(0));
        struct stat st;
        QCOMPARE(::lstat(QFile::encodeName(out).constData(), &st), 0);
        QVERIFY2(S_ISREG(st.st_mode), qPrintable(QString("round %1").arg(round)));
        QCOMPARE(st.st_uid, ::geteuid());
        QCOMPARE(media::ffprobe(out).stream("video").value("width").toInt(), 1280);
        QCOMPARE(leftovers(shared, {"VID00001.mpg"}), QStringList());
    }
}

void TestTranscodeOutputs::cutInputIsAFailure()
{
    // Ten seconds with its index first, cut to 40% of its bytes: it still
    // probes as ten seconds.
    const QString tone = "sine=frequency=440:sample_rate=48000";
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t", "10",
                           "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-movflags", "+faststart",
                           path("ten.mp4")}));
    const QByteArray whole = read(path("ten.mp4"));
    QVERIFY(writeOld(path("cut40.mp4"), whole.left(whole.size() * 4 / 10)));
    TranscodeEngine probe(plugins().toUtf8().constData());
    QCOMPARE(QString::fromStdString(probe.probeFile(s(path("cut40.mp4")).c_str())[fileitem::kDurationKey]), QString("10"));

    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    QByteArray printed;
    const int result = transcode(path("cut40.mp4"), out, preset("576p_pal_mpeg2_low"), false, 0, 0, false, false, 0,
                                 &printed);
    QVERIFY(result != 0 && result != -200);
    const QRegularExpression reason(R"(^Failed: input ends at (\d+\.\d) s of 10\.0 s: the file is damaged or incomplete$)");
    const QRegularExpressionMatch m = reason.match(QString(printed));
    QVERIFY2(m.hasMatch(), printed.constData());
    QVERIFY2(m.captured(1).toDouble() > 2.0 && m.captured(1).toDouble() < 6.0, printed.constData());
    QVERIFY(!QFile::exists(out));
    QCOMPARE(leftovers(folder.path(), {}), QStringList());

    // The same input whole, and with a few damaged packets, stays a success.
    QCOMPARE(transcode(path("ten.mp4"), out, preset("576p_pal_mpeg2_low")), 0);
    QByteArray damaged = read(path("long.mp4"));
    for (int at = damaged.size() / 3; at < damaged.size() * 2 / 3; at += damaged.size() / 7)
        for (int i = 0; i < 200; ++i)
            damaged[at + i] = char(i * 37);
    QVERIFY(writeOld(path("hurt.mp4"), damaged));
    QCOMPARE(transcode(path("hurt.mp4"), folder.filePath("hurt.mpg"), preset("576p_pal_mpeg2_low")), 0);
    const double seconds = media::ffprobe(folder.filePath("hurt.mpg")).format.value("duration").toString().toDouble();
    QVERIFY2(seconds > 19.0, qPrintable(QString::number(seconds)));
}

void TestTranscodeOutputs::matroskaStreamsOfTheirOwnLength()
{
    // Matroska gives its streams no duration of their own: a sound shorter
    // than the picture (or the other way round) is no damage.
    const QString tone = "sine=frequency=440:sample_rate=48000";
    auto clip = [&](const QString& picture, const QString& sound, const QString& name) {
        return QStringList{"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=" + picture, "-f", "lavfi",
                           "-i", tone + ":duration=" + sound, "-c:v", "libx264", "-preset", "ultrafast", "-c:a",
                           "aac", path(name)};
    };
    QVERIFY(media::ffmpegAll({clip("10", "4", "longpicture.mkv"), clip("4", "10", "longsound.mkv"),
                              clip("10", "10", "both.mkv")}));
    QTemporaryDir folder;
    for (const char* name : {"longpicture.mkv", "longsound.mkv"}) {
        QByteArray printed;
        const QString out = folder.filePath(QString(name) + ".mpg");
        QCOMPARE(transcode(path(name), out, preset("576p_pal_mpeg2_low"), false, 0, 0, false, false, 0, &printed), 0);
        QCOMPARE(QString(printed), QString());
        const double seconds = media::ffprobe(out).format.value("duration").toString().toDouble();
        QVERIFY2(qAbs(seconds - 10.0) < 0.5, qPrintable(QString(name) + ": " + QString::number(seconds)));
    }

    // Both streams cut short of the file's length still fail.
    const QByteArray whole = read(path("both.mkv"));
    QVERIFY(writeOld(path("cut.mkv"), whole.left(whole.size() / 2)));
    QByteArray printed;
    const int result = transcode(path("cut.mkv"), folder.filePath("cut.mpg"), preset("576p_pal_mpeg2_low"), false, 0,
                                 0, false, false, 0, &printed);
    QVERIFY(result != 0 && result != -200);
    QVERIFY2(printed.contains("the file is damaged or incomplete"), printed.constData());
    QVERIFY(!QFile::exists(folder.filePath("cut.mpg")));
}

void TestTranscodeOutputs::noPictureIsNoVideo()
{
    // Random bytes that FFmpeg's probe takes for a raw H.263 stream without
    // a picture size (about one 200 KB file in thirty).
    QString noise;
    std::mt19937 random(33);
    for (int attempt = 0; attempt < 2000 && noise.isEmpty(); ++attempt) {
        QByteArray bytes(200000, Qt::Uninitialized);
        for (char& c : bytes)
            c = char(random() & 0xFF);
        // FFmpeg's probe of the bytes in memory picks the few worth an ffprobe run.
        if (probedFormat(bytes, "noise") != "h263")
            continue;
        const QString file = path("noise");
        QVERIFY(writeOld(file, bytes));
        const media::Probe p = media::ffprobe(file);
        if (p.stream("video").value("codec_name").toString() == "h263" && p.stream("video").value("width").toInt() == 0)
            noise = file;
    }
    if (noise.isEmpty())
        QSKIP("this FFmpeg takes none of 2000 random files for a sizeless H.263 stream");

    TranscodeEngine engine(plugins().toUtf8().constData());
    std::map<std::string, std::string> probed;
    media::capture(stderr, [&] { probed = engine.probeFile(s(noise).c_str()); });
    const std::map<std::string, std::string> invalid{{fileitem::kValidKey, "false"},
                                                     {fileitem::kVideoCodecKey, "Invalid File Type"}};
    QVERIFY(probed == invalid);

    // Given to a transcode all the same, it writes no empty output.
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    QByteArray printed;
    const int result = transcode(noise, out, preset("576p_pal_mpeg2_low"), false, 0, 0, false, false, 0, &printed);
    QVERIFY(result != 0 && result != -200);
    QVERIFY2(printed.startsWith("Failed: ") || printed.startsWith("*** "), printed.constData());
    QVERIFY(!QFile::exists(out));
    QCOMPARE(leftovers(folder.path(), {}), QStringList());
}

void TestTranscodeOutputs::soundThatDecodesToNothingFails()
{
    // Seeded junk kept in the tree (seed N in the name: Python's
    // random.Random(N), four 768-byte blocks, each opening with the first five
    // bytes of a real AC-3 frame): probed as AC-3 sound, yet no frame decodes.
    const QString junk = qEnvironmentVariable("QUORVEL_SOURCE_DIR") + "/tests/engine/transcode/junk";
    const QStringList inputs = QDir(junk).entryList({"*.ac3"}, QDir::Files, QDir::Name);
    QVERIFY2(inputs.size() >= 6, qPrintable(junk));
    QTemporaryDir folder;
    const QString out = folder.filePath("VID00001.mpg");
    for (const QString& name : inputs) {
        QByteArray printed;
        const int result = transcode(junk + "/" + name, out, preset("576p_pal_mpeg2_low"), false, 0, 0, false,
                                     false, 0, &printed);
        QVERIFY2(result != 0 && result != -200, qPrintable(name));
        QVERIFY2(printed.startsWith("Failed: "), printed.constData());
        QVERIFY2(!QFile::exists(out), qPrintable(name));
        QCOMPARE(leftovers(folder.path(), {}), QStringList());
    }
}

void TestTranscodeOutputs::firstPictureAfterAudioPreroll()
{
    // 680 tiny sound packets before the first picture.
    const QString preroll = path("preroll.mkv");
    QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "sine=sample_rate=8000:duration=1.6,asetnsamples=n=16", "-itsoffset",
                           "1.4", "-f", "lavfi", "-i", "color=red:size=64x36:rate=25:duration=0.2", "-c:a",
                           "pcm_s16le", "-c:v", "mpeg2video", preroll}));
    TranscodeEngine engine(plugins().toUtf8().constData());
    std::map<std::string, std::string> probed;
    media::capture(stderr, [&] { probed = engine.probeFile(s(preroll).c_str()); });
    QCOMPARE(QString::fromStdString(probed[fileitem::kValidKey]), QString("true"));
    QCOMPARE(QString::fromStdString(probed[fileitem::kWidthKey]), QString("64"));
    // Probed again, the same: the pipe's reading position did not move.
    media::capture(stderr, [&] { probed = engine.probeFile(s(preroll).c_str()); });
    QCOMPARE(QString::fromStdString(probed[fileitem::kValidKey]), QString("true"));
}

int main(int argc, char* argv[])
{
    if (argc == 6 && qstrcmp(argv[1], "--transcode-child") == 0) {
        QCoreApplication app(argc, argv);
        return TestTranscodeOutputs::transcodeChild(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                                             QString::fromLocal8Bit(argv[4]), QString::fromLocal8Bit(argv[5]));
    }
    QCoreApplication app(argc, argv);
    TestTranscodeOutputs test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_transcodeoutputs.moc"
