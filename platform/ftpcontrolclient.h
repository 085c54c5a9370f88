// A small FTP control-connection client over QTcpSocket: connects, logs in and
// closes, and reports how far it got through stateChanged(int). It transfers
// nothing; the FTP server dialog uses it to test a server's address and login.
// Commands are queued and run one after another in the event loop; a failed
// command drops the ones queued behind it. A server that floods, stalls or
// never finishes a reply ends the session as a failed connection, within the
// uploads' own time limits.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTcpSocket>

class QTimer;

class FtpControlClient : public QObject {
    Q_OBJECT
public:
    // The states, in the order a session passes through them.
    enum State { Unconnected = 0, HostLookup = 1, Connecting = 2, Connected = 3, LoggedIn = 4, Closing = 5 };

    explicit FtpControlClient(QObject* parent = nullptr);
    // Cuts any connection without emitting stateChanged.
    ~FtpControlClient() override;

    // Queues a connection; it is done once the server's greeting has come.
    void connectToHost(const QString& host, quint16 port = 21);
    // Queues USER (and PASS when the server asks for it). A user name or
    // password holding CR, LF or NUL is never sent: the login fails as a
    // refused one does, and the session stays connected.
    void login(const QString& user, const QString& password);
    // Queues QUIT and the end of the connection.
    void close();
    // Drops every queued command and the one running, and cuts the connection at once.
    void abort();
    // Why the last session failed (refused, timed out, flooded...); empty
    // while nothing has gone wrong since the last connection began.
    QString errorString() const;

signals:
    void stateChanged(int state);
    // A connection or login failed, and why; emitted before the state change
    // it brings.
    void failed(const QString& reason);

private:
    enum class Kind { Connect, Login, Close };
    struct Command {
        Kind kind;
        QString first, second; // host, or user name and password
        quint16 port = 0;
    };
    // What the running command waits for.
    enum class Wait { Nothing, Greeting, UserReply, PassReply, Disconnect };

    void enqueue(const Command& command);
    // Waits for what; the limit runs from now.
    void expect(Wait what, long seconds);
    // Ends the session as a failed connection, for reason.
    void fail(const QString& reason);
    void setError(const QString& reason);
    void cutConnection();
    void startNext();
    void runCommand(const Command& command);
    void commandDone();
    void commandFailed();
    void setState(State newState);
    void sendLine(const QByteArray& verb, const QString& argument);

    void socketStateChanged(QAbstractSocket::SocketState socketState);
    void readReplies();
    void takeLine(const QByteArray& line);
    void handleReply(int code);

    QTcpSocket* socket;
    State state = Unconnected;
    QQueue<Command> pending;
    bool running = false;
    bool startScheduled = false;
    Wait wait = Wait::Nothing;
    QString password;
    QByteArray lineBuffer;
    int multiLineCode = 0; // code of an open multi-line reply, else 0
    // What came since the last final reply: lines and bytes, bounded.
    int replyLines = 0;
    qint64 replyBytes = 0;
    QTimer* limitTimer;
    QString errorText;
};
