#include "targasequence.h"

#include "clipfolder.h"
#include "elevatedrun.h"
#include "conversionpool.h"
#include "driveindexer.h"
#include "frameplacement.h"
#include "framewriters.h"
#include "volumeinfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QThread>
#include <QThreadPool>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const int kNoFrame = 999999999;

// Value of the decimal digits text, or -1 when it does not fit an int.
int digitsValue(const QString& digits)
{
    qint64 value = 0;
    for (QChar c : digits) {
        const int d = c.digitValue();
        if (d < 0)
            return -1;
        value = value * 10 + d;
        if (value > INT_MAX)
            return -1;
    }
    return digits.isEmpty() ? -1 : int(value);
}

// Decimal digits at the end of text: ASCII 0-9, or any Unicode decimal digit above 127.
int trailingDigitCount(const QString& text)
{
    int n = 0;
    for (int i = text.size() - 1; i >= 0; --i) {
        const QChar c = text.at(i);
        const bool digit = c.unicode() < 128 ? (c >= '0' && c <= '9') : c.category() == QChar::Number_DecimalDigit;
        if (!digit)
            break;
        ++n;
    }
    return n;
}

// A frame that is no regular file (a fifo, a device) could keep a read
// waiting for ever: it counts as missing.
bool isRegularFile(const QString& path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

// Reverses the order of the rows of a packed picture.
void flipRows(uint8_t* pixels, int width, int height, int bytesPerPixel)
{
    const size_t rowBytes = size_t(width) * bytesPerPixel;
    std::vector<uint8_t> tmp(rowBytes);
    for (int top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = pixels + size_t(top) * rowBytes;
        uint8_t* b = pixels + size_t(bottom) * rowBytes;
        memcpy(tmp.data(), a, rowBytes);
        memcpy(a, b, rowBytes);
        memcpy(b, tmp.data(), rowBytes);
    }
}

// Stores every row left to right.
void mirrorRows(uint8_t* pixels, int width, int height, int bytesPerPixel)
{
    uint8_t tmp[4];
    for (int r = 0; r < height; ++r) {
        uint8_t* row = pixels + size_t(r) * width * bytesPerPixel;
        for (int left = 0, right = width - 1; left < right; ++left, --right) {
            memcpy(tmp, row + size_t(left) * bytesPerPixel, bytesPerPixel);
            memcpy(row + size_t(left) * bytesPerPixel, row + size_t(right) * bytesPerPixel, bytesPerPixel);
            memcpy(row + size_t(right) * bytesPerPixel, tmp, bytesPerPixel);
        }
    }
}

} // namespace

TargaSequence::TargaSequence(QObject* parent)
    : QObject(parent)
    , m_mutex(new QMutex)
{
    reset();
    m_running = false;
}

TargaSequence::~TargaSequence()
{
    // Writer jobs report to their sequence: it must not go before them.
    {
        QMutexLocker lock(m_mutex);
        m_running = false;
    }
    waitForJobs();
    m_locks.clear();
    delete m_mutex;
}

void TargaSequence::reset()
{
    QMutexLocker lock(m_mutex);
    m_firstFrame = kNoFrame;
    m_prefix.clear();
    m_digitCount = 0;
    m_prefixLength = 0;
    m_frameCount = 0;
    m_framesFound = 0;
    m_bitsPerPixel = 0;
    m_width = 0;
    m_height = 0;
    m_namesParsed = false;
    m_loaded = false;
    m_bottomUp = false;
    m_split4K = false;
    m_frameFiles.clear();
}

const QList<QSize>& TargaSequence::acceptedFrameSizes()
{
    static const QList<QSize> sizes{QSize(1280, 720), QSize(1920, 1080), QSize(2048, 1080),
                                    QSize(3840, 2160), QSize(4096, 2160)};
    return sizes;
}

