#include "ftpqueue.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QScopeGuard>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "ftplimits.h"

namespace {
const int kPollIntervalMs = 1000;

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

const char kBadAddressText[] = "Invalid FTP server address";
const char kBadPortText[] = "Invalid FTP server port";
const char kBadCredentialsText[] = "Invalid character in FTP user name or password";
// A reply quoted in a status is cut to this many bytes.
const int kMaxQuotedReply = 200;

// An IPv6 literal without brackets and without a zone.
bool isIpv6Literal(const QString& text)
{
    QHostAddress address;
    return !text.contains(QLatin1Char('%')) && address.setAddress(text)
        && address.protocol() == QAbstractSocket::IPv6Protocol;
}

} // namespace

// ---------------------------------------------------------------- ftpcheck

QString ftpcheck::serverAddress(const QString& typed)
{
    return typed.trimmed();
}

QString ftpcheck::readServer(const QString& typedAddress, const QString& typedPort, Server* server)
{
    const QString address = serverAddress(typedAddress);
    QString host = address;
    if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
        host = address.mid(1, address.size() - 2);
    const bool ipv6 = isIpv6Literal(host);
    if (host.isEmpty() || (host != address && !ipv6))
        return QLatin1String(kBadAddressText);
    if (!ipv6) {
        // Each of these would make the rest of the text a user, a path, a
        // port or a fragment of the URL instead of part of the host.
        for (const QChar c : host)
            if (c.isSpace() || c.category() == QChar::Other_Control
                || QStringLiteral("/@#?:[]%\\").contains(c))
                return QLatin1String(kBadAddressText);
    }
    bool ok = false;
    const uint port = typedPort.trimmed().toUInt(&ok, 10);
    if (!ok || port < 1 || port > 65535)
        return QLatin1String(kBadPortText);
    server->host = host;
    server->port = quint16(port);
    server->authority = (ipv6 ? '[' + host.toUtf8() + ']' : host.toUtf8()) + ':' + QByteArray::number(port);
    return QString();
}

bool ftpcheck::usableCredential(const QString& text)
{
    return !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QChar(0));
}

// ---------------------------------------------------------------- FtpQueue

FtpQueue::FtpQueue(QObject* parent) : QObject(parent)
{
    uploader = new FtpCurlUploader(this);
    workerThread = new QThread(this);
    uploader->moveToThread(workerThread);

    connect(workerThread, &QThread::started, uploader, &FtpCurlUploader::start);
    connect(uploader, &FtpCurlUploader::finished, workerThread, &QThread::quit);
    connect(uploader, &FtpCurlUploader::finished, uploader, &QObject::deleteLater);
    connect(uploader, &FtpCurlUploader::finished, workerThread, &QObject::deleteLater);
    // The uploader is freed on its own thread when that thread ends, so its
    // timer and easy handle never go away under a running transfer.
    connect(workerThread, &QThread::finished, uploader, &QObject::deleteLater);
    connect(uploader, &FtpCurlUploader::progress, this, &FtpQueue::progressUpdate);
    connect(uploader, &FtpCurlUploader::status, this, &FtpQueue::statusUpdate);

    cancelFlag = false;
    workerThread->start(QThread::InheritPriority);
}

FtpQueue::~FtpQueue()
{
    {
        QMutexLocker locker(&queueLock);
        jobs.clear();
        cancelFlag = true;
    }
    if (workerThread) {
        // A running transfer sees the cancel flag at its next progress report
        // (libcurl reports at least once a second), then the loop ends.
        workerThread->quit();
        workerThread->wait();
    }
}

void FtpQueue::addToQueue(QString filePath, QString address, QString port, QString username,
                          QString password)
{
    QVariantMap job;
    job.insert(QStringLiteral("filePath"), filePath);
    job.insert(QStringLiteral("address"), address);
    job.insert(QStringLiteral("port"), port);
    job.insert(QStringLiteral("username"), username);
    job.insert(QStringLiteral("password"), password);
    QMutexLocker locker(&queueLock);
    jobs.append(job);
}

void FtpQueue::clearQueue()
{
    QMutexLocker locker(&queueLock);
    jobs.clear();
    cancelFlag = true;
}

int FtpQueue::count()
{
    QMutexLocker locker(&queueLock);
    return jobs.count();
}

