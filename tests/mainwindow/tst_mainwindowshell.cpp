// The main window's shell with real widgets: form, device tables, saved
// selections, navigation, the advanced panel as the window uses it, preset check.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStandardItem>
#include <QtTest>
#include <memory>

#include <unistd.h>

#include "advancedoptionswidget.h"
#include "batchconvertwindow.h"
#include "fileitemmap.h"
#include "ostrandencoder.h"
#include "renderlistmodel.h"
#include "windowtestenv.h"

using namespace fileitem;

using windowtest::MessageBoxAnswerer;

namespace {

QStringList entries(QComboBox* combo)
{
    QStringList out;
    for (int i = 0; i < combo->count(); ++i)
        out << combo->itemData(i, Qt::UserRole).toString() + "=" + combo->itemText(i);
    return out;
}

const QStringList kHDRes = {
    "1080p_ntsc=1080p/29.97", "1080p_23976=1080p/23.976", "1080i_ntsc=1080i/29.97",
    "720p_ntsc=720p/59.94",   "480p_ntsc=480p/29.97",     "480i_ntsc=480i/29.97",
    "1080p_pal=1080p/25",     "1080i_pal=1080i/25",       "720p_pal=720p/50",
    "576p_pal=576p/25",       "576i_pal=576i/25"};
const QStringList kSDRes = {"480p_ps_ntsc=480p NTSC", "480i_ps_ntsc=480i NTSC",
                            "576p_ps_pal=576p PAL", "576i_ps_pal=576i PAL"};
const QStringList k4KRes = {"1080p_5994=UltraHD/59.94", "1080p_ntsc=UltraHD/29.97"};
const QStringList kTargaRes = {"source=Same as source"};

const QStringList kHDQuality = {"h264_high=H.264 High (25Mbps)", "h264_medium=H.264 Medium (15Mbps)",
                                "h264_low=H.264 Low(10Mbps)",    "mpeg2_high=MPEG2 High (38Mbps)",
                                "mpeg2_medium=MPEG2 Medium(30Mbps)", "mpeg2_low=MPEG2 Low (18Mbps)"};
const QStringList kHDCustom = {"h264_high=H.264 (Custom Bitrate)", "mpeg2_high=MPEG2 (Custom Bitrate)"};
const QStringList kSDQuality = {"mpeg2_high=MPEG2 High (14Mbps)", "mpeg2_medium=MPEG2 Medium (10Mbps)",
                                "mpeg2_low=MPEG2 Low (6Mbps)"};
const QStringList kSDCustom = {"mpeg2_high=MPEG2 (Custom Bitrate)"};
const QStringList k4K59 = {"h264_high=H.264 High (35Mbps)", "h264_medium=H.264 Medium (30Mbps)",
                           "h264_low=H.264 Low(25Mbps)"};
const QStringList k4K29 = {"h264_high=H.264 High (25Mbps)", "h264_medium=H.264 Medium (15Mbps)",
                           "h264_low=H.264 Low(10Mbps)"};
const QStringList k4KCustom = {"h264_high=H.264 (Custom Bitrate)"};
const QStringList kTarga = {"targa=8-bit 4:4:4 Targa Sequence", "krx=8-bit 4:4:4 KRX Sequence"};

const QSet<QString> kInterlacedKeys = {"1080i_ntsc", "480i_ntsc", "1080i_pal",
                                       "576i_pal",   "480i_ps_ntsc", "576i_ps_pal"};

// Through a pixmap, as the labels hold it: premultiplying rounds semi-transparent
// pixels differently on different CPUs, so a plain image would not compare.
QImage resourceImage(const QString& name)
{
    return QPixmap(":/OstrandEncoder/" + name).toImage().convertToFormat(QImage::Format_ARGB32);
}

QImage labelImage(QLabel* label)
{
    return label->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class OstrandEncoderTest : public QObject, windowtest::Fixture {
    Q_OBJECT

private:
    std::unique_ptr<OstrandEncoder> makeWindow()
    {
        std::unique_ptr<OstrandEncoder> w(new OstrandEncoder);
        w->show();
        return w;
    }
    static Ui::OstrandEncoderClass& ui(OstrandEncoder* w) { return w->ui; }
    static AdvancedOptionsWidget* panel(OstrandEncoder* w) { return w->advancedOptions; }

    // Switches the custom bitrate through the panel, as a user does.
    static void setCustomBitrate(OstrandEncoder* w, bool on)
    {
        AdvancedOptionsWidget* p = panel(w);
        p->show();
        p->findChild<QCheckBox*>("useCustomBitrateCheckBox")->setChecked(on);
        QTest::mouseClick(p->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
        QVERIFY(p->isHidden());
        QCOMPARE(p->getUseCustomBitrate(), on);
    }

    static void addInputRow(OstrandEncoder* w, int audioStreams, int videoStreams, bool qfhd)
    {
        QVariantMap map;
        map[kUuidKey] = QUuid::createUuid().toString();
        map[kFilenameKey] = "/nonexistent/input.mov";
        map[kValidKey] = "true";
        map[kNumAudioStreamsKey] = QString::number(audioStreams);
        map[kNumVideoStreamsKey] = QString::number(videoStreams);
        map[kQFHDSplitSupportKey] = qfhd ? "true" : "false";
        map[kTallSplitSupportKey] = "false";
        auto* item = new QStandardItem;
        item->setData(map, Qt::UserRole);
        w->model->appendRow(item);
    }

private slots:
    void initTestCase() { startCase(); }
    void init() { startTest(); }
    void cleanup() { endTest(); }

    void formAndStartState()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        QCOMPARE(w->windowTitle(), QString("Quorvel v1.13 :: Ostrand Kelvane Inc."));
        QCOMPARE(w->minimumSize(), QSize(570, 351));
        QCOMPARE(w->maximumSize(), QSize(570, 351));
        QCOMPARE(QCoreApplication::organizationName(), QString("Ostrand Kelvane Inc"));
        QCOMPARE(QCoreApplication::applicationName(), QString("Quorvel"));
        QVERIFY(!w->windowIcon().isNull());

        QCOMPARE(f.stackedWidget->count(), 4);
        QCOMPARE(f.stackedWidget->widget(0)->objectName(), QString("settingsPage"));
        QCOMPARE(f.stackedWidget->widget(1)->objectName(), QString("inputPage"));
        QCOMPARE(f.stackedWidget->widget(2)->objectName(), QString("outputPage"));
        QCOMPARE(f.stackedWidget->widget(3)->objectName(), QString("encodingPage"));
        QCOMPARE(f.stackedWidget->currentIndex(), 0);
        QCOMPARE(labelImage(f.navLabel), resourceImage("navsettings"));
        QVERIFY(f.centralWidget->styleSheet().contains("#D6D6D6"));

        // The shared places of the large buttons, the back buttons and the logos.
        for (QPushButton* b : {f.nextStepButton1, f.nextStepButton2, f.nextStepButton3,
                               f.encodingCancelButton})
            QCOMPARE(b->geometry(), QRect(380, 275, 172, 41));
        for (QPushButton* b : {f.backTo1Button, f.backTo2Button})
            QCOMPARE(b->geometry(), QRect(20, 280, 41, 31));
        for (QLabel* l : {f.label_6, f.label_7, f.quorvelLogo, f.label_10}) {
            QCOMPARE(l->geometry(), QRect(80, 275, 291, 41));
            QCOMPARE(labelImage(l), resourceImage("quorvellogo"));
        }
        QCOMPARE(f.noAudioWarningLabel->geometry(), QRect(260, 0, 311, 41));
        QCOMPARE(f.noVideoWarningLabel->geometry(), QRect(260, 0, 311, 41));
        QCOMPARE(f.deviceImage->geometry(), QRect(0, 0, 2520, 203));
        QVERIFY(!f.deviceImage->pixmap(Qt::ReturnByValue).isNull());

        QCOMPARE(f.nextStepButton1->text(), QString("Next Step: Input Files"));
        QCOMPARE(f.nextStepButton2->text(), QString("Next Step: Output Settings"));
        QCOMPARE(f.nextStepButton3->text(), QString("No Input Selected!"));
        QCOMPARE(f.encodingCancelButton->text(), QString("Cancel Encoding"));
        QCOMPARE(f.advSettingsButton->text(), QString("Advanced Settings"));
        QVERIFY(!f.nextStepButton2->isEnabled());
        QVERIFY(f.noAudioWarningLabel->isHidden());
        QVERIFY(f.noVideoWarningLabel->isHidden());
        QVERIFY(f.invalidFileWarningLabel->isHidden());
        QVERIFY(f.QFHDCheckbox->isChecked());
        QVERIFY(!f.QFHDCheckbox->isEnabled());
        QVERIFY(!f.ftpCheckbox->isChecked());
        QVERIFY(!f.ftpSettingsButton->isEnabled());
        QVERIFY(f.splitCheckbox->isChecked());
        QVERIFY(f.ostrandNamingCheckbox->isChecked());
        QCOMPARE(f.renameStartIndexSpinBox->minimum(), 0);
        QCOMPARE(f.renameStartIndexSpinBox->maximum(), 9999);
        QCOMPARE(f.renameStartIndexSpinBox->value(), 1);
        QCOMPARE(f.ftpStatusLabel->text(), QString("Disabled"));
        QVERIFY(panel(w.get())->isHidden());
        QCOMPARE(panel(w.get())->parentWidget(), f.centralWidget);

        // Only letters, digits, white space, underscore and hyphen reach the prefix.
        f.stackedWidget->setCurrentIndex(2);
        f.renamePrefixLineEdit->setFocus();
        f.renamePrefixLineEdit->end(false);
        QTest::keyClicks(f.renamePrefixLineEdit, "a!b@c_d-e f.*");
        QCOMPARE(f.renamePrefixLineEdit->text(), QString("VIDabc_d-e f"));

        // Device list: texts and keys.
        QCOMPARE(entries(f.deviceComboBox),
                 QStringList({"pln3300=Pellarine HD - PLN3300", "pln3200=Pellarine HD - PLN3200",
                              "pln3100=Pellarine - PLN3100", "verrinouc=A/V Verrino Uncompressed",
                              "verrinohd=A/V Verrino HD (Digital Verrino HD)",
                              "verrino=A/V Verrino (Video Verrino)", "kd2000=Kadrelo - KD2000",
                              "zephrane4k=Zephrane 4K"}));
    }

    void signalsAndSlotsInOrder()
    {
        const QStringList expected = {
            "processingFinished(QStandardItem*,QVariantMap)", "numFilesLeftToProcess(int)",
            "chooseFiles()", "addFiles(QStringList)", "removeFiles()", "showPage0()", "showPage1()",
            "showPage2()", "showPage3NameCheck()", "showPage3()", "showAdvancedOptions()",
            "deviceSelected(int)", "videoResSelected(int)", "convertAndIndex()",
            "indexDrive(QString)", "indexDrive()", "updateToEncodeCount()", "updateNavigation(int)",
            "ftpChecked(int)", "updateProgressBar()", "encodeNextFile(int)", "cancelEncoding()",
            "openOutputDirectory()", "generateOutputNames()", "ostrandNamingCheckboxChanged(int)",
            "QFHDCheckboxChanged(int)", "browseOutputDir()", "showFtpSettingsDialog()",
            "updateFtpProgress(QString,double)", "checkParamCompletion()", "exportFilenameMap()",
            "generateDefaultOutputDir(QString)", "inputProcessingFinished(QStandardItem*,QVariantMap)",
            "updateToProcessCount(int)", "updateFtpStatus(QString,QString)", "autoCheckForUpdates()",
            "updaterProcessFinished(int,QProcess::ExitStatus)", "notifyOfBadPresets()",
            "cancelButtonPressed()", "hasUndeletedDP(bool)", "updateVideoSettingsDropdown()",
            "addToFtpQueue(QString,QVariantMap)", "passAndProcessArgs(int,char*[])",
            "showCmdLineIntro()", "showCmdLineHelp()"};
        const QMetaObject& mo = OstrandEncoder::staticMetaObject;
        QStringList actual;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
            actual << QString::fromLatin1(mo.method(i).methodSignature());
        QCOMPARE(actual, expected);
    }

    void deviceTables_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<bool>("custom");
        QTest::addColumn<QStringList>("res");
        QTest::addColumn<QStringList>("qualityFirstRes");
        QTest::addColumn<QStringList>("qualityLastRes");
        QTest::addColumn<qint64>("threshold"); // -1: left as it was
        QTest::addColumn<QString>("button");

        const qint64 hd = 4000000000LL, sd = 2000000000LL;
        for (bool custom : {false, true}) {
            const char* tag = custom ? "custom" : "fixed";
            const QStringList hdq = custom ? kHDCustom : kHDQuality;
            const QStringList sdq = custom ? kSDCustom : kSDQuality;
            QTest::newRow(qPrintable(QString("0 pln3300 %1").arg(tag)))
                << int(kPln3300Device) << custom << kHDRes << hdq << hdq << hd << "Advanced Settings";
            QTest::newRow(qPrintable(QString("1 pln3200 %1").arg(tag)))
                << int(kPln3200Device) << custom << kHDRes << hdq << hdq << hd << "Advanced Settings";
            QTest::newRow(qPrintable(QString("2 pln3100 %1").arg(tag)))
                << int(kPln3100Device) << custom << kSDRes << sdq << sdq << sd << "Advanced Settings";
            QTest::newRow(qPrintable(QString("3 verrinouc %1").arg(tag)))
                << int(kUncompressedDevice) << custom << kTargaRes << kTarga << kTarga << qint64(-1) << "Index Drives";
            QTest::newRow(qPrintable(QString("4 verrinohd %1").arg(tag)))
                << int(kVerrinoHDDevice) << custom << kHDRes << hdq << hdq << hd << "Advanced Settings";
            QTest::newRow(qPrintable(QString("5 verrino %1").arg(tag)))
                << int(kVerrinoDevice) << custom << kSDRes << sdq << sdq << sd << "Advanced Settings";
            QTest::newRow(qPrintable(QString("6 kd2000 %1").arg(tag)))
                << int(kKd2000Device) << custom << kHDRes << hdq << hdq << hd << "Advanced Settings";
            QTest::newRow(qPrintable(QString("7 zephrane4k %1").arg(tag)))
                << int(k4KDevice) << custom << k4KRes << (custom ? k4KCustom : k4K59)
                << (custom ? k4KCustom : k4K29) << hd << "Advanced Settings";
        }
    }

    void deviceTables()
    {
        QFETCH(int, device);
        QFETCH(bool, custom);
        QFETCH(QStringList, res);
        QFETCH(QStringList, qualityFirstRes);
        QFETCH(QStringList, qualityLastRes);
        QFETCH(qint64, threshold);
        QFETCH(QString, button);

        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        setCustomBitrate(w.get(), custom);
        // Start from another device (and the other threshold) so that every
        // rule of the device under test shows.
        const int other = device == 5 ? 0 : 5;
        f.deviceComboBox->setCurrentIndex(other);
        const qint64 before = w->splitThreshold;
        f.deviceComboBox->setCurrentIndex(device);

        QCOMPARE(entries(f.videoResComboBox), res);
        QCOMPARE(f.videoResComboBox->currentIndex(), 0);
        QCOMPARE(entries(f.videoComboBox), qualityFirstRes);
        QCOMPARE(f.videoComboBox->currentIndex(), 0);
        QCOMPARE(w->splitThreshold, threshold < 0 ? before : threshold);
        QCOMPARE(f.advSettingsButton->text(), button);
        QCOMPARE(f.nextStepButton1->text(), QString("Next Step: Input Files"));
        QCOMPARE(f.stackedWidgetSettings->currentIndex(), 0);
        // No input flags are set: no warning, no UltraHD check box.
        QVERIFY(f.noAudioWarningLabel->isHidden());
        QVERIFY(f.noVideoWarningLabel->isHidden());
        QVERIFY(f.QFHDCheckbox->isHidden());
        QVERIFY(!f.QFHDCheckbox->isEnabled());

        // Every resolution: interlace test, quality list, and a preset file
        // that exists for every quality entry.
        for (int r = 0; r < f.videoResComboBox->count(); ++r) {
            f.videoResComboBox->setCurrentIndex(r);
            const QString resKey = f.videoResComboBox->itemData(r).toString();
            QCOMPARE(w->isInterlaced(), kInterlacedKeys.contains(resKey));
            if (r == f.videoResComboBox->count() - 1)
                QCOMPARE(entries(f.videoComboBox), qualityLastRes);
            for (int q = 0; q < f.videoComboBox->count(); ++q) {
                f.videoComboBox->setCurrentIndex(q);
                const QString expected = QDir::currentPath() + "/Presets/" + resKey + "_"
                    + f.videoComboBox->itemData(q).toString() + ".mps";
                QCOMPARE(w->presetFilePath(), expected);
                if (device != 3)
                    QVERIFY2(QFile::exists(expected), qPrintable(expected));
            }
        }
    }

    void presetNamesOf4K()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        f.deviceComboBox->setCurrentIndex(k4KDevice);
        f.videoResComboBox->setCurrentIndex(1);
        QCOMPARE(f.videoComboBox->currentText(), QString("H.264 High (25Mbps)"));
        QCOMPARE(QFileInfo(w->presetFilePath()).fileName(), QString("1080p_ntsc_h264_high.mps"));
        f.videoResComboBox->setCurrentIndex(0);
        QCOMPARE(f.videoComboBox->currentText(), QString("H.264 High (35Mbps)"));
        QCOMPARE(QFileInfo(w->presetFilePath()).fileName(), QString("1080p_5994_h264_high.mps"));
        f.deviceComboBox->setCurrentIndex(kPln3100Device);
        f.videoResComboBox->setCurrentIndex(1);
        f.videoComboBox->setCurrentIndex(2);
        QCOMPARE(QFileInfo(w->presetFilePath()).fileName(), QString("480i_ps_ntsc_mpeg2_low.mps"));
        QVERIFY(w->isInterlaced());
    }

