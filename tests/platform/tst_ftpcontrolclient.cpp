// The FTP control client against a real FTP server (pyftpdlib) on 127.0.0.1,
// against a scripted peer for replies no real server gives on demand
// (garbage, a refused greeting, an endless line), and against servers that
// flood or stall (tests/engine/hostileftpserver.py).
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "ftpcontrolclient.h"
#include "ftptestserver.h"

using ftptest::kPassword;
using ftptest::kUser;

namespace {

QList<int> states(const QSignalSpy& spy)
{
    QList<int> out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toInt();
    return out;
}

bool waitForState(QSignalSpy& spy, int state, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!states(spy).contains(state)) {
        if (deadline.hasExpired())
            return false;
        spy.wait(50);
    }
    return true;
}

// A peer that greets with `greeting` and answers each command line through `answer`.
class ScriptedPeer : public QObject {
public:
    ScriptedPeer(const QByteArray& greeting, std::function<QByteArray(const QByteArray&)> answer)
        : greeting(greeting), answer(std::move(answer))
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* s = server.nextPendingConnection();
            s->write(this->greeting);
            connect(s, &QTcpSocket::readyRead, this, [this, s] {
                while (s->canReadLine()) {
                    const QByteArray line = s->readLine();
                    received << line;
                    s->write(this->answer(line));
                }
            });
        });
    }
    quint16 port() const { return server.serverPort(); }

    QTcpServer server;
    QByteArray greeting;
    std::function<QByteArray(const QByteArray&)> answer;
    QList<QByteArray> received;
};

// A real server and one client of it whose states are recorded.
struct Rig {
    bool start(const QStringList& options = {}) { return server.start(options); }
    void connectAndLogin(const QString& user, const QString& password)
    {
        client.connectToHost("127.0.0.1", quint16(server.port));
        client.login(user, password);
    }
    ftptest::Server server;
    FtpControlClient client;
    QSignalSpy spy{&client, &FtpControlClient::stateChanged};
};

#define START_RIG(rig, ...)                                                    \
    REQUIRE_FTP_SERVER();                                                      \
    Rig rig;                                                                   \
    QVERIFY2(rig.start(__VA_ARGS__), "FTP server did not start")

} // namespace

class TestFtpControlClient : public QObject {
    Q_OBJECT

private slots:
    void logsInAndCloses()
    {
        START_RIG(r);
        r.connectAndLogin(kUser, kPassword);
        QVERIFY(r.server.waitFor("LOGIN operator"));
        QVERIFY(waitForState(r.spy, FtpControlClient::LoggedIn));
        QCOMPARE(states(r.spy), (QList<int>{1, 2, 3, 4}));

        auto& client = r.client;
        auto& spy = r.spy;
        auto& server = r.server;
        client.close();
        QVERIFY(waitForState(spy, FtpControlClient::Unconnected));
        QCOMPARE(states(spy), (QList<int>{1, 2, 3, 4, 5, 0}));
        QVERIFY(server.waitForOpenSessions(0));

        // Commands queued behind a close still run: the same client logs in again.
        spy.clear();
        r.connectAndLogin(kUser, kPassword);
        QVERIFY(waitForState(spy, FtpControlClient::LoggedIn));
        QCOMPARE(server.openSessions(), 1);
    }

    void refusedLoginStaysConnected()
    {
        START_RIG(r);
        r.connectAndLogin(kUser, "wrong password");
        QVERIFY(r.server.waitFor("FAILED operator"));
        QVERIFY(testutil::neverWithin(300, [&] { return r.spy.count() > 3; }));
        QCOMPARE(states(r.spy), (QList<int>{1, 2, 3}));
        QCOMPARE(r.server.openSessions(), 1);

        // A failed login drops what was queued behind it.
        r.client.login(kUser, "wrong again");
        r.client.close();
        QVERIFY(r.server.waitFor("FAILED operator"));
        QVERIFY(testutil::neverWithin(300, [&] { return r.spy.count() > 3; }));
        QCOMPARE(states(r.spy), (QList<int>{1, 2, 3}));
    }

