#include "ostrandencoder.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QKeySequence>
#include <QPropertyAnimation>
#include <QRegExp>
#include <QRegExpValidator>
#include <QSettings>
#include <QShortcut>
#include <QShowEvent>
#include <QStandardPaths>
#include <QThreadPool>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "advancedoptionswidget.h"
#include "fileitemmap.h"
#include "listitemdelegate.h"
#include "outputlistdelegate.h"
#include "ftpmultisetupwidget.h"
#include "elevatedrun.h"
#include "ftpqueue.h"
#include "settingswrite.h"
#include "presetverifier.h"
#include "progresslistdelegate.h"
#include "quorvelresources.h"
#include "renderlistmodel.h"
#include "reporting.h"
#include "transcodeengine.h"

namespace {

const char* const kVersion = QUORVEL_VERSION;

// Device list, in the order of fileitem::Device.
struct DeviceEntry {
    const char* key;
    const char* text;
};
const DeviceEntry kTargetDevices[] = {
    {"pln3300", "Pellarine HD - PLN3300"},
    {"pln3200", "Pellarine HD - PLN3200"},
    {"pln3100", "Pellarine - PLN3100"},
    {"verrinouc", "A/V Verrino Uncompressed"},
    {"verrinohd", "A/V Verrino HD (Digital Verrino HD)"},
    {"verrino", "A/V Verrino (Video Verrino)"},
    {"kd2000", "Kadrelo - KD2000"},
    {"zephrane4k", "Zephrane 4K"},
};
static_assert(sizeof(kTargetDevices) / sizeof(kTargetDevices[0]) == fileitem::kDeviceCount);

struct ListEntry {
    const char* key;
    const char* text;
};

const ListEntry kHDResolutions[] = {
    {"1080p_ntsc", "1080p/29.97"}, {"1080p_23976", "1080p/23.976"}, {"1080i_ntsc", "1080i/29.97"},
    {"720p_ntsc", "720p/59.94"},   {"480p_ntsc", "480p/29.97"},     {"480i_ntsc", "480i/29.97"},
    {"1080p_pal", "1080p/25"},     {"1080i_pal", "1080i/25"},       {"720p_pal", "720p/50"},
    {"576p_pal", "576p/25"},       {"576i_pal", "576i/25"},
};
const ListEntry kSDResolutions[] = {
    {"480p_ps_ntsc", "480p NTSC"},
    {"480i_ps_ntsc", "480i NTSC"},
    {"576p_ps_pal", "576p PAL"},
    {"576i_ps_pal", "576i PAL"},
};
// "1080p_ntsc" is shared with HD: UltraHD/29.97 uses the 1080p/29.97 presets.
const ListEntry k4KResolutions[] = {
    {"1080p_5994", "UltraHD/59.94"},
    {"1080p_ntsc", "UltraHD/29.97"},
};
const ListEntry kTargaResolutions[] = {
    {"source", "Same as source"},
};

// Quality blocks; the blanks inside the texts are as the players' documentation has them.
const ListEntry kH264Standard[] = {
    {"h264_high", "H.264 High (25Mbps)"},
    {"h264_medium", "H.264 Medium (15Mbps)"},
    {"h264_low", "H.264 Low(10Mbps)"},
};
const ListEntry kH264At5994[] = {
    {"h264_high", "H.264 High (35Mbps)"},
    {"h264_medium", "H.264 Medium (30Mbps)"},
    {"h264_low", "H.264 Low(25Mbps)"},
};
const ListEntry kMpeg2HD[] = {
    {"mpeg2_high", "MPEG2 High (38Mbps)"},
    {"mpeg2_medium", "MPEG2 Medium(30Mbps)"},
    {"mpeg2_low", "MPEG2 Low (18Mbps)"},
};
const ListEntry kMpeg2SD[] = {
    {"mpeg2_high", "MPEG2 High (14Mbps)"},
    {"mpeg2_medium", "MPEG2 Medium (10Mbps)"},
    {"mpeg2_low", "MPEG2 Low (6Mbps)"},
};
const ListEntry kH264Custom = {"h264_high", "H.264 (Custom Bitrate)"};
const ListEntry kMpeg2Custom = {"mpeg2_high", "MPEG2 (Custom Bitrate)"};
const ListEntry kImageSequences[] = {
    {"targa", "8-bit 4:4:4 Targa Sequence"},
    {"krx", "8-bit 4:4:4 KRX Sequence"},
};

const qint64 kHDSplitThreshold = 4000000000LL;
const qint64 kSDSplitThreshold = 2000000000LL;
const int kDevicePictureWidth = 280;

void appendEntry(QComboBox* combo, const ListEntry& e)
{
    combo->insertItem(combo->count(), QIcon(), QString::fromLatin1(e.text),
                      QString::fromLatin1(e.key));
}

template <size_t N>
void appendEntries(QComboBox* combo, const ListEntry (&entries)[N])
{
    for (const ListEntry& e : entries)
        appendEntry(combo, e);
}

// One codec block: its custom entry, or its three fixed entries.
template <size_t N>
void appendQualityBlock(QComboBox* combo, bool custom, const ListEntry& customEntry,
                        const ListEntry (&entries)[N])
{
    if (custom)
        appendEntry(combo, customEntry);
    else
        appendEntries(combo, entries);
}

// An index that is no entry of the list falls back to the first entry.
void setIndexOrFirst(QComboBox* combo, int index)
{
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : 0);
}

} // namespace

