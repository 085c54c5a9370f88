#include "ftpqueue.h"

#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {
const int kPollIntervalMs = 1000;
const unsigned kDefaultFtpPort = 21;
// A server that stops reading or answering must not hold the queue: a
// transfer without progress for this long, or a connection not made within
// the second limit, fails and the next job runs. Tests shorten both through
// the environment.
const long kStallSeconds = 60;
const long kConnectSeconds = 30;

long limitSeconds(const char* variable, long fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(variable, &ok);
    return ok && value > 0 ? value : fallback;
}

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The port text of a job: empty or 0 means the FTP default. False when the
// text is no port number at all.
bool parsePort(const QString& text, unsigned* port)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        *port = kDefaultFtpPort;
        return true;
    }
    bool ok = false;
    const unsigned value = trimmed.toUInt(&ok);
    if (!ok || value > 65535)
        return false;
    *port = value == 0 ? kDefaultFtpPort : value;
    return true;
}
const char kBadAddressText[] = "Invalid FTP server address";
const char kBadCredentialsText[] = "Invalid character in FTP user name or password";

} // namespace

// ---------------------------------------------------------------- ftpcheck

QString ftpcheck::serverAddress(const QString& typed)
{
    return typed.trimmed();
}

bool ftpcheck::usableAddress(const QString& address)
{
    for (const QChar c : address)
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return false;
    return true;
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

    filePath = job.value(QStringLiteral("filePath")).toString();
    address = ftpcheck::serverAddress(job.value(QStringLiteral("address")).toString());
    username = job.value(QStringLiteral("username")).toString();
    password = job.value(QStringLiteral("password")).toString();

    const QByteArray localPath = filePath.toUtf8();
    FILE* file = std::fopen(localPath.constData(), "rb");
    if (!file) {
        std::printf("Couldnt open '%s'\n", localPath.constData());
        std::fflush(stdout);
        busy = false;
        return 2;
    }

    unsigned port = kDefaultFtpPort;
    if (!curl || !parsePort(job.value(QStringLiteral("port")).toString(), &port)) {
        std::fclose(file);
        busy = false;
        const CURLcode failure = curl ? CURLE_URL_MALFORMAT : CURLE_FAILED_INIT;
        emit status(filePath, QString::fromUtf8(curl_easy_strerror(failure)));
        return failure;
    }
    // libcurl would send these as they are: whatever follows a line break in
    // them reaches the server as a command of its own. Refused whichever way
    // the job came, before any connection.
    const bool addressOk = ftpcheck::usableAddress(address);
    if (!addressOk || !ftpcheck::usableCredential(username)
        || !ftpcheck::usableCredential(password)) {
        std::fclose(file);
        busy = false;
        emit status(filePath, QLatin1String(addressOk ? kBadCredentialsText : kBadAddressText));
        return addressOk ? CURLE_LOGIN_DENIED : CURLE_URL_MALFORMAT;
    }

    // The name is percent-encoded so that characters such as ' ', '#' or '?'
    // reach the server as part of the name instead of ending the URL path.
    const QString fileName = QFileInfo(filePath).fileName();
    const QByteArray url = "ftp://" + address.toUtf8() + ':' + QByteArray::number(port) + '/'
        + QUrl::toPercentEncoding(fileName);
    const QByteArray user = username.toUtf8();
    const QByteArray pass = password.toUtf8();
    const curl_off_t size = QFileInfo(filePath).size();

    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &FtpCurlUploader::traceCallback);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, this);
    inPassCommand = false;
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, pass.constData());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READDATA, file);
    curl_easy_setopt(curl, CURLOPT_FTPPORT, "-");
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, size);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &FtpCurlUploader::progressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    // Signals (for resolver time-outs) are not safe on a worker thread.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // No progress: fewer than 1 byte a second over the stall limit, no answer
    // to a command, or no data connection from the server within it.
    const long stall = limitSeconds("QUORVEL_FTP_STALL_SECONDS", kStallSeconds);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limitSeconds("QUORVEL_FTP_CONNECT_SECONDS", kConnectSeconds));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, stall);
    curl_easy_setopt(curl, CURLOPT_ACCEPTTIMEOUT_MS, stall * 1000);

    emit status(filePath, QStringLiteral("Upload Started"));
    const CURLcode result = curl_easy_perform(curl);

    std::fclose(file);
    busy = false;
    emit status(filePath, QString::fromUtf8(curl_easy_strerror(result)));
    return result;
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
