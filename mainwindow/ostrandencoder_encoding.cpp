// Page 3 of the main window: the encode loop (one encoding thread per row,
// progress poll, split, upload queueing), FTP progress and status per row,
// cancelling, and opening the output folder.
#include "ostrandencoder.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QStandardItem>
#include <QTimer>
#include <QUrl>

#include "advancedoptionswidget.h"
#include "encodingthread.h"
#include "fileitemmap.h"
#include "filesplitter.h"
#include "ftpmultisetupwidget.h"
#include "ftpqueue.h"
#include "renderlistmodel.h"
#include "stopsignals.h"
#include "transcodeengine.h"

using fileitem::rowMap;
using fileitem::setRowState;
using fileitem::storeRowMap;

namespace {

const int kProgressPollMs = 100;

// The status line has room up to the warning labels beside it, or across the
// list when none is shown; a long text takes a smaller size of the form's
// font, then a second line, and what still does not fit is cut with an
// ellipsis and left whole in the label's tool tip.
void setStatusText(Ui::OstrandEncoderClass& ui, const QString& text)
{
    QLabel* label = ui.encodingStatusLabel;
    const bool warningShown = !ui.noAudioWarningLabel->isHidden() || !ui.noVideoWarningLabel->isHidden();
    const int kNarrow = 241, kWide = 531, kTop = 5, kHeight = 27;
    const int width = warningShown ? kNarrow : kWide;
    QFont font = label->font();
    font.setPointSize(12);
    while (font.pointSize() > 8 && QFontMetrics(font).horizontalAdvance(text) > width)
        font.setPointSize(font.pointSize() - 1);
    const QFontMetrics metrics(font);
    const bool oneLine = metrics.horizontalAdvance(text) <= width;
    label->setWordWrap(!oneLine);
    // Two lines fill the gap above the list.
    label->setGeometry(label->x(), oneLine ? kTop : 1, width, oneLine ? kHeight : 2 * metrics.lineSpacing() + 2);
    QString shown = text;
    if (!oneLine) {
        const QRect twoLines(0, 0, width, 2 * metrics.lineSpacing());
        auto fits = [&](const QString& candidate) {
            const QRect needed = metrics.boundingRect(twoLines, Qt::TextWordWrap, candidate);
            return needed.height() < 3 * metrics.lineSpacing() && needed.width() <= width;
        };
        for (int room = 2 * width; room > 0 && !fits(shown); room -= 20)
            shown = metrics.elidedText(text, Qt::ElideRight, room);
    }
    label->setFont(font);
    // Reasons and names are never markup.
    label->setTextFormat(Qt::PlainText);
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

} // namespace

void OstrandEncoder::resetProgress()
{
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, 0);
        QVariantMap map = rowMap(index);
        map.insert(QLatin1String(fileitem::kEncodingProgressKey), 0);
        map.insert(QLatin1String(fileitem::kUploadProgressKey), 0);
        map.insert(QLatin1String(fileitem::kUploadProgressStringKey), QString());
        fileitem::setState(map, fileitem::kQueued);
        map.insert(QLatin1String(fileitem::kUploadErrorKey), false);
        if (map.remove(QLatin1String(fileitem::kEncodingErrorKey)))
            model->setData(index, buildInputParamsText(map), Qt::ToolTipRole);
        storeRowMap(model, index, map);
    }
}

void OstrandEncoder::showRunEnd()
{
    int failedRows = 0;
    QStringList reasons;
    for (int r = 0; r < model->rowCount(); ++r) {
        const QVariantMap map = rowMap(model->index(r, 0));
        if (fileitem::state(map) != fileitem::kEncodingError)
            continue;
        ++failedRows;
        reasons << fileitem::text(map, fileitem::kDisplayNameKey).trimmed() + QStringLiteral(": ")
                + fileitem::text(map, fileitem::kEncodingErrorKey);
    }
    const int encoded = model->rowCount() - failedRows;
    QString text = tr("Finished Encoding ") + QString::number(encoded) + (encoded == 1 ? tr(" File!") : tr(" Files!"));
    if (failedRows > 0) {
        text += QLatin1Char(' ') + QString::number(failedRows) + tr(" failed: ");
        for (int i = 0; i < reasons.size(); ++i) {
            // A reason that ends a sentence needs no second mark after it.
            if (i > 0)
                text += reasons[i - 1].endsWith(QLatin1Char('.')) ? QStringLiteral(" ") : QStringLiteral("; ");
            text += reasons[i];
        }
    }
    const int uploads = ftpQueue ? ftpQueue->remaining() : 0;
    if (uploads > 0)
        text += tr(" Uploading ") + QString::number(uploads) + (uploads == 1 ? tr(" file...") : tr(" files..."));
    setStatusText(ui, text);
}