    void warningsAndUltraHD_data()
    {
        QTest::addColumn<int>("first");  // device chosen before the inputs are looked at
        QTest::addColumn<int>("device"); // device selected on page 2
        QTest::addColumn<QString>("rows"); // per row: a = no audio, v = no video, q = UltraHD, n = normal
        QTest::addColumn<bool>("noAudioShown");
        QTest::addColumn<bool>("noVideoShown");
        QTest::addColumn<bool>("ultraHD");

        QTest::newRow("SD, no video beats no audio") << int(kPln3300Device) << int(kPln3100Device) << "av" << false << true << false;
        QTest::newRow("SD, no audio") << int(kPln3300Device) << int(kVerrinoDevice) << "na" << true << false << false;
        QTest::newRow("SD, clean inputs") << int(kPln3300Device) << int(kVerrinoDevice) << "nn" << false << false << false;
        QTest::newRow("HD hides no audio") << int(kPln3300Device) << int(kPln3300Device) << "a" << false << false << false;
        QTest::newRow("HD hides no video shown for SD") << int(kPln3100Device) << int(kPln3300Device) << "v" << false << false << false;
        QTest::newRow("4K hides no video shown for SD") << int(kVerrinoDevice) << int(k4KDevice) << "v" << false << false << false;
        QTest::newRow("Verrino HD with UltraHD input") << int(kPln3300Device) << int(kVerrinoHDDevice) << "nq" << false << false << true;
        QTest::newRow("Verrino HD without") << int(kPln3300Device) << int(kVerrinoHDDevice) << "nn" << false << false << false;
        QTest::newRow("4K with UltraHD input") << int(kPln3300Device) << int(k4KDevice) << "q" << false << false << true;
        QTest::newRow("HD player never offers UltraHD") << int(kPln3300Device) << int(kKd2000Device) << "q" << false << false << false;
        QTest::newRow("uncompressed leaves warnings") << int(kVerrinoDevice) << int(kUncompressedDevice) << "a" << true << false << false;
    }

