// A real FTP server (pyftpdlib, tests/engine/ftpserver.py) on 127.0.0.1 for
// the login tests, with a root folder of its own. With --sessions it reports
// sessions opening and closing and logins, which the tests wait for while the
// event loop runs.
#pragma once

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

#include "testutil.h"

namespace ftptest {

const char kUser[] = "operator";
const char kPassword[] = "s3cret pass";

inline bool havePyftpdlib()
{
    return QFile::exists("/usr/bin/python3")
        && testutil::run("/usr/bin/python3", {"-c", "import pyftpdlib"}).ok();
}

class Server {
public:
    // Starts the server with --sessions and any further options (e.g.
    // --banner=...); a throttle (bytes per second) slows uploads down.
    bool start(const QStringList& options = {}, qint64 throttle = 0)
    {
        return launch("ftpserver.py", QStringList{"--sessions"} + options
                                          + QStringList{root.path(), kUser, kPassword}
                                          + (throttle > 0 ? QStringList{QString::number(throttle)} : QStringList()));
    }

    // A server that misbehaves in one of the ways hostileftpserver.py
    // names (a flood, a stall, an upload cut short...), on host.
    bool startHostile(const QString& mode, const QString& host = "127.0.0.1")
    {
        return launch("hostileftpserver.py", {"--host=" + host, mode});
    }

    ~Server()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    // Waits, running the event loop, for the next report starting with
    // prefix; reports passed over on the way are kept in seen.
    bool waitFor(const QByteArray& prefix, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            while (process.canReadLine()) {
                lastLine = process.readLine().trimmed();
                seen << lastLine;
                if (lastLine.startsWith(prefix))
                    return true;
            }
            if (process.state() != QProcess::Running)
                return false;
            // The loop above reads what came or sees the end; a timeout ends the loop.
            (void)QTest::qWaitFor([this] { return process.canReadLine() || process.state() != QProcess::Running; },
                                  int(qMax<qint64>(0, deadline.remainingTime())));
        }
        return false;
    }

    // Starts script (from tests/engine) and waits for the port it prints.
    bool launch(const QString& script, const QStringList& args)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start("/usr/bin/python3", QStringList{testutil::testsDir() + "/engine/" + script} + args);
        if (!process.waitForStarted(10000))
            return false;
        return waitFor("PORT ", 10000) && (port = lastLine.mid(5).toInt()) > 0;
    }

    // Number of sessions open now, after the reports that have come so far.
    int openSessions()
    {
        // Reports already in the pipe count even if the event loop has not
        // read them yet: a session the server has served is open or closed,
        // never "none seen".
        process.waitForReadyRead(0);
        while (process.canReadLine()) {
            lastLine = process.readLine().trimmed();
            seen << lastLine;
        }
        for (int i = seen.size() - 1; i >= 0; --i)
            if (seen[i].startsWith("OPEN ") || seen[i].startsWith("CLOSED "))
                return seen[i].mid(seen[i].indexOf(' ') + 1).toInt();
        return 0;
    }

    // Waits, running the event loop, until exactly n sessions are open.
    bool waitForOpenSessions(int n, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return openSessions() == n; }, timeoutMs);
    }

    QTemporaryDir root;
    QProcess process;
    int port = 0;
    QByteArray lastLine;
    QList<QByteArray> seen;
};

// Lowers the FTP connect and stall limits to seconds while it lives.
class ShortLimits {
public:
    explicit ShortLimits(const QByteArray& seconds)
    {
        qputenv("QUORVEL_FTP_STALL_SECONDS", seconds);
        qputenv("QUORVEL_FTP_CONNECT_SECONDS", seconds);
    }
    ~ShortLimits()
    {
        qunsetenv("QUORVEL_FTP_STALL_SECONDS");
        qunsetenv("QUORVEL_FTP_CONNECT_SECONDS");
    }
};

// A port on 127.0.0.1 where nothing listens (taken and given back).
inline quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 1;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

// Captures what the process writes on standard output (or on another of
// its standard streams) while it lives.
class StreamCapture
{
public:
    explicit StreamCapture(const QString& path, FILE* stream = stdout)
        : path(path), stream(stream), fd(fileno(stream))
    {
        fflush(stream);
        saved = dup(fd);
        FILE* f = fopen(path.toLocal8Bit().constData(), "w");
        dup2(fileno(f), fd);
        fclose(f);
    }
    QByteArray finish()
    {
        fflush(stream);
        dup2(saved, fd);
        close(saved);
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }

private:
    QString path;
    FILE* stream;
    int fd;
    int saved = -1;
};

} // namespace ftptest

#define REQUIRE_FTP_SERVER()                                                       \
    do {                                                                           \
        if (!ftptest::havePyftpdlib())                                             \
            QSKIP("missing /usr/bin/python3 with pyftpdlib (python3-pyftpdlib)"); \
    } while (0)
