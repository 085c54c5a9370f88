// FTP upload queue: jobs are added on the GUI thread and uploaded one at a
// time by an FtpCurlUploader on a worker thread of its own.
#pragma once

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <atomic>
#include <curl/curl.h>

class QThread;
class QTimer;
class FtpCurlUploader;

// Checks shared by the upload and the server dialog's login test, so that a
// test never passes for what every upload then refuses.
namespace ftpcheck {

// The server address as typed, without the blanks around it.
QString serverAddress(const QString& typed);

// A server as the upload and the login test both reach it.
struct Server {
    QString host;          // to connect to: a name, an IPv4 or a bare IPv6 literal
    QByteArray authority;  // the upload URL's host and port: "[::1]:21", "name:21"
    quint16 port = 0;
};
// Reads a typed address and port text into server. Returns "" when both
// are usable, else the text that says which is not: an address holding
// "/", "@", "#", "?", a blank, a control character or a ":" outside an IPv6
// literal, or a port outside 1-65535.
QString readServer(const QString& typedAddress, const QString& typedPort, Server* server);
// False when a user name or password holds CR, LF or NUL, which would end the
// command it travels in and let the rest be taken for another command.
bool usableCredential(const QString& text);

} // namespace ftpcheck

class FtpQueue : public QObject
{
    Q_OBJECT
public:
    explicit FtpQueue(QObject* parent = nullptr);
    // Cancels a running upload and waits for the worker thread to end.
    ~FtpQueue() override;

    void addToQueue(QString filePath, QString address, QString port, QString username,
                    QString password);
    // Drops every queued job and aborts the upload in progress, if any.
    void clearQueue();
    int count();
    // Jobs queued or being uploaded: the uploads not yet ended.
    int remaining();
    // An empty map when the queue is empty.
    QVariantMap takeFirst();
    bool shouldCancel();
    void setShouldCancel(bool cancel);

signals:
    void progress(QString file, double percent);
    void cancelCurrent();
    void status(QString file, QString text);
    // From the uploader's thread whenever remaining() has changed.
    void remainingChanged();

public slots:
    void progressUpdate(QString file, double percent);
    void statusUpdate(QString file, QString text);

private:
    friend class FtpCurlUploader;
    // Takes the next job and clears the cancel flag in one step under the lock,
    // so a cancel only ever hits the upload it was meant for.
    bool takeNextJob(QVariantMap* job);
    void jobEnded();

    QMutex queueLock;
    QList<QVariantMap> jobs;
    bool uploading = false; // a job taken by the uploader has not ended yet
    FtpCurlUploader* uploader = nullptr;
    QPointer<QThread> workerThread;
    std::atomic<bool> cancelFlag{false};
};

class FtpCurlUploader : public QObject
{
    Q_OBJECT
public:
    explicit FtpCurlUploader(FtpQueue* queue);
    ~FtpCurlUploader() override;

    // libcurl's result for the transfer, or 2 when the local file cannot be opened.
    int upload(QVariantMap job);
    // libcurl's transfer-info callback; clientp is the uploader.
    static int progressCallback(void* clientp, curl_off_t dltotal, curl_off_t dlnow,
                                curl_off_t ultotal, curl_off_t ulnow);
    // libcurl's verbose trace, written to standard error as libcurl writes it,
    // but with the password of the PASS command masked; clientp is the uploader.
    static int traceCallback(CURL* handle, curl_infotype type, char* data, size_t size,
                             void* clientp);

signals:
    void finished();
    void progress(QString file, double percent);
    void status(QString file, QString text);

public slots:
    void start();
    void cancelCurrentTransfer();
    void checkQueue();

private:
    // Reads the reply to SIZE once its last line has come.
    void readSizeReply();

    CURL* curl = nullptr;
    QTimer* pollTimer = nullptr;
    bool busy = false;
    FtpQueue* queue = nullptr;
    QString username;
    QString password;
    QString filePath;
    bool transferCancel = false;
    double lastPercent = -1.0; // last percentage reported for this upload
    bool inPassCommand = false; // the trace is within a PASS line sent in pieces
    bool sizeAsked = false;     // the last command sent was SIZE
    bool inSizeReply = false;   // the reply to that SIZE has begun and not ended
    QByteArray sizeReply;       // its lines so far, joined by blanks and cut short
    qint64 serverSize = -1;     // the server's SIZE of the file just sent, -1 when unknown
    QByteArray unreadSize;      // a 213 reply to SIZE that is not a plain number
    // What this run has put on servers: server, user and name on the server
    // (case-folded, as player drives compare names) -> the local file.
    QHash<QString, QString> uploadedNames;
};
