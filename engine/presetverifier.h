// Checks the codec preset folder against the digests of the presets we ship.
#pragma once

#include <QDir>
#include <QMap>
#include <QObject>
#include <QString>

class PresetVerifier : public QObject
{
    Q_OBJECT
public:
    // presetFolder is normally QDir::currentPath() + "/Presets/".
    explicit PresetVerifier(QDir presetFolder, QObject* parent = nullptr);
    ~PresetVerifier() override;

    // True when every "*.mps" file in the folder is one we ship, unchanged.
    // Shipped files that are missing are not detected here.
    bool verify();

private:
    QDir presetFolder;
    QMap<QString, QString> presetDigests; // file name -> lower-case hex MD5
};