OstrandEncoder::OstrandEncoder(QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags),
      model(nullptr),
      encodingRow(-1),
      runningEngine(nullptr),
      probeEngine(nullptr),
      cancelled(false),
      encodingActive(false),
      outputExists(false),
      outputIsInput(false),
      outputsCollide(false),
      noAudio(false),
      noVideo(false),
      anyQFHD(false),
      anyTall(false),
      splitThreshold(kHDSplitThreshold),
      ftpQueue(nullptr),
      prefixValidator(nullptr),
      deviceImageIndex(0),
      probesPending(false),
      closing(false),
      probesRunning(0),
      progressTimer(nullptr),
      encodingThread(nullptr),
      decodePipeKept(false),
      settingsLoaded(true),
      advancedOptions(nullptr),
      ftpSetup(nullptr)
{
    initQuorvelResources();
    ui.setupUi(this);

    QCoreApplication::setOrganizationName(QStringLiteral("Ostrand Kelvane Inc"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("ostrandkelvane.com"));
    QCoreApplication::setApplicationName(QStringLiteral("Quorvel"));
    // Elevated for a user: that user's settings, through root's own copy; and
    // the run ends when the process that started it goes.
    elevatedrun::useCallerSettings();
    if (elevatedrun::forUser()) {
        auto* watch = new elevatedrun::CallerWatch(this);
        connect(watch, &elevatedrun::CallerWatch::gone, this, &OstrandEncoder::callerGone);
        if (elevatedrun::callerGoneAtStart())
            callerGone();
    }

    setWindowTitle(QStringLiteral("Quorvel v") + QLatin1String(kVersion)
                   + QStringLiteral(" :: Ostrand Kelvane Inc."));
    setFixedSize(570, 351);

    progressTimer = new QTimer();
    connect(progressTimer, SIGNAL(timeout()), this, SLOT(updateProgressBar()));

    showPage0();
    ui.navLabel->setPixmap(QPixmap(QStringLiteral(":/OstrandEncoder/navsettings")));

    encodingRow = -1;
    runningEngine = nullptr;
    encodingThread = nullptr;
    encodingActive = false;
    deviceImageIndex = 0;
    probesPending = false;
    closing = false;
    settingsLoaded = true;
    advancedOptions = nullptr;
    ftpSetup = nullptr;
    noAudio = noVideo = anyQFHD = false;
    decodePipeKept = false;
    ui.nextStepButton2->setEnabled(false);
    ui.noAudioWarningLabel->hide();
    ui.noVideoWarningLabel->hide();
    ui.invalidFileWarningLabel->hide();
    ui.QFHDCheckbox->setEnabled(false);
    ui.QFHDCheckbox->setChecked(true);

    lastFolder = getDocumentsPath();

    model = new RenderListModel(0, 1, this);

    ftpSetup = new FTPMultiSetupWidget(model, ui.centralWidget);
    ftpSetup->hide();
    ftpSetup->setTableViewModel(model);

    advancedOptions = new AdvancedOptionsWidget(ui.centralWidget);
    advancedOptions->hide();
    connect(advancedOptions, SIGNAL(useCustomBitrateDidChange()), this,
            SLOT(updateVideoSettingsDropdown()));

    connect(ui.advSettingsButton, SIGNAL(clicked()), this, SLOT(showAdvancedOptions()));
    connect(ui.addFilesButton, SIGNAL(clicked()), this, SLOT(chooseFiles()));
    connect(ui.removeFilesButton, SIGNAL(clicked()), this, SLOT(removeFiles()));
    connect(ui.encoderListView, SIGNAL(filesDropped(QStringList)), this, SLOT(addFiles(QStringList)));
    connect(ui.nextStepButton1, SIGNAL(clicked()), this, SLOT(showPage1()));
    connect(ui.nextStepButton2, SIGNAL(clicked()), this, SLOT(showPage2()));
    connect(ui.nextStepButton3, SIGNAL(clicked()), this, SLOT(showPage3NameCheck()));
    connect(ui.backTo1Button, SIGNAL(clicked()), this, SLOT(showPage0()));
    connect(ui.backTo2Button, SIGNAL(clicked()), this, SLOT(showPage1()));
    connect(ui.encodingCancelButton, SIGNAL(clicked()), this, SLOT(cancelButtonPressed()));
    connect(ui.deviceComboBox, SIGNAL(currentIndexChanged(int)), this, SLOT(deviceSelected(int)));
    connect(ui.videoResComboBox, SIGNAL(currentIndexChanged(int)), this, SLOT(videoResSelected(int)));
    connect(ui.openOutputDirButton, SIGNAL(clicked()), this, SLOT(openOutputDirectory()));
    connect(model, SIGNAL(rowsInserted(QModelIndex, int, int)), this, SLOT(updateToEncodeCount()));
    connect(model, SIGNAL(rowsRemoved(QModelIndex, int, int)), this, SLOT(updateToEncodeCount()));
    connect(ui.stackedWidget, SIGNAL(currentChanged(int)), this, SLOT(updateNavigation(int)));
    connect(ui.ostrandNamingCheckbox, SIGNAL(stateChanged(int)), this,
            SLOT(ostrandNamingCheckboxChanged(int)));
    connect(ui.renameStartIndexSpinBox, SIGNAL(valueChanged(int)), this, SLOT(generateOutputNames()));
    connect(ui.renamePrefixLineEdit, SIGNAL(textChanged(QString)), this, SLOT(generateOutputNames()));
    connect(ui.QFHDCheckbox, SIGNAL(stateChanged(int)), this, SLOT(QFHDCheckboxChanged(int)));
    connect(ui.outputBrowseButton, SIGNAL(clicked()), this, SLOT(browseOutputDir()));
    connect(ui.ftpSettingsButton, SIGNAL(clicked()), this, SLOT(showFtpSettingsDialog()));
    connect(ui.ftpCheckbox, SIGNAL(stateChanged(int)), this, SLOT(ftpChecked(int)));
    connect(ui.exportFilenameMappingButton, SIGNAL(clicked()), this, SLOT(exportFilenameMap()));
    connect(this, SIGNAL(processingFinished(QStandardItem*, QVariantMap)), this,
            SLOT(inputProcessingFinished(QStandardItem*, QVariantMap)));
    connect(this, SIGNAL(numFilesLeftToProcess(int)), this, SLOT(updateToProcessCount(int)));
    connect(model, SIGNAL(rowsInserted(QModelIndex, int, int)), this, SLOT(checkParamCompletion()));
    connect(model, SIGNAL(rowsRemoved(QModelIndex, int, int)), this, SLOT(checkParamCompletion()));
    connect(model, SIGNAL(dataChanged(QModelIndex, QModelIndex, QVector<int>)), this,
            SLOT(checkParamCompletion()));
    connect(&updaterProcess, SIGNAL(finished(int, QProcess::ExitStatus)), this,
            SLOT(updaterProcessFinished(int, QProcess::ExitStatus)));

    QTimer::singleShot(100, this, SLOT(autoCheckForUpdates()));

    ui.encoderListView->setModel(model);
    ui.encoderListView->setItemDelegate(new ListItemDelegate);
    ui.encoderListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui.encoderListView->setSelectionRectVisible(true);
    ui.encoderListView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ui.encoderListView->setUniformItemSizes(true);
    ui.outputListView->setModel(model);
    ui.outputListView->setItemDelegate(new OutputListDelegate);
    ui.outputListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui.outputListView->setSelectionMode(QAbstractItemView::NoSelection);
    ui.outputListView->setUniformItemSizes(true);
    ui.encodingProgressList->setModel(model);
    ui.encodingProgressList->setItemDelegate(new ProgressListDelegate);
    ui.encodingProgressList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui.encodingProgressList->setSelectionMode(QAbstractItemView::NoSelection);
    ui.encodingProgressList->setUniformItemSizes(true);

    populateTargetDevices();

    QShortcut* deleteKey = new QShortcut(QKeySequence(Qt::Key_Delete), ui.encoderListView, nullptr,
                                         nullptr, Qt::WindowShortcut);
    connect(deleteKey, SIGNAL(activated()), this, SLOT(removeFiles()));

    probeEngine = new TranscodeEngine(
        QFile::encodeName(QDir::currentPath() + QStringLiteral("/Plugins")).constData());

    prefixValidator = new QRegExpValidator(
        QRegExp(QStringLiteral("([a-zA-Z0-9\\s\\_-]+)"), Qt::CaseSensitive, QRegExp::RegExp), this);
    ui.renamePrefixLineEdit->setValidator(prefixValidator);

    loadSettings();

    validatePresets(true);
}

OstrandEncoder::~OstrandEncoder()
{
    // Probe tasks on the global pool use the probe engine until they end;
    // those that have not probed yet stop at their first check.
    closing = true;
    QThreadPool::globalInstance()->waitForDone();
    delete probeEngine;
    delete progressTimer;
    // The delegates have no parent; their views only watch them.
    delete ui.encoderListView->itemDelegate();
    delete ui.outputListView->itemDelegate();
    delete ui.encodingProgressList->itemDelegate();
    // Whatever else this run wrote to the settings, as root for a user.
    SettingsWrite::giveBackToUser();
}

QString OstrandEncoder::getDocumentsPath()
{
    return QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
}

void OstrandEncoder::loadSettings()
{
    // Each index change rebuilds the lists below it, so the order matters:
    // device, then resolution, then quality. A stored index that is no entry
    // of its list (an edited or foreign settings file) selects the first entry.
    settingsLoaded = false;
    QSettings settings;
    setIndexOrFirst(ui.deviceComboBox, settings.value(QStringLiteral("lastProductIndex"), 0).toInt());
    setIndexOrFirst(ui.videoResComboBox, settings.value(QStringLiteral("lastResIndex"), 0).toInt());
    setIndexOrFirst(ui.videoComboBox, settings.value(QStringLiteral("lastQualityIndex"), 0).toInt());
    settingsLoaded = true;
}

void OstrandEncoder::saveSettings()
{
    SettingsWrite settings;
    settings.setValue(QStringLiteral("lastProductIndex"), ui.deviceComboBox->currentIndex());
    settings.setValue(QStringLiteral("lastResIndex"), ui.videoResComboBox->currentIndex());
    settings.setValue(QStringLiteral("lastQualityIndex"), ui.videoComboBox->currentIndex());
}

// ---- pages and panels ----

void OstrandEncoder::showPage0()
{
    ui.stackedWidget->setCurrentIndex(0);
}

void OstrandEncoder::showPage1()
{
    if (ui.deviceComboBox->currentIndex() == fileitem::kUncompressedDevice) {
        convertAndIndex();
        return;
    }
    checkParamCompletion();
    removeQFHDQuadrants();
    removeTallParts();
    ui.stackedWidget->setCurrentIndex(1);
}

void OstrandEncoder::showPage2()
{
    setInputFlags();
    const int resIndex = ui.videoResComboBox->currentIndex();
    const int qualityIndex = ui.videoComboBox->currentIndex();
    deviceSelected(ui.deviceComboBox->currentIndex());
    restoreSelections(resIndex, qualityIndex);
    generateOutputNames();
    if (ui.QFHDCheckbox->isChecked() && ui.QFHDCheckbox->isEnabled())
        addQFHDQuadrants();
    else
        removeQFHDQuadrants();
    addTallParts();
    ui.stackedWidget->setCurrentIndex(2);
}

void OstrandEncoder::updateNavigation(int page)
{
    switch (page) {
    case 0:
        ui.navLabel->setPixmap(QPixmap(QStringLiteral(":/OstrandEncoder/navsettings")));
        break;
    case 1:
        ui.navLabel->setPixmap(QPixmap(QStringLiteral(":/OstrandEncoder/navinput")));
        break;
    case 2:
        ui.navLabel->setPixmap(QPixmap(QStringLiteral(":/OstrandEncoder/navoutput")));
        break;
    default:
        // The encoding page keeps the output page's strip.
        break;
    }
}

void OstrandEncoder::showAdvancedOptions()
{
    if (ui.deviceComboBox->currentIndex() == fileitem::kUncompressedDevice)
        indexDrive(QString());
    else
        advancedOptions->show();
}


// ---- device, resolution and quality lists ----

void OstrandEncoder::populateTargetDevices()
{
    for (int i = 0; i < fileitem::kDeviceCount; ++i)
        ui.deviceComboBox->insertItem(i, QIcon(), QString::fromLatin1(kTargetDevices[i].text),
                                      QString::fromLatin1(kTargetDevices[i].key));
    // The settings of the first device.
    showDeviceImage(fileitem::kPln3300Device);
    ui.stackedWidgetSettings->setCurrentIndex(0);
    ui.advSettingsButton->setText(tr("Advanced Settings"));
    populateHDOptions();
    splitThreshold = kHDSplitThreshold;
    ui.noAudioWarningLabel->hide();
    ui.QFHDCheckbox->hide();
    ui.QFHDCheckbox->setEnabled(false);
}

void OstrandEncoder::populateHDOptions()
{
    ui.videoResComboBox->clear();
    ui.videoComboBox->clear();
    appendEntries(ui.videoResComboBox, kHDResolutions);
    const bool custom = advancedOptions && advancedOptions->getUseCustomBitrate();
    appendQualityBlock(ui.videoComboBox, custom, kH264Custom, kH264Standard);
    appendQualityBlock(ui.videoComboBox, custom, kMpeg2Custom, kMpeg2HD);
}

void OstrandEncoder::populateSDOptions()
{
    ui.videoResComboBox->clear();
    ui.videoComboBox->clear();
    appendEntries(ui.videoResComboBox, kSDResolutions);
    const bool custom = advancedOptions && advancedOptions->getUseCustomBitrate();
    appendQualityBlock(ui.videoComboBox, custom, kMpeg2Custom, kMpeg2SD);
}

void OstrandEncoder::populate4KOptions()
{
    // The quality list follows the resolution: videoResSelected builds it
    // when the first resolution becomes current.
    ui.videoResComboBox->clear();
    ui.videoComboBox->clear();
    appendEntries(ui.videoResComboBox, k4KResolutions);
}

void OstrandEncoder::populateTargaOptions()
{
    ui.videoResComboBox->clear();
    ui.videoComboBox->clear();
    appendEntries(ui.videoResComboBox, kTargaResolutions);
    appendEntries(ui.videoComboBox, kImageSequences);
}

void OstrandEncoder::showDeviceImage(int index)
{
    // A strip still moving from an earlier choice stops where it is and
    // moves on from there.
    const auto running = ui.deviceImage->findChildren<QPropertyAnimation*>();
    for (QPropertyAnimation* a : running)
        a->stop();

    auto* animation = new QPropertyAnimation(ui.deviceImage, "geometry", ui.deviceImage);
    const QRect from = ui.deviceImage->geometry();
    QRect to = from;
    to.moveLeft(-kDevicePictureWidth * index);
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->setEasingCurve(QEasingCurve::InQuad);
    animation->setDuration(settingsLoaded ? 150 + 150 * std::abs(index - deviceImageIndex) : 0);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
    deviceImageIndex = index;
}

void OstrandEncoder::deviceSelected(int index)
{
    showDeviceImage(index);
    ui.stackedWidgetSettings->setCurrentIndex(0);
    ui.advSettingsButton->setText(index == fileitem::kUncompressedDevice ? tr("Index Drives")
                                                                         : tr("Advanced Settings"));
    switch (index) {
    case fileitem::kPln3300Device:
    case fileitem::kPln3200Device:
    case fileitem::kKd2000Device:
        populateHDOptions();
        splitThreshold = kHDSplitThreshold;
        ui.noAudioWarningLabel->hide();
        ui.noVideoWarningLabel->hide();
        ui.QFHDCheckbox->hide();
        ui.QFHDCheckbox->setEnabled(false);
        break;
    case fileitem::kPln3100Device:
    case fileitem::kVerrinoDevice:
        populateSDOptions();
        splitThreshold = kSDSplitThreshold;
        // Only while a row of the current list lacks video (or audio).
        ui.noVideoWarningLabel->setVisible(noVideo);
        ui.noAudioWarningLabel->setVisible(!noVideo && noAudio);
        ui.QFHDCheckbox->hide();
        ui.QFHDCheckbox->setEnabled(false);
        break;
    case fileitem::kUncompressedDevice:
        populateTargaOptions();
        break;
    case fileitem::kVerrinoHDDevice:
    case fileitem::k4KDevice:
        if (index == fileitem::kVerrinoHDDevice)
            populateHDOptions();
        else
            populate4KOptions();
        splitThreshold = kHDSplitThreshold;
        ui.noAudioWarningLabel->hide();
        ui.noVideoWarningLabel->hide();
        ui.QFHDCheckbox->setVisible(anyQFHD);
        ui.QFHDCheckbox->setEnabled(anyQFHD);
        break;
    default:
        break;
    }
}

void OstrandEncoder::videoResSelected(int)
{
    if (ui.deviceComboBox->currentIndex() != fileitem::k4KDevice)
        return;
    ui.videoComboBox->clear();
    const bool custom = advancedOptions && advancedOptions->getUseCustomBitrate();
    if (ui.videoResComboBox->currentText().contains(QStringLiteral("59.94"), Qt::CaseSensitive))
        appendQualityBlock(ui.videoComboBox, custom, kH264Custom, kH264At5994);
    else
        appendQualityBlock(ui.videoComboBox, custom, kH264Custom, kH264Standard);
}

void OstrandEncoder::restoreSelections(int resIndex, int qualityIndex)
{
    setIndexOrFirst(ui.videoResComboBox, resIndex);
    setIndexOrFirst(ui.videoComboBox, qualityIndex);
}

void OstrandEncoder::updateVideoSettingsDropdown()
{
    const int qualityIndex = ui.videoComboBox->currentIndex();
    const int resIndex = ui.videoResComboBox->currentIndex();
    deviceSelected(ui.deviceComboBox->currentIndex());
    restoreSelections(resIndex, qualityIndex);
}

bool OstrandEncoder::isInterlaced()
{
    const QString key =
        ui.videoResComboBox->itemData(ui.videoResComboBox->currentIndex(), Qt::UserRole).toString();
    if (key.length() < 5)
        return false;
    return key.at(3) == QLatin1Char('i') || key.at(4) == QLatin1Char('i');
}

QString OstrandEncoder::presetFilePath()
{
    const QString resKey =
        ui.videoResComboBox->itemData(ui.videoResComboBox->currentIndex(), Qt::UserRole).toString();
    const QString qualityKey =
        ui.videoComboBox->itemData(ui.videoComboBox->currentIndex(), Qt::UserRole).toString();
    return QDir::currentPath() + QStringLiteral("/Presets/") + resKey + QLatin1Char('_') + qualityKey
        + QStringLiteral(".mps");
}

// ---- preset check ----

bool OstrandEncoder::validatePresets(bool notify)
{
    PresetVerifier verifier(QDir(QDir::currentPath() + QStringLiteral("/Presets/")));
    const bool intact = verifier.verify();
    if (!intact && notify)
        QTimer::singleShot(0, this, SLOT(notifyOfBadPresets()));
    return intact;
}

void OstrandEncoder::notifyOfBadPresets()
{
    reporting::report(reporting::Level::Warning,
                      tr("Quorvel has detected corrupt Presets.\nPlease reinstall Quorvel.  If the "
                         "problem persists, contact Ostrand Kelvane Inc.")
                          + QLatin1Char('\n') + tr("Support: support@ostrandkelvane.com, +1 800 555 0142"),
                      this);
    QTimer::singleShot(0, this, SLOT(close()));
}

// ---- closing ----

void OstrandEncoder::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // Once, for the window an operator starts: without plug-ins every input
    // would read "Invalid File Type" with no word on why. Command-line runs
    // (and quorvelc) convert no video and stay quiet.
    if (pluginsChecked || commandLineRun)
        return;
    pluginsChecked = true;
    if (!probeEngine->pluginsFound())
        QTimer::singleShot(0, this, [this] {
            reporting::report(reporting::Level::Error,
                              tr("No Plugins Found!") + QLatin1Char('\n')
                                  + tr("Quorvel looked for its codec plug-ins in the folder:") + QLatin1Char('\n')
                                  + QDir::toNativeSeparators(QDir::currentPath() + QStringLiteral("/Plugins"))
                                  + QLatin1Char('\n')
                                  + tr("Without them no video file can be read or encoded. Start Quorvel from the "
                                       "folder that holds \"Plugins\"."),
                              this);
        });
}

void OstrandEncoder::closeEvent(QCloseEvent* event)
{
    // Asked as Done asks; a close retried while a stopped run winds down
    // has been answered already.
    if (!closing && !stopUploadsAsked()) {
        event->ignore();
        return;
    }
    saveSettings();
    updaterProcess.endAll();
    closing = true;
    if (ftpQueue)
        ftpQueue->clearQueue();
    if (encodingActive) {
        // Stop the run and try again once the stopped transcode has returned.
        event->ignore();
        cancelEncoding();
        QTimer::singleShot(500, this, SLOT(close()));
        return;
    }
    if (probesRunning > 0 || decodePipeKept) {
        // A probe task still uses the window's lock and the probe engine, or
        // a transcode left its decode pipe to the codec layer: end the
        // process rather than tear them down under it.
        std::fflush(nullptr);
        _exit(1);
    }
    blockSignals(true);
    disconnect(this, nullptr, nullptr, nullptr);
    event->accept();
}