bool TargaSequence::scan(QString directory)
{
    emit log(QStringLiteral("Starting scan for Image Sequence..."));
    reset();
    QMutexLocker lock(m_mutex);

    QDir dir(directory);
    dir.setNameFilters({QStringLiteral("*.tga")});
    dir.setFilter(QDir::Files | QDir::NoDotAndDotDot);
    dir.setSorting(QDir::Unsorted);
    m_files = dir.entryInfoList();
    if (m_files.isEmpty()) {
        emit message(QStringLiteral("No image sequence found."));
        return false;
    }

    for (const QFileInfo& file : qAsConst(m_files)) {
        const QString base = file.baseName();
        const int digits = trailingDigitCount(base);
        if (digits == 0)
            continue;
        m_digitCount = digits;
        m_prefix = base.left(base.size() - digits);
        m_prefixLength = m_prefix.size();
        m_directory = file.absolutePath();
        m_namesParsed = true;
        break;
    }
    if (!m_namesParsed) {
        emit message(QStringLiteral("Error getting starting frame..."));
        return false;
    }

    for (const QFileInfo& file : qAsConst(m_files)) {
        const QString base = file.baseName();
        if (base.size() != m_prefixLength + m_digitCount || !base.startsWith(m_prefix, Qt::CaseSensitive))
            continue;
        const int number = digitsValue(base.right(m_digitCount));
        if (number < 0)
            continue;
        ++m_framesFound;
        ++m_frameCount;
        if (number < m_firstFrame)
            m_firstFrame = number;
        // Open frames by the name listed: "FRAME0001.TGA" is not "FRAME0001.tga" here.
        // Only plain "<base>.tga" names (any case) stand for a frame file.
        if (file.completeSuffix().compare(QLatin1String("tga"), Qt::CaseInsensitive) == 0) {
            auto it = m_frameFiles.find(number);
            if (it == m_frameFiles.end() || file.fileName() == base + QLatin1String(".tga"))
                m_frameFiles.insert(number, file.fileName());
        }
    }

    bool propertiesOk = false;
    if (m_framesFound > 0) {
        TgaImage image;
        const QString path = framePath(m_firstFrame);
        if (isRegularFile(path) && TgaReadPath(&image, QFile::encodeName(path).constData()) == TgaOk
            && acceptedFrameSizes().contains(QSize(image.width, image.height))) {
            m_width = image.width;
            m_height = image.height;
            m_bitsPerPixel = image.pixelDepth;
            m_bottomUp = !TgaIsTopDown(&image);
            m_split4K = m_width > 2048;
            propertiesOk = true;
        }
        TgaFreeImage(&image);
    }
    if (!propertiesOk) {
        emit message(QStringLiteral("Error getting targa properties..."));
        return false;
    }

    m_loaded = true;
    emit log(QStringLiteral("Scan Complete."));
    return true;
}

QString TargaSequence::frameFileName(int n) const
{
    if (n < m_firstFrame || qint64(n) > qint64(m_firstFrame) + m_framesFound)
        return QString();
    return m_prefix + QString::number(n).rightJustified(m_digitCount, QLatin1Char('0'));
}

QString TargaSequence::framePath(int n) const
{
    const QString name = frameFileName(n);
    if (name.isEmpty())
        return QString();
    return m_directory + QLatin1Char('/') + m_frameFiles.value(n, name + QLatin1String(".tga"));
}

