// Uploads through FtpQueue to a real FTP server (pyftpdlib) on 127.0.0.1.
#include "ftpqueue.h"
#include "ftptestserver.h"
#include "testutil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <memory>
#include <unistd.h>

namespace {
const char kUser[] = "operator";
const char kPassword[] = "s3cret pass";

QString curlText(CURLcode code)
{
    return QString::fromUtf8(curl_easy_strerror(code));
}

// Starts a Python test server script and waits for the "PORT <n>" line it
// prints once it accepts connections.
bool startServerScript(QProcess& process, const QString& script, const QStringList& args, int* port)
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start("/usr/bin/python3", QStringList{testutil::testsDir() + "/engine/" + script} + args);
    if (!process.waitForStarted(10000))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        if (process.canReadLine()) {
            const QByteArray line = process.readLine().trimmed();
            if (line.startsWith("PORT ")) {
                *port = line.mid(5).toInt();
                return true;
            }
        }
        if (process.state() != QProcess::Running)
            return false;
        process.waitForReadyRead(200);
    }
    return false;
}

void stopProcess(QProcess& process)
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// One pyftpdlib server process with a root folder of its own.
class FtpServer
{
public:
    // throttle: bytes per second the server accepts (0 = no limit).
    bool start(qint64 throttle = 0, int wantedPort = 0)
    {
        return startServerScript(process, "ftpserver.py",
                                 {root.path(), kUser, kPassword, QString::number(throttle),
                                  QString::number(wantedPort)},
                                 &port);
    }
    ~FtpServer() { stopProcess(process); }
    QString pathOf(const QString& name) const { return root.filePath(name); }

    QTemporaryDir root;
    QProcess process;
    int port = 0;
};

// A server that hangs (hostileftpserver.py): "stall" stops reading in the
// middle of an upload, "silent" never answers.
class HangingServer
{
public:
    bool start(const QString& mode) { return startServerScript(process, "hostileftpserver.py", {mode}, &port); }
    ~HangingServer() { stopProcess(process); }

    QProcess process;
    int port = 0;
};

#define START_SERVER(server, ...)                                              \
    QVERIFY2((server).start(__VA_ARGS__), "FTP server did not start")

QString makeFile(const QTemporaryDir& dir, const QString& name, qint64 size)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    QByteArray block(64 * 1024, Qt::Uninitialized);
    qint64 left = size;
    while (left > 0) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()),
                                              block.size() / 4);
        const qint64 n = qMin<qint64>(left, block.size());
        f.write(block.constData(), n);
        left -= n;
    }
    return path;
}

bool sameBytes(const QString& a, const QString& b)
{
    return testutil::run("cmp", {a, b}).ok();
}

// Status texts received for one file, in order.
QStringList statusesFor(const QSignalSpy& spy, const QString& file)
{
    QStringList texts;
    for (const QList<QVariant>& args : spy)
        if (args.at(0).toString() == file)
            texts << args.at(1).toString();
    return texts;
}

// Final statuses (statuses other than "Upload Started") file has had.
int finals(const QSignalSpy& spy, const QString& file)
{
    const QStringList texts = statusesFor(spy, file);
    return texts.count() - texts.count("Upload Started");
}

// Waits until file has had n final statuses.
bool waitForFinals(const QSignalSpy& spy, const QString& file, int n, int timeoutMs)
{
    return QTest::qWaitFor([&] { return finals(spy, file) >= n; }, timeoutMs);
}

int freeClosedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    return port;
}

// Whether the server has printed a report starting with prefix so far.
bool reported(ftptest::Server& server, const QByteArray& prefix)
{
    server.openSessions(); // reads what has come
    for (const QByteArray& line : server.seen)
        if (line.startsWith(prefix))
            return true;
    return false;
}

// How long the test servers of this file live at most.
const char kLifetime[] = "--lifetime=120";

const char kBadCredentials[] = "Invalid character in FTP user name or password";
const char kBadAddress[] = "Invalid FTP server address";
const char kBadPort[] = "Invalid FTP server port";
} // namespace

class TestFtpQueue : public QObject
{
    Q_OBJECT
private slots:
    void queueBookkeeping();
    void uploadsToPrimaryThenSecondary();
    void portOutsideTheRangeRefused();
    void addressReadOneWay();
    void uploadCutShortFails();
    void refusedOptionFailsTheUpload();
    void missingFileThenNextJob();
    void failuresReportCurlText();
    void cancelDuringUploadThenNextJob();
    void idleClearDoesNotCancelNextUpload();
    void droppedConnectionThenNextServer();
    void destroyingQueueEndsRunningUpload();
    void hangingServersTimeOutThenNextJob();
    void commandsInCredentialsNeverSent();
    void addressTrimmedOrRefused();
    void traceHidesThePassword();
    void uploadsAfterTheServersIdleTimeout();
    void secondRunWhileTheFirstRunsQueueIsIdle();
    void destroyingQueueWhenTheServerWentQuiet();
    void sizeReplyReadStrictly();
    void sameNameNeverReplacedInOneRun();
    void benchmarkUpload();
};

