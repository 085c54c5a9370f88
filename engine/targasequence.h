// One numbered Targa image sequence in one folder: the scan that recognises
// it, frame reading, and its conversion into clip folders of ".tga" or ".krx"
// frame files on up to eight groups of destinations.
#pragma once

#include "reporting.h"
#include "tga.h"

#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <atomic>
#include <memory>
#include <vector>

// Destination status codes, carried by TargaSequence::frameConverted(int),
// kept per destination by the batch model and shown by the console progress.
// A value above 0 is the number of frames converted so far.
enum DestinationStatus {
    DestinationPending = 0,
    DestinationCompleted = -1,
    DestinationFailed = -2,
    DestinationIndexing = -4,
    DestinationCanceled = -5,
};

// One destination of an image sequence. In the list handed to
// TargaSequence::startConversion, path is the clip folder.
struct SequenceDestination {
    QString path;
    int slot = -1;                     // -1 whole frames, else the slot group (0 .. slotCount() - 1)
    int status = DestinationPending;   // a DestinationStatus, or the frames converted
};

class ClipFolderLock;
class TargaWriter;
struct SharedFrame;

class TargaSequence : public QObject {
    Q_OBJECT
public:
    enum OutputFormat { Targa = 0, KRX = 1 };

    explicit TargaSequence(QObject* parent = nullptr);
    ~TargaSequence() override;

    void reset();
    bool scan(QString directory);
    QString frameFileName(int n) const;
    // Reads frame n into image (freed first); returns its pixels or null. The
    // pixels belong to image.
    // fileDepth, when given, receives the pixel depth stored in the file.
    uint8_t* readFrame(int n, int* width, int* height, bool flipToTopDown, bool to24Bit, TgaImage* image,
                       int* fileDepth = nullptr);

    static float frameRateForIndex(int index);
    static const QList<QSize>& acceptedFrameSizes();
    void setFrameRateIndex(int index);
    int setFrameCount(int n);
    int slotCount() const;
    QList<SequenceDestination> destinationsForSlot(int slot);

    bool isSplit() const;
    bool isHighFrameRate() const;
    bool isRunning() const;
    int frameCount() const;
    int framesFound() const;
    int firstFrame() const;
    int frameRateIndex() const;
    int width() const;
    int height() const;
    int bitsPerPixel() const;
    int digitCount() const;
    QString prefix() const;
    QString directory() const;

    // Locks every clip folder for the run; a folder that another conversion
    // holds fails (destinationFailed) and the others go on. With
    // replaceFrames the frame files of an earlier run are removed first.
    void startConversion(QList<SequenceDestination> destinations, int format, bool replaceFrames = false);
    // Copies the picture region (x, y, w, h) into buffer, laid out as a w x h
    // image of the same depth and orientation as image.
    bool extractRegion(TgaImage* image, void* buffer, int x, int y, int w, int h);

signals:
    void log(QString text);
    void message(QString text, int level = reporting::WarningMessage);
    void frameConverted(int status);
    // Destination index (in the list given to startConversion) that is not
    // converted; its reason came through message.
    void destinationFailed(int index);
    // After the drives were indexed: one report per drive that could not be.
    void drivesNotIndexed(QStringList reports);
    // Then the clip folders (destination paths) whose drive index left them
    // out: written, but no player would play them. Comes before the end status.
    void clipsNotIndexed(QStringList clipFolders);

public slots:
    void cancelConversion();
    void convertSequence();

private:
    friend class TargaWriter;

    bool runningLocked();
    void stopRunning();
    void writerFailed(const QString& fileName);
    void jobCreated();
    void jobDone();
    void waitForJobs();
    // The file of frame n as it is named on disk; empty outside the sequence.
    QString framePath(int n) const;
    void prefetchFrame(int n) const;
    QString outputName(int number) const;
    QString outputPath(const SequenceDestination& destination, int number) const;
    void queueWriter(const QString& fileName, const std::shared_ptr<const SharedFrame>& frame, int x, int y,
                     int width, int height);
    void indexPlayerDrives();

    QMutex* m_mutex;
    bool m_loaded = false;
    QString m_prefix;
    int m_prefixLength = 0;
    int m_digitCount = 0;
    QString m_directory;
    bool m_namesParsed = false;
    int m_firstFrame = 999999999;
    int m_frameCount = 0;
    int m_framesFound = 0;
    int m_bitsPerPixel = 0;
    int m_frameRateIndex = 5;
    bool m_bottomUp = false;
    int m_width = 0;
    int m_height = 0;
    bool m_split4K = false;
    std::atomic<bool> m_running{false};   // written under m_mutex; getters read it without
    int m_outputFormat = Targa;
    QList<SequenceDestination> m_destinations;
    QList<QFileInfo> m_files;
    // Frame number -> file name as listed (the listing ignores the case of ".tga").
    QHash<int, QString> m_frameFiles;

    // One lock per clip folder being written, held until the run has ended.
    std::vector<std::unique_ptr<ClipFolderLock>> m_locks;

    // Writer jobs of this sequence still alive, and whether one failed.
    QMutex m_jobMutex;
    QWaitCondition m_jobsDone;
    int m_jobs = 0;
    bool m_writeFailed = false;
};