uint8_t* TargaSequence::readFrame(int n, int* width, int* height, bool flipToTopDown, bool to24Bit,
                                  TgaImage* image, int* fileDepth)
{
    const QString path = framePath(n);
    if (path.isEmpty() || !isRegularFile(path)) {
        TgaFreeImage(image);
        return nullptr;
    }
    if (TgaReadPathReusing(image, QFile::encodeName(path).constData()) != TgaOk)
        return nullptr;

    const int w = image->width, h = image->height;
    if (fileDepth)
        *fileDepth = image->pixelDepth;
    if (to24Bit) {
        if (image->pixelDepth == 32) {
            const size_t count = size_t(w) * h;
            uint8_t* px = image->pixels;
            for (size_t i = 0; i < count; ++i) {
                px[i * 3] = px[i * 4];
                px[i * 3 + 1] = px[i * 4 + 1];
                px[i * 3 + 2] = px[i * 4 + 2];
            }
            if (auto* shrunk = static_cast<uint8_t*>(realloc(px, count * 3)))
                image->pixels = shrunk;
            image->pixelDepth = 24;
            image->descriptor &= 0xF0;   // no alpha bits left
        } else if (image->pixelDepth != 24) {
            if (TgaConvertDepth(image, 24) != TgaOk) {
                TgaFreeImage(image);
                return nullptr;
            }
            image->descriptor &= 0xF0;
        }
    }

    // The row order is this frame's own; frames of one sequence may differ.
    if (flipToTopDown && !TgaIsTopDown(image)) {
        flipRows(image->pixels, w, h, image->pixelDepth / 8);
        image->descriptor |= TgaDescriptorTopDown;
    }

    if (width)
        *width = w;
    if (height)
        *height = h;
    return image->pixels;
}

float TargaSequence::frameRateForIndex(int index)
{
    static const float rates[8] = {23.976f, 25.0f, 29.97f, 47.952f, 50.0f, 59.94f, 100.0f, 119.88f};
    return (index >= 0 && index < 8) ? rates[index] : 59.94f;
}

void TargaSequence::setFrameRateIndex(int index)
{
    // Only indexes of the rate table are kept; others would index the rate names out of range.
    m_frameRateIndex = (index >= 0 && index < 8) ? index : 2;
}

int TargaSequence::setFrameCount(int n)
{
    if (!m_loaded)
        return -1;
    m_frameCount = n;
    return n;
}

int TargaSequence::slotCount() const
{
    if (m_loaded && m_split4K)
        return m_frameRateIndex > 5 ? 8 : 4;
    return m_frameRateIndex > 5 ? 2 : 1;
}

QList<SequenceDestination> TargaSequence::destinationsForSlot(int slot)
{
    const int groups = slotCount();
    QList<SequenceDestination> result;
    for (SequenceDestination& d : m_destinations) {
        if (d.slot >= groups)
            d.slot = d.slot % groups;
        if (d.slot == slot)
            result << d;
    }
    return result;
}

bool TargaSequence::isSplit() const { return m_loaded && m_split4K; }
bool TargaSequence::isHighFrameRate() const { return m_frameRateIndex > 5; }
bool TargaSequence::isRunning() const { return m_loaded && m_running; }
int TargaSequence::frameCount() const { return m_loaded ? m_frameCount : -1; }
int TargaSequence::framesFound() const { return m_loaded ? m_framesFound : -1; }
int TargaSequence::firstFrame() const { return m_loaded ? m_firstFrame : -1; }
int TargaSequence::frameRateIndex() const { return m_loaded ? m_frameRateIndex : -1; }
int TargaSequence::width() const { return m_loaded ? m_width : -1; }
int TargaSequence::height() const { return m_loaded ? m_height : -1; }
int TargaSequence::bitsPerPixel() const { return m_loaded ? m_bitsPerPixel : -1; }
int TargaSequence::digitCount() const { return m_loaded ? m_digitCount : 0; }
QString TargaSequence::prefix() const { return m_loaded ? m_prefix : QString(); }
QString TargaSequence::directory() const { return m_loaded ? m_directory : QString(); }

void TargaSequence::cancelConversion()
{
    QMutexLocker lock(m_mutex);
    m_running = false;
}

bool TargaSequence::runningLocked()
{
    QMutexLocker lock(m_mutex);
    return isRunning();
}

void TargaSequence::stopRunning()
{
    QMutexLocker lock(m_mutex);
    m_running = false;
}

void TargaSequence::writerFailed(const QString& fileName)
{
    {
        QMutexLocker lock(&m_jobMutex);
        m_writeFailed = true;
    }
    emit message(QStringLiteral("Unable to write to %1.").arg(QDir::toNativeSeparators(fileName)));
    stopRunning();
}