void TestFtpQueue::queueBookkeeping()
{
    FtpQueue queue;
    // Jobs for a server that is never reached: cleared before the first poll.
    queue.addToQueue("/nonexistent/a.mpg", "127.0.0.1", "21", "u", "p");
    queue.addToQueue("/nonexistent/b.mpg", "127.0.0.1", "", "u", "p");
    QCOMPARE(queue.count(), 2);
    const QVariantMap first = queue.takeFirst();
    QCOMPARE(first.value("filePath").toString(), QString("/nonexistent/a.mpg"));
    QCOMPARE(first.value("address").toString(), QString("127.0.0.1"));
    QCOMPARE(first.value("port").toString(), QString("21"));
    QCOMPARE(first.value("username").toString(), QString("u"));
    QCOMPARE(first.value("password").toString(), QString("p"));
    QCOMPARE(queue.count(), 1);
    queue.clearQueue();
    QCOMPARE(queue.count(), 0);
    QVERIFY(queue.shouldCancel());
    QVERIFY(queue.takeFirst().isEmpty());
    queue.setShouldCancel(false);
    QVERIFY(!queue.shouldCancel());
}

void TestFtpQueue::uploadsToPrimaryThenSecondary()
{
    REQUIRE_FTP_SERVER();
    FtpServer primary, secondary;
    START_SERVER(primary);
    START_SERVER(secondary);

    QTemporaryDir local;
    // Characters that would end or change the URL path if sent raw.
    const QString odd = makeFile(local, "show #1 100% final?.mpg", 300 * 1024 + 7);
    const QString plain = makeFile(local, "clip.001", 1000);
    const QString empty = makeFile(local, "empty.mpg", 0);

    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    QSignalSpy progress(&queue, &FtpQueue::progress);
    // Both signals in the order they arrive, to check how they interleave.
    QList<QPair<QString, QString>> events; // file, status text ("" for progress)
    connect(&queue, &FtpQueue::status, this,
            [&](const QString& f, const QString& text) { events.append({f, text}); });
    connect(&queue, &FtpQueue::progress, this,
            [&](const QString& f, double) { events.append({f, QString()}); });
    for (const QString& file : {odd, plain, empty}) {
        queue.addToQueue(file, "127.0.0.1", QString::number(primary.port), kUser, kPassword);
        queue.addToQueue(file, "127.0.0.1", QString::number(secondary.port), kUser, kPassword);
    }

    for (const QString& file : {odd, plain, empty})
        QVERIFY2(waitForFinals(status, file, 2, 30000), qPrintable(file));

    for (const QString& file : {odd, plain, empty}) {
        const QString name = QFileInfo(file).fileName();
        QCOMPARE(statusesFor(status, file),
                 QStringList({"Upload Started", "No error", "Upload Started", "No error"}));
        QVERIFY2(sameBytes(file, primary.pathOf(name)), qPrintable(name));
        QVERIFY2(sameBytes(file, secondary.pathOf(name)), qPrintable(name));
    }
    QCOMPARE(QDir(primary.root.path()).entryList(QDir::Files).count(), 3);

    // Jobs run one after another in queue order: primary, then secondary.
    QStringList order;
    for (const QList<QVariant>& args : status)
        if (args.at(1).toString() == "Upload Started")
            order << QFileInfo(args.at(0).toString()).fileName();
    QCOMPARE(order, QStringList({"show #1 100% final?.mpg", "show #1 100% final?.mpg",
                                 "clip.001", "clip.001", "empty.mpg", "empty.mpg"}));

    // Each upload: "Upload Started", then its progress, then its final status;
    // nothing of one upload arrives outside that span.
    QString current;
    for (const auto& e : events) {
        if (e.second == "Upload Started") {
            QVERIFY2(current.isEmpty(), qPrintable(e.first));
            current = e.first;
        } else {
            QCOMPARE(e.first, current);
            if (!e.second.isEmpty())
                current.clear();
        }
    }
    QVERIFY(current.isEmpty());

    // Percentages stay within 0..100, the non-empty file reaches 100 and the
    // empty one reports 0 (never a division by zero).
    bool oddReachedAll = false;
    for (const QList<QVariant>& args : progress) {
        const double p = args.at(1).toDouble();
        QVERIFY2(std::isfinite(p) && p >= 0.0 && p <= 100.0, qPrintable(QString::number(p)));
        if (args.at(0).toString() == odd && p == 100.0)
            oddReachedAll = true;
        if (args.at(0).toString() == empty)
            QCOMPARE(p, 0.0);
    }
    QVERIFY(oddReachedAll);
}

// A port outside 1-65535, or none, is refused as the server dialog refuses
// it; it never stands for the FTP default port.
void TestFtpQueue::portOutsideTheRangeRefused()
{
    REQUIRE_FTP_SERVER();
    FtpServer server;
    if (!server.start(0, 21))
        QSKIP("could not run a test FTP server on port 21 (in use or not permitted)");

    QTemporaryDir local;
    QStringList files;
    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    for (const QString& port : {QString("0"), QString(""), QString(" "), QString("65536"), QString("-1")}) {
        files << makeFile(local, QString("port%1.mpg").arg(files.size()), 5000);
        queue.addToQueue(files.last(), "127.0.0.1", port, kUser, kPassword);
    }
    const QString good = makeFile(local, "good.mpg", 6000);
    queue.addToQueue(good, "127.0.0.1", " 21 ", kUser, kPassword);
    QVERIFY(waitForFinals(status, good, 1, 20000));
    for (const QString& file : files)
        QCOMPARE(statusesFor(status, file), QStringList({kBadPort}));
    QCOMPARE(statusesFor(status, good), QStringList({"Upload Started", "No error"}));
    QCOMPARE(QDir(server.root.path()).entryList(QDir::Files), QStringList({"good.mpg"}));
}