void OstrandEncoder::uploadsChanged()
{
    if (sender() && sender() != ftpQueue)
        return;
    if (runEnded)
        showRunEnd();
}

void OstrandEncoder::showPage3()
{
    resetProgress();
    encodingRow = -1;
    cancelled = false;
    ++encodeSerial;
    encodingIndex = QPersistentModelIndex();
    runEnded = false;
    ui.stackedWidget->setCurrentIndex(3);

    // What an earlier run's queue still reports belongs to rows of that run.
    if (ftpQueue)
        disconnect(ftpQueue, nullptr, this, nullptr);
    uploadRows.clear();
    ftpQueue = nullptr;

    if (ui.ftpCheckbox->isChecked()) {
        ui.ftpStatusLabel2->show();
        ui.ftpStatusLabel->show();
        ui.ftpStatusLabel->setText(tr("Enabled"));
        ftpQueue = new FtpQueue(this);
        connect(ftpQueue, SIGNAL(progress(QString, double)), this, SLOT(updateFtpProgress(QString, double)));
        connect(ftpQueue, SIGNAL(status(QString, QString)), this, SLOT(updateFtpStatus(QString, QString)));
        connect(ftpQueue, &FtpQueue::remainingChanged, this, &OstrandEncoder::uploadsChanged);
    } else {
        ui.ftpStatusLabel2->hide();
        ui.ftpStatusLabel->hide();
    }
    if (!stopSignals) {
        stopSignals = new StopSignals(this);
        connect(stopSignals, &StopSignals::received, this, &OstrandEncoder::stopSignalReceived);
    }
    encodeNextFile(1);
}

void OstrandEncoder::stopSignalReceived(int)
{
    // Closing stops the encode as Cancel does, waits for it to remove its
    // temporary file, and then ends the program.
    if (encodingActive)
        close();
}

void OstrandEncoder::endStopSignals()
{
    // At once: the next run may begin before a later deletion, and only one
    // catcher can be active.
    delete stopSignals;
    stopSignals = nullptr;
}

void OstrandEncoder::encodeNextFile(int result)
{
    ui.encodingCancelButton->setText(tr("Cancel"));
    if (!cancelled && encodingRow < model->rowCount())
        ++encodingRow;

    // A cancelled run starts nothing more and queues nothing: the stopped
    // transcode's result only ends it.
    if (!cancelled && encodingIndex.isValid() && !finishRow(result))
        return;

    // The page's texts first: a failed preset check below leaves them standing.
    const int rows = model->rowCount();
    const bool nextRow = encodingRow < rows && !cancelled;
    if (nextRow) {
        setStatusText(ui, tr("Now Encoding ") + QString::number(encodingRow + 1) + tr(" of ") + QString::number(rows));
    } else {
        runEnded = true;
        showRunEnd();
    }

    if (!validatePresets(false)) {
        progressTimer->stop();
        ui.encodingCancelButton->setText(tr("Done"));
        encodingActive = false;
        endStopSignals();
        QTimer::singleShot(0, this, SLOT(notifyOfBadPresets()));
        return;
    }

    if (nextRow) {
        startRow();
        return;
    }

    encodingActive = false;
    endStopSignals();
    progressTimer->stop();
    ui.encodingCancelButton->setText(tr("Done"));
}

// Marks the row encodingThread has encoded, splits its output and queues its
// uploads. False when a new run began while the split let events run: the
// caller must then leave everything to that run.
bool OstrandEncoder::finishRow(int result)
{
    const QPersistentModelIndex row = encodingIndex;
    encodingIndex = QPersistentModelIndex();

    QVariantMap map = rowMap(row);
    // Any nonzero result is a failure: a broken output must never reach a
    // player, so it is neither split nor uploaded.
    const bool failed = result != 0;
    fileitem::setState(map, failed ? fileitem::kEncodingError : fileitem::kEncoded);
    map.insert(QLatin1String(fileitem::kEncodingProgressKey), 100);
    storeRowMap(model, row, map);
    if (failed) {
        // The engine's reason, where the operator looks: on the row.
        QString reason = QString::fromStdString(encodingThread->getTranscoder()->lastFailure());
        if (reason.isEmpty())
            reason = tr("the codec ended with code ") + QString::number(result);
        markRowFailed(row, reason);
        return true;
    }

    const QFileInfo output(fileitem::text(map, fileitem::kOutputFilenameKey));
    const qint64 limit = splitThreshold;
    QStringList files;
    if (output.size() > limit && ui.splitCheckbox->isChecked()) {
        setRowState(model, row, fileitem::kSplitting);
        const quint64 serial = encodeSerial;
        QString splitError;
        {
            FileSplitter splitter(this);
            files = splitter.split(output.absoluteFilePath(), limit);
            splitError = splitter.errorString();
        }
        // The split ran the event loop: a cancel, a close or even a new run
        // may have come in the meantime, and the row may be gone.
        if (serial != encodeSerial)
            return false;
        if (!splitError.isEmpty()) {
            // Over the player's limit and not cut: it must not reach the player.
            if (row.isValid())
                markRowFailed(row, tr("cannot split: ") + splitError);
            return true;
        }
        setRowState(model, row, fileitem::kEncoded);
    } else {
        files << QDir::fromNativeSeparators(output.absoluteFilePath());
    }
    if (cancelled || !row.isValid())
        return true;

    // The splitter lists the parts in their order (X.mpg, X.001, X.002, ...),
    // which is the order a player needs them in.
    for (const QString& file : files)
        uploadRows.insert(file, row);
    if (ui.ftpCheckbox->isChecked() && ftpQueue) {
        ftpSetup->restoreSettingsFromRegistry();
        const QVariantMap servers = rowMap(row);
        for (const QString& file : files)
            addToFtpQueue(file, servers);
    }
    return true;
}

