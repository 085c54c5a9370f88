// The FTP control client: command queue, reply parsing and login sequence.
#include "ftpcontrolclient.h"

#include <QTimer>

#include "ftplimits.h"

namespace {

// Far beyond any real greeting or login reply: a server that sends more
// before its final reply (continuation lines, preliminary replies or one
// endless line) is flooding, and the session ends rather than buffering or
// parsing without end.
const int kMaxReplyLines = 1000;
const qint64 kMaxReplyBytes = 64 * 1024;
// The socket buffers no more than this between two reads.
const qint64 kReadBufferSize = 64 * 1024;

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
      socket(new QTcpSocket(this)),
      limitTimer(new QTimer(this))
{
    socket->setReadBufferSize(kReadBufferSize);
    limitTimer->setSingleShot(true);
    connect(limitTimer, &QTimer::timeout, this, [this] {
        fail(wait == Wait::Greeting && state != Connected
                 ? tr("No connection within %1 s").arg(ftplimits::connectSeconds())
                 : tr("No reply within %1 s").arg(ftplimits::stallSeconds()));
    });
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

QString FtpControlClient::errorString() const
{
    return errorText;
}

void FtpControlClient::abort()
{
    pending.clear();
    running = false;
    wait = Wait::Nothing;
    limitTimer->stop();
    password.clear();
    cutConnection();
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
        replyLines = 0;
        replyBytes = 0;
        errorText.clear();
        expect(Wait::Greeting, ftplimits::connectSeconds());
        setState(HostLookup);
        // From here the socket's state changes and the greeting drive the command.
        socket->connectToHost(command.first, command.port);
        return;
    case Kind::Login:
        if (state != Connected && state != LoggedIn) {
            commandFailed();
            return;
        }
        // Ends as a refused login does, so that the test says why; the
        // upload refuses the same values with the same words.
        if (holdsLineBreakOrNul(command.first) || holdsLineBreakOrNul(command.second)) {
            commandFailed();
            setError(tr("Invalid character in FTP user name or password"));
            return;
        }
        password = command.second;
        expect(Wait::UserReply, ftplimits::stallSeconds());
        sendLine("USER", command.first);
        return;
    case Kind::Close:
        if (socket->state() == QAbstractSocket::UnconnectedState) {
            commandDone();
            return;
        }
        expect(Wait::Disconnect, ftplimits::stallSeconds());
        setState(Closing);
        if (socket->state() == QAbstractSocket::ConnectedState) {
            socket->write("QUIT\r\n");
            socket->disconnectFromHost();
        }
        return;
    }
}

void FtpControlClient::expect(Wait what, long seconds)
{
    wait = what;
    limitTimer->start(int(seconds * 1000));
}

void FtpControlClient::fail(const QString& reason)
{
    cutConnection();
    commandFailed();
    setError(reason);
    setState(Unconnected);
}

void FtpControlClient::cutConnection()
{
    // Cut here, not through socketStateChanged, which would report the cut
    // as a failure of its own.
    socket->blockSignals(true);
    socket->abort();
    socket->blockSignals(false);
    lineBuffer.clear();
    multiLineCode = 0;
}

void FtpControlClient::setError(const QString& reason)
{
    errorText = reason;
    emit failed(reason);
}

void FtpControlClient::commandDone()
{
    running = false;
    wait = Wait::Nothing;
    limitTimer->stop();
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
    limitTimer->stop();
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
        if (wait == Wait::Greeting) {
            // Connected: the greeting has the time any reply has.
            expect(Wait::Greeting, ftplimits::stallSeconds());
            setState(Connected);
        }
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
            setError(socket->errorString());
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
    // Lines are taken from an offset and the buffer is cut once, so the
    // work grows with the data, not with its square.
    int start = 0;
    int end;
    while ((end = lineBuffer.indexOf('\n', start)) >= 0) {
        QByteArray line = lineBuffer.mid(start, end - start);
        start = end + 1;
        ++replyLines;
        replyBytes += line.size() + 1;
        if (replyLines > kMaxReplyLines || replyBytes > kMaxReplyBytes) {
            fail(tr("The server's reply passed %1 lines or %2 KiB").arg(kMaxReplyLines).arg(kMaxReplyBytes / 1024));
            return;
        }
        if (line.endsWith('\r'))
            line.chop(1);
        takeLine(line);
        // A bad reply, or a refusal, ended the session and emptied the buffer.
        if (socket->state() == QAbstractSocket::UnconnectedState)
            return;
    }
    lineBuffer.remove(0, start);
    if (replyBytes + lineBuffer.size() > kMaxReplyBytes)
        fail(tr("The server's reply passed %1 lines or %2 KiB").arg(kMaxReplyLines).arg(kMaxReplyBytes / 1024));
}

void FtpControlClient::takeLine(const QByteArray& line)
{
    const int code = replyCode(line);
    if (multiLineCode) {
        // Inside a multi-line reply any text may stand; it ends with its
        // own code followed by a blank (or nothing).
        if (code == multiLineCode && (line.size() == 3 || line[3] == ' ')) {
            multiLineCode = 0;
            handleReply(code);
        }
        return;
    }
    if (code < 0 || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
        fail(tr("The server's reply is not FTP"));
        return;
    }
    if (line.size() > 3 && line[3] == '-')
        multiLineCode = code;
    else
        handleReply(code);
}

void FtpControlClient::handleReply(int code)
{
    if (code < 200)
        return; // preliminary: the final reply follows
    replyLines = 0;
    replyBytes = 0;
    switch (wait) {
    case Wait::Greeting:
        if (code < 300)
            commandDone();
        else // refused at the door (e.g. 421, too many users): nothing else can run
            fail(tr("The server refused the connection (reply %1)").arg(code));
        break;
    case Wait::UserReply:
        if (isLoginAccepted(code)) {
            setState(LoggedIn);
            commandDone();
        } else if (code == 331) {
            expect(Wait::PassReply, ftplimits::stallSeconds());
            sendLine("PASS", password);
        } else {
            commandFailed();
            setError(tr("Login refused (reply %1)").arg(code));
        }
        break;
    case Wait::PassReply:
        if (isLoginAccepted(code)) {
            setState(LoggedIn);
            commandDone();
        } else {
            commandFailed();
            setError(tr("Login refused (reply %1)").arg(code));
        }
        break;
    case Wait::Nothing:
    case Wait::Disconnect:
        break; // unasked, or the answer to QUIT
    }
}
