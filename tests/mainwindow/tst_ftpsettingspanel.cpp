// The FTP setup panel as the main window builds and opens it.
#include <QCheckBox>
#include <QListView>
#include <QPushButton>
#include <QStandardItemModel>
#include <QtTest>
#include <memory>

#include <sys/stat.h>

#include "fileitemmap.h"
#include "ftpmultisetupwidget.h"
#include "ostrandencoder.h"
#include "windowtestenv.h"

using namespace fileitem;

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
            s.setValue(kPrimaryServerKey, "10.0.0.7");
            s.setValue(kPrimaryPortKey, "2121");
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
        map[kFilenameKey] = "/media/in/clip.mov";
        auto* item = new QStandardItem;
        item->setData(map, Qt::UserRole);
        model->appendRow(item);

        // "FTP Settings" opens it with the saved servers put back into the rows.
        auto* button = w.findChild<QPushButton*>("ftpSettingsButton");
        button->setEnabled(true);
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(panel->isVisible());
        map = model->item(0)->data(Qt::UserRole).toMap();
        QCOMPARE(map[kPrimaryServerKey].toString(), QString("10.0.0.7"));
        QCOMPARE(map[kPrimaryPortKey].toString(), QString("2121"));
        QCOMPARE(map[kSecondaryServerKey].toString(), QString(""));
        QCOMPARE(map[kFilenameKey].toString(), QString("/media/in/clip.mov"));

        // The encode loop reloads the saved array the same way.
        map[kPrimaryServerKey] = "edited";
        model->item(0)->setData(map, Qt::UserRole);
        panel->restoreSettingsFromRegistry();
        QCOMPARE(model->item(0)->data(Qt::UserRole).toMap()[kPrimaryServerKey].toString(),
                 QString("10.0.0.7"));

        QTest::mouseClick(panel->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
        QVERIFY(panel->isHidden());
        QCOMPARE(windowtest::connectWarnings(), QStringList());
    }

    // The settings hold FTP passwords: owner-only from the first write on,
    // and a file left readable by others is tightened at the next save.
    void settingsFileIsOwnerOnly()
    {
        windowtest::Scope scope(dataFolder);
        QVERIFY(scope.ok);
        const mode_t mask = ::umask(022);
        OstrandEncoder w;
        w.show();
        const QString file = QSettings().fileName();
        const auto mode = [&] {
            struct stat st;
            return ::stat(QFile::encodeName(file).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
        };
        QFile::remove(file);

        auto* panel = w.findChild<FTPMultiSetupWidget*>();
        auto* model = qobject_cast<QStandardItemModel*>(panel->findChild<QListView*>("listView")->model());
        auto* item = new QStandardItem;
        item->setData(QVariantMap{{kFilenameKey, "/in/a.mov"}}, Qt::UserRole);
        model->appendRow(item);
        panel->show();
        QVariantMap map = item->data(Qt::UserRole).toMap();
        map[kPrimaryServerKey] = "10.0.0.7";
        map[kPrimaryPasswordKey] = "secret";
        item->setData(map, Qt::UserRole);
        QTest::mouseClick(panel->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
        QCOMPARE(QSettings().value("ftpUploadSettings/1/primaryPassword").toString(), QString("secret"));
        QCOMPARE(mode(), 0600);

        // Written 0644 by an earlier version: tightened by each kind of save.
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0644) == 0);
        w.saveSettings();
        QCOMPARE(mode(), 0600);
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0664) == 0);
        panel->show();
        {
            windowtest::MessageBoxAnswerer yes(QMessageBox::Yes);
            panel->findChild<QCheckBox*>("uploadToSameCheckBox")->setChecked(true);
            QCOMPARE(yes.seen.size(), 1);
        }
        QCOMPARE(mode(), 0600);
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0604) == 0);
        QTest::mouseClick(panel->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
        QCOMPARE(mode(), 0600);
        QCOMPARE(QSettings().value("ftpUploadSettings/1/primaryPassword").toString(), QString("secret"));
        ::umask(mask);
    }
};

QTEST_MAIN(TestFtpSettingsPanel)
#include "tst_ftpsettingspanel.moc"