    void warningsAndUltraHD()
    {
        QFETCH(int, first);
        QFETCH(int, device);
        QFETCH(QString, rows);
        QFETCH(bool, noAudioShown);
        QFETCH(bool, noVideoShown);
        QFETCH(bool, ultraHD);

        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        for (QChar c : rows)
            addInputRow(w.get(), c == 'a' ? 0 : 1, c == 'v' ? 0 : 1, c == 'q');
        f.deviceComboBox->setCurrentIndex(first);
        w->showPage2();
        f.deviceComboBox->setCurrentIndex(device);
        QCOMPARE(!f.noAudioWarningLabel->isHidden(), noAudioShown);
        QCOMPARE(!f.noVideoWarningLabel->isHidden(), noVideoShown);
        QCOMPARE(!f.QFHDCheckbox->isHidden(), ultraHD);
        QCOMPARE(f.QFHDCheckbox->isEnabled(), ultraHD);
    }

    void noVideoWarningFollowsTheList()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        addInputRow(w.get(), 1, 1, false);
        addInputRow(w.get(), 1, 0, false);
        f.deviceComboBox->setCurrentIndex(kPln3100Device);
        w->showPage2();
        QVERIFY(!f.noVideoWarningLabel->isHidden());
        // The row without video goes: so does the warning.
        w->model->removeRow(1);
        w->showPage1();
        w->showPage2();
        QVERIFY(f.noVideoWarningLabel->isHidden());
        QVERIFY(f.noAudioWarningLabel->isHidden());
    }

    void missingPluginsAreSaidOnce()
    {
        // The plug-ins are not where the program looks for them.
        QVERIFY(QDir(QDir::currentPath() + "/Plugins").removeRecursively());
        {
            MessageBoxAnswerer ok(QMessageBox::Ok);
            auto w = makeWindow();
            QTRY_COMPARE_WITH_TIMEOUT(ok.seen.size(), 1, 5000);
            QCOMPARE(ok.seen[0].icon, QMessageBox::Critical);
            QCOMPARE(ok.seen[0].parent, w.get());
            QVERIFY(ok.seen[0].text.startsWith("No Plugins Found!\n"));
            QVERIFY2(ok.seen[0].text.contains("\n" + QDir::currentPath() + "/Plugins\n"), qPrintable(ok.seen[0].text));
            // Shown again (after the batch window, say): not again.
            w->hide();
            w->show();
            QTest::qWait(200);
            QCOMPARE(ok.seen.size(), 1);
        }
        // With plug-ins, and in a command-line run, nothing is said.
        QVERIFY(windowtest::copyFolder(dataFolder + "/Plugins", QDir::currentPath() + "/Plugins"));
        MessageBoxAnswerer ok(QMessageBox::Ok);
        auto w = makeWindow();
        QTest::qWait(200);
        QCOMPARE(ok.seen.size(), 0);
    }

    void firstStartSelectsFirstEntries()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        QCOMPARE(f.deviceComboBox->currentIndex(), int(kPln3300Device));
        QCOMPARE(f.videoResComboBox->currentIndex(), 0);
        QCOMPARE(f.videoComboBox->currentIndex(), 0);
        QCOMPARE(f.deviceImage->x(), 0);
        QCOMPARE(w->splitThreshold, qint64(4000000000LL));
    }

    void storedSelectionsComeBack_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<int>("res");
        QTest::addColumn<int>("quality");
        QTest::addColumn<int>("expDevice");
        QTest::addColumn<QString>("resText");
        QTest::addColumn<QString>("qualityText");

        QTest::newRow("4K 29.97 low") << int(k4KDevice) << 1 << 2 << int(k4KDevice) << "UltraHD/29.97" << "H.264 Low(10Mbps)";
        QTest::newRow("4K 59.94 low") << int(k4KDevice) << 0 << 2 << int(k4KDevice) << "UltraHD/59.94" << "H.264 Low(25Mbps)";
        QTest::newRow("SD 576i low") << int(kVerrinoDevice) << 3 << 2 << int(kVerrinoDevice) << "576i PAL" << "MPEG2 Low (6Mbps)";
        QTest::newRow("HD 576i mpeg2") << int(kKd2000Device) << 10 << 4 << int(kKd2000Device) << "576i/25" << "MPEG2 Medium(30Mbps)";
        QTest::newRow("uncompressed KRX") << int(kUncompressedDevice) << 0 << 1 << int(kUncompressedDevice) << "Same as source"
                                          << "8-bit 4:4:4 KRX Sequence";
        // Values that are no entry of their list select the first entry.
        QTest::newRow("device out of range") << 9 << 20 << -4 << int(kPln3300Device) << "1080p/29.97"
                                             << "H.264 High (25Mbps)";
        QTest::newRow("quality beyond 4K list") << int(k4KDevice) << 1 << 5 << int(k4KDevice) << "UltraHD/29.97"
                                                << "H.264 High (25Mbps)";
    }

    void storedSelectionsComeBack()
    {
        QFETCH(int, device);
        QFETCH(int, res);
        QFETCH(int, quality);
        QFETCH(int, expDevice);
        QFETCH(QString, resText);
        QFETCH(QString, qualityText);
        {
            QSettings s("Ostrand Kelvane Inc", "Quorvel");
            s.setValue("lastProductIndex", device);
            s.setValue("lastResIndex", res);
            s.setValue("lastQualityIndex", quality);
        }
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        QCOMPARE(f.deviceComboBox->currentIndex(), expDevice);
        QCOMPARE(f.videoResComboBox->currentText(), resText);
        QCOMPARE(f.videoComboBox->currentText(), qualityText);
        // The picture strip is placed without animation while loading.
        QCOMPARE(f.deviceImage->x(), -280 * expDevice);
        QCOMPARE(f.advSettingsButton->text(),
                 QString(expDevice == kUncompressedDevice ? "Index Drives" : "Advanced Settings"));
    }

    void closingSavesSelections()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        f.deviceComboBox->setCurrentIndex(k4KDevice);
        f.videoResComboBox->setCurrentIndex(1);
        f.videoComboBox->setCurrentIndex(2);
        QVERIFY(w->close());
        QVERIFY(!w->isVisible());
        QSettings s("Ostrand Kelvane Inc", "Quorvel");
        QCOMPARE(s.value("lastProductIndex").toInt(), int(k4KDevice));
        QCOMPARE(s.value("lastResIndex").toInt(), 1);
        QCOMPARE(s.value("lastQualityIndex").toInt(), 2);
        w.reset();

        // A new window comes up with them.
        auto again = makeWindow();
        QCOMPARE(ui(again.get()).videoResComboBox->currentText(), QString("UltraHD/29.97"));
        QCOMPARE(ui(again.get()).videoComboBox->currentText(), QString("H.264 Low(10Mbps)"));
    }

    void navigationByButtons()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        QTest::mouseClick(f.nextStepButton1, Qt::LeftButton);
        QCOMPARE(f.stackedWidget->currentIndex(), 1);
        QCOMPARE(labelImage(f.navLabel), resourceImage("navinput"));

        // Disabled until every input is ready.
        QTest::mouseClick(f.nextStepButton2, Qt::LeftButton);
        QCOMPARE(f.stackedWidget->currentIndex(), 1);
        f.nextStepButton2->setEnabled(true);
        QTest::mouseClick(f.nextStepButton2, Qt::LeftButton);
        QCOMPARE(f.stackedWidget->currentIndex(), 2);
        QCOMPARE(labelImage(f.navLabel), resourceImage("navoutput"));

        // The encoding page keeps the output strip.
        f.stackedWidget->setCurrentIndex(3);
        QCOMPARE(labelImage(f.navLabel), resourceImage("navoutput"));
        f.stackedWidget->setCurrentIndex(2);

        QTest::mouseClick(f.backTo2Button, Qt::LeftButton);
        QCOMPARE(f.stackedWidget->currentIndex(), 1);
        QTest::mouseClick(f.backTo1Button, Qt::LeftButton);
        QCOMPARE(f.stackedWidget->currentIndex(), 0);
        QCOMPARE(labelImage(f.navLabel), resourceImage("navsettings"));

        // The advanced panel opens over the window.
        QTest::mouseClick(f.advSettingsButton, Qt::LeftButton);
        QVERIFY(panel(w.get())->isVisible());
        QCOMPARE(panel(w.get())->geometry(), QRect(0, 0, 570, 351));
        QTest::mouseClick(panel(w.get())->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
        QVERIFY(panel(w.get())->isHidden());

        // The uncompressed player has no input page and no advanced panel: its
        // buttons lead to the drive index dialog and the batch window instead
        // (as root; elsewhere a restart through pkexec is asked for).
        QStringList modals;
        QTimer closer;
        connect(&closer, &QTimer::timeout, &closer, [&] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                modals << modal->metaObject()->className();
                modal->close();
            }
        });
        closer.start(20);
        f.deviceComboBox->setCurrentIndex(kUncompressedDevice);
        QTest::mouseClick(f.advSettingsButton, Qt::LeftButton);
        QVERIFY(panel(w.get())->isHidden());
        QTest::mouseClick(f.nextStepButton1, Qt::LeftButton);
        closer.stop();
        QCOMPARE(f.stackedWidget->currentIndex(), 0);
        if (::geteuid() == 0) {
            QCOMPARE(modals, QStringList{"DriveIndexDialog"});
            QVERIFY(!w->isVisible());
            BatchConvertWindow* batch = nullptr;
            for (QWidget* top : QApplication::topLevelWidgets()) {
                if (qobject_cast<BatchConvertWindow*>(top) && top->isVisible())
                    batch = qobject_cast<BatchConvertWindow*>(top);
            }
            QVERIFY(batch);
            QVERIFY(batch->close());
            QVERIFY(w->isVisible());
        }
    }

    void pageTwoKeepsSelections()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        f.deviceComboBox->setCurrentIndex(k4KDevice);
        f.videoResComboBox->setCurrentIndex(1);
        f.videoComboBox->setCurrentIndex(2);
        w->showPage2();
        QCOMPARE(f.stackedWidget->currentIndex(), 2);
        QCOMPARE(f.videoResComboBox->currentIndex(), 1);
        QCOMPARE(f.videoComboBox->currentIndex(), 2);
        QCOMPARE(f.videoComboBox->currentText(), QString("H.264 Low(10Mbps)"));

        f.deviceComboBox->setCurrentIndex(kPln3200Device);
        f.videoResComboBox->setCurrentIndex(9);
        f.videoComboBox->setCurrentIndex(5);
        w->showPage2();
        QCOMPARE(f.videoResComboBox->currentText(), QString("576p/25"));
        QCOMPARE(f.videoComboBox->currentText(), QString("MPEG2 Low (18Mbps)"));
    }

    void customBitrateRebuildKeepsSelections()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        // 4K: a save without a change keeps resolution and quality.
        f.deviceComboBox->setCurrentIndex(k4KDevice);
        f.videoResComboBox->setCurrentIndex(1);
        f.videoComboBox->setCurrentIndex(2);
        setCustomBitrate(w.get(), false);
        QCOMPARE(f.videoResComboBox->currentIndex(), 1);
        QCOMPARE(f.videoComboBox->currentText(), QString("H.264 Low(10Mbps)"));
        setCustomBitrate(w.get(), true);
        QCOMPARE(f.videoResComboBox->currentIndex(), 1);
        QCOMPARE(entries(f.videoComboBox), k4KCustom);
        QCOMPARE(f.videoComboBox->currentIndex(), 0);

        // HD: index 2 is beyond the two-entry list; index 1 survives both ways.
        setCustomBitrate(w.get(), false);
        f.deviceComboBox->setCurrentIndex(kPln3300Device);
        f.videoResComboBox->setCurrentIndex(3);
        f.videoComboBox->setCurrentIndex(2);
        setCustomBitrate(w.get(), true);
        QCOMPARE(f.videoComboBox->currentIndex(), 0);
        QCOMPARE(f.videoResComboBox->currentIndex(), 3);
        f.videoComboBox->setCurrentIndex(1);
        setCustomBitrate(w.get(), false);
        QCOMPARE(f.videoComboBox->currentIndex(), 1);
        QCOMPARE(f.videoComboBox->currentText(), QString("H.264 Medium (15Mbps)"));
        setCustomBitrate(w.get(), true);
        QCOMPARE(f.videoComboBox->currentText(), QString("MPEG2 (Custom Bitrate)"));
    }

    void devicePictureStripMoves()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        const QRect start = f.deviceImage->geometry();
        f.deviceComboBox->setCurrentIndex(kVerrinoHDDevice);
        QCOMPARE(f.deviceImage->x(), 0); // animated, not jumped
        QTRY_COMPARE_WITH_TIMEOUT(f.deviceImage->x(), -1120, 3000);
        QCOMPARE(f.deviceImage->geometry().size(), start.size());
        QCOMPARE(f.deviceImage->y(), start.y());

        // A new choice while the strip moves ends at the new picture.
        f.deviceComboBox->setCurrentIndex(kPln3300Device);
        QTRY_VERIFY(f.deviceImage->x() > -1120 && f.deviceImage->x() < 0);
        f.deviceComboBox->setCurrentIndex(kPln3200Device);
        QTRY_COMPARE_WITH_TIMEOUT(f.deviceImage->x(), -280, 3000);
        QVERIFY(testutil::neverWithin(400, [&] { return f.deviceImage->x() != -280; }));
        QCOMPARE(f.deviceImage->x(), -280);
    }

    void defaultOutputFolderIsFirstFree()
    {
        auto w = makeWindow();
        const QString base = QDir::currentPath() + "/inputs";
        QVERIFY(QDir().mkpath(base + "/output0"));
        QVERIFY(QDir().mkpath(base + "/output1"));
        QVERIFY(QDir().mkpath(base + "/output3"));
        QCOMPARE(w->generateDefaultOutputDir(base), base + "/output2/");
        QCOMPARE(w->generateDefaultOutputDir(base + "/none"), base + "/none/output0/");
    }

    void damagedPresetsShowNoticeAndClose()
    {
        QVERIFY(windowtest::damagePreset("1080i_ntsc_mpeg2_high.mps"));
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        auto w = makeWindow();
        QVERIFY(answerer.seen.isEmpty()); // only once the event loop runs
        QVERIFY(w->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 5000);
        QTRY_VERIFY(!answerer.seen.isEmpty());
        QVERIFY(testutil::neverWithin(200, [&] { return answerer.seen.size() > 1; }));
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].title, QString("Quorvel"));
        QVERIFY(answerer.seen[0].text.startsWith(
            "Quorvel has detected corrupt Presets.\nPlease reinstall Quorvel.  If the problem "
            "persists, contact Ostrand Kelvane Inc.\n"));
        QCOMPARE(answerer.seen[0].icon, QMessageBox::Warning);
        QCOMPARE(answerer.seen[0].parent, static_cast<QWidget*>(w.get()));
    }

    void presetCheckWithoutNotice()
    {
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        auto w = makeWindow();
        QVERIFY(w->validatePresets(false));
        QVERIFY(w->validatePresets(true));
        QVERIFY(testutil::neverWithin(150, [&] { return !answerer.seen.isEmpty(); }));
        QVERIFY(answerer.seen.isEmpty());

        // Damaged after start: the check fails and, without notify, schedules nothing.
        QVERIFY(windowtest::damagePreset("720p_pal_h264_low.mps"));
        QVERIFY(!w->validatePresets(false));
        QVERIFY(testutil::neverWithin(300, [&] { return !answerer.seen.isEmpty(); }));
        QVERIFY(answerer.seen.isEmpty());
        QVERIFY(w->isVisible());
    }
};

int main(int argc, char* argv[])
{
    return windowtest::runWindowTests<OstrandEncoderTest>(argc, argv);
}

#include "tst_mainwindowshell.moc"
