// Indexes a player drive: finds the disk behind a mounted exFAT volume, reads
// the volume through the volume library and writes "index.dat" in its root.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include "mounttable.h"
#include "reporting.h"

class DriveIndexer : public QObject {
    Q_OBJECT
public:
    // Interactive failure reports belong to parent when it is a widget.
    explicit DriveIndexer(QObject* parent = nullptr);

    // Indexes the volume that holds drive (any path on it, usually its root)
    // and writes its "index.dat". Failures are reported as errors (over the
    // parent widget) when interactive, else through message() as errors. Returns
    // true when the index was written. Runs on the calling thread; runs in one
    // process never overlap.
    bool indexDrive(QString drive, bool interactive);
    // After a run that wrote the index but left clips out that a player could
    // not play: its failure report, naming them; empty after any other run.
    QString leftOutReport() const { return m_leftOut; }
    // The clip folders (names in the drive's root) that run left out.
    QStringList leftOutFolders() const { return m_leftOutFolders; }

    // Registers the disk behind a drive root with the volume library and
    // returns its physical disk number; -1 when it cannot be found.
    static int deviceNumber(const QString& root);
    // Writes the volume's cached data to its device; returns whether the volume could be opened.
    static bool flushVolume(const QString& root);
    // The mount, disk and volume offset behind a path (from /proc/self/mountinfo and /sys).
    static DriveLocation locate(const QString& path);

signals:
    // level: a reporting::MessageLevel
    void message(QString text, int level = reporting::WarningMessage);
    // The drive at root has been read and its index is about to be written.
    void scanned(QString root);

private:
    void report(const QString& text, bool interactive);

    QObject* m_boxParent = nullptr;
    QString m_leftOut;
    QStringList m_leftOutFolders;
};
