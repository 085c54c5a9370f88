// Page 1 of the main window: adding and removing input files, the background
// probe of every added file, its tool tip, the readiness check and the counters.
#include "ostrandencoder.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMetaType>
#include <QMutexLocker>
#include <QStandardItem>
#include <QThreadPool>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>
#include <limits>

#include "fileitemmap.h"
#include "renderlistmodel.h"
#include "transcodeengine.h"

namespace {

const char* const kVideoFilterBasic =
    "Videos (*.raw *.rgb *.yuv *.i420 *.yv12 *.yuy2 *.yuyv *.bgr4 *.bgr3 *.bgra *.rgb3 *.rgb4 "
    "*.argb *.srt *.sub *.xml *.mmf *.dif *.dv *.mxf *.avi *.mj2 *.mov *.j2c *.jp2 *.mpeg *.mpg "
    "*.m2v *.vob *.ifo *.mpv *.ec3 *.264 *.h264 *.avc *.m2ts *.m2t *.mp4 *.mpeg4 *.3gp *.3g2 "
    "*.m4v *.f4v *.mts *.ts *.wmv *.mzl *.smi);;All Files (*.*)";
// Players that take audio-only inputs as well.
const char* const kVideoFilterWithAudio =
    "Videos (*.raw *.rgb *.yuv *.i420 *.yv12 *.yuy2 *.yuyv *.bgr4 *.bgr3 *.bgra *.rgb3 *.rgb4 "
    "*.argb *.srt *.sub *.xml *.mmf *.dif *.dv *.mxf *.avi *.mj2 *.mov *.j2c *.jp2 *.mpeg *.mpg "
    "*.m2v *.vob *.ifo *.mpv *.mpa *.aac *.ac3 *.ec3 *.264 *.h264 *.avc *.m2ts *.m2t *.mp4 "
    "*.mpeg4 *.3gp *.3g2 *.m4v *.f4v *.mts *.ts *.wmv *.wma *.asf *.mp3 *.mzl *.smi);;All Files "
    "(*.*)";

QString text(const std::map<std::string, std::string>& probe, const char* key)
{
    const auto it = probe.find(key);
    return it == probe.end() ? QString() : QString::fromStdString(it->second);
}

} // namespace

using fileitem::rowMap;

void OstrandEncoder::chooseFiles()
{
    const int device = ui.deviceComboBox->currentIndex();
    const bool videoOnly = device == fileitem::kVerrinoDevice || device == fileitem::kPln3100Device;
    const QStringList files = QFileDialog::getOpenFileNames(
        this, tr("Select Files"), lastFolder,
        QString::fromLatin1(videoOnly ? kVideoFilterBasic : kVideoFilterWithAudio));
    addFiles(files);
}

void OstrandEncoder::addFiles(QStringList paths)
{
    // The row pointer travels to the GUI thread in a queued signal.
    qRegisterMetaType<QStandardItem*>("QStandardItem*");

    for (const QString& path : paths) {
        if (path.isEmpty())
            continue;
        const QString uuid = QUuid::createUuid().toString();
        const QString filename = QDir::fromNativeSeparators(path);
        QVariantMap map;
        map.insert(QLatin1String(fileitem::kUuidKey), uuid);
        map.insert(QLatin1String(fileitem::kFilenameKey), filename);
        fileitem::setState(map, fileitem::kQueued);
        map.insert(QLatin1String(fileitem::kDisplayNameKey), QFileInfo(filename).fileName());
        map.insert(QLatin1String(fileitem::kVideoCodecKey), QStringLiteral("Processing..."));
        map.insert(QLatin1String(fileitem::kValidKey), QStringLiteral("false"));

        auto* item = new QStandardItem;
        fileitem::storeRowMap(item, map);
        item->setData(QStringLiteral("Processing..."), Qt::ToolTipRole);
        model->appendRow(item);
        ui.encoderListView->scrollTo(item->index(), QAbstractItemView::EnsureVisible);

        ++probesRunning;
        QtConcurrent::run(QThreadPool::globalInstance(), this, &OstrandEncoder::getFileParameters,
                          item, uuid);

        const QString folder = QFileInfo(path).absolutePath();
        ui.outputDirLineEdit->setText(generateDefaultOutputDir(folder));
        lastFolder = folder;
    }
}

