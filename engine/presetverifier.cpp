#include "presetverifier.h"

#include <QCryptographicHash>
#include <QFile>
#include <QStringList>

namespace {
struct DigestRow {
    QString name;
    QString md5;
};

// Regenerate with tools/preset_digests.sh whenever Presets/ changes.
const DigestRow kShippedPresets[] = {
#include "presetdigests.inc"
};
} // namespace

PresetVerifier::PresetVerifier(QDir folder, QObject* parent)
    : QObject(parent), presetFolder(std::move(folder))
{
    for (const DigestRow& row : kShippedPresets)
        presetDigests.insert(row.name, row.md5);
}

PresetVerifier::~PresetVerifier() = default;

bool PresetVerifier::verify()
{
    const QStringList entries = presetFolder.entryList(QStringList{QStringLiteral("*.mps")});
    for (const QString& name : entries) {
        // An unreadable file reads as empty and so fails its digest.
        QByteArray contents;
        QFile file(presetFolder.filePath(name));
        if (file.open(QIODevice::ReadOnly)) {
            contents = file.readAll();
            file.close();
        }
        const QString actual = QString::fromLatin1(
            QCryptographicHash::hash(contents, QCryptographicHash::Md5).toHex());
        if (actual != presetDigests.value(name))
            return false;
    }
    return true;
}