void TargaSequence::jobCreated()
{
    QMutexLocker lock(&m_jobMutex);
    ++m_jobs;
}

void TargaSequence::jobDone()
{
    QMutexLocker lock(&m_jobMutex);
    if (--m_jobs == 0)
        m_jobsDone.wakeAll();
}

// Waits for this sequence's own writers rather than for the whole pool, so
// another sequence's jobs never hold this one up.
void TargaSequence::waitForJobs()
{
    QMutexLocker lock(&m_jobMutex);
    while (m_jobs > 0)
        m_jobsDone.wait(&m_jobMutex);
}

void TargaSequence::startConversion(QList<SequenceDestination> destinations, int format, bool replaceFrames)
{
    if (thread() != QThread::currentThread()) {
        // Still on the worker of an earlier conversion, whose state must not change under it.
        qWarning("TargaSequence::startConversion: a conversion of this sequence is still running");
        return;
    }
    {
        QMutexLocker lock(m_mutex);
        m_running = false;
    }
    if (!m_loaded) {
        emit message(QStringLiteral("Couldn't start sequence conversion. No sequence is currently loaded."));
        return;
    }
    if (destinations.isEmpty()) {
        emit message(QStringLiteral("Couldn't start sequence conversion. No destination directory was specified."));
        return;
    }
    if (format != Targa && format != KRX) {
        emit message(QStringLiteral("Couldn't start sequence conversion. An invalid output format was specified."));
        return;
    }
    if (parent()) {
        // Only an object without a parent can move onto its worker thread.
        qWarning("TargaSequence::startConversion: the sequence has a parent and cannot move to its thread");
        return;
    }
    m_destinations = destinations;
    m_outputFormat = format;

    for (const SequenceDestination& d : qAsConst(destinations)) {
        // Elevated for a user: what root makes in the user's folders is the user's.
        if (!elevatedrun::makeFolders(d.path)) {
            emit message(QStringLiteral("Unable to create output directory %1.").arg(QDir::toNativeSeparators(d.path)));
            return;
        }
    }
    // Another run writing the same clip folder would mix its frames with
    // ours: that folder is left to it. Earlier frames go only once the folder is ours.
    m_locks.clear();
    QList<SequenceDestination> locked;
    for (int i = 0; i < destinations.size(); ++i) {
        const QString native = QDir::toNativeSeparators(destinations.at(i).path);
        auto lock = std::make_unique<ClipFolderLock>();
        if (!lock->acquire(destinations.at(i).path)) {
            if (!lock->heldElsewhere()) {
                m_locks.clear();
                emit message(QStringLiteral("Unable to create output directory %1.").arg(native));
                return;
            }
            emit message(QStringLiteral("%1 is being written by another Quorvel.").arg(native));
            emit destinationFailed(i);
            continue;
        }
        // A clip folder that is the sequence's own folder keeps its frames: they are the source.
        const bool ownFolder = QFileInfo(destinations.at(i).path).canonicalFilePath()
            == QFileInfo(m_directory).canonicalFilePath();
        if (replaceFrames && !ownFolder && !removeFrameFiles(destinations.at(i).path)) {
            emit message(QStringLiteral("Unable to remove the earlier frame files of %1.").arg(native));
            emit destinationFailed(i);
            continue;
        }
        m_locks.push_back(std::move(lock));
        locked << destinations.at(i);
    }
    m_destinations = locked;
    if (m_destinations.isEmpty())
        return;

    auto* thread = new QThread(this);
    moveToThread(thread);
    connect(thread, &QThread::started, this, &TargaSequence::convertSequence);
    connect(thread, &QThread::finished, thread, [this, thread]() {
        // Runs on the worker as it ends: hand the sequence back to the GUI thread.
        moveToThread(QCoreApplication::instance()->thread());
        thread->deleteLater();
    }, Qt::DirectConnection);
    thread->start(QThread::InheritPriority);
}

