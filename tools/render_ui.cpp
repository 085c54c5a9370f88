// Renders every page and panel of the main window to PNG files, to check the
// layout with the fonts of this machine. Run through tools/render_ui.sh.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QMessageBox>
#include <QAbstractButton>
#include <QSlider>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "advancedoptionswidget.h"
#include "fileitemmap.h"
#include "ftpmultisetupwidget.h"
#include "ftpserversetup.h"
#include "ostrandencoder.h"
#include "updatenoticedialog.h"

// Batch tree and drive dialogs.
#include <QHeaderView>
#include <QTemporaryDir>
#include <QThread>
#include <QTreeView>
#include <vector>
#include "batchconvertmodel.h"
#include "batchconvertwindow.h"
#include "driveindexdialog.h"
#include "driveselectdialog.h"
#include "slotlistdelegate.h"
#include "tga.h"

using namespace fileitem;

namespace {

QString outDir;

template <typename T>
T* child(QWidget* w, const char* name)
{
    T* c = w->findChild<T*>(name);
    if (!c) {
        std::fprintf(stderr, "no widget %s\n", name);
        std::exit(1);
    }
    return c;
}

void settle(int ms = 50)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void shoot(QWidget* w, const QString& name)
{
    settle(900); // let the device picture strip finish moving
    const QString path = outDir + "/" + name + ".png";
    if (!w->grab().save(path))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    else
        std::printf("%s\n", qPrintable(path));
}

// --- Batch tree and drive dialogs ------------------------------------------

// Writes count grey Targa frames named prefix0001.tga ... into dir.
bool writeFrames(const QString& dir, const QString& prefix, int width, int height, int count)
{
    QDir().mkpath(dir);
    std::vector<uint8_t> pixels(size_t(width) * height * 3, 0x80);
    TgaImage image;
    image.imageType = 2;
    image.width = uint16_t(width);
    image.height = uint16_t(height);
    image.pixelDepth = 24;
    image.pixels = pixels.data();
    for (int n = 1; n <= count; ++n) {
        const QString path = QString("%1/%2%3.tga").arg(dir, prefix).arg(n, 4, 10, QChar('0'));
        if (TgaWritePath(QFile::encodeName(path).constData(), &image) != TgaOk)
            return false;
    }
    return true;
}

TargaSequence* loadSequence(const QString& dir, int rate)
{
    auto* sequence = new TargaSequence;
    sequence->scan(dir);
    sequence->setFrameRateIndex(rate);
    return sequence;
}

void shootBatchTree()
{
    QTemporaryDir work;
    const QString hd = work.filePath("reel 12"), uhd = work.filePath("uhd take7");
    if (!writeFrames(hd, "shot", 1280, 720, 3) || !writeFrames(uhd, "city", 3840, 2160, 1)) {
        std::fprintf(stderr, "cannot write frames\n");
        return;
    }
    const QString rootA = work.filePath("T9PW_Slot1") + "/", rootB = work.filePath("T9PW_Slot2") + "/";
    QDir().mkpath(rootA);
    QDir().mkpath(rootB);

    BatchConvertModel model;
    model.addSource(loadSequence(hd, 5));
    model.addSource(loadSequence(uhd, 6));
    model.addDestination(0);
    model.addDestination(0);
    model.setData(model.index(0, 0, model.index(0, 0)), rootA);
    for (int i = 0; i < 4; ++i)
        model.addDestination(1);
    const QModelIndex uhdRow = model.index(1, 0);
    model.setData(model.index(0, 0, uhdRow), rootA);
    model.setData(model.index(1, 0, uhdRow), rootB);
    model.setData(model.index(0, 4, uhdRow), DestinationCompleted);
    model.setData(model.index(1, 4, uhdRow), DestinationFailed);
    model.setData(model.index(2, 0, uhdRow), work.path() + "/");
    model.setData(model.index(2, 4, uhdRow), DestinationCanceled);

    // A finished conversion leaves its sequence running: the counting text shows.
    TargaSequence* running = model.sequenceAt(0);
    running->startConversion({SequenceDestination{model.outputBaseName(0, 0), -1, 0}}, TargaSequence::Targa);
    while (running->thread() != QThread::currentThread())
        settle(20);
    model.setData(model.index(0, 4, model.index(0, 0)), 2);

    QTreeView view;
    view.setModel(&model);
    SlotListDelegate delegate(&view);
    view.setItemDelegateForColumn(1, &delegate);
    view.setFirstColumnSpanned(0, QModelIndex(), true);
    view.setFirstColumnSpanned(1, QModelIndex(), true);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view.header()->setStretchLastSection(false);
    view.header()->resizeSection(0, 200);
    view.header()->setSectionResizeMode(4, QHeaderView::ResizeToContents);
    view.expandAll();
    view.resize(900, 300);
    view.show();
    shoot(&view, "batch-tree");

    const QModelIndex slotCell = model.index(1, 1, uhdRow);
    view.setCurrentIndex(slotCell);
    view.edit(slotCell);
    shoot(&view, "batch-tree-slot-editor");
    if (auto* combo = view.viewport()->findChild<QComboBox*>()) {
        combo->showPopup();
        shoot(combo->view()->window(), "batch-tree-slot-popup");
        combo->hidePopup();
    }
}

void shootDriveDialogs()
{
    DriveIndexDialog index(nullptr);
    index.show();
    shoot(&index, "drive-index");
    index.findChild<QCheckBox*>("checkShowDrivesOnly")->setChecked(false);
    auto* tree = index.findChild<QTreeView*>("treeView");
    tree->expand(tree->model()->index(0, 0));
    shoot(&index, "drive-index-all-folders");
    index.hide();

    QString name = "shot";
    int number = 7;
    DriveSelectDialog select(&name, &number, nullptr);
    select.show();
    shoot(&select, "drive-select");
    select.hide();
    DriveSelectDialog bare(nullptr, nullptr, nullptr);
    bare.show();
    shoot(&bare, "drive-select-no-file-info");
}


// The batch window: idle, with sources and destinations, and during a run.
void shootBatchWindow()
{
    QTemporaryDir work;
    const QString reel = work.filePath("reel 12"), uhd = work.filePath("city take7");
    QDir().mkpath(reel);
    QDir().mkpath(uhd);
    const QStringList common{"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i"};
    if (QProcess::execute("ffmpeg", common + QStringList{"testsrc2=s=1920x1080:r=25", "-frames:v", "40", "-c:v",
                                                         "targa", reel + "/shot%04d.tga"}) != 0
        || QProcess::execute("ffmpeg", common + QStringList{"testsrc=s=3840x2160:r=25", "-frames:v", "1", "-c:v",
                                                            "targa", uhd + "/city0001.tga"}) != 0) {
        std::fprintf(stderr, "ffmpeg could not make the frames\n");
        return;
    }
    const QString out = work.filePath("T9PW_Slot1") + "/", out2 = work.filePath("T9PW_Slot2") + "/";
    QDir().mkpath(out);
    QDir().mkpath(out2);

    auto* window = new BatchConvertWindow(0);
    window->show();
    shoot(window, "batch-window-idle");

    window->addSource(false, reel, 1);
    window->addSource(false, uhd, 6);
    auto* model = window->findChild<BatchConvertModel*>();
    auto* tree = child<QTreeView>(window, "treeView");
    const QModelIndex hd = model->index(0, 0), city = model->index(1, 0);
    model->setData(model->index(0, 0, hd), out);
    model->addDestination(0);
    model->setData(model->index(1, 0, hd), out2);
    model->setData(model->index(0, 0, city), out);
    model->addDestination(1);
    model->setData(model->index(1, 0, city), out2);
    model->addDestination(1);
    tree->expandAll();
    shoot(window, "batch-window-sources");
    tree->selectionModel()->select(hd, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    child<QSlider>(window, "sliderFrame")->setValue(30);
    shoot(window, "batch-window-preview-frame30");

    // The picture is taken while the first source converts; the question
    // for the 4K source's remaining slots is answered No.
    bool shot = false;
    QTimer during;
    QObject::connect(&during, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            if (QAbstractButton* no = box->button(QMessageBox::No))
                no->click();
            return;
        }
        const QString status = model->index(0, 4, hd).data().toString();
        if (!shot && status.contains(" of ") && !status.startsWith("0 of")) {
            shot = true;
            const QString path = outDir + "/batch-window-running.png";
            if (window->grab().save(path))
                std::printf("%s\n", qPrintable(path));
        }
    });
    during.start(30);
    window->startBatch();
    during.stop();
    shoot(window, "batch-window-finished");
    window->close();
    settle();
}

