// The FTP control client: command queue, reply parsing and login sequence.
#include "ftpcontrolclient.h"

#include <QTimer>

namespace {

// A reply line longer than this is not FTP: the connection is dropped
// rather than buffering without end.
const int kMaxLineLength = 64 * 1024;

bool holdsLineBreakOrNul(const QString& text)
{
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n'))
        || text.contains(QChar(0));
}

// The three-digit code a reply line starts with, or -1.
int replyCode(const QByteArray& line)
{
    if (line.size() < 3)
        return -1;
    for (int i = 0; i < 3; ++i)
        if (line[i] < '0' || line[i] > '9')
            return -1;
    if (line[0] < '1' || line[0] > '5')
        return -1;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool isLoginAccepted(int code)
{
    return code == 230 || code == 202;
}

} // namespace

FtpControlClient::FtpControlClient(QObject* parent)
    : QObject(parent),
      socket(new QTcpSocket(this))
{
    connect(socket, &QAbstractSocket::stateChanged, this, &FtpControlClient::socketStateChanged);
    connect(socket, &QIODevice::readyRead, this, &FtpControlClient::readReplies);
}

FtpControlClient::~FtpControlClient()
{
    // Our owner may be half destroyed by now: report nothing.
    socket->disconnect(this);
    socket->abort();
}

void FtpControlClient::connectToHost(const QString& host, quint16 port)
{
    Command c{Kind::Connect, host, QString(), port};
    enqueue(c);
}

void FtpControlClient::login(const QString& user, const QString& password)
{
    Command c{Kind::Login, user, password, 0};
    enqueue(c);
}

void FtpControlClient::close()
{
    enqueue(Command{Kind::Close, QString(), QString(), 0});
}

void FtpControlClient::abort()
{
    pending.clear();
    running = false;
    wait = Wait::Nothing;
    password.clear();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
    setState(Unconnected);
}

void FtpControlClient::enqueue(const Command& command)
{
    pending.enqueue(command);
    if (running || startScheduled)
        return;
    // Like every command after it, the first one starts from the event loop,
    // so that the caller can connect to stateChanged first.
    startScheduled = true;
    QTimer::singleShot(0, this, [this] {
        startScheduled = false;
        startNext();
    });
}

void FtpControlClient::startNext()
{
    if (running || pending.isEmpty())
        return;
    running = true;
    runCommand(pending.dequeue());
}

void FtpControlClient::runCommand(const Command& command)
{
    switch (command.kind) {
    case Kind::Connect:
        if (socket->state() != QAbstractSocket::UnconnectedState) {
            commandFailed();
            return;
        }
        lineBuffer.clear();
        multiLineCode = 0;
        wait = Wait::Greeting;
        setState(HostLookup);
        // From here the socket's state changes and the greeting drive the command.
        socket->connectToHost(command.first, command.port);
        return;
    case Kind::Login:
        if ((state != Connected && state != LoggedIn) || holdsLineBreakOrNul(command.first)
            || holdsLineBreakOrNul(command.second)) {
            commandFailed();
            return;
        }
        password = command.second;
        wait = Wait::UserReply;
        sendLine("USER", command.first);
        return;
    case Kind::Close:
        if (socket->state() == QAbstractSocket::UnconnectedState) {
            commandDone();
            return;
        }
        wait = Wait::Disconnect;
        setState(Closing);
        if (socket->state() == QAbstractSocket::ConnectedState) {
            socket->write("QUIT\r\n");
            socket->disconnectFromHost();
        }
        return;
    }
}

void FtpControlClient::commandDone()
{
    running = false;
    wait = Wait::Nothing;
    password.clear();
    if (!pending.isEmpty() && !startScheduled) {
        startScheduled = true;
        QTimer::singleShot(0, this, [this] {
            startScheduled = false;
            startNext();
        });
    }
}

void FtpControlClient::commandFailed()
{
    running = false;
    wait = Wait::Nothing;
    password.clear();
    pending.clear();
}

void FtpControlClient::setState(State newState)
{
    if (state == newState)
        return;
    state = newState;
    emit stateChanged(int(newState));
}

void FtpControlClient::sendLine(const QByteArray& verb, const QString& argument)
{
    socket->write(verb + ' ' + argument.toUtf8() + "\r\n");
}

void FtpControlClient::socketStateChanged(QAbstractSocket::SocketState socketState)
{
    switch (socketState) {
    case QAbstractSocket::ConnectingState:
        if (wait == Wait::Greeting)
            setState(Connecting);
        break;
    case QAbstractSocket::ConnectedState:
        if (wait == Wait::Greeting)
            setState(Connected);
        break;
    case QAbstractSocket::UnconnectedState:
        lineBuffer.clear();
        multiLineCode = 0;
        if (wait == Wait::Disconnect) {
            // Our own close ended: what was queued behind it still runs.
            setState(Unconnected);
            commandDone();
        } else {
            // Refused, unreachable or closed by the server: nothing queued can run.
            commandFailed();
            setState(Unconnected);
        }
        break;
    default:
        break;
    }
}

void FtpControlClient::readReplies()
{
    lineBuffer += socket->readAll();
    int end;
    while ((end = lineBuffer.indexOf('\n')) >= 0) {
        QByteArray line = lineBuffer.left(end);
        lineBuffer.remove(0, end + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        const int code = replyCode(line);
        if (multiLineCode) {
            // Inside a multi-line reply any text may stand; it ends with its
            // own code followed by a blank (or nothing).
            if (code == multiLineCode && (line.size() == 3 || line[3] == ' ')) {
                multiLineCode = 0;
                handleReply(code);
            }
            continue;
        }
        if (code < 0 || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
            protocolError();
            return;
        }
        if (line.size() > 3 && line[3] == '-')
            multiLineCode = code;
        else
            handleReply(code);
    }
    if (lineBuffer.size() > kMaxLineLength)
        protocolError();
}

void FtpControlClient::handleReply(int code)
{
    if (code < 200)
        return; // preliminary: the final reply follows
    switch (wait) {
    case Wait::Greeting:
        if (code < 300) {
            commandDone();
        } else {
            // Refused at the door (e.g. 421, too many users): nothing else can run.
            commandFailed();
            socket->abort();
        }
        break;
    case Wait::UserReply:
        if (isLoginAccepted(code)) {
            setState(LoggedIn);
            commandDone();
        } else if (code == 331) {
            wait = Wait::PassReply;
            sendLine("PASS", password);
        } else {
            commandFailed();
        }
        break;
    case Wait::PassReply:
        if (isLoginAccepted(code)) {
            setState(LoggedIn);
            commandDone();
        } else {
            commandFailed();
        }
        break;
    case Wait::Nothing:
    case Wait::Disconnect:
        break; // unasked, or the answer to QUIT
    }
}

void FtpControlClient::protocolError()
{
    wait = Wait::Nothing;
    socket->abort();
    setState(Unconnected);
}
