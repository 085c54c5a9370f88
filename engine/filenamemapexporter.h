// Writes the text file that lists each row's input and output file names.
#pragma once

#include <QObject>
#include <QString>

class QStandardItemModel;

class FilenameMapExporter : public QObject
{
    Q_OBJECT
public:
    explicit FilenameMapExporter(QObject* parent = nullptr);
    ~FilenameMapExporter() override;

    // Replaces the file at path. False when it cannot be opened or written.
    bool exportMap(QString path, QStandardItemModel* model);
};