// Asks the kernel to start reading a frame file that is needed next, so the
// disk keeps reading while the current frame is converted and written.
void TargaSequence::prefetchFrame(int n) const
{
    const QString path = framePath(n);
    if (path.isEmpty() || !isRegularFile(path))
        return;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
    ::close(fd);
}

QString TargaSequence::outputName(int number) const
{
    return m_prefix + QString::number(number).rightJustified(m_digitCount, QLatin1Char('0'));
}

QString TargaSequence::outputPath(const SequenceDestination& destination, int number) const
{
    QString path = destination.path;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path + outputName(number) + (m_outputFormat == KRX ? QLatin1String(".krx") : QLatin1String(".tga"));
}

void TargaSequence::queueWriter(const QString& fileName, const std::shared_ptr<const SharedFrame>& frame, int x,
                                int y, int width, int height)
{
    TargaWriter* job = m_outputFormat == KRX ? new KRXWriter(fileName, frame, x, y, width, height, this)
                                             : new TargaWriter(fileName, frame, x, y, width, height, this);
    conversionThreadPool()->start(job, 0);
}

bool TargaSequence::extractRegion(TgaImage* image, void* buffer, int x, int y, int w, int h)
{
    if (!m_loaded || !image || !image->pixels || !buffer || x < 0 || y < 0 || w <= 0 || h <= 0
        || qint64(x) + w > image->width || qint64(y) + h > image->height)
        return false;
    CopyPictureRegion(image, static_cast<uint8_t*>(buffer), x, y, w, h);
    return true;
}