void OstrandEncoder::markRowFailed(const QPersistentModelIndex& row, const QString& reason)
{
    QVariantMap map = rowMap(row);
    fileitem::setState(map, fileitem::kEncodingError);
    map.insert(QLatin1String(fileitem::kEncodingErrorKey), reason);
    model->setData(row, tr("Encoding Error: ") + reason + QStringLiteral("\n\n") + buildInputParamsText(map),
                   Qt::ToolTipRole);
    storeRowMap(model, row, map);
}

void OstrandEncoder::startRow()
{
    updateVideoSettingsDropdown();
    encodingActive = true;

    const QModelIndex index = model->index(encodingRow, 0);
    const QVariantMap map = rowMap(index);
    const QString input = fileitem::text(map, fileitem::kFilenameKey);
    const QString output = fileitem::text(map, fileitem::kOutputFilenameKey);
    const QString plugins = QDir::currentPath() + QStringLiteral("/Plugins/");
    const int quadrant = map.value(QLatin1String(fileitem::kQFHDQuadrantKey), 0).toInt();
    const int tallPart = map.value(QLatin1String(fileitem::kTallPartKey), 0).toInt();
    const bool pillarbox = advancedOptions->getAspectRatio() == 1;
    const bool removeAudio = advancedOptions->getRemoveAudio();
    const int kbps = advancedOptions->getUseCustomBitrate() ? advancedOptions->getCustomBitrate() : 0;

    if (encodingThread) {
        // Deleting stops a transcode that still runs (a cancelled run that a
        // new one follows at once) instead of waiting for its whole encode.
        disconnect(encodingThread, SIGNAL(transcodeFinished(int)), nullptr, nullptr);
        runningEngine = nullptr;
        delete encodingThread;
        encodingThread = nullptr;
    }

    encodingThread = new EncodingThread(this, input, output, presetFilePath(), plugins, isInterlaced(),
                                        quadrant, tallPart, pillarbox, removeAudio, kbps);
    // A result already posted by a thread that is no longer the current one
    // is still delivered after a disconnect: the serial tells it apart.
    const quint64 serial = ++encodeSerial;
    connect(encodingThread, &EncodingThread::transcodeFinished, this, [this, serial](int result) {
        if (serial == encodeSerial)
            encodeNextFile(result);
    });
    connect(encodingThread, SIGNAL(undeletedDP(bool)), this, SLOT(hasUndeletedDP(bool)));
    runningEngine = encodingThread->getTranscoder();
    encodingThread->start(QThread::InheritPriority);

    ui.encodingProgressList->scrollTo(index);
    encodingIndex = index;
    setRowState(model, index, fileitem::kEncoding);
    progressTimer->start(kProgressPollMs);
}

void OstrandEncoder::updateProgressBar()
{
    if (!runningEngine)
        return;
    if (cancelled) {
        // A transcode clears the stop request when it begins: a cancel that
        // came before that is repeated until the transcode has returned.
        runningEngine->stopRequest = true;
        return;
    }
    // Only the row being encoded; during a split encodingRow is already the next one.
    if (!encodingIndex.isValid() || encodingIndex.row() != encodingRow)
        return;
    QVariantMap map = rowMap(encodingIndex);
    map.insert(QLatin1String(fileitem::kEncodingProgressKey), int(runningEngine->progress() * 100.0));
    storeRowMap(model, encodingIndex, map);
}

