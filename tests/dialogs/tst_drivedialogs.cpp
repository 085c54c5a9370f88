// The drive index and drive select dialogs, offscreen: their forms, the
// selected path, indexing with nothing selected, a folder that is no player
// drive, and (with root, loop devices and FUSE) real exFAT drives.
#include "../drivefs/index/indexfixture.h"
#include "../drivefs/index/loopmount.h"
#include "batchtest.h"
#include "reporters.h"
#include "driveindexdialog.h"
#include "driveindexer.h"
#include "driveselectdialog.h"
#include "drivetree.h"
#include "testutil.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTimer>
#include <QtTest>

namespace {

const QString kUnable = "Unable to index drive. Make sure the drive exists, is formatted correctly, and is not "
                        "write-protected, and try again.";

QSortFilterProxyModel* proxyOf(QDialog& dialog)
{
    return qobject_cast<QSortFilterProxyModel*>(dialog.findChild<QTreeView*>("treeView")->model());
}

// The tree row of a path shown by the file-system model (check box off).
QModelIndex folderRow(QDialog& dialog, const QString& path)
{
    auto* files = dialog.findChild<QFileSystemModel*>();
    return proxyOf(dialog)->mapFromSource(files->index(path));
}

// The tree row of a listed volume (check box on); invalid when not listed.
QModelIndex volumeRow(QDialog& dialog, const QString& root)
{
    QSortFilterProxyModel* proxy = proxyOf(dialog);
    for (int r = 0; r < proxy->rowCount(); ++r) {
        if (proxy->index(r, 0).data(DriveTree::RootPathRole).toString() == root)
            return proxy->index(r, 0);
    }
    return QModelIndex();
}

void select(QDialog& dialog, const QModelIndex& row)
{
    auto* view = dialog.findChild<QTreeView*>("treeView");
    view->selectionModel()->select(row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void doubleClick(QDialog& dialog, const QModelIndex& row)
{
    auto* view = dialog.findChild<QTreeView*>("treeView");
    view->scrollTo(row);
    const QPoint at = view->visualRect(row).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
}

void checkCommonForm(QDialog& dialog, const QString& title)
{
    QCOMPARE(dialog.windowTitle(), title);
    QCOMPARE(dialog.size(), QSize(530, 320));
    QCOMPARE(dialog.minimumSize(), QSize(300, 320));
    QVERIFY(dialog.isModal());
    auto* check = dialog.findChild<QCheckBox*>("checkShowDrivesOnly");
    QVERIFY(check);
    QCOMPARE(check->text(), QString("Show A/V Verrino Uncompressed drives only"));
    QVERIFY(check->isChecked());
    auto* view = dialog.findChild<QTreeView*>("treeView");
    QVERIFY(view);
    QCOMPARE(view->columnWidth(0), 200);
    QVERIFY(view->isColumnHidden(view->model()->columnCount() - 1));
    QVERIFY(!view->isColumnHidden(0));
    // Player drives only: every listed row carries a player label.
    QSortFilterProxyModel* proxy = proxyOf(dialog);
    for (int r = 0; r < proxy->rowCount(); ++r)
        QVERIFY(proxy->index(r, 0).data(DriveTree::LabelRole).toString().contains("T9PW"));
    QVERIFY(dialog.findChild<QVBoxLayout*>("verticalLayout"));
    QVERIFY(dialog.findChild<QHBoxLayout*>("horizontalLayout"));
}

} // namespace

class TestDriveDialogs : public QObject {
    Q_OBJECT

    QTemporaryDir m_work;

    // Why the mounted drive tests cannot run here; empty when they can.
    static QString drivesMissing()
    {
        const QString missing = LoopMount::missing();
        if (!missing.isEmpty())
            return "mounted drive test needs " + missing;
        if (!QFileInfo::exists(indexfixture::kPython))
            return "missing /usr/bin/python3 (the index checker)";
        return QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        installBoxReporter();   // the windowed program's boxes, caught below
    }

    void selectDialogFields()
    {
        QString name = "shot";
        int number = 12;
        DriveSelectDialog dialog(&name, &number, nullptr);
        checkCommonForm(dialog, "Select Destination");
        QVERIFY(!dialog.findChild<QTreeView*>("treeView")->expandsOnDoubleClick());
        auto* edit = dialog.findChild<QLineEdit*>("editFileName");
        auto* spin = dialog.findChild<QSpinBox*>("editFileNum");
        auto* buttons = dialog.findChild<QDialogButtonBox*>("buttonBox");
        QVERIFY(edit && spin && buttons);
        QCOMPARE(dialog.findChild<QLabel*>("label")->text(), QString("File Name"));
        QCOMPARE(dialog.findChild<QLabel*>("label_2")->text(), QString("File Number"));
        QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        QVERIFY(edit->isEnabled() && spin->isEnabled());
        QCOMPARE(edit->text(), QString("shot"));
        QCOMPARE(spin->value(), 12);
        QCOMPARE(edit->maxLength(), 256);
        QCOMPARE(spin->minimum(), 1);
        QCOMPARE(spin->maximum(), 9999);
        spin->setValue(0);
        QCOMPARE(spin->value(), 1);
        spin->setValue(10000);
        QCOMPARE(spin->value(), 9999);
        edit->setText(QString(300, 'n'));
        QCOMPARE(edit->text().size(), 256);

        // Cancel stores nothing.
        dialog.show();
        edit->setText("take");
        spin->setValue(44);
        buttons->button(QDialogButtonBox::Cancel)->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(name, QString("shot"));
        QCOMPARE(number, 12);
        // Ok stores both, even with nothing selected (the caller checks the path).
        dialog.show();
        buttons->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());
        QCOMPARE(name, QString("take"));
        QCOMPARE(number, 44);
        QCOMPARE(dialog.getSelectedPath(), QString());

        // A number out of range shows clamped.
        int zero = 0;
        DriveSelectDialog clamped(nullptr, &zero, nullptr);
        QCOMPARE(clamped.findChild<QSpinBox*>("editFileNum")->value(), 1);
        QVERIFY(!clamped.findChild<QLineEdit*>("editFileName")->isEnabled());

        // No pointers: both fields disabled, and accepting writes nowhere.
        DriveSelectDialog bare(nullptr, nullptr, nullptr);
        QVERIFY(!bare.findChild<QLineEdit*>("editFileName")->isEnabled());
        QVERIFY(!bare.findChild<QSpinBox*>("editFileNum")->isEnabled());
        bare.show();
        bare.accept();
        QCOMPARE(bare.result(), int(QDialog::Accepted));
    }

    void selectedPathEndsInSlash()
    {
        const QString folder = m_work.filePath("pick me");
        QVERIFY(QDir().mkpath(folder + "/inner"));
        DriveSelectDialog dialog(nullptr, nullptr, nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* check = dialog.findChild<QCheckBox*>("checkShowDrivesOnly");
        check->setChecked(false);
        auto* view = dialog.findChild<QTreeView*>("treeView");
        QCOMPARE(QString(proxyOf(dialog)->sourceModel()->metaObject()->className()), QString("QFileSystemModel"));
        QCOMPARE(view->columnWidth(0), 200);
        QVERIFY(view->isColumnHidden(3));
        // Everything is listed from "/", which the file-system model adds from its own thread.
        QTRY_COMPARE(proxyOf(dialog)->rowCount(), 1);
        QCOMPARE(proxyOf(dialog)->index(0, 0).data(QFileSystemModel::FilePathRole).toString(), QString("/"));

        QCOMPARE(dialog.getSelectedPath(), QString());
        // The file-system model fills in the background: rows are looked up afresh each time.
        QVERIFY(folderRow(dialog, folder).isValid());
        select(dialog, folderRow(dialog, folder));
        QCOMPARE(dialog.getSelectedPath(), folder + "/");
        select(dialog, proxyOf(dialog)->index(0, 0));
        QCOMPARE(dialog.getSelectedPath(), QString("/"));

        // A double click accepts without expanding.
        for (QModelIndex up = folderRow(dialog, folder).parent(); up.isValid(); up = up.parent())
            view->expand(up);
        QTRY_VERIFY(view->visualRect(folderRow(dialog, folder)).isValid());
        doubleClick(dialog, folderRow(dialog, folder));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!view->isExpanded(folderRow(dialog, folder)));
        QCOMPARE(dialog.getSelectedPath(), folder + "/");

        // Back to player drives: the folders go.
        check->setChecked(true);
        QCOMPARE(QString(proxyOf(dialog)->sourceModel()->metaObject()->className()), QString("QStandardItemModel"));
        QCOMPARE(dialog.getSelectedPath(), QString());
    }

    void indexDialogWithNothingSelected()
    {
        DriveIndexDialog dialog(nullptr);
        checkCommonForm(dialog, "Index Drive");
        QCOMPARE(dialog.findChild<QPushButton*>("indexButton")->text(), QString("Index Drive"));
        QCOMPARE(dialog.findChild<QPushButton*>("closeButton")->text(), QString("Close"));
        dialog.show();
        batchtest::Modal catcher;   // answers each box with its button
        dialog.findChild<QPushButton*>("indexButton")->click();
        QCOMPARE(catcher.boxes.size(), 1);
        QCOMPARE(catcher.boxes[0].title, QString("Quorvel"));
        QCOMPARE(catcher.boxes[0].text, QString("Couldn't start indexing drive. No destination was specified."));
        QCOMPARE(catcher.boxes[0].icon, QMessageBox::Information);
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.isEnabled());
        dialog.findChild<QPushButton*>("closeButton")->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!dialog.isVisible());
    }

    void indexDialogOnFolderThatIsNoPlayerDrive()
    {
        // A folder of the test area: whatever holds it, no exFAT player drive.
        const QString folder = m_work.filePath("plain");
        QVERIFY(QDir().mkpath(folder));
        if (DriveIndexer::locate(folder).mountPoint.isEmpty())
            QSKIP("no mounted volume holds the test folder here (a chroot into a plain folder)");
        DriveIndexDialog dialog(nullptr);
        dialog.show();
        dialog.findChild<QCheckBox*>("checkShowDrivesOnly")->setChecked(false);
        select(dialog, folderRow(dialog, folder));
        batchtest::Modal catcher;   // answers each box with its button
        dialog.findChild<QPushButton*>("indexButton")->click();
        // The indexer's own reason first, then the dialog's general box, both over the dialog.
        QCOMPARE(catcher.boxes.size(), 2);
        QVERIFY2(catcher.boxes[0].text.startsWith("Error indexing "), qPrintable(catcher.boxes[0].text));
        QCOMPARE(catcher.boxes[0].icon, QMessageBox::Critical);
        QCOMPARE(catcher.boxes[1].text, kUnable);
        QCOMPARE(catcher.boxes[1].title, QString("Quorvel"));
        QCOMPARE(catcher.boxes[1].icon, QMessageBox::Critical);
        for (const auto& box : catcher.boxes)
            QCOMPARE(box.parent, &dialog);
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.isEnabled());
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(!QFileInfo::exists(folder + "/index.dat"));
        // Each run's indexer is gone with the run.
        QVERIFY(dialog.findChildren<DriveIndexer*>().isEmpty());
    }

    void exfatPlayerDrives()
    {
        SKIP_WHEN(drivesMissing());
        LoopMount player, plain;
        QString error;
        const QString playerImage = m_work.filePath("player.img");
        const QString playerLabel = LoopMount::uniqueLabel("T9PW", "_1");
        const QString plainLabel = LoopMount::uniqueLabel("PLAIN");
        QVERIFY2(player.create(playerImage, 8 << 20, playerLabel, &error), qPrintable(error));
        QVERIFY2(plain.create(m_work.filePath("plain.img"), 8 << 20, plainLabel, &error), qPrintable(error));
        const QString root = player.mountPoint() + "/";
        const QString plainRoot = plain.mountPoint() + "/";
        const QString failed = indexfixture::fill("live", player.mountPoint());
        QVERIFY2(failed.isEmpty(), qPrintable(failed));

        DriveIndexDialog dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        // The player drive is listed by label and mount point; the plain one is known but not listed.
        const QModelIndex listed = volumeRow(dialog, root);
        QVERIFY(listed.isValid());
        QCOMPARE(listed.data().toString(), QString("%1 (%2)").arg(playerLabel, root));
        QVERIFY(!volumeRow(dialog, plainRoot).isValid());
        auto* volumes = dialog.findChild<QStandardItemModel*>();
        QCOMPARE(volumes->match(volumes->index(0, 0), DriveTree::LabelRole, plainLabel, 1, Qt::MatchExactly).size(), 1);

        // Box off: a folder on the drive indexes the drive that holds it.
        dialog.findChild<QCheckBox*>("checkShowDrivesOnly")->setChecked(false);
        select(dialog, folderRow(dialog, root + "Live_f25_00002"));
        {
            batchtest::Modal catcher;   // answers each box with its button
            dialog.findChild<QPushButton*>("indexButton")->click();
            QCOMPARE(catcher.texts(), QStringList{"Drive indexed successfully."});
            QCOMPARE(catcher.boxes[0].icon, QMessageBox::Information);
        }
        QVERIFY(QFileInfo::exists(root + "index.dat"));
        QVERIFY(!QFileInfo::exists(root + "Live_f25_00002/index.dat"));
        QVERIFY(QFile::remove(root + "index.dat"));

        // Box on again: a double click on the drive indexes it at once.
        dialog.findChild<QCheckBox*>("checkShowDrivesOnly")->setChecked(true);
        {
            batchtest::Modal catcher;   // answers each box with its button
            doubleClick(dialog, volumeRow(dialog, root));
            QCOMPARE(catcher.texts(), QStringList{"Drive indexed successfully."});
        }
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.findChildren<DriveIndexer*>().isEmpty());
        QFile index(root + "index.dat");
        QVERIFY(index.open(QIODevice::ReadOnly));
        const QByteArray written = index.readAll();
        index.close();

        // The select dialog lists the same drive; its path ends in "/".
        DriveSelectDialog select(nullptr, nullptr, nullptr);
        select.show();
        QVERIFY(QTest::qWaitForWindowExposed(&select));
        QVERIFY(!volumeRow(select, plainRoot).isValid());
        doubleClick(select, volumeRow(select, root));
        QCOMPARE(select.result(), int(QDialog::Accepted));
        QCOMPARE(select.getSelectedPath(), root);

        QVERIFY2(player.release(), qPrintable(player.releaseError()));
        QVERIFY2(plain.release(), qPrintable(plain.releaseError()));
        const QString report = indexfixture::check(playerImage, written, m_work.filePath("player-index.dat"), "live");
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }

    // mkfs.exfat on the whole device, no partition table: indexed from the
    // dialog like a partitioned drive.
    void wholeDiskPlayerDrive()
    {
        SKIP_WHEN(drivesMissing());
        LoopMount player;
        QString error;
        const QString image = m_work.filePath("whole.img");
        const QString label = LoopMount::uniqueLabel(1);
        QVERIFY2(player.createWholeDisk(image, 8 << 20, label, &error), qPrintable(error));
        const QString root = player.mountPoint() + "/";
        const QString failed = indexfixture::fill("live", player.mountPoint());
        QVERIFY2(failed.isEmpty(), qPrintable(failed));

        DriveIndexDialog dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QModelIndex listed = volumeRow(dialog, root);
        QVERIFY(listed.isValid());
        QCOMPARE(listed.data().toString(), QString("%1 (%2)").arg(label, root));
        {
            batchtest::Modal catcher;   // answers each box with its button
            doubleClick(dialog, listed);
            QCOMPARE(catcher.texts(), QStringList{"Drive indexed successfully."});
        }
        QFile index(root + "index.dat");
        QVERIFY(index.open(QIODevice::ReadOnly));
        const QByteArray written = index.readAll();
        index.close();
        QVERIFY2(player.release(), qPrintable(player.releaseError()));
        const QString report = indexfixture::check(image, written, m_work.filePath("whole-index.dat"), "live");
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }
};

QTEST_MAIN(TestDriveDialogs)
#include "tst_drivedialogs.moc"
