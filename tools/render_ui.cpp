// Renders every page and panel of the main window to PNG files, to check the
// layout with the fonts of this machine. Run through tools/render_ui.sh.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QListView>
#include <QPixmap>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTimer>
#include <cstdio>

#include "advancedoptionswidget.h"
#include "ftpmultisetupwidget.h"
#include "ftpserversetup.h"
#include "ostrandencoder.h"

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

    devices->setCurrentIndex(0);
    pages->setCurrentIndex(0);
    shoot(&window, "page0-settings");
    devices->setCurrentIndex(3);
    shoot(&window, "page0-uncompressed");
    devices->setCurrentIndex(7);
    shoot(&window, "page0-4k");
    devices->setCurrentIndex(0);

    window.findChild<QWidget*>("advSettingsButton")->metaObject()->invokeMethod(
        window.findChild<QWidget*>("advSettingsButton"), "click");
    shoot(&window, "panel-advanced");
    auto* advanced = window.findChild<AdvancedOptionsWidget*>();
    advanced->metaObject()->invokeMethod(child<QWidget>(advanced, "cancelButton"), "click");

    pages->setCurrentIndex(1);
    shoot(&window, "page1-input");
    child<QLabel>(&window, "invalidFileWarningLabel")->show();
    shoot(&window, "page1-input-warning");
    child<QLabel>(&window, "invalidFileWarningLabel")->hide();

    pages->setCurrentIndex(2);
    shoot(&window, "page2-output");
    child<QCheckBox>(&window, "QFHDCheckbox")->show();
    shoot(&window, "page2-output-ultrahd");

    // The FTP setup panel over three rows, then with one address for all,
    // and the server dialog of the first row.
    auto* rows = qobject_cast<QStandardItemModel*>(child<QListView>(&window, "outputListView")->model());
    auto* ftp = window.findChild<FTPMultiSetupWidget*>();
    child<QWidget>(&window, "ftpSettingsButton")->setEnabled(true);
    child<QWidget>(&window, "ftpSettingsButton")->metaObject()->invokeMethod(
        child<QWidget>(&window, "ftpSettingsButton"), "click");
    const char* const files[3][4] = {
        {"/media/shows/Opening Titles.mov", "VID0001.mpg", "192.168.1.40", ""},
        {"/media/shows/Main Feature (final cut).mp4", "VID0002.mpg", "192.168.1.40", "192.168.1.41"},
        {"/media/shows/Credits.mov", "VID0003.mpg", "", ""}};
    for (const auto& f : files) {
        QVariantMap map;
        map["filename"] = f[0];
        map["outputFilename"] = QString("/media/shows/output0/") + f[1];
        map["primaryServer"] = f[2];
        map["secondaryServer"] = f[3];
        map["primaryUsername"] = "operator";
        map["primaryPassword"] = "secret";
        auto* item = new QStandardItem;
        item->setData(map, Qt::UserRole);
        rows->appendRow(item);
    }
    shoot(&window, "panel-ftp");
    auto* same = child<QCheckBox>(ftp, "uploadToSameCheckBox");
    same->blockSignals(true);
    same->setChecked(true);
    same->blockSignals(false);
    for (int r = 1; r < rows->rowCount(); ++r) {
        QVariantMap map = rows->item(r)->data(Qt::UserRole).toMap();
        map["primaryServer"] = "192.168.1.40";
        map["secondaryServer"] = "";
        map["ftpSetupButtonEnabled"] = "no";
        rows->item(r)->setData(map, Qt::UserRole);
    }
    shoot(&window, "panel-ftp-same-address");
    {
        FTPServerSetup dialog(rows->index(0, 0), ftp);
        dialog.show();
        shoot(&dialog, "dialog-ftp-server");
        dialog.ftp1StateChanged(4);
        dialog.ftp2StateChanged(3);
        shoot(&dialog, "dialog-ftp-server-tested");
    }
    child<QWidget>(ftp, "cancelButton")->metaObject()->invokeMethod(child<QWidget>(ftp, "cancelButton"), "click");
    rows->removeRows(0, rows->rowCount());

    pages->setCurrentIndex(3);
    shoot(&window, "page3-encoding");
    child<QLabel>(&window, "noAudioWarningLabel")->show();
    shoot(&window, "page3-encoding-noaudio");
    child<QLabel>(&window, "noAudioWarningLabel")->hide();
    child<QLabel>(&window, "noVideoWarningLabel")->show();
    shoot(&window, "page3-encoding-novideo");
    return 0;
}