int FtpQueue::remaining()
{
    QMutexLocker locker(&queueLock);
    return jobs.count() + (uploading ? 1 : 0);
}

QVariantMap FtpQueue::takeFirst()
{
    QMutexLocker locker(&queueLock);
    if (jobs.isEmpty())
        return QVariantMap();
    return jobs.takeFirst();
}

bool FtpQueue::takeNextJob(QVariantMap* job)
{
    QMutexLocker locker(&queueLock);
    if (jobs.isEmpty())
        return false;
    *job = jobs.takeFirst();
    cancelFlag = false;
    uploading = true;
    return true;
}

void FtpQueue::jobEnded()
{
    {
        QMutexLocker locker(&queueLock);
        uploading = false;
    }
    emit remainingChanged();
}

bool FtpQueue::shouldCancel()
{
    return cancelFlag.load();
}

void FtpQueue::setShouldCancel(bool cancel)
{
    cancelFlag.store(cancel);
}

void FtpQueue::progressUpdate(QString file, double percent)
{
    emit progress(file, percent);
}

void FtpQueue::statusUpdate(QString file, QString text)
{
    emit status(file, text);
}

// --------------------------------------------------------- FtpCurlUploader

FtpCurlUploader::FtpCurlUploader(FtpQueue* queue) : queue(queue)
{
    initCurlOnce();
    curl = curl_easy_init();
    busy = false;
}

FtpCurlUploader::~FtpCurlUploader()
{
    if (curl)
        curl_easy_cleanup(curl);
}

void FtpCurlUploader::start()
{
    pollTimer = new QTimer(this);
    connect(pollTimer, &QTimer::timeout, this, &FtpCurlUploader::checkQueue);
    pollTimer->start(kPollIntervalMs);
}

void FtpCurlUploader::cancelCurrentTransfer()
{
    transferCancel = true;
}

void FtpCurlUploader::checkQueue()
{
    if (busy)
        return;
    QVariantMap job;
    if (!queue->takeNextJob(&job))
        return;
    upload(job);
    queue->jobEnded();
}

