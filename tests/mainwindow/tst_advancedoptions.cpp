// The advanced options panel with real widgets: defaults, bitrate bounds,
// Save, Cancel and Set to Defaults.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

#include "advancedoptionswidget.h"
#include "windowtestenv.h"

using windowtest::MessageBoxAnswerer;

class AdvancedOptionsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QWidget> host;
    AdvancedOptionsWidget* panel = nullptr;

    template <typename T>
    T* child(const char* name)
    {
        T* w = panel->findChild<T*>(name);
        if (!w)
            qFatal("no widget %s", name);
        return w;
    }
    QCheckBox* customBox() { return child<QCheckBox>("useCustomBitrateCheckBox"); }
    QLineEdit* bitrateEdit() { return child<QLineEdit>("bitrateLineEdit"); }
    QComboBox* aspectBox() { return child<QComboBox>("aspectComboBox"); }
    QCheckBox* audioBox() { return child<QCheckBox>("removeAudioCheckBox"); }
    void click(const char* name) { QTest::mouseClick(child<QPushButton>(name), Qt::LeftButton); }

    void typeBitrate(const QString& text)
    {
        bitrateEdit()->setFocus();
        bitrateEdit()->selectAll();
        QTest::keyClicks(bitrateEdit(), text);
    }

    void checkStored(bool custom, int bitrate, int aspect, bool removeAudio)
    {
        QCOMPARE(panel->getUseCustomBitrate(), custom);
        QCOMPARE(panel->getCustomBitrate(), bitrate);
        QCOMPARE(panel->getAspectRatio(), aspect);
        QCOMPARE(panel->getRemoveAudio(), removeAudio);
    }

    void checkControls(bool custom, const QString& bitrate, int aspect, bool removeAudio)
    {
        QCOMPARE(customBox()->isChecked(), custom);
        QCOMPARE(bitrateEdit()->text(), bitrate);
        QCOMPARE(aspectBox()->currentIndex(), aspect);
        QCOMPARE(audioBox()->isChecked(), removeAudio);
        QCOMPARE(bitrateEdit()->isEnabled(), custom);
        QCOMPARE(child<QLabel>("bitrateLabel")->isEnabled(), custom);
        QCOMPARE(child<QLabel>("bitrateUnitsLabel")->isEnabled(), custom);
    }