// Short clips for the file lists, made with ffmpeg.
QStringList makeInputs(const QString& dir)
{
    struct Clip {
        const char* name;
        const char* args;
    };
    const Clip clips[] = {
        {"Opening Night.mpg",
         "-f lavfi -i testsrc=size=720x576:rate=25:duration=2 -f lavfi -i sine=duration=2 "
         "-c:v mpeg2video -flags +ilme+ildct -b:v 6M -c:a mp2 -f mpeg"},
        {"Lobby Loop.mp4",
         "-f lavfi -i testsrc=size=1280x720:rate=30000/1001:duration=65 -an -c:v libx264 -preset "
         "ultrafast -pix_fmt yuv420p"},
        {"Stage UHD.mp4",
         "-f lavfi -i color=size=3840x2160:rate=25 -frames:v 1 -c:v libx264 -preset ultrafast "
         "-pix_fmt yuv420p"},
        {"Column Tall.mp4",
         "-f lavfi -i color=size=1920x2454:rate=25 -frames:v 1 -c:v libx264 -preset ultrafast "
         "-pix_fmt yuv420p"},
    };
    QStringList paths;
    for (const Clip& c : clips) {
        const QString path = dir + "/" + c.name;
        QStringList args = QStringList{"-nostdin", "-v", "error", "-y"}
            + QString::fromLatin1(c.args).split(' ') + QStringList{path};
        if (QProcess::execute("ffmpeg", args) != 0)
            std::fprintf(stderr, "ffmpeg could not make %s\n", c.name);
        paths << path;
    }
    QFile notes(dir + "/show notes.txt");
    if (notes.open(QIODevice::WriteOnly))
        notes.write("Cue 1: house lights down.\n");
    paths << notes.fileName() << dir + "/Moved Away.mov";
    return paths;
}