// "::1" and "[::1]" reach an IPv6 server; an address holding what a URL
// would take for a user, a path, a port or a fragment is refused, and never
// sent to port 21 or anywhere else.
void TestFtpQueue::addressReadOneWay()
{
    REQUIRE_FTP_SERVER();
    ftptest::Server v6;
    if (!v6.start({"--host=::1"}))
        QSKIP("could not run a test FTP server on ::1");
    FtpServer v4;
    START_SERVER(v4);
    const QString port6 = QString::number(v6.port), port4 = QString::number(v4.port);

    QTemporaryDir local;
    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    QStringList reached;
    for (const QString& address : {QString("::1"), QString("[::1]"), QString(" [::1] ")}) {
        reached << makeFile(local, QString("v6_%1.mpg").arg(reached.size()), 7000);
        queue.addToQueue(reached.last(), address, port6, kUser, kPassword);
    }
    QStringList refused;
    for (const QString& address :
         {QString("127.0.0.1/"), QString("127.0.0.1/x"), QString("operator@127.0.0.1"), QString("127.0.0.1#x"),
          QString("127.0.0.1?x"), "127.0.0.1:" + port4, QString("[127.0.0.1]"), QString("[::1"),
          QString("::1]"), QString("::1%lo"), QString("127.0.0.1\\x"), QString("")}) {
        refused << makeFile(local, QString("bad_%1.mpg").arg(refused.size()), 3000);
        queue.addToQueue(refused.last(), address, port4, kUser, kPassword);
    }
    const QString last = makeFile(local, "last.mpg", 3000);
    queue.addToQueue(last, "127.0.0.1", port4, kUser, kPassword);
    QVERIFY(waitForFinals(status, last, 1, 60000));

    for (const QString& file : reached) {
        QCOMPARE(statusesFor(status, file), QStringList({"Upload Started", "No error"}));
        QVERIFY(sameBytes(file, v6.root.filePath(QFileInfo(file).fileName())));
    }
    for (int i = 0; i < refused.size(); ++i)
        QVERIFY2(statusesFor(status, refused[i]) == QStringList({kBadAddress}),
                 qPrintable(QString::number(i) + ": " + statusesFor(status, refused[i]).join(" | ")));
    QCOMPARE(QDir(v4.root.path()).entryList(QDir::Files), QStringList({"last.mpg"}));
}

// A server that cuts or resets the data connection part way, or keeps only
// half of what it gets, and then says "226": the upload fails naming both
// sizes. A server without SIZE passes as before.
void TestFtpQueue::uploadCutShortFails()
{
    REQUIRE_FTP_SERVER();
    QTemporaryDir local;
    const QString file = makeFile(local, "cut.mpg", 200000);
    const QList<QPair<QString, QString>> cases = {
        {"cut-data", "Upload incomplete: the server holds 131072 of 200000 bytes"},
        {"reset-data", "Upload incomplete: the server holds 131072 of 200000 bytes"},
        {"keep-half", "Upload incomplete: the server holds 100000 of 200000 bytes"},
        {"no-size", "No error"},
    };
    for (const auto& c : cases) {
        ftptest::Server server;
        QVERIFY2(server.startHostile(c.first), qPrintable(c.first));
        FtpQueue queue;
        QSignalSpy status(&queue, &FtpQueue::status);
        queue.addToQueue(file, "127.0.0.1", QString::number(server.port), kUser, kPassword);
        QVERIFY(waitForFinals(status, file, 1, 30000));
        QVERIFY(server.waitFor("STORED cut.mpg"));
        const QStringList texts = statusesFor(status, file);
        // A reset may reach libcurl while it still sends: then its own text.
        if (c.first == "reset-data" && texts.value(1) != c.second) {
            QVERIFY2(texts.value(1) != "No error", qPrintable(c.first));
            continue;
        }
        QVERIFY2(texts == QStringList({"Upload Started", c.second}), qPrintable(c.first + ": " + texts.join(" | ")));
    }
}

// A value libcurl refuses fails the upload with libcurl's text; nothing
// logs in under another name.
void TestFtpQueue::refusedOptionFailsTheUpload()
{
    REQUIRE_FTP_SERVER();
    ftptest::Server server;
    QVERIFY2(server.start(), "FTP server did not start");
    QTemporaryDir local;
    const QString file = makeFile(local, "longuser.mpg", 3000);
    const QString good = makeFile(local, "good.mpg", 3000);
    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    queue.addToQueue(file, "127.0.0.1", QString::number(server.port), QString(8 * 1024 * 1024, 'u'), kPassword);
    queue.addToQueue(good, "127.0.0.1", QString::number(server.port), kUser, kPassword);
    QVERIFY(waitForFinals(status, good, 1, 30000));
    QCOMPARE(statusesFor(status, file), QStringList({curlText(CURLE_BAD_FUNCTION_ARGUMENT)}));
    QCOMPARE(statusesFor(status, good), QStringList({"Upload Started", "No error"}));
    // The good upload's session is the only one.
    QVERIFY(server.waitFor("LOGIN "));
    server.openSessions();
    QList<QByteArray> sessions;
    for (const QByteArray& line : server.seen)
        if (line.startsWith("OPEN ") || line.startsWith("LOGIN ") || line.startsWith("FAILED "))
            sessions << line;
    QCOMPARE(sessions, QList<QByteArray>({"OPEN 1", "LOGIN operator"}));
    QCOMPARE(QDir(server.root.path()).entryList(QDir::Files), QStringList({"good.mpg"}));
}

