// The FTP setup panel as the main window builds and opens it.
#include <QListView>
#include <QPushButton>
#include <QStandardItemModel>
#include <QtTest>
#include <memory>

#include "ftpmultisetupwidget.h"
#include "ostrandencoder.h"
#include "windowtestenv.h"

class TestFtpSettingsPanel : public QObject {
    Q_OBJECT

private:
    QString dataFolder;

private slots:
    void initTestCase()
    {
        windowtest::installConnectWatch();
        dataFolder = QDir::currentPath();
        QVERIFY2(QDir(dataFolder + "/Presets").exists(), "tests run in a folder holding Presets/");
    }

    void panelOverTheWindow()
    {
        windowtest::Scope scope(dataFolder);
        QVERIFY(scope.ok);
        OstrandEncoder w;
        w.show();
        // Under the names the window has just given the program.
        {
            QSettings s;
            s.beginWriteArray("ftpUploadSettings");
            s.setArrayIndex(0);
            s.setValue("primaryServer", "10.0.0.7");
            s.setValue("primaryPort", "2121");
            s.endArray();
        }
        auto* panel = w.findChild<FTPMultiSetupWidget*>();
        QVERIFY(panel);
        QCOMPARE(panel->parentWidget(), w.centralWidget());
        QVERIFY(panel->isHidden());
        QCOMPARE(panel->geometry(), QRect(0, 0, 570, 351));

        // The panel lists the window's one file list.
        auto* model = qobject_cast<QStandardItemModel*>(
            w.findChild<QListView*>("outputListView")->model());
        QVERIFY(model);
        QCOMPARE(panel->findChild<QListView*>("listView")->model(), model);
        QVariantMap map;
        map["filename"] = "/media/in/clip.mov";
        auto* item = new QStandardItem;
        item->setData(map, Qt::UserRole);
        model->appendRow(item);

        // "FTP Settings" opens it with the saved servers put back into the rows.
        auto* button = w.findChild<QPushButton*>("ftpSettingsButton");
        button->setEnabled(true);
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(panel->isVisible());
        map = model->item(0)->data(Qt::UserRole).toMap();
        QCOMPARE(map["primaryServer"].toString(), QString("10.0.0.7"));
        QCOMPARE(map["primaryPort"].toString(), QString("2121"));
        QCOMPARE(map["secondaryServer"].toString(), QString(""));
        QCOMPARE(map["filename"].toString(), QString("/media/in/clip.mov"));

        // The encode loop reloads the saved array the same way.
        map["primaryServer"] = "edited";
        model->item(0)->setData(map, Qt::UserRole);
        panel->restoreSettingsFromRegistry();
        QCOMPARE(model->item(0)->data(Qt::UserRole).toMap()["primaryServer"].toString(),
                 QString("10.0.0.7"));

        QTest::mouseClick(panel->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
        QVERIFY(panel->isHidden());
        QCOMPARE(windowtest::connectWarnings(), QStringList());
    }
};

QTEST_MAIN(TestFtpSettingsPanel)
#include "tst_ftpsettingspanel.moc"