int FtpCurlUploader::upload(QVariantMap job)
{
    transferCancel = false;
    busy = true;
    lastPercent = -1.0;
    const auto idle = qScopeGuard([this] { busy = false; });

    filePath = job.value(QStringLiteral("filePath")).toString();
    username = job.value(QStringLiteral("username")).toString();
    password = job.value(QStringLiteral("password")).toString();

    const QByteArray localPath = filePath.toUtf8();
    FILE* file = std::fopen(localPath.constData(), "rb");
    if (!file) {
        std::printf("Couldnt open '%s'\n", localPath.constData());
        std::fflush(stdout);
        return 2;
    }
    const auto closeFile = qScopeGuard([file] { std::fclose(file); });
    const auto report = [this](const QString& text, int code) {
        emit status(filePath, text);
        return code;
    };
    if (!curl)
        return report(QString::fromUtf8(curl_easy_strerror(CURLE_FAILED_INIT)), CURLE_FAILED_INIT);

    // Read as the server dialog's login test reads it, so that both take
    // and refuse the same servers.
    ftpcheck::Server server;
    const QString badServer = ftpcheck::readServer(job.value(QStringLiteral("address")).toString(),
                                                   job.value(QStringLiteral("port")).toString(), &server);
    if (!badServer.isEmpty())
        return report(badServer, CURLE_URL_MALFORMAT);
    // libcurl would send these as they are: whatever follows a line break in
    // them reaches the server as a command of its own. Refused whichever way
    // the job came, before any connection.
    if (!ftpcheck::usableCredential(username) || !ftpcheck::usableCredential(password))
        return report(QLatin1String(kBadCredentialsText), CURLE_LOGIN_DENIED);

    // The name is percent-encoded so that characters such as ' ', '#' or '?'
    // reach the server as part of the name instead of ending the URL path.
    const QString fileName = QFileInfo(filePath).fileName();

    // Parts of different outputs can share a name; the later one would
    // replace on the server what the earlier one put there.
    const QString nameKey = QString::fromUtf8(server.authority).toLower() + QLatin1Char('\n') + username
        + QLatin1Char('\n') + fileName.toCaseFolded();
    const QString earlier = uploadedNames.value(nameKey);
    if (!earlier.isNull() && earlier != filePath)
        return report(QStringLiteral("Name clash: %1 was uploaded to this server from %2 earlier in this run")
                          .arg(fileName, earlier),
                      CURLE_REMOTE_FILE_EXISTS);
    const QByteArray url = "ftp://" + server.authority + '/' + QUrl::toPercentEncoding(fileName);
    const QByteArray user = username.toUtf8();
    const QByteArray pass = password.toUtf8();
    const curl_off_t size = QFileInfo(filePath).size();

    // After the transfer the server is asked for its size of the file: a
    // data connection cut short can still end in "226". The "*" lets a
    // server without SIZE pass; a name holding a line break is not asked
    // about, as the break would end the command.
    const QByteArray sizeCommand = "*SIZE " + fileName.toUtf8();
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> postQuote(
        ftpcheck::usableCredential(fileName) ? curl_slist_append(nullptr, sizeCommand.constData()) : nullptr,
        &curl_slist_free_all);
    sizeAsked = false;
    inSizeReply = false;
    serverSize = -1;
    unreadSize.clear();

    // A value libcurl refuses (a user name too long, say) fails the upload
    // rather than leaving libcurl's default (anonymous) in its place.
    CURLcode set = CURLE_OK;
    const auto option = [&](CURLoption name, auto value) {
        if (set == CURLE_OK)
            set = curl_easy_setopt(curl, name, value);
    };
    option(CURLOPT_VERBOSE, 1L);
    option(CURLOPT_DEBUGFUNCTION, &FtpCurlUploader::traceCallback);
    option(CURLOPT_DEBUGDATA, static_cast<void*>(this));
    inPassCommand = false;
    option(CURLOPT_URL, url.constData());
    option(CURLOPT_USERNAME, user.constData());
    option(CURLOPT_PASSWORD, pass.constData());
    option(CURLOPT_UPLOAD, 1L);
    option(CURLOPT_READDATA, static_cast<void*>(file));
    option(CURLOPT_FTPPORT, "-");
    option(CURLOPT_NOPROGRESS, 0L);
    option(CURLOPT_INFILESIZE_LARGE, size);
    option(CURLOPT_XFERINFOFUNCTION, &FtpCurlUploader::progressCallback);
    option(CURLOPT_XFERINFODATA, static_cast<void*>(this));
    option(CURLOPT_POSTQUOTE, postQuote.get());
    // No connection outlives its job: servers close idle sessions (and the
    // next job would read their "421"), allow one session per address (and
    // the next run would be turned away), and an idle connection's QUIT
    // would be sent where no cancel reaches it, when the handle goes.
    option(CURLOPT_FORBID_REUSE, 1L);
    // Signals (for resolver time-outs) are not safe on a worker thread.
    option(CURLOPT_NOSIGNAL, 1L);
    // A server that stops reading or answering must not hold the queue: no
    // progress (fewer than 1 byte a second) over the stall limit, no answer
    // to a command, or no data connection from the server within it, fails.
    const long stall = ftplimits::stallSeconds();
    option(CURLOPT_CONNECTTIMEOUT, ftplimits::connectSeconds());
    option(CURLOPT_LOW_SPEED_LIMIT, 1L);
    option(CURLOPT_LOW_SPEED_TIME, stall);
    option(CURLOPT_SERVER_RESPONSE_TIMEOUT, stall);
    option(CURLOPT_ACCEPTTIMEOUT_MS, stall * 1000);
    if (set != CURLE_OK)
        return report(QString::fromUtf8(curl_easy_strerror(set)), set);

    emit status(filePath, QStringLiteral("Upload Started"));
    const CURLcode result = curl_easy_perform(curl);
    // The list goes with this call; the handle stays for the next job.
    curl_easy_setopt(curl, CURLOPT_POSTQUOTE, nullptr);

    curl_off_t sent = 0;
    if (result == CURLE_OK || (curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &sent) == CURLE_OK && sent > 0))
        uploadedNames.insert(nameKey, filePath);
    if (result == CURLE_OK && !unreadSize.isEmpty())
        return report(QStringLiteral("Upload unchecked: the server's reply to SIZE cannot be read: \"%1\"")
                          .arg(QString::fromUtf8(unreadSize)),
                      CURLE_WEIRD_SERVER_REPLY);
    if (result == CURLE_OK && serverSize >= 0 && serverSize != size)
        return report(QStringLiteral("Upload incomplete: the server holds %1 of %2 bytes").arg(serverSize).arg(size),
                      CURLE_PARTIAL_FILE);
    return report(QString::fromUtf8(curl_easy_strerror(result)), result);
}