void TargaSequence::convertSequence()
{
    emit log(QStringLiteral("Starting Sequence Conversion"));
    frameplacement::Session placement;
    {
        QMutexLocker lock(m_mutex);
        m_running = true;
    }
    {
        QMutexLocker lock(&m_jobMutex);
        m_writeFailed = false;
    }

    const int halfWidth = m_width / 2;
    const int halfHeight = m_height / 2;

    // A frame counts as converted only once all its files are written.
    int queuedCount = 0;
    auto confirmQueued = [&]() {
        waitForJobs();
        bool failed;
        {
            QMutexLocker lock(&m_jobMutex);
            failed = m_writeFailed;
        }
        if (!failed && queuedCount > 0)
            emit frameConverted(queuedCount);
        queuedCount = 0;
        return !failed;
    };

    // Two frame buffers in turn: a frame's writer jobs share its buffer
    // read-only, so the next frame is read into the other one while this one
    // is written, without copies. A buffer is read into again only after the
    // jobs of the frame before have ended and let go of it (confirmQueued),
    // so its pages are not faulted in afresh for every frame.
    std::shared_ptr<SharedFrame> frames[2] = {std::make_shared<SharedFrame>(), std::make_shared<SharedFrame>()};
    for (qint64 i = m_firstFrame; i < qint64(m_firstFrame) + m_frameCount; ++i) {
        if (!runningLocked())
            break;
        // Writers address rows in picture order, so the rows are never flipped here.
        std::shared_ptr<SharedFrame>& frame = frames[i % 2];
        if (frame.use_count() > 1)
            frame = std::make_shared<SharedFrame>();
        if (i == m_firstFrame)
            prefetchFrame(int(i + 1));
        if (i + 2 < qint64(m_firstFrame) + m_frameCount)
            prefetchFrame(int(i + 2));
        int frameWidth = 0, frameHeight = 0, frameDepth = 0;
        uint8_t* pixels = readFrame(int(i), &frameWidth, &frameHeight, false, true, &frame->image, &frameDepth);
        if (!pixels) {
            emit message(QStringLiteral("Unable to open source frame %1.").arg(i));
            stopRunning();
            break;
        }
        // Every file of a clip must match its first frame: the drive index and
        // the player take one size and one format for the whole clip.
        if (frameWidth != m_width || frameHeight != m_height || frameDepth != m_bitsPerPixel) {
            const QString file = framePath(int(i));
            emit message(QStringLiteral("Source frame %1 is %2 x %3 at %4 bits per pixel, but the sequence's first "
                                        "frame is %5 x %6 at %7 bits per pixel.")
                             .arg(QDir::toNativeSeparators(file))
                             .arg(frameWidth)
                             .arg(frameHeight)
                             .arg(frameDepth)
                             .arg(m_width)
                             .arg(m_height)
                             .arg(m_bitsPerPixel),
                         2);
            stopRunning();
            break;
        }
        if (frame->image.descriptor & TgaDescriptorRightToLeft) {
            mirrorRows(pixels, frameWidth, frameHeight, 3);
            frame->image.descriptor &= ~TgaDescriptorRightToLeft;
        }

        // The previous frame's files are finished before this frame's are queued.
        if (!confirmQueued() || !runningLocked())
            break;

        const bool high = m_frameRateIndex > 5;
        auto outputNumber = [&](const SequenceDestination& d, int* number) {
            if (d.slot < 0 || !high) {
                *number = int(i);
                return true;
            }
            if ((d.slot % 2) != int(i % 2))
                return false;
            *number = int(i / 2);
            return true;
        };

        const QList<SequenceDestination> whole = (isSplit() || !high) ? destinationsForSlot(-1) : m_destinations;
        for (const SequenceDestination& d : whole) {
            int m;
            if (outputNumber(d, &m))
                queueWriter(outputPath(d, m), frame, 0, 0, frameWidth, frameHeight);
        }

        if (isSplit()) {
            const int groups = slotCount();
            for (int q = 0; q < groups; ++q) {
                // Group q is quadrant q, or quadrant q / 2 with the parity of q at a high rate.
                const int k = groups == 8 ? q / 2 : q;
                const int column = k % 2, row = k / 2;
                for (const SequenceDestination& d : destinationsForSlot(q)) {
                    int m;
                    if (outputNumber(d, &m))
                        queueWriter(outputPath(d, m), frame, column * halfWidth, row * halfHeight, halfWidth,
                                    halfHeight);
                }
            }
        }
        queuedCount = int(i - m_firstFrame + 1);
    }

    const bool written = confirmQueued();
    placement.end();

    if (written && runningLocked()) {
        emit frameConverted(DestinationIndexing);
        indexPlayerDrives();
    }
    m_locks.clear();

    if (QThread::currentThread() != QCoreApplication::instance()->thread())
        QThread::currentThread()->quit();
}

void TargaSequence::indexPlayerDrives()
{
    // Failures are gathered and told once, after the last drive, so that
    // the operator is not handed one box per drive.
    QStringList failures;
    DriveIndexer indexer(this);
    connect(&indexer, QOverload<QString, int>::of(&DriveIndexer::message), this,
            [&failures](const QString& text, int) { failures << text; }, Qt::DirectConnection);
    bool stopped = false;
    QStringList leftOut;
    for (const SequenceDestination& d : qAsConst(m_destinations)) {
        if (!runningLocked()) {
            stopped = true;
            break;
        }
        if (!VolumeInfo(d.path).isPlayerDrive() || indexer.indexDrive(d.path, false))
            continue;
        // Any of our clips on this drive may be among those left out.
        const QString root = VolumeInfo::rootPathOf(d.path);
        for (const SequenceDestination& e : qAsConst(m_destinations)) {
            if (!leftOut.contains(e.path) && VolumeInfo::rootPathOf(e.path) == root
                && indexer.leftOutFolders().contains(QFileInfo(e.path).fileName(), Qt::CaseInsensitive))
                leftOut << e.path;
        }
    }
    if (!failures.isEmpty())
        emit drivesNotIndexed(failures);
    if (!leftOut.isEmpty())
        emit clipsNotIndexed(leftOut);
    if (!stopped)
        emit frameConverted(DestinationCompleted);
}