void OstrandEncoder::getFileParameters(QStandardItem* item, QString uuid)
{
    // Counted until the task has ended: closing while one runs ends the process.
    struct Running {
        std::atomic<int>& count;
        ~Running() { --count; }
    } running{probesRunning};

    QVariantMap map;
    {
        // The row cannot be removed while its map is read: removeFiles records
        // the uuid under this lock before it removes the row.
        QMutexLocker guard(&removedUuidsLock);
        if (removedUuids.contains(uuid) || closing)
            return;
        map = rowMap(item);
    }
    const QString filename = fileitem::text(map, fileitem::kFilenameKey);
    const std::map<std::string, std::string> probe =
        probeEngine->probeFile(filename.toStdString().c_str());

    const QString width = text(probe, fileitem::kWidthKey);
    const QString height = text(probe, fileitem::kHeightKey);
    // The row keeps these under the probe's own names.
    auto copy = [&map, &probe](const char* key) { map.insert(QLatin1String(key), text(probe, key)); };
    copy(fileitem::kVideoCodecKey);
    copy(fileitem::kVBitrateKey);
    map.insert(QLatin1String(fileitem::kModeKey),
               text(probe, "pal") == QLatin1String("1") ? QStringLiteral("PAL") : QStringLiteral("NTSC"));
    copy(fileitem::kAudioCodecKey);
    copy(fileitem::kABitrateKey);
    map.insert(QLatin1String(fileitem::kDurationKey), secondsToString(text(probe, fileitem::kDurationKey)));
    copy(fileitem::kNumAudioStreamsKey);
    copy(fileitem::kNumVideoStreamsKey);
    copy(fileitem::kFramesKey);
    copy(fileitem::kWidthKey);
    copy(fileitem::kHeightKey);
    copy(fileitem::kSamplerateKey);
    map.insert(QLatin1String(fileitem::kBitrateTypeKey),
               text(probe, "vbr") == QLatin1String("1") ? QStringLiteral("VBR") : QStringLiteral("CBR"));
    copy(fileitem::kValidKey);
    const bool qfhd = (width == QLatin1String("3840") || width == QLatin1String("4096"))
        && height == QLatin1String("2160");
    const bool tall = width == QLatin1String("1920") && height == QLatin1String("2454");
    map.insert(QLatin1String(fileitem::kQFHDSplitSupportKey),
               qfhd ? QStringLiteral("true") : QStringLiteral("false"));
    map.insert(QLatin1String(fileitem::kTallSplitSupportKey),
               tall ? QStringLiteral("true") : QStringLiteral("false"));

    {
        QMutexLocker guard(&removedUuidsLock);
        if (removedUuids.contains(uuid) || closing)
            return;
    }
    emit processingFinished(item, map);
}

void OstrandEncoder::inputProcessingFinished(QStandardItem* item, QVariantMap map)
{
    // The row may have been removed after the task's last check; then the
    // pointer is stale and must not be touched.
    {
        QMutexLocker guard(&removedUuidsLock);
        if (removedUuids.contains(fileitem::text(map, fileitem::kUuidKey)))
            return;
    }
    fileitem::storeRowMap(item, map);
    item->setData(buildInputParamsText(map), Qt::ToolTipRole);
}

QString OstrandEncoder::buildInputParamsText(QVariantMap map)
{
    auto v = [&map](const char* key) { return fileitem::text(map, key); };
    QString out = QStringLiteral("Input Video Params:\n");
    out += QStringLiteral("Total Frames: ") + v(fileitem::kFramesKey) + QLatin1Char('\n');
    out += QStringLiteral("Video Bitrate Type: ") + v(fileitem::kBitrateTypeKey) + QLatin1Char('\n');
    out += QStringLiteral("Width: ") + v(fileitem::kWidthKey) + QLatin1Char('\n');
    out += QStringLiteral("Height: ") + v(fileitem::kHeightKey) + QLatin1Char('\n');
    out += QStringLiteral("Audio Codec: ") + v(fileitem::kAudioCodecKey) + QLatin1Char('\n');
    if (v(fileitem::kABitrateKey) != QLatin1String("0"))
        out += QStringLiteral("Audio Bitrate: ") + v(fileitem::kABitrateKey) + QLatin1Char('\n');
    out += QStringLiteral("Audio Sample Rate: ") + v(fileitem::kSamplerateKey);
    return out;
}

QString OstrandEncoder::secondsToString(QString seconds)
{
    // A crafted file can claim any duration: keep it inside int before truncating.
    const double value = seconds.toDouble();
    int s = 0;
    if (std::isnan(value) || value <= 0.0)
        s = 0;
    else if (value >= double(std::numeric_limits<int>::max()))
        s = std::numeric_limits<int>::max();
    else
        s = int(value);
    const int h = s / 3600;
    const int m = (s % 3600) / 60;
    const int sec = (s % 3600) % 60;
    return QString::number(h) + QStringLiteral("h ") + QString::number(m) + QStringLiteral("m ")
        + QString::number(sec) + QStringLiteral("s ");
}