void click(QWidget* w, const char* name)
{
    QMetaObject::invokeMethod(child<QPushButton>(w, name), "click");
}

// Shows a run's row states on the encoding list, as the encode loop writes them.
void setProgress(QStandardItemModel* model, int row, fileitem::EncodingState state, int encoded, int uploaded,
                 const QString& uploadText)
{
    QStandardItem* item = model->item(row);
    QVariantMap map = fileitem::rowMap(item);
    fileitem::setState(map, state);
    map[kEncodingProgressKey] = encoded;
    map[kUploadProgressKey] = uploaded;
    map[kUploadProgressStringKey] = uploadText;
    map[kCurUploadFileKey] = QFileInfo(map.value(kOutputFilenameKey).toString()).fileName();
    item->setData(map, Qt::UserRole);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath() + "/ui-shots";
    QDir().mkpath(outDir);

    OstrandEncoder window;
    window.show();
    auto* pages = child<QStackedWidget>(&window, "stackedWidget");
    auto* devices = child<QComboBox>(&window, "deviceComboBox");

    devices->setCurrentIndex(kPln3300Device);
    pages->setCurrentIndex(0);
    shoot(&window, "page0-settings");
    devices->setCurrentIndex(kUncompressedDevice);
    shoot(&window, "page0-uncompressed");
    devices->setCurrentIndex(k4KDevice);
    shoot(&window, "page0-4k");
    devices->setCurrentIndex(kPln3300Device);

    window.findChild<QWidget*>("advSettingsButton")->metaObject()->invokeMethod(
        window.findChild<QWidget*>("advSettingsButton"), "click");
    shoot(&window, "panel-advanced");
    auto* advanced = window.findChild<AdvancedOptionsWidget*>();
    advanced->metaObject()->invokeMethod(child<QWidget>(advanced, "cancelButton"), "click");

    pages->setCurrentIndex(1);
    shoot(&window, "page1-input");

    // Files as a user adds them: the list while probing, with an unknown and
    // a missing file, then without those two.
    QTemporaryDir inputs;
    auto* list = child<QListView>(&window, "encoderListView");
    auto* model = qobject_cast<QStandardItemModel*>(list->model());
    window.addFiles(makeInputs(inputs.path()));
    const QString probing = outDir + "/page1-input-probing.png";
    if (window.grab().save(probing))
        std::printf("%s\n", qPrintable(probing));
    shoot(&window, "page1-input-probed");
    list->selectionModel()->select(model->index(4, 0), QItemSelectionModel::Select);
    list->selectionModel()->select(model->index(5, 0), QItemSelectionModel::Select);
    click(&window, "removeFilesButton");
    shoot(&window, "page1-input-ready");

    // Page 2 for the Verrino HD player: quadrant and part rows, both naming schemes.
    devices->setCurrentIndex(kVerrinoHDDevice);
    child<QComboBox>(&window, "videoComboBox")->setCurrentIndex(5); // MPEG-2 Low: a quick run below
    click(&window, "nextStepButton2");
    shoot(&window, "page2-output");
    child<QCheckBox>(&window, "ostrandNamingCheckbox")->setChecked(false);
    shoot(&window, "page2-output-original-names");
    child<QCheckBox>(&window, "ostrandNamingCheckbox")->setChecked(true);

    // The FTP setup panel over three rows, then with one address for all,
    // and the server dialog of the first row.
    auto* rows = qobject_cast<QStandardItemModel*>(child<QListView>(&window, "outputListView")->model());
    auto* ftp = window.findChild<FTPMultiSetupWidget*>();
    const int rowsBefore = rows->rowCount();
    child<QWidget>(&window, "ftpSettingsButton")->setEnabled(true);
    child<QWidget>(&window, "ftpSettingsButton")->metaObject()->invokeMethod(
        child<QWidget>(&window, "ftpSettingsButton"), "click");
    const char* const files[3][4] = {
        {"/media/shows/Opening Titles.mov", "VID0001.mpg", "192.168.1.40", ""},
        {"/media/shows/Main Feature (final cut).mp4", "VID0002.mpg", "192.168.1.40", "192.168.1.41"},
        {"/media/shows/Credits.mov", "VID0003.mpg", "", ""}};
    for (const auto& f : files) {
        QVariantMap map;
        map[kFilenameKey] = f[0];
        map[kOutputFilenameKey] = QString("/media/shows/output0/") + f[1];
        map[kPrimaryServerKey] = f[2];
        map[kSecondaryServerKey] = f[3];
        map[kPrimaryUsernameKey] = "operator";
        map[kPrimaryPasswordKey] = "secret";
        auto* item = new QStandardItem;
        item->setData(map, Qt::UserRole);
        rows->appendRow(item);
    }
    shoot(&window, "panel-ftp");
    auto* same = child<QCheckBox>(ftp, "uploadToSameCheckBox");
    same->blockSignals(true);
    same->setChecked(true);
    same->blockSignals(false);
    for (int r = rowsBefore + 1; r < rows->rowCount(); ++r) {
        QVariantMap map = rows->item(r)->data(Qt::UserRole).toMap();
        map[kPrimaryServerKey] = "192.168.1.40";
        map[kSecondaryServerKey] = "";
        map[kFtpSetupButtonEnabledKey] = "no";
        rows->item(r)->setData(map, Qt::UserRole);
    }
    shoot(&window, "panel-ftp-same-address");
    {
        FTPServerSetup dialog(rows->index(rowsBefore, 0), ftp);
        dialog.show();
        shoot(&dialog, "dialog-ftp-server");
        dialog.ftp1StateChanged(4);
        dialog.ftp2StateChanged(3);
        shoot(&dialog, "dialog-ftp-server-tested");
        // Addresses no upload would take: the test refuses them unconnected.
        child<QLineEdit>(&dialog, "primaryAddressLineEdit")->setText("10.0.0. 1");
        child<QLineEdit>(&dialog, "secondaryAddressLineEdit")->setText(QString("10.0.0.2") + QChar(0));
        dialog.testSettings();
        shoot(&dialog, "dialog-ftp-server-bad-address");
        // A port no upload would take, and an IPv6 literal with a URL path.
        child<QLineEdit>(&dialog, "primaryAddressLineEdit")->setText("10.0.0.1");
        child<QLineEdit>(&dialog, "primaryPortLineEdit")->setText("0");
        child<QLineEdit>(&dialog, "secondaryAddressLineEdit")->setText("[::1]/clips");
        dialog.testSettings();
        shoot(&dialog, "dialog-ftp-server-bad-port");
    }
    child<QWidget>(ftp, "cancelButton")->metaObject()->invokeMethod(child<QWidget>(ftp, "cancelButton"), "click");
    rows->removeRows(rowsBefore, rows->rowCount() - rowsBefore);

    // Page 3 as a run shows it, with uploading on (no servers saved, so
    // nothing is sent): while the long clip encodes, then at the end.
    child<QCheckBox>(&window, "ftpCheckbox")->setChecked(true);
    click(&window, "nextStepButton3");
    auto* cancel = child<QPushButton>(&window, "encodingCancelButton");
    for (int waited = 0; waited < 120000 && cancel->text() != "Done"
         && model->item(1)->data(Qt::UserRole).toMap().value(kEncodingProgressKey).toInt() < 25;
         waited += 100)
        settle(100);
    shoot(&window, "page3-encoding");
    for (int waited = 0; waited < 300000 && cancel->text() != "Done"; waited += 100)
        settle(100);
    shoot(&window, "page3-finished");

    // Every row state at once.
    child<QListView>(&window, "encodingProgressList")->scrollToTop();
    setProgress(model, 0, kEncoded, 100, 0, "");
    setProgress(model, 1, kEncoding, 64, 0, "");
    setProgress(model, 2, kEncodingError, 100, 0, "");
    setProgress(model, 3, kUploading, 100, 37, "37.5");
    setProgress(model, 4, kUploadError, 100, 80, "80.2");
    setProgress(model, 5, kSplitting, 100, 0, "");
    shoot(&window, "page3-encoding-progress");
    child<QLabel>(&window, "noAudioWarningLabel")->show();
    shoot(&window, "page3-encoding-noaudio");
    child<QLabel>(&window, "noAudioWarningLabel")->hide();
    child<QLabel>(&window, "noVideoWarningLabel")->show();
    shoot(&window, "page3-encoding-novideo");
    child<QLabel>(&window, "noVideoWarningLabel")->hide();

    // The same run again with one input gone since it was probed: its row
    // fails, and the end text says which and why.
    QFile::remove(inputs.path() + "/Opening Night.mpg");
    click(&window, "encodingCancelButton");
    QMetaObject::invokeMethod(&window, "showPage3");
    for (int waited = 0; waited < 300000 && cancel->text() != "Done"; waited += 100)
        settle(100);
    child<QListView>(&window, "encodingProgressList")->scrollToTop();
    shoot(&window, "page3-finished-failed");
    UpdateNoticeDialog notice(&window);
    notice.show();
    shoot(&notice, "dialog-update-notice");
    child<QCheckBox>(&notice, "notAgainCheckbox")->setChecked(true);
    shoot(&notice, "dialog-update-notice-ticked");
    notice.hide();
    window.hide();

    shootBatchTree();
    shootDriveDialogs();
    shootBatchWindow();
    return 0;
}