void TestFtpQueue::missingFileThenNextJob()
{
    REQUIRE_FTP_SERVER();
    FtpServer server;
    START_SERVER(server);
    QTemporaryDir local;
    const QString missing = local.filePath("gone.mpg");
    const QString next = makeFile(local, "next.mpg", 4096);

    QByteArray printed;
    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    {
        ftptest::StreamCapture capture(local.filePath("stdout.txt"));
        queue.addToQueue(missing, "127.0.0.1", QString::number(server.port), kUser, kPassword);
        queue.addToQueue(next, "127.0.0.1", QString::number(server.port), kUser, kPassword);
        const bool done = waitForFinals(status, next, 1, 20000);
        printed = capture.finish();
        QVERIFY(done);
    }
    QVERIFY2(printed.contains("Couldnt open '" + missing.toUtf8() + "'\n"), printed.constData());
    QVERIFY(statusesFor(status, missing).isEmpty());
    QCOMPARE(statusesFor(status, next), QStringList({"Upload Started", "No error"}));
    QVERIFY(sameBytes(next, server.pathOf("next.mpg")));
    QVERIFY(!QFile::exists(server.pathOf("gone.mpg")));
}

void TestFtpQueue::failuresReportCurlText()
{
    REQUIRE_FTP_SERVER();
    FtpServer server;
    START_SERVER(server);
    QTemporaryDir local;
    const QString wrongPass = makeFile(local, "wrongpass.mpg", 2048);
    const QString down = makeFile(local, "down.mpg", 2048);
    const QString badPort = makeFile(local, "badport.mpg", 2048);
    const QString good = makeFile(local, "good.mpg", 2048);

    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    queue.addToQueue(wrongPass, "127.0.0.1", QString::number(server.port), kUser, "wrong");
    queue.addToQueue(down, "127.0.0.1", QString::number(freeClosedPort()), kUser, kPassword);
    queue.addToQueue(badPort, "127.0.0.1", "port21", kUser, kPassword);
    queue.addToQueue(good, "127.0.0.1", QString::number(server.port), kUser, kPassword);
    QVERIFY(waitForFinals(status, good, 1, 30000));

    QCOMPARE(statusesFor(status, wrongPass),
             QStringList({"Upload Started", curlText(CURLE_LOGIN_DENIED)}));
    QCOMPARE(statusesFor(status, down),
             QStringList({"Upload Started", curlText(CURLE_COULDNT_CONNECT)}));
    // A port that is no number is refused rather than guessed.
    QCOMPARE(statusesFor(status, badPort), QStringList({kBadPort}));
    QCOMPARE(statusesFor(status, good), QStringList({"Upload Started", "No error"}));
    QCOMPARE(QDir(server.root.path()).entryList(QDir::Files), QStringList({"good.mpg"}));
}

void TestFtpQueue::cancelDuringUploadThenNextJob()
{
    REQUIRE_FTP_SERVER();
    FtpServer server;
    START_SERVER(server, 4 * 1024 * 1024); // 4 MB/s: the big file takes seconds
    QTemporaryDir local;
    const QString big = makeFile(local, "big.mpg", 64 * 1024 * 1024);
    const QString cleared = makeFile(local, "cleared.mpg", 1024);
    const QString after = makeFile(local, "after.mpg", 10000);

    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    QSignalSpy progress(&queue, &FtpQueue::progress);
    queue.addToQueue(big, "127.0.0.1", QString::number(server.port), kUser, kPassword);
    queue.addToQueue(cleared, "127.0.0.1", QString::number(server.port), kUser, kPassword);

    // Cancel once bytes are flowing.
    QTRY_VERIFY_WITH_TIMEOUT(
        std::any_of(progress.begin(), progress.end(),
                    [&](const QList<QVariant>& a) {
                        return a.at(0).toString() == big && a.at(1).toDouble() > 1.0;
                    }),
        20000);
    queue.clearQueue();
    QVERIFY(waitForFinals(status, big, 1, 20000));
    QCOMPARE(statusesFor(status, big),
             QStringList({"Upload Started", curlText(CURLE_ABORTED_BY_CALLBACK)}));

    queue.addToQueue(after, "127.0.0.1", QString::number(server.port), kUser, kPassword);
    QVERIFY(waitForFinals(status, after, 1, 20000));
    QCOMPARE(statusesFor(status, after), QStringList({"Upload Started", "No error"}));
    QVERIFY(sameBytes(after, server.pathOf("after.mpg")));
    QVERIFY(statusesFor(status, cleared).isEmpty());
    QVERIFY(!QFile::exists(server.pathOf("cleared.mpg")));
    QVERIFY(QFileInfo(server.pathOf("big.mpg")).size() < QFileInfo(big).size());
}

void TestFtpQueue::idleClearDoesNotCancelNextUpload()
{
    REQUIRE_FTP_SERVER();
    FtpServer server;
    START_SERVER(server);
    QTemporaryDir local;
    const QString file = makeFile(local, "later.mpg", 200 * 1024);

    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    queue.clearQueue(); // nothing running: the request must not linger
    queue.addToQueue(file, "127.0.0.1", QString::number(server.port), kUser, kPassword);
    QVERIFY(waitForFinals(status, file, 1, 20000));
    QCOMPARE(statusesFor(status, file), QStringList({"Upload Started", "No error"}));
    QVERIFY(sameBytes(file, server.pathOf("later.mpg")));
}

