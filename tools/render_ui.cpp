// Renders every page and panel of the main window to PNG files, to check the
// layout with the fonts of this machine. Run through tools/render_ui.sh.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPixmap>
#include <QStackedWidget>
#include <QTimer>
#include <cstdio>

#include "ostrandencoder.h"
#include "updatenoticedialog.h"

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
    window.findChild<QWidget*>("cancelButton")->metaObject()->invokeMethod(
        window.findChild<QWidget*>("cancelButton"), "click");

    pages->setCurrentIndex(1);
    shoot(&window, "page1-input");
    child<QLabel>(&window, "invalidFileWarningLabel")->show();
    shoot(&window, "page1-input-warning");
    child<QLabel>(&window, "invalidFileWarningLabel")->hide();

    pages->setCurrentIndex(2);
    shoot(&window, "page2-output");
    child<QCheckBox>(&window, "QFHDCheckbox")->show();
    shoot(&window, "page2-output-ultrahd");

    pages->setCurrentIndex(3);
    shoot(&window, "page3-encoding");
    child<QLabel>(&window, "noAudioWarningLabel")->show();
    shoot(&window, "page3-encoding-noaudio");
    child<QLabel>(&window, "noAudioWarningLabel")->hide();
    child<QLabel>(&window, "noVideoWarningLabel")->show();
    shoot(&window, "page3-encoding-novideo");

    UpdateNoticeDialog notice(&window);
    notice.show();
    shoot(&notice, "dialog-update-notice");
    child<QCheckBox>(&notice, "notAgainCheckbox")->setChecked(true);
    shoot(&notice, "dialog-update-notice-ticked");
    return 0;
}