void OstrandEncoder::hasUndeletedDP(bool kept)
{
    if (kept)
        decodePipeKept = true;
}

void OstrandEncoder::cancelButtonPressed()
{
    if (encodingActive) {
        if (QMessageBox::warning(this, tr("Quorvel"), tr("Are you sure you want to cancel encoding?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            == QMessageBox::Yes)
            cancelEncoding();
        return;
    }
    if (stopUploadsAsked())
        cancelEncoding();
}

void OstrandEncoder::cancelEncoding()
{
    removeQFHDQuadrants();
    showPage0();
    if (runningEngine)
        runningEngine->stopRequest = true;
    cancelled = true;
    runEnded = false;
    if (ftpQueue)
        ftpQueue->clearQueue();
}

bool OstrandEncoder::addToFtpQueue(QString file, QVariantMap row)
{
    if (!ftpQueue)
        return false;
    auto text = [&row](const char* key) { return fileitem::text(row, key); };
    if (text(fileitem::kPrimaryServerKey).isEmpty() || text(fileitem::kPrimaryPortKey).isEmpty())
        return false;
    ftpQueue->addToQueue(file, text(fileitem::kPrimaryServerKey), text(fileitem::kPrimaryPortKey),
                         text(fileitem::kPrimaryUsernameKey), text(fileitem::kPrimaryPasswordKey));
    if (text(fileitem::kSecondaryServerKey).isEmpty() || text(fileitem::kSecondaryPortKey).isEmpty())
        return false;
    ftpQueue->addToQueue(file, text(fileitem::kSecondaryServerKey), text(fileitem::kSecondaryPortKey),
                         text(fileitem::kSecondaryUsernameKey), text(fileitem::kSecondaryPasswordKey));
    return true;
}

void OstrandEncoder::updateFtpProgress(QString filePath, double percent)
{
    if (sender() && sender() != ftpQueue)
        return;
    const QPersistentModelIndex row = uploadRows.value(filePath);
    if (!row.isValid())
        return;
    QVariantMap map = rowMap(row);
    map.insert(QLatin1String(fileitem::kUploadProgressStringKey), QString::number(percent, 'f', 1));
    map.insert(QLatin1String(fileitem::kUploadProgressKey), int(percent));
    fileitem::setState(map, fileitem::kUploading);
    map.insert(QLatin1String(fileitem::kCurUploadFileKey), QFileInfo(filePath).fileName());
    storeRowMap(model, row, map);
}

void OstrandEncoder::updateFtpStatus(QString filePath, QString status)
{
    if (sender() && sender() != ftpQueue)
        return;
    ui.ftpStatusLabel->setText(status);
    const QPersistentModelIndex row = uploadRows.value(filePath);
    if (!row.isValid())
        return;
    QVariantMap map = rowMap(row);
    if (status == QLatin1String("Upload Started")) {
        fileitem::setState(map, fileitem::kUploading);
        map.insert(QLatin1String(fileitem::kCurUploadFileKey), QFileInfo(filePath).fileName());
        map.insert(QLatin1String(fileitem::kUploadProgressKey), 0);
        map.insert(QLatin1String(fileitem::kUploadProgressStringKey), QString::number(0.0, 'f', 1));
    } else if (status == QLatin1String("No error")) {
        // One failed upload of the row (a part, or the other server) keeps
        // the row failed: the player is missing something.
        const bool failedBefore = map.value(QLatin1String(fileitem::kUploadErrorKey)).toBool();
        fileitem::setState(map, failedBefore ? fileitem::kUploadError : fileitem::kUploaded);
    } else {
        fileitem::setState(map, fileitem::kUploadError);
        map.insert(QLatin1String(fileitem::kUploadErrorKey), true);
        // The reason stays where the operator looks, as an encode's does.
        model->setData(row,
                       tr("Upload Error: ") + QFileInfo(filePath).fileName() + QStringLiteral(": ") + status
                           + QStringLiteral("\n\n") + buildInputParamsText(map),
                       Qt::ToolTipRole);
    }
    storeRowMap(model, row, map);
}

void OstrandEncoder::ftpChecked(int state)
{
    const bool on = state == Qt::Checked;
    ui.ftpSettingsButton->setEnabled(on);
    ui.ftpStatusLabel->setVisible(on);
    ui.ftpStatusLabel2->setVisible(on);
}

void OstrandEncoder::openOutputDirectory()
{
    // Through the desktop's file manager; no shell sees the folder name.
    const QString folder = QDir::fromNativeSeparators(ui.outputDirLineEdit->text());
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        QMessageBox::warning(this, tr("Quorvel"),
                             tr("The output folder could not be opened: ") + QDir::toNativeSeparators(folder));
}