void TestFtpQueue::droppedConnectionThenNextServer()
{
    REQUIRE_FTP_SERVER();
    FtpServer dying, other;
    START_SERVER(dying, 4 * 1024 * 1024);
    START_SERVER(other);
    QTemporaryDir local;
    const QString big = makeFile(local, "dropped.mpg", 64 * 1024 * 1024);

    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    QSignalSpy progress(&queue, &FtpQueue::progress);
    queue.addToQueue(big, "127.0.0.1", QString::number(dying.port), kUser, kPassword);
    queue.addToQueue(big, "127.0.0.1", QString::number(other.port), kUser, kPassword);
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last().at(1).toDouble() > 1.0,
                             20000);
    dying.process.kill(); // the server goes away mid-transfer
    dying.process.waitForFinished(5000);

    QVERIFY(waitForFinals(status, big, 2, 60000));
    const QStringList texts = statusesFor(status, big);
    QCOMPARE(texts.count(), 4);
    QCOMPARE(texts.at(0), QString("Upload Started"));
    QVERIFY2(texts.at(1) != "No error" && texts.at(1) != "Upload Started",
             qPrintable(texts.at(1)));
    QCOMPARE(texts.mid(2), QStringList({"Upload Started", "No error"}));
    QVERIFY(sameBytes(big, other.pathOf("dropped.mpg")));
}

void TestFtpQueue::destroyingQueueEndsRunningUpload()
{
    REQUIRE_FTP_SERVER();
    FtpServer server;
    START_SERVER(server, 2 * 1024 * 1024);
    QTemporaryDir local;
    const QString big = makeFile(local, "long.mpg", 64 * 1024 * 1024); // ~30 s at this rate

    auto queue = std::make_unique<FtpQueue>();
    QSignalSpy status(queue.get(), &FtpQueue::status);
    queue->addToQueue(big, "127.0.0.1", QString::number(server.port), kUser, kPassword);
    QTRY_VERIFY_WITH_TIMEOUT(statusesFor(status, big).contains("Upload Started"), 20000);
    // Cut in the middle of the transfer: part of the file is on the server.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(server.pathOf("long.mpg")).size() > 0, 20000);

    QElapsedTimer timer;
    timer.start();
    queue.reset(); // must abort the transfer and join the thread, not wait it out
    QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(QFileInfo(server.pathOf("long.mpg")).size() < QFileInfo(big).size());
}

// A server that stops reading in the middle of an upload, and one that
// never answers, fail their jobs with libcurl's own text once the limits
// (lowered here to 2 s) pass without progress; the next job runs.
void TestFtpQueue::hangingServersTimeOutThenNextJob()
{
    REQUIRE_FTP_SERVER();
    const ftptest::ShortLimits limits("2");
    HangingServer stalling, silent;
    QVERIFY(stalling.start("stall"));
    QVERIFY(silent.start("silent"));
    FtpServer good;
    START_SERVER(good);
    QTemporaryDir local;
    // Far more than the socket buffers between the two ends hold.
    const QString big = makeFile(local, "stalled.mpg", 64 * 1024 * 1024);
    const QString unanswered = makeFile(local, "unanswered.mpg", 4096);
    const QString next = makeFile(local, "next.mpg", 100000);

    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    QSignalSpy progress(&queue, &FtpQueue::progress);
    QElapsedTimer timer;
    timer.start();
    queue.addToQueue(big, "127.0.0.1", QString::number(stalling.port), kUser, kPassword);
    queue.addToQueue(unanswered, "127.0.0.1", QString::number(silent.port), kUser, kPassword);
    queue.addToQueue(next, "127.0.0.1", QString::number(good.port), kUser, kPassword);
    QVERIFY(waitForFinals(status, next, 1, 60000));

    const QString timedOut = curlText(CURLE_OPERATION_TIMEDOUT);
    QCOMPARE(statusesFor(status, big), QStringList({"Upload Started", timedOut}));
    QCOMPARE(statusesFor(status, unanswered), QStringList({"Upload Started", timedOut}));
    QCOMPARE(statusesFor(status, next), QStringList({"Upload Started", "No error"}));
    QVERIFY(sameBytes(next, good.pathOf("next.mpg")));
    // The stalled upload had started: the server read its share, then stopped.
    QTRY_VERIFY_WITH_TIMEOUT(stalling.process.canReadLine(), 30000);
    QCOMPARE(stalling.process.readLine().trimmed(), QByteArray("READ 262144"));
    double lastBig = 0;
    for (const QList<QVariant>& args : progress)
        if (args.at(0).toString() == big)
            lastBig = args.at(1).toDouble();
    QVERIFY2(lastBig > 0.0 && lastBig < 100.0, qPrintable(QString::number(lastBig)));
    // Both hangs ended within a few times the limits, not after the defaults.
    QVERIFY2(timer.elapsed() < 45000, qPrintable(QString::number(timer.elapsed())));
}

