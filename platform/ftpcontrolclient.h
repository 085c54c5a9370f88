// A small FTP control-connection client over QTcpSocket: connects, logs in and
// closes, and reports how far it got through stateChanged(int). It transfers
// nothing; the FTP server dialog uses it to test a server's address and login.
// Commands are queued and run one after another in the event loop; a failed
// command drops the ones queued behind it.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTcpSocket>

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

signals:
    void stateChanged(int state);

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
    void startNext();
    void runCommand(const Command& command);
    void commandDone();
    void commandFailed();
    void setState(State newState);
    void sendLine(const QByteArray& verb, const QString& argument);

    void socketStateChanged(QAbstractSocket::SocketState socketState);
    void readReplies();
    void handleReply(int code);
    void protocolError();

    QTcpSocket* socket;
    State state = Unconnected;
    QQueue<Command> pending;
    bool running = false;
    bool startScheduled = false;
    Wait wait = Wait::Nothing;
    QString password;
    QByteArray lineBuffer;
    int multiLineCode = 0; // code of an open multi-line reply, else 0
};
