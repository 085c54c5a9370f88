// Cuts a finished output into numbered parts inside a new folder next to it.
#pragma once

#include <QStringList>
#include <QThread>

class FileSplitter : public QThread
{
    Q_OBJECT
public:
    explicit FileSplitter(QObject* parent = nullptr);
    ~FileSplitter() override;

    // Splits path into parts of partSize bytes when it is larger than one
    // part. Returns the files the caller now has: the parts, or path alone
    // when no split was needed or the parts could not be written whole.
    // Runs on the calling thread and lets its event loop run as it copies.
    QStringList split(QString path, qint64 partSize);
    // Why the last split failed (its parts are then removed and split gave
    // back path alone); empty when it succeeded or was not needed.
    QString errorString() const { return m_error; }

signals:
    void splitDone(QStringList files);

private:
    QString m_error;
};