void OstrandEncoder::removeFiles()
{
    if (ui.stackedWidget->currentWidget() != ui.inputPage)
        return;

    ui.encoderListView->setUpdatesEnabled(false);
    QModelIndexList selected = ui.encoderListView->selectionModel()->selectedRows(0);
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QList<int> rows;
    for (const QModelIndex& index : selected)
        rows << index.row();
    const int first = rows.isEmpty() ? 0 : rows.first();

    for (int i = rows.size() - 1; i >= 0; --i) {
        const QString uuid = fileitem::text(rowMap(model->item(rows[i])), fileitem::kUuidKey);
        {
            QMutexLocker guard(&removedUuidsLock);
            removedUuids.insert(uuid);
        }
        model->removeRow(rows[i]);
    }

    const int count = model->rowCount();
    if (first < count) {
        ui.encoderListView->setCurrentIndex(model->index(first, 0));
    } else if (count > 0) {
        const QModelIndex last = model->index(count - 1, 0);
        ui.encoderListView->setCurrentIndex(last);
        ui.encoderListView->scrollTo(last, QAbstractItemView::EnsureVisible);
    }
    ui.encoderListView->setUpdatesEnabled(true);

    if (count > 0) {
        const QString lastFile =
            fileitem::text(rowMap(model->item(count - 1)), fileitem::kFilenameKey);
        ui.outputDirLineEdit->setText(generateDefaultOutputDir(QFileInfo(lastFile).absolutePath()));
    }
}

void OstrandEncoder::checkParamCompletion()
{
    probesPending = false;
    bool invalidFile = false;
    int leftToProcess = 0;
    const int count = model->rowCount();
    for (int row = 0; row < count; ++row) {
        const QVariantMap map = rowMap(model->item(row));
        if (fileitem::text(map, fileitem::kValidKey) != QLatin1String("true"))
            probesPending = true;
        else
            continue;
        if (fileitem::text(map, fileitem::kVideoCodecKey) == QLatin1String("Invalid File Type"))
            invalidFile = true;
        else
            ++leftToProcess;
    }
    if (count == 0)
        probesPending = true;

    if (!probesPending) {
        ui.nextStepButton2->setEnabled(true);
        ui.nextStepButton2->setText(tr("Next Step: Output Settings"));
        updateToEncodeCount();
    } else {
        emit numFilesLeftToProcess(leftToProcess);
        if (invalidFile)
            ui.nextStepButton2->setText(tr("Invalid File"));
        else if (count == 0)
            ui.nextStepButton2->setText(tr("Next Step: Output Settings"));
        ui.nextStepButton2->setEnabled(false);
    }
    ui.invalidFileWarningLabel->setVisible(invalidFile);
}

void OstrandEncoder::updateToProcessCount(int count)
{
    if (count == 0) {
        updateToEncodeCount();
        return;
    }
    ui.nextStepButton2->setText(tr("Processing..."));
    const QString n = QString::number(count);
    ui.numFilesToEncodeLabel->setText(
        n + (n == QLatin1String("1") ? tr(" File left to Process") : tr(" Files left to Process")));
}

void OstrandEncoder::updateToEncodeCount()
{
    const QString n = QString::number(model->rowCount());
    ui.numFilesToEncodeLabel->setText(
        n + (n == QLatin1String("1") ? tr(" File to Encode") : tr(" Files to Encode")));
    const QString button = tr("Encode ") + n;
    ui.nextStepButton3->setText(button
                                + (button == QLatin1String("Encode 1") ? tr(" File") : tr(" Files")));
}

QString OstrandEncoder::generateDefaultOutputDir(QString folder)
{
    // First "outputN/" under the folder that does not exist yet.
    for (int n = 0;; ++n) {
        const QString path = folder + QStringLiteral("/output") + QString::number(n) + QLatin1Char('/');
        if (!QDir(path).exists())
            return QDir::fromNativeSeparators(path);
    }
}

void OstrandEncoder::setInputFlags()
{
    noAudio = noVideo = anyQFHD = anyTall = false;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QVariantMap map = rowMap(model->item(row));
        if (fileitem::text(map, fileitem::kNumAudioStreamsKey).toInt() == 0)
            noAudio = true;
        if (fileitem::text(map, fileitem::kNumVideoStreamsKey).toInt() == 0)
            noVideo = true;
        if (fileitem::text(map, fileitem::kQFHDSplitSupportKey) == QLatin1String("true"))
            anyQFHD = true;
        if (fileitem::text(map, fileitem::kTallSplitSupportKey) == QLatin1String("true"))
            anyTall = true;
    }
}