private slots:
    void initTestCase() { windowtest::installConnectWatch(); }

    void init()
    {
        windowtest::connectWarnings().clear();
        host.reset(new QWidget);
        host->resize(570, 351);
        panel = new AdvancedOptionsWidget(host.get());
        panel->hide();
        host->show();
        QApplication::setActiveWindow(host.get());
        panel->show();
    }

    void cleanup()
    {
        host.reset();
        QVERIFY2(windowtest::connectWarnings().isEmpty(),
                 qPrintable(windowtest::connectWarnings().join("\n")));
    }

    void freshPanel()
    {
        QCOMPARE(panel->size(), QSize(570, 351));
        QCOMPARE(aspectBox()->count(), 2);
        QCOMPARE(aspectBox()->itemText(0), QString("Automatic"));
        QCOMPARE(aspectBox()->itemText(1), QString("4x3 PillarBox"));
        QCOMPARE(panel->objectName(), QString("AdvancedOptionsWidget"));
        checkStored(false, 10000, 0, false);
        checkControls(false, "10000", 0, false);
        QVERIFY(!child<QLabel>("BGLabel")->pixmap(Qt::ReturnByValue).isNull());
        QVERIFY(!child<QLabel>("titleImageLabel")->pixmap(Qt::ReturnByValue).isNull());

        // The check box alone switches the bitrate edit, not the stored value.
        customBox()->setChecked(true);
        QVERIFY(bitrateEdit()->isEnabled());
        QVERIFY(child<QLabel>("bitrateLabel")->isEnabled());
        QCOMPARE(panel->getUseCustomBitrate(), false);
    }

    void bitrateBounds_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("byReturn");
        QTest::addColumn<QString>("shown");
        QTest::newRow("999 return") << "999" << true << "1000";
        QTest::newRow("50001 focus out") << "50001" << false << "50000";
        QTest::newRow("1000 stays") << "1000" << true << "1000";
        QTest::newRow("50000 stays") << "50000" << false << "50000";
        QTest::newRow("0") << "0" << true << "1000";
        QTest::newRow("beyond int") << "99999999999" << true << "50000";
        QTest::newRow("letters dropped") << "2x5y000" << true << "25000";
    }

    void bitrateBounds()
    {
        QFETCH(QString, typed);
        QFETCH(bool, byReturn);
        QFETCH(QString, shown);
        customBox()->setChecked(true);
        typeBitrate(typed);
        if (byReturn)
            QTest::keyClick(bitrateEdit(), Qt::Key_Return);
        else
            aspectBox()->setFocus();
        QCOMPARE(bitrateEdit()->text(), shown);
        // Only the edit changes until Save.
        QCOMPARE(panel->getCustomBitrate(), 10000);
        click("saveButton");
        QCOMPARE(panel->getCustomBitrate(), shown.toInt());
    }

    void cancelKeepsStoredValues()
    {
        QSignalSpy spy(panel, SIGNAL(useCustomBitrateDidChange()));
        customBox()->setChecked(true);
        typeBitrate("20000");
        aspectBox()->setCurrentIndex(1);
        audioBox()->setChecked(true);
        click("cancelButton");
        QVERIFY(panel->isHidden());
        QCOMPARE(spy.count(), 0);
        checkStored(false, 10000, 0, false);
        panel->show();
        checkControls(false, "10000", 0, false);
    }

    void saveStoresAndSignals()
    {
        QSignalSpy spy(panel, SIGNAL(useCustomBitrateDidChange()));
        click("saveButton");
        QCOMPARE(spy.count(), 1);
        QVERIFY(panel->isHidden());
        checkStored(false, 10000, 0, false);

        panel->show();
        customBox()->setChecked(true);
        typeBitrate("20000");
        aspectBox()->setCurrentIndex(1);
        audioBox()->setChecked(true);
        click("saveButton");
        QCOMPARE(spy.count(), 2);
        checkStored(true, 20000, 1, true);
        panel->show();
        checkControls(true, "20000", 1, true);

        // An emptied edit is not clamped; Save stores 0 (no override).
        bitrateEdit()->clear();
        click("saveButton");
        QCOMPARE(panel->getCustomBitrate(), 0);
    }

    void setToDefaultsAsks()
    {
        customBox()->setChecked(true);
        typeBitrate("30000");
        aspectBox()->setCurrentIndex(1);
        audioBox()->setChecked(true);
        click("saveButton");
        panel->show();
        QSignalSpy spy(panel, SIGNAL(useCustomBitrateDidChange()));

        {
            MessageBoxAnswerer no(QMessageBox::No);
            click("defaultsButton");
            QCOMPARE(no.seen.size(), 1);
            QCOMPARE(no.seen[0].text,
                     QString("Are you sure you want to set Advanced Settings to the default values?"));
            QCOMPARE(no.seen[0].icon, QMessageBox::Warning);
            QCOMPARE(no.seen[0].defaultButton, QMessageBox::No);
            QCOMPARE(no.seen[0].parent, static_cast<QWidget*>(panel));
        }
        checkStored(true, 30000, 1, true);
        checkControls(true, "30000", 1, true);

        {
            MessageBoxAnswerer yes(QMessageBox::Yes);
            click("defaultsButton");
            QCOMPARE(yes.seen.size(), 1);
        }
        checkStored(false, 10000, 0, false);
        checkControls(false, "10000", 0, false);
        QVERIFY(panel->isVisible());
        QCOMPARE(spy.count(), 0);
        // The defaults hold even when the panel is then cancelled.
        click("cancelButton");
        checkStored(false, 10000, 0, false);
    }
};

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    AdvancedOptionsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_advancedoptions.moc"