int FtpCurlUploader::progressCallback(void* clientp, curl_off_t /*dltotal*/,
                                      curl_off_t /*dlnow*/, curl_off_t ultotal,
                                      curl_off_t ulnow)
{
    auto* self = static_cast<FtpCurlUploader*>(clientp);
    if (self->queue->shouldCancel()) {
        self->queue->setShouldCancel(false);
        return 1; // libcurl aborts the transfer
    }
    // The total is 0 until the transfer starts, and for an empty file.
    const double percent = ultotal > 0 ? double(ulnow) * 100.0 / double(ultotal) : 0.0;
    // libcurl calls back for every buffer it sends; a tenth of a percent is
    // as fine as any display needs, and the GUI thread is spared the flood.
    if (self->lastPercent < 0 || percent >= self->lastPercent + 0.1
        || (percent == 100.0 && self->lastPercent != 100.0)) {
        self->lastPercent = percent;
        emit self->progress(self->filePath, percent);
    }
    return 0;
}

void FtpCurlUploader::readSizeReply()
{
    // Any other reply means SIZE is not offered: the "*" let it pass.
    if (!sizeReply.startsWith("213"))
        return;
    const QByteArray number = sizeReply.mid(4).trimmed();
    bool digits = !number.isEmpty() && sizeReply.size() > 3 && sizeReply[3] == ' ';
    for (const char c : number)
        digits = digits && c >= '0' && c <= '9';
    bool ok = false;
    const qint64 value = digits ? number.toLongLong(&ok) : -1;
    if (ok) {
        serverSize = value;
        return;
    }
    // Quoted in the status: no control character reaches the label.
    unreadSize = sizeReply.size() > kMaxQuotedReply ? sizeReply.left(kMaxQuotedReply) + "..." : sizeReply;
    for (char& c : unreadSize)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
}

int FtpCurlUploader::traceCallback(CURL* /*handle*/, curl_infotype type, char* data, size_t size,
                                   void* clientp)
{
    auto* self = static_cast<FtpCurlUploader*>(clientp);
    const char* prefix = nullptr;
    switch (type) {
    case CURLINFO_TEXT:
        prefix = "* ";
        break;
    case CURLINFO_HEADER_IN:
        prefix = "< ";
        break;
    case CURLINFO_HEADER_OUT:
        prefix = "> ";
        break;
    default:
        return 0; // file data, as libcurl's own trace leaves it out
    }
    if (type == CURLINFO_HEADER_OUT) {
        self->sizeAsked = size >= 5 && std::memcmp(data, "SIZE ", 5) == 0;
        self->inSizeReply = self->sizeAsked;
        self->sizeReply.clear();
    } else if (type == CURLINFO_HEADER_IN && self->inSizeReply) {
        // libcurl reports a reply line by line; it ends on a line of the
        // first line's code followed by a blank.
        QByteArray line(data, int(qMin<size_t>(size, kMaxQuotedReply + 8)));
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        const bool first = self->sizeReply.isEmpty();
        const QByteArray code = first ? line.left(3) : self->sizeReply.left(3);
        if (!first && self->sizeReply.size() <= kMaxQuotedReply)
            self->sizeReply += ' ';
        if (self->sizeReply.size() <= kMaxQuotedReply)
            self->sizeReply += line.left(kMaxQuotedReply + 1 - self->sizeReply.size());
        if (line.size() == 3 || (line.size() > 3 && line[3] == ' ' && line.startsWith(code))) {
            self->inSizeReply = false;
            self->readSizeReply();
        }
    }
    if (type == CURLINFO_HEADER_OUT) {
        // Should libcurl report a command in pieces, no piece of PASS may
        // show: everything up to the end of its line is dropped.
        const bool passStarts =
            !self->inPassCommand && size >= 5 && std::memcmp(data, "PASS ", 5) == 0;
        if (passStarts || self->inPassCommand) {
            self->inPassCommand = size == 0 || data[size - 1] != '\n';
            if (passStarts)
                std::fputs("> PASS ****\r\n", stderr);
            return 0;
        }
    }
    std::fputs(prefix, stderr);
    std::fwrite(data, 1, size, stderr);
    return 0;
}