// A line break in a user name or password would end its command and start
// another one on the server; such a job fails before any connection is made,
// and the next one runs.
void TestFtpQueue::commandsInCredentialsNeverSent()
{
    REQUIRE_FTP_SERVER();
    ftptest::Server server;
    QVERIFY2(server.start(), "FTP server did not start");
    const QString port = QString::number(server.port);
    const QString victim = server.root.filePath("victim.mpg");
    QVERIFY(testutil::sh("printf show > '" + victim + "'").ok());

    QTemporaryDir local;
    const QString viaPassword = makeFile(local, "viapass.mpg", 1000);
    const QString viaUser = makeFile(local, "viauser.mpg", 1000);
    const QString viaAddress = makeFile(local, "viaaddress.mpg", 1000);
    const QString lone = makeFile(local, "lone.mpg", 1000);
    const QString nul = makeFile(local, "nul.mpg", 1000);
    const QString good = makeFile(local, "good.mpg", 1000);

    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    queue.addToQueue(viaPassword, "127.0.0.1", port, kUser,
                     QString(kPassword) + "\r\nDELE victim.mpg");
    // The user name carries the whole login and the command behind it.
    queue.addToQueue(viaUser, "127.0.0.1", port,
                     QString(kUser) + "\r\nPASS " + kPassword + "\r\nDELE victim.mpg", "x");
    queue.addToQueue(viaAddress, "127.0.0.1\r\nDELE victim.mpg", port, kUser, kPassword);
    queue.addToQueue(lone, "127.0.0.1", port, kUser, QString(kPassword) + "\nDELE victim.mpg");
    queue.addToQueue(nul, "127.0.0.1", port, QString(kUser) + QChar(0) + "x", kPassword);
    queue.addToQueue(good, "127.0.0.1", port, kUser, kPassword);
    QVERIFY(waitForFinals(status, good, 1, 30000));

    for (const QString& file : {viaPassword, viaUser, lone, nul})
        QCOMPARE(statusesFor(status, file), QStringList({kBadCredentials}));
    QCOMPARE(statusesFor(status, viaAddress), QStringList({kBadAddress}));
    QCOMPARE(statusesFor(status, good), QStringList({"Upload Started", "No error"}));
    QVERIFY(QFile::exists(victim));
    QCOMPARE(QDir(server.root.path()).entryList(QDir::Files),
             QStringList({"good.mpg", "victim.mpg"}));
    // Only the good job ever logged in; no refused job tried.
    QTRY_VERIFY(server.openSessions() >= 0 && server.seen.contains("LOGIN operator"));
    QTest::qWait(200);
    server.openSessions();
    auto reports = [&](const char* prefix) {
        return std::count_if(server.seen.begin(), server.seen.end(),
                             [&](const QByteArray& line) { return line.startsWith(prefix); });
    };
    QCOMPARE(reports("LOGIN "), 1);
    QCOMPARE(reports("FAILED "), 0);
}

// Blanks around an address are dropped; one with a blank or a NUL inside is
// no address at all and fails with a text that says so.
void TestFtpQueue::addressTrimmedOrRefused()
{
    REQUIRE_FTP_SERVER();
    FtpServer server;
    START_SERVER(server);
    const QString port = QString::number(server.port);
    QTemporaryDir local;
    const QString padded = makeFile(local, "padded.mpg", 3000);
    const QString inner = makeFile(local, "inner.mpg", 3000);
    const QString nul = makeFile(local, "nul.mpg", 3000);
    const QString tab = makeFile(local, "tab.mpg", 3000);

    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    queue.addToQueue(padded, " 127.0.0.1 \t", port, kUser, kPassword);
    queue.addToQueue(inner, "127.0.0. 1", port, kUser, kPassword);
    queue.addToQueue(nul, QString("127.0.0.1") + QChar(0), port, kUser, kPassword);
    queue.addToQueue(tab, "127.0\t.0.1", port, kUser, kPassword);
    QVERIFY(waitForFinals(status, tab, 1, 30000));

    QCOMPARE(statusesFor(status, padded), QStringList({"Upload Started", "No error"}));
    QVERIFY(sameBytes(padded, server.pathOf("padded.mpg")));
    for (const QString& file : {inner, nul, tab})
        QCOMPARE(statusesFor(status, file), QStringList({kBadAddress}));
    QCOMPARE(QDir(server.root.path()).entryList(QDir::Files), QStringList({"padded.mpg"}));
}

// The verbose libcurl trace on standard error keeps the commands and the
// replies, but the password never stands in it.
void TestFtpQueue::traceHidesThePassword()
{
    REQUIRE_FTP_SERVER();
    FtpServer server;
    START_SERVER(server);
    QTemporaryDir local;
    const QString file = makeFile(local, "traced.mpg", 5000);

    QByteArray trace;
    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    {
        ftptest::StreamCapture capture(local.filePath("stderr.txt"), stderr);
        queue.addToQueue(file, "127.0.0.1", QString::number(server.port), kUser, kPassword);
        const bool done = waitForFinals(status, file, 1, 20000);
        trace = capture.finish();
        QVERIFY(done);
    }
    QCOMPARE(statusesFor(status, file), QStringList({"Upload Started", "No error"}));
    QVERIFY2(trace.contains("> USER operator\r\n"), trace.constData());
    QVERIFY2(trace.contains("> PASS "), trace.constData());
    QVERIFY2(trace.contains("< 230 "), trace.constData());
    QVERIFY2(trace.contains("> STOR traced.mpg"), trace.constData());
    QVERIFY2(!trace.contains(kPassword), trace.constData());
    QVERIFY2(!trace.contains("s3cret"), trace.constData());

    // A PASS command reported in pieces shows none of them; the command
    // after it shows again.
    FtpCurlUploader uploader(&queue);
    auto out = [&](const QByteArray& piece) {
        QByteArray copy = piece;
        FtpCurlUploader::traceCallback(nullptr, CURLINFO_HEADER_OUT, copy.data(), copy.size(),
                                       &uploader);
    };
    {
        ftptest::StreamCapture capture(local.filePath("pieces.txt"), stderr);
        out("PASS s3c");
        out("ret pa");
        out("ss\r\n");
        out("PWD\r\n");
        trace = capture.finish();
    }
    QCOMPARE(trace, QByteArray("> PASS ****\r\n> PWD\r\n"));
}