    void unreachableEndsUnconnected_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("closed port") << "127.0.0.1" << int(ftptest::closedPort());
        // What the server dialog makes of a port text that is not a number.
        QTest::newRow("port 0") << "127.0.0.1" << 0;
        QTest::newRow("empty host") << "" << 21;
    }

    void unreachableEndsUnconnected()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        FtpControlClient client;
        QSignalSpy spy(&client, &FtpControlClient::stateChanged);
        client.connectToHost(host, quint16(port));
        client.login(kUser, kPassword);
        QVERIFY(waitForState(spy, FtpControlClient::Unconnected));
        QVERIFY(testutil::neverWithin(100, [&] { return states(spy).last() != int(FtpControlClient::Unconnected); }));
        const QList<int> seen = states(spy);
        QCOMPARE(seen.first(), int(FtpControlClient::HostLookup));
        QCOMPARE(seen.last(), int(FtpControlClient::Unconnected));
        QVERIFY(!seen.contains(FtpControlClient::Connected));
        QVERIFY(!seen.contains(FtpControlClient::LoggedIn));
    }

    void longMultiLineBannerStillLogsIn()
    {
        REQUIRE_FTP_SERVER();
        // Lines that look like replies of their own, a blank one and a very
        // long one, inside the one 220 reply.
        QStringList banner{"Welcome to the test server."};
        for (int i = 0; i < 40; ++i)
            banner << QString("Line %1 of the message of the day.").arg(i);
        banner << "230 this is not a login reply" << "220-still the banner" << ""
               << "331 nor is this" << QString(3000, QLatin1Char('x'));
        Rig r;
        QVERIFY2(r.start({"--banner=" + banner.join('\n')}), "FTP server did not start");
        r.connectAndLogin(kUser, kPassword);
        QVERIFY(waitForState(r.spy, FtpControlClient::LoggedIn));
        QCOMPARE(states(r.spy), (QList<int>{1, 2, 3, 4}));
        QVERIFY(r.server.waitFor("LOGIN operator"));
    }

    void remoteCloseEndsUnconnected()
    {
        START_RIG(r);
        r.connectAndLogin(kUser, kPassword);
        QVERIFY(waitForState(r.spy, FtpControlClient::LoggedIn));
        r.server.process.kill();
        QVERIFY(waitForState(r.spy, FtpControlClient::Unconnected));
        QCOMPARE(states(r.spy).last(), int(FtpControlClient::Unconnected));
    }

    // A pasted line break must not smuggle commands to the server: the
    // password below, sent as it stands, logs in and then deletes a file.
    void lineBreaksAreNeverSent()
    {
        REQUIRE_FTP_SERVER();
        ftptest::Server server;
        QVERIFY2(server.start(), "FTP server did not start");
        for (const char* name : {"victim.txt", "control.txt"}) {
            QFile f(server.root.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("keep me\n");
        }

        // The server does obey such a sequence when it gets it.
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, quint16(server.port));
        QVERIFY(raw.waitForConnected(5000));
        raw.write(QByteArray("USER ") + kUser + "\r\nPASS " + kPassword + "\r\nDELE control.txt\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(server.root.filePath("control.txt")), 10000);
        raw.abort();
        QVERIFY(server.waitForOpenSessions(0));
        server.seen.clear();

        const QList<QPair<QString, QString>> logins = {
            {kUser, QString(kPassword) + "\r\nDELE victim.txt"},
            {kUser, QString(kPassword) + "\nDELE victim.txt"},
            {QString(kUser) + "\r\nPASS " + kPassword + "\r\nDELE victim.txt", "x"},
            {kUser, QString(kPassword) + QChar(0) + "DELE victim.txt"},
        };
        for (const auto& login : logins) {
            FtpControlClient client;
            QSignalSpy spy(&client, &FtpControlClient::stateChanged);
            client.connectToHost("127.0.0.1", quint16(server.port));
            client.login(login.first, login.second);
            QVERIFY(waitForState(spy, FtpControlClient::Connected));
            QVERIFY(testutil::neverWithin(500, [&] { return spy.count() > 3; }));
            QCOMPARE(states(spy), (QList<int>{1, 2, 3}));
        }
        QVERIFY(QFile::exists(server.root.filePath("victim.txt")));
        server.openSessions();
        for (const QByteArray& line : server.seen)
            QVERIFY2(!line.startsWith("LOGIN"), line.constData());
    }

    void abortDropsEverything()
    {
        START_RIG(r);
        auto& client = r.client;
        auto& spy = r.spy;
        auto& server = r.server;

        // Aborted before anything ran: nothing happens at all.
        r.connectAndLogin(kUser, kPassword);
        client.abort();
        QVERIFY(testutil::neverWithin(300, [&] { return spy.count() > 0 || server.openSessions() > 0; }));
        QCOMPARE(states(spy), QList<int>());
        QCOMPARE(server.openSessions(), 0);

        // Aborted while logged in, with a close queued: cut at once.
        r.connectAndLogin(kUser, kPassword);
        QVERIFY(waitForState(spy, FtpControlClient::LoggedIn));
        client.close();
        client.abort();
        QCOMPARE(states(spy).last(), int(FtpControlClient::Unconnected));
        QVERIFY(server.waitForOpenSessions(0));
        QVERIFY(testutil::neverWithin(100, [&] { return spy.count() > 5; }));
        QCOMPARE(states(spy), (QList<int>{1, 2, 3, 4, 0}));
    }

    void destroyingEndsTheSessionSilently()
    {
        REQUIRE_FTP_SERVER();
        ftptest::Server server;
        QVERIFY2(server.start(), "FTP server did not start");
        auto* client = new FtpControlClient;
        QSignalSpy spy(client, &FtpControlClient::stateChanged);
        client->connectToHost("127.0.0.1", quint16(server.port));
        client->login(kUser, kPassword);
        QVERIFY(waitForState(spy, FtpControlClient::LoggedIn));
        const int before = spy.count();
        delete client;
        QCOMPARE(spy.count(), before);
        QVERIFY(server.waitForOpenSessions(0));
    }

    void repliesOutsideTheUsualPath_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("userReply");
        QTest::addColumn<QByteArray>("passReply");
        QTest::addColumn<QList<int>>("expected");
        QTest::addColumn<bool>("passSent");
        QTest::newRow("no password needed") << QByteArray("220 hi\r\n") << QByteArray("230 in\r\n")
                                            << QByteArray() << QList<int>{1, 2, 3, 4} << false;
        QTest::newRow("202 to PASS") << QByteArray("220 hi\r\n") << QByteArray("331 pass\r\n")
                                     << QByteArray("202 superfluous\r\n") << QList<int>{1, 2, 3, 4}
                                     << true;
        QTest::newRow("preliminary replies first")
            << QByteArray("120 wait\r\n220 ready\r\n") << QByteArray("331 pass\r\n")
            << QByteArray("150 hm\r\n230-in\r\n230 in\r\n") << QList<int>{1, 2, 3, 4} << true;
        QTest::newRow("LF only") << QByteArray("220 hi\n") << QByteArray("331 pass\n")
                                 << QByteArray("230 in\n") << QList<int>{1, 2, 3, 4} << true;
        QTest::newRow("account needed") << QByteArray("220 hi\r\n") << QByteArray("331 pass\r\n")
                                        << QByteArray("332 account\r\n") << QList<int>{1, 2, 3}
                                        << true;
        QTest::newRow("greeting refused") << QByteArray("421 busy\r\n") << QByteArray("230 in\r\n")
                                          << QByteArray() << QList<int>{1, 2, 3, 0} << false;
        QTest::newRow("garbage") << QByteArray("hello there\r\n") << QByteArray("230 in\r\n")
                                 << QByteArray() << QList<int>{1, 2, 3, 0} << false;
        QTest::newRow("endless line") << QByteArray(100 * 1024, 'x') << QByteArray("230 in\r\n")
                                      << QByteArray() << QList<int>{1, 2, 3, 0} << false;
    }

    void repliesOutsideTheUsualPath()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, userReply);
        QFETCH(QByteArray, passReply);
        QFETCH(QList<int>, expected);
        QFETCH(bool, passSent);
        ScriptedPeer peer(greeting, [&](const QByteArray& line) {
            return line.startsWith("USER ") ? userReply : passReply;
        });
        FtpControlClient client;
        QSignalSpy spy(&client, &FtpControlClient::stateChanged);
        client.connectToHost("127.0.0.1", peer.port());
        client.login("someone", "secret");
        QVERIFY(waitForState(spy, expected.last()));
        QVERIFY(testutil::neverWithin(200, [&] { return spy.count() > expected.size(); }));
        QCOMPARE(states(spy), expected);
        bool sawPass = false;
        for (const QByteArray& line : peer.received)
            sawPass = sawPass || line == "PASS secret\r\n";
        QCOMPARE(sawPass, passSent);
    }

    // A flood of reply lines ends the session as a failed connection while
    // the server is still sending, and the event loop runs meanwhile.
    void floodEndsAsFailedConnection_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("220- greeting") << "flood-greeting" << QList<int>{1, 2, 3, 0};
        QTest::newRow("331- after USER") << "flood-user" << QList<int>{1, 2, 3, 0};
        QTest::newRow("120 replies") << "flood-120" << QList<int>{1, 2, 3, 0};
        QTest::newRow("endless line") << "endless-line" << QList<int>{1, 2, 3, 0};
    }

    void floodEndsAsFailedConnection()
    {
        QFETCH(QString, mode);
        QFETCH(QList<int>, expected);
        REQUIRE_FTP_SERVER();
        ftptest::Server server;
        QVERIFY2(server.startHostile(mode), "hostile server did not start");
        FtpControlClient client;
        QSignalSpy spy(&client, &FtpControlClient::stateChanged);
        QSignalSpy failed(&client, &FtpControlClient::failed);
        // Counts while the session runs: the event loop is not held.
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(0);
        client.connectToHost("127.0.0.1", quint16(server.port));
        client.login(kUser, kPassword);
        QVERIFY(waitForState(spy, FtpControlClient::Unconnected, 30000));
        QCOMPARE(states(spy), expected);
        QVERIFY(ticks > 0);
        // The client cut the flood; the server did not have to end it.
        QVERIFY(server.waitFor("CUT", 30000));
        QCOMPARE(failed.count(), 1);
        QVERIFY2(failed[0][0].toString().contains("1000 lines or 64 KiB"), qPrintable(failed[0][0].toString()));
        QCOMPARE(client.errorString(), failed[0][0].toString());
    }

    // A server that says nothing, drips its greeting a byte a second, or
    // never ends its line: the session fails once the stall limit (lowered
    // here to 2 s) passes, as an upload to it does.
    void stallEndsAsFailedConnection_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("silent") << "silent";
        QTest::newRow("a byte a second") << "drip";
        QTest::newRow("no line end") << "no-line-end";
    }

    void stallEndsAsFailedConnection()
    {
        QFETCH(QString, mode);
        REQUIRE_FTP_SERVER();
        const ftptest::ShortLimits limits("2");
        ftptest::Server server;
        QVERIFY2(server.startHostile(mode), "hostile server did not start");
        FtpControlClient client;
        QSignalSpy spy(&client, &FtpControlClient::stateChanged);
        client.connectToHost("127.0.0.1", quint16(server.port));
        client.login(kUser, kPassword);
        QVERIFY(waitForState(spy, FtpControlClient::Unconnected, 30000));
        QCOMPARE(states(spy), (QList<int>{1, 2, 3, 0}));
        QCOMPARE(client.errorString(), QString("No reply within 2 s"));
    }

    // A refused login is no stall: the session stays connected past the limit.
    void refusedLoginOutlivesTheStallLimit()
    {
        const ftptest::ShortLimits limits("1");
        START_RIG(r);
        QSignalSpy failed(&r.client, &FtpControlClient::failed);
        r.connectAndLogin(kUser, "wrong password");
        QVERIFY(failed.wait(10000));
        QCOMPARE(failed[0][0].toString(), QString("Login refused (reply 530)"));
        QVERIFY(testutil::neverWithin(1500, [&] { return r.spy.count() > 3; }));
        QCOMPARE(states(r.spy), (QList<int>{1, 2, 3}));
    }
};

QTEST_GUILESS_MAIN(TestFtpControlClient)
#include "tst_ftpcontrolclient.moc"