// A server that closes a session idle for a second (as player and home
// servers do after a short while) takes every upload of a queue that waits
// longer than that between its jobs.
void TestFtpQueue::uploadsAfterTheServersIdleTimeout()
{
    REQUIRE_FTP_SERVER();
    ftptest::Server server;
    QVERIFY(server.start({"--idle=1", kLifetime}));
    QTemporaryDir local;
    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    for (int i = 1; i <= 3; ++i) {
        const QString name = QString("idle%1.mpg").arg(i);
        const QString file = makeFile(local, name, 100000 * i);
        queue.addToQueue(file, "127.0.0.1", QString::number(server.port), kUser, kPassword);
        QVERIFY(waitForFinals(status, file, 1, 30000));
        QCOMPARE(statusesFor(status, file), QStringList({"Upload Started", "No error"}));
        QVERIFY(sameBytes(file, server.root.filePath(name)));
        // The pause between two encodes outlasts the server's idle timeout.
        QTest::qWait(1500);
        QVERIFY(server.waitForOpenSessions(0));
    }
}

// A server that takes one session per client address still takes the
// uploads of a second run while the first run's queue waits for work.
void TestFtpQueue::secondRunWhileTheFirstRunsQueueIsIdle()
{
    REQUIRE_FTP_SERVER();
    ftptest::Server server;
    QVERIFY(server.start({"--per-address=1", kLifetime}));
    QTemporaryDir local;
    const QString first = makeFile(local, "first.mpg", 150000);
    const QString second = makeFile(local, "second.mpg", 160000);
    const QString third = makeFile(local, "third.mpg", 170000);
    const QString port = QString::number(server.port);

    FtpQueue firstRun;
    QSignalSpy firstStatus(&firstRun, &FtpQueue::status);
    firstRun.addToQueue(first, "127.0.0.1", port, kUser, kPassword);
    QVERIFY(waitForFinals(firstStatus, first, 1, 30000));
    QCOMPARE(statusesFor(firstStatus, first), QStringList({"Upload Started", "No error"}));

    FtpQueue secondRun;
    QSignalSpy secondStatus(&secondRun, &FtpQueue::status);
    secondRun.addToQueue(second, "127.0.0.1", port, kUser, kPassword);
    QVERIFY(waitForFinals(secondStatus, second, 1, 30000));
    QCOMPARE(statusesFor(secondStatus, second), QStringList({"Upload Started", "No error"}));
    QVERIFY(sameBytes(second, server.root.filePath("second.mpg")));

    // And the other way round: the first queue uploads while the second waits.
    firstRun.addToQueue(third, "127.0.0.1", port, kUser, kPassword);
    QVERIFY(waitForFinals(firstStatus, third, 1, 30000));
    QCOMPARE(statusesFor(firstStatus, third), QStringList({"Upload Started", "No error"}));
    QVERIFY(sameBytes(third, server.root.filePath("third.mpg")));
    QVERIFY(server.waitForOpenSessions(0));
}

// A server that stops answering once the file is stored and checked: the
// queue goes within seconds when the window closes, not after the stall
// limit, and Cancel ends such a wait as quickly.
void TestFtpQueue::destroyingQueueWhenTheServerWentQuiet()
{
    REQUIRE_FTP_SERVER();
    ftptest::Server server;
    QVERIFY(server.startHostile("mute-after-size"));
    QTemporaryDir local;
    const QString file = makeFile(local, "quiet.mpg", 200000);

    auto queue = std::make_unique<FtpQueue>();
    QSignalSpy status(queue.get(), &FtpQueue::status);
    queue->addToQueue(file, "127.0.0.1", QString::number(server.port), kUser, kPassword);
    QVERIFY(server.waitFor("STORED quiet.mpg 200000", 30000));
    // Either the job has ended or it waits for a reply that never comes.
    QVERIFY(QTest::qWaitFor([&] { return finals(status, file) > 0 || reported(server, "UNANSWERED"); }, 30000));
    QElapsedTimer timer;
    timer.start();
    queue.reset();
    QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));

    // Cancel reaches the same wait; the file is whole on the server.
    const QString again = makeFile(local, "again.mpg", 210000);
    FtpQueue second;
    QSignalSpy secondStatus(&second, &FtpQueue::status);
    second.addToQueue(again, "127.0.0.1", QString::number(server.port), kUser, kPassword);
    QVERIFY(server.waitFor("STORED again.mpg 210000", 30000));
    QVERIFY(QTest::qWaitFor([&] {
        reported(server, "UNANSWERED");
        return finals(secondStatus, again) > 0 || server.seen.count("UNANSWERED QUIT") == 2;
    }, 30000));
    timer.restart();
    second.clearQueue();
    QVERIFY(waitForFinals(secondStatus, again, 1, 10000));
    QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(statusesFor(secondStatus, again), QStringList({"Upload Started", "No error"}));
}

// A 213 reply to SIZE that is not a plain number fails the upload with the
// reply in the reason; these servers kept half of the file.
void TestFtpQueue::sizeReplyReadStrictly()
{
    REQUIRE_FTP_SERVER();
    QTemporaryDir local;
    const QString file = makeFile(local, "sized.mpg", 200000);
    const QString reason("Upload unchecked: the server's reply to SIZE cannot be read: ");
    const QList<QPair<QString, QString>> cases = {
        {"size-junk", reason + "\"213 abc\""},
        {"size-negative", reason + "\"213 -1\""},
        {"size-huge", reason + "\"213 99999999999999999999999\""},
        {"size-multiline", reason + "\"213-size follows 213 100000\""},
    };
    for (const auto& c : cases) {
        ftptest::Server server;
        QVERIFY2(server.startHostile(c.first), qPrintable(c.first));
        FtpQueue queue;
        QSignalSpy status(&queue, &FtpQueue::status);
        // Twice through one queue: the second upload reads its own reply.
        for (int run = 0; run < 2; ++run) {
            queue.addToQueue(file, "127.0.0.1", QString::number(server.port), kUser, kPassword);
            QVERIFY(waitForFinals(status, file, run + 1, 30000));
            QVERIFY(server.waitFor("STORED sized.mpg 100000"));
            const QStringList texts = statusesFor(status, file).mid(2 * run);
            QVERIFY2(texts == QStringList({"Upload Started", c.second}),
                     qPrintable(c.first + ": " + texts.join(" | ")));
        }
    }
}

// Parts of two outputs may share their names (X.mpg, X.001 of "X.1.mpg" and
// of "X.2.mpg"): an upload of a run never replaces on a server what an
// earlier upload of the same run put there. A new run may.
void TestFtpQueue::sameNameNeverReplacedInOneRun()
{
    REQUIRE_FTP_SERVER();
    ftptest::Server server, other;
    QVERIFY(server.start({kLifetime}));
    QVERIFY(other.start({kLifetime}));
    QTemporaryDir local;
    QVERIFY(QDir(local.path()).mkpath("one") && QDir(local.path()).mkpath("two"));
    const QStringList names = {"Show.mpg", "Show.001"};
    QStringList firsts, seconds;
    for (const QString& name : names) {
        firsts << makeFile(local, "one/" + name, 120000);
        seconds << makeFile(local, "two/" + name, 130000);
    }
    const QString port = QString::number(server.port);

    FtpQueue queue;
    QSignalSpy status(&queue, &FtpQueue::status);
    for (const QString& file : firsts) {
        // Primary and secondary server the same: the same file twice.
        queue.addToQueue(file, "127.0.0.1", port, kUser, kPassword);
        queue.addToQueue(file, "127.0.0.1", port, kUser, kPassword);
    }
    for (const QString& file : seconds) {
        queue.addToQueue(file, "127.0.0.1", port, kUser, kPassword);
        queue.addToQueue(file, "127.0.0.1", QString::number(other.port), kUser, kPassword);
    }
    for (const QString& file : seconds)
        QVERIFY(waitForFinals(status, file, 2, 60000));
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(statusesFor(status, firsts[i]),
                 QStringList({"Upload Started", "No error", "Upload Started", "No error"}));
        const QString clash = "Name clash: " + names[i] + " was uploaded to this server from " + firsts[i]
            + " earlier in this run";
        QCOMPARE(statusesFor(status, seconds[i]), QStringList({clash, "Upload Started", "No error"}));
        QVERIFY(sameBytes(firsts[i], server.root.filePath(names[i])));
        QVERIFY(sameBytes(seconds[i], other.root.filePath(names[i])));
    }

    // The next run uploads the other output's parts over the last run's.
    FtpQueue nextRun;
    QSignalSpy nextStatus(&nextRun, &FtpQueue::status);
    for (const QString& file : seconds)
        nextRun.addToQueue(file, "127.0.0.1", port, kUser, kPassword);
    for (int i = 0; i < names.size(); ++i) {
        QVERIFY(waitForFinals(nextStatus, seconds[i], 1, 30000));
        QCOMPARE(statusesFor(nextStatus, seconds[i]), QStringList({"Upload Started", "No error"}));
        QVERIFY(sameBytes(seconds[i], server.root.filePath(names[i])));
    }
}

// Run by bench/ftp.sh: uploads QUORVEL_BENCH_UPLOAD_FILE to the server on
// QUORVEL_BENCH_FTP_PORT and prints the transfer time.
void TestFtpQueue::benchmarkUpload()
{
    const QString file = QString::fromLocal8Bit(qgetenv("QUORVEL_BENCH_UPLOAD_FILE"));
    const QString port = QString::fromLocal8Bit(qgetenv("QUORVEL_BENCH_FTP_PORT"));
    if (file.isEmpty() || port.isEmpty())
        QSKIP("benchmark only (bench/ftp.sh)");
    FtpQueue queue;
    QElapsedTimer timer;
    qint64 startedAt = -1, endedAt = -1;
    QString result;
    QEventLoop loop;
    connect(&queue, &FtpQueue::status, &loop, [&](const QString&, const QString& text) {
        if (text == "Upload Started") {
            timer.start();
            startedAt = 0;
        } else {
            endedAt = timer.isValid() ? timer.elapsed() : -1;
            result = text;
            loop.quit();
        }
    });
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    queue.addToQueue(file, "127.0.0.1", port, kUser, kPassword);
    loop.exec();
    QCOMPARE(startedAt, qint64(0));
    QCOMPARE(result, QString("No error"));
    fprintf(stderr, "BENCH_MS %lld\n", static_cast<long long>(endedAt));
}

QTEST_GUILESS_MAIN(TestFtpQueue)
#include "tst_ftpqueue.moc"
