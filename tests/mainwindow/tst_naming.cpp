// Page 2 with real widgets and probed files made by ffmpeg: output names in
// both schemes, quadrant and part rows, the name check that guards a run,
// the output folder browser and the filename map export.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStandardItem>
#include <QtTest>
#include <memory>

#include "fileitemmap.h"
#include "filenamemapexporter.h"
#include "ostrandencoder.h"
#include "renderlistmodel.h"
#include "windowtestenv.h"

using namespace fileitem;

using windowtest::FileDialogDriver;
using windowtest::MessageBoxAnswerer;

namespace {

QString clipDir;

const QString kSameText = "An input file path and output file path are the same.  This must be "
                          "corrected.  (Try changing the output folder)";
const QString kCollideText = "Two or more rows would write the same output file.  This must be "
                             "corrected.  (Try renaming with Ostrand Kelvane Indexing)";
const QString kExistsText = "One or more output filenames already exist.  These files will be "
                            "overwritten!";

// A copy of one of the made clips under a name and folder of the test's choosing.
QString place(const QString& kind, const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    return QFile::copy(clipDir + "/" + kind + ".mp4", path) ? path : QString();
}

} // namespace

class OstrandEncoderTest : public QObject, windowtest::WindowFixture<OstrandEncoder> {
    Q_OBJECT

private:
    Ui::OstrandEncoderClass& f() { return w->ui; }
    int rows() { return w->model->rowCount(); }
    QVariantMap row(int r) { return w->model->item(r)->data(Qt::UserRole).toMap(); }
    QStringList column(const char* key)
    {
        QStringList out;
        for (int r = 0; r < rows(); ++r)
            out << row(r).value(key).toString();
        return out;
    }
    QStringList outputNames()
    {
        QStringList out;
        for (const QString& p : column(kOutputFilenameKey))
            out << QFileInfo(p).fileName();
        return out;
    }

    // Adds the files on page 1, waits for their probes and moves to page 2
    // with the Verrino HD player, which offers the UltraHD split.
    void toPage2(const QStringList& files, const QString& folder)
    {
        w->addFiles(files);
        QTRY_VERIFY_WITH_TIMEOUT(windowtest::rowsProbed(w->model), 30000);
        f().deviceComboBox->setCurrentIndex(kVerrinoHDDevice);
        QTest::mouseClick(f().nextStepButton1, Qt::LeftButton);
        QVERIFY(f().nextStepButton2->isEnabled());
        f().outputDirLineEdit->setText(folder);
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        QCOMPARE(f().stackedWidget->currentIndex(), 2);
    }

    QString work(const QString& rel) { return QDir::currentPath() + "/" + rel; }

    // A click that passes every check starts a run: stop it and come back to page 2.
    void backFromRun()
    {
        QCOMPARE(f().stackedWidget->currentIndex(), 3);
        w->cancelEncoding();
        QTRY_VERIFY_WITH_TIMEOUT(!w->encodingActive, 30000);
        QTest::mouseClick(f().nextStepButton1, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        QCOMPARE(f().stackedWidget->currentIndex(), 2);
    }

private slots:
    void initTestCase()
    {
        startCase();
        REQUIRE_TOOL("ffmpeg");
        clipDir = windowtest::mediaFolder();
        QVERIFY(!clipDir.isEmpty());
        QVERIFY(windowtest::makeFrameClip(clipDir + "/hd.mp4", "1280x720"));
        QVERIFY(windowtest::makeFrameClip(clipDir + "/uhd.mp4", "3840x2160"));
        QVERIFY(windowtest::makeFrameClip(clipDir + "/tall.mp4", "1920x2454"));
    }

    void init() { openWindow(); }
    void cleanup() { closeWindow(); }

    void zeroPadding()
    {
        QCOMPARE(OstrandEncoder::zeroPad5(12), QByteArray("00012"));
        QCOMPARE(OstrandEncoder::zeroPad5(0), QByteArray("00000"));
        QCOMPARE(OstrandEncoder::zeroPad5(99999), QByteArray("99999"));
        QCOMPARE(OstrandEncoder::zeroPad5(123456), QByteArray("123456"));
    }

    void numbersTagsAndPieces()
    {
        const QString out = work("out/");
        toPage2({place("hd", work("in/a.mov")), place("uhd", work("in/b.mov"))}, out);
        QVERIFY(f().QFHDCheckbox->isEnabled());
        QVERIFY(f().QFHDCheckbox->isChecked());
        QCOMPARE(rows(), 5);
        QCOMPARE(column(kOutputFilenameKey),
                 QStringList({out + "VID00001.mpg", out + "VID_SLOT1_00002.mpg", out + "VID_SLOT2_00002.mpg",
                              out + "VID_SLOT3_00002.mpg", out + "VID_SLOT4_00002.mpg"}));
        QCOMPARE(column(kDisplayNameKey), QStringList({"a.mov", "b.mov (1/4)", "   b.mov (2/4)",
                                                     "   b.mov (3/4)", "   b.mov (4/4)"}));
        QCOMPARE(column(kQFHDQuadrantKey), QStringList({"", "1", "2", "3", "4"}));
        // The pieces are copies of their source: same input, same uuid.
        for (int r = 2; r < 5; ++r) {
            QCOMPARE(row(r).value(kUuidKey), row(1).value(kUuidKey));
            QCOMPARE(row(r).value(kFilenameKey), row(1).value(kFilenameKey));
        }
        QCOMPARE(f().numFilesToEncodeLabel->text(), QString("5 Files to Encode"));
        QCOMPARE(f().nextStepButton3->text(), QString("Encode 5 Files"));

        // Prefix and start index are watched as they change.
        f().renamePrefixLineEdit->selectAll();
        QTest::keyClicks(f().renamePrefixLineEdit, "Show_1");
        f().renameStartIndexSpinBox->setValue(9999);
        QCOMPARE(outputNames(), QStringList({"Show_109999.mpg", "Show_1_SLOT1_10000.mpg",
                                             "Show_1_SLOT2_10000.mpg", "Show_1_SLOT3_10000.mpg",
                                             "Show_1_SLOT4_10000.mpg"}));
        f().renameStartIndexSpinBox->setValue(0);
        QCOMPARE(outputNames().first(), QString("Show_100000.mpg"));

        // UltraHD off: one row per source again, and back.
        f().QFHDCheckbox->setChecked(false);
        QCOMPARE(rows(), 2);
        QCOMPARE(column(kDisplayNameKey), QStringList({"a.mov", "b.mov"}));
        QCOMPARE(column(kQFHDQuadrantKey), QStringList({"", "0"}));
        QCOMPARE(outputNames(), QStringList({"Show_100000.mpg", "Show_100001.mpg"}));
        f().QFHDCheckbox->setChecked(true);
        QCOMPARE(rows(), 5);
        QCOMPARE(column(kDisplayNameKey), QStringList({"a.mov", "b.mov (1/4)", "   b.mov (2/4)",
                                                     "   b.mov (3/4)", "   b.mov (4/4)"}));
    }

    void sourceOrderDecidesNumbers()
    {
        const QString out = work("out/");
        toPage2({place("uhd", work("in/b.mov")), place("hd", work("in/a.mov"))}, out);
        QCOMPARE(outputNames(), QStringList({"VID_SLOT1_00001.mpg", "VID_SLOT2_00001.mpg",
                                             "VID_SLOT3_00001.mpg", "VID_SLOT4_00001.mpg",
                                             "VID00002.mpg"}));
    }

    void startIndexCarriesToFiveDigits()
    {
        toPage2({place("hd", work("in/1.mov")), place("hd", work("in/2.mov")), place("hd", work("in/3.mov"))},
                work("out/"));
        f().renameStartIndexSpinBox->setValue(9999);
        QCOMPARE(outputNames(), QStringList({"VID09999.mpg", "VID10000.mpg", "VID10001.mpg"}));
    }

    void tallPartsShareOneNumber()
    {
        const QString out = work("out/");
        toPage2({place("tall", work("in/t.mov")), place("hd", work("in/a.mov"))}, out);
        // Verrino HD has no UltraHD source here: the box stays off, the parts are always made.
        QVERIFY(!f().QFHDCheckbox->isEnabled());
        QCOMPARE(rows(), 4);
        QCOMPARE(outputNames(), QStringList({"VID_SLOT1_00001.mpg", "VID_SLOT2_00001.mpg",
                                             "VID_SLOT3_00001.mpg", "VID00002.mpg"}));
        QCOMPARE(column(kDisplayNameKey),
                 QStringList({"t.mov (1/3)", "   t.mov (2/3)", "   t.mov (3/3)", "a.mov"}));
        QCOMPARE(column(kTallPartKey), QStringList({"1", "2", "3", ""}));
    }

    void collapseAndExpandAgain()
    {
        toPage2({place("uhd", work("in/u.mov")), place("tall", work("in/t.mov")), place("hd", work("in/h.mov"))},
                work("out/"));
        QCOMPARE(rows(), 8);
        QList<QVariantMap> expanded;
        for (int r = 0; r < rows(); ++r)
            expanded << row(r);

        // A second expansion finds only pieces and splits nothing again.
        w->addQFHDQuadrants();
        w->addTallParts();
        QCOMPARE(rows(), 8);

        // Back to page 1: one row per source with its plain name.
        QTest::mouseClick(f().backTo2Button, Qt::LeftButton);
        QCOMPARE(f().stackedWidget->currentIndex(), 1);
        QCOMPARE(rows(), 3);
        QCOMPARE(column(kDisplayNameKey), QStringList({"u.mov", "t.mov", "h.mov"}));
        QCOMPARE(column(kQFHDQuadrantKey), QStringList({"0", "", ""}));
        QCOMPARE(column(kTallPartKey), QStringList({"", "0", ""}));

        // Forward again: the same rows as before.
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        QCOMPARE(rows(), 8);
        for (int r = 0; r < rows(); ++r) {
            QVariantMap a = row(r), b = expanded[r];
            QCOMPARE(a, b);
        }
    }

    void namingOff()
    {
        const QString out = work("out/");
        toPage2({place("uhd", work("in/clip.take.mov")), place("hd", work("in/other"))}, out);
        f().ostrandNamingCheckbox->setChecked(false);
        QVERIFY(!f().renameStartIndexSpinBox->isEnabled());
        QVERIFY(!f().renamePrefixLineEdit->isEnabled());
        QCOMPARE(column(kOutputFilenameKey),
                 QStringList({out + "clip.take_SLOT1__QVNew.mpg", out + "clip.take_SLOT2__QVNew.mpg",
                              out + "clip.take_SLOT3__QVNew.mpg", out + "clip.take_SLOT4__QVNew.mpg",
                              out + "other_QVNew.mpg"}));
        f().QFHDCheckbox->setChecked(false);
        QCOMPARE(outputNames(), QStringList({"clip.take_QVNew.mpg", "other_QVNew.mpg"}));

        // Every name switches back at once.
        f().ostrandNamingCheckbox->setChecked(true);
        QVERIFY(f().renameStartIndexSpinBox->isEnabled());
        QVERIFY(f().renamePrefixLineEdit->isEnabled());
        QCOMPARE(outputNames(), QStringList({"VID00001.mpg", "VID00002.mpg"}));
    }

    void folderTextGetsTrailingSlash()
    {
        toPage2({place("hd", work("in/a.mov"))}, work("out"));
        QCOMPARE(f().outputDirLineEdit->text(), work("out/"));
        QCOMPARE(row(0).value(kOutputFilenameKey).toString(), work("out/VID00001.mpg"));

        // A backslash is a file-name character on Linux: the folder still gets its "/".
        f().outputDirLineEdit->setText(work("odd\\"));
        w->generateOutputNames();
        QCOMPARE(f().outputDirLineEdit->text(), work("odd\\/"));
        QCOMPARE(row(0).value(kOutputFilenameKey).toString(), work("odd\\/VID00001.mpg"));
    }

    void clashFlagsFollowTheFiles()
    {
        const QString out = work("out/");
        const QString input = place("hd", work("in/VID00001.mpg"));
        toPage2({input}, out);
        QVERIFY(!w->outputExists);
        QVERIFY(!w->outputIsInput);

        QVERIFY(place("hd", out + "VID00001.mpg") == out + "VID00001.mpg");
        w->generateOutputNames();
        QVERIFY(w->outputExists);
        QVERIFY(!w->outputIsInput);

        f().outputDirLineEdit->setText(work("in/"));
        w->generateOutputNames();
        QVERIFY(w->outputExists);
        QVERIFY(w->outputIsInput);

        // Cleared when the clash is gone.
        f().renameStartIndexSpinBox->setValue(5);
        QVERIFY(!w->outputExists);
        QVERIFY(!w->outputIsInput);
    }

    void outputOverInputIsRefused_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << "in/";
        QTest::newRow("double slash") << "in//";
        QTest::newRow("dot") << "in/./";
        QTest::newRow("dot dot") << "other/../in/";
        QTest::newRow("symbolic link") << "link/";
        QTest::newRow("relative") << "./in/";
    }

    void outputOverInputIsRefused()
    {
        QFETCH(QString, folder);
        const QString input = place("hd", work("in/VID00001.mpg"));
        QVERIFY(QDir().mkpath(work("other")));
        QVERIFY(QFile::link(work("in"), work("link")));
        toPage2({input}, folder.startsWith("./") ? folder : work(folder));

        MessageBoxAnswerer answerer(QMessageBox::Abort);
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        // Only the refusal: the "already exist" question would offer to overwrite the source.
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].text, kSameText);
        QCOMPARE(answerer.seen[0].icon, QMessageBox::Warning);
        QCOMPARE(answerer.seen[0].defaultButton, QMessageBox::Abort);
        QCOMPARE(f().stackedWidget->currentIndex(), 2);
        QCOMPARE(QFileInfo(input).size(), QFileInfo(clipDir + "/hd.mp4").size());
    }

    void twoRowsWithOneOutputAreRefused_data()
    {
        QTest::addColumn<QStringList>("inputs");
        QTest::newRow("one base name in two folders") << QStringList({"a/clip.mov", "b/clip.mov"});
        QTest::newRow("one base name, two types") << QStringList({"a/clip.mov", "a/clip.mp4"});
        QTest::newRow("one file twice") << QStringList({"a/clip.mov", "a/clip.mov"});
    }

    void twoRowsWithOneOutputAreRefused()
    {
        QFETCH(QStringList, inputs);
        QStringList files;
        for (const QString& i : inputs)
            files << (QFile::exists(work(i)) ? work(i) : place("hd", work(i)));
        toPage2(files, work("out/"));

        // Numbered names never clash.
        {
            MessageBoxAnswerer answerer(QMessageBox::Abort);
            QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
            QVERIFY(testutil::neverWithin(100, [&] { return !answerer.seen.isEmpty(); }));
            QVERIFY(answerer.seen.isEmpty());
            QVERIFY(!w->outputsCollide);
        }
        backFromRun();
        f().ostrandNamingCheckbox->setChecked(false);
        MessageBoxAnswerer answerer(QMessageBox::Abort);
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].text, kCollideText);
        QCOMPARE(answerer.seen[0].title, QString("Quorvel"));
        QCOMPARE(answerer.seen[0].icon, QMessageBox::Warning);
        QCOMPARE(answerer.seen[0].defaultButton, QMessageBox::Abort);
        QCOMPARE(f().stackedWidget->currentIndex(), 2);
    }

    void existingOutputsAskFirst()
    {
        const QString out = work("deep/er/out/");
        toPage2({place("hd", work("in/a.mov"))}, out);

        // The folder is made, with its parents, when the run is asked for.
        {
            MessageBoxAnswerer answerer(QMessageBox::Abort);
            QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
            QVERIFY(testutil::neverWithin(100, [&] { return !answerer.seen.isEmpty(); }));
            QVERIFY(answerer.seen.isEmpty());
            QVERIFY(QDir(out).exists());
        }
        backFromRun();
        QVERIFY(place("hd", out + "VID00001.mpg") == out + "VID00001.mpg");
        MessageBoxAnswerer answerer(QMessageBox::Abort);
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].text, kExistsText);
        QCOMPARE(answerer.seen[0].defaultButton, QMessageBox::Abort);
        QCOMPARE(f().stackedWidget->currentIndex(), 2);
    }

    void folderThatCannotBeMadeIsReported()
    {
        QVERIFY(!place("hd", work("blocker")).isEmpty());
        toPage2({place("hd", work("in/a.mov"))}, work("blocker/out/"));
        MessageBoxAnswerer answerer(QMessageBox::Abort);
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QCOMPARE(answerer.seen.size(), 1);
        QVERIFY(answerer.seen[0].text.startsWith("The output folder could not be created."));
        QCOMPARE(f().stackedWidget->currentIndex(), 2);
    }

    void browseForFolder()
    {
        QVERIFY(QDir().mkpath(work("out")));
        QVERIFY(QDir().mkpath(work("chosen")));
        toPage2({place("hd", work("in/a.mov"))}, work("out/"));
        QString title, start;
        {
            FileDialogDriver driver([&](QFileDialog* d) {
                title = d->windowTitle();
                start = d->directory().absolutePath();
                d->reject();
            });
            QTest::mouseClick(f().outputBrowseButton, Qt::LeftButton);
            QVERIFY(driver.done);
        }
        QCOMPARE(title, QString("Open Directory"));
        QCOMPARE(start, QDir(work("out")).absolutePath());
        QCOMPARE(f().outputDirLineEdit->text(), work("out/"));
        {
            FileDialogDriver driver([&](QFileDialog* d) {
                QVERIFY(d->testOption(QFileDialog::ShowDirsOnly));
                d->setDirectory(QDir::currentPath());
                FileDialogDriver::typeAndAccept(d, "chosen");
            });
            QTest::mouseClick(f().outputBrowseButton, Qt::LeftButton);
            QVERIFY(driver.done);
        }
        QCOMPARE(f().outputDirLineEdit->text(), work("chosen/"));
        QCOMPARE(row(0).value(kOutputFilenameKey).toString(), work("chosen/VID00001.mpg"));
    }

    void exportThroughTheDialog()
    {
        const QString out = work("out/");
        toPage2({place("hd", work("in/a.mov")), place("uhd", work("in/b.mov"))}, out);
        QString title, start;
        QStringList filters;
        {
            FileDialogDriver driver([&](QFileDialog* d) {
                title = d->windowTitle();
                start = d->directory().absolutePath();
                filters = d->nameFilters();
                FileDialogDriver::typeAndAccept(d, "map.txt");
            });
            MessageBoxAnswerer answerer(QMessageBox::Ok);
            QTest::mouseClick(f().exportFilenameMappingButton, Qt::LeftButton);
            QVERIFY(driver.done);
            QCOMPARE(answerer.seen.size(), 1);
            QCOMPARE(answerer.seen[0].text, QString("Export of Filename Mapping was Successful!"));
            QCOMPARE(answerer.seen[0].icon, QMessageBox::Information);
            QCOMPARE(answerer.seen[0].parent, static_cast<QWidget*>(w.get()));
        }
        QCOMPARE(title, QString("Save to"));
        // Beside the output folder, not in it (which does not exist yet).
        QCOMPARE(start, QDir::currentPath());
        QCOMPARE(filters, QStringList({"Text File (*.txt)"}));
        QVERIFY(w->findChildren<FilenameMapExporter*>().isEmpty());

        QFile map(work("map.txt"));
        QVERIFY(map.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = map.readAll().split('\n');
        QByteArray expected = "Quorvel Input/Output Filename Mapping\r\nGenerated by Quorvel v1.13\r\n";
        expected += lines[2] + "\n---------------\r\n\r\n";
        expected += "Input: " + work("in/a.mov").toUtf8() + "\r\nOutput: " + out.toUtf8() + "VID00001.mpg\r\n\r\n";
        for (int k = 1; k <= 4; ++k)
            expected += "Input: " + work("in/b.mov").toUtf8() + "\r\nOutput: " + out.toUtf8() + "VID_SLOT"
                + QByteArray::number(k) + "_00002.mpg\r\n\r\n";
        QVERIFY(map.seek(0));
        QCOMPARE(map.readAll(), expected);
        QVERIFY(lines[2].startsWith("on "));

        // A file that cannot be written.
        {
            FileDialogDriver driver([&](QFileDialog* d) {
                FileDialogDriver::typeAndAccept(d, work("missing/map.txt"));
            });
            MessageBoxAnswerer answerer(QMessageBox::Ok);
            QTest::mouseClick(f().exportFilenameMappingButton, Qt::LeftButton);
            QVERIFY(driver.done);
            QCOMPARE(answerer.seen.size(), 1);
            QCOMPARE(answerer.seen[0].text, QString("Export of Filename Mapping Failed!"));
            QCOMPARE(answerer.seen[0].icon, QMessageBox::Warning);
        }
        QVERIFY(!QFile::exists(work("missing/map.txt")));
        QCOMPARE(rows(), 5);

        // Cancelled: nothing is written, nothing is shown.
        QVERIFY(QFile::remove(work("map.txt")));
        {
            FileDialogDriver driver([&](QFileDialog* d) { d->reject(); });
            MessageBoxAnswerer answerer(QMessageBox::Ok);
            QTest::mouseClick(f().exportFilenameMappingButton, Qt::LeftButton);
            QVERIFY(driver.done);
            QVERIFY(testutil::neverWithin(100, [&] { return !answerer.seen.isEmpty(); }));
            QVERIFY(answerer.seen.isEmpty());
        }
        QVERIFY(!QFile::exists(work("map.txt")));
    }

    void exportNamesTheTypedFolder()
    {
        toPage2({place("hd", work("in/a.mov"))}, work("out/"));
        // Typed, not browsed: no recomputation has seen it yet.
        f().outputDirLineEdit->setText(work("typed"));
        QVERIFY(QDir().mkpath(work("maps.v1")));
        QString suffix;
        {
            FileDialogDriver driver([&](QFileDialog* d) {
                suffix = d->defaultSuffix();
                FileDialogDriver::typeAndAccept(d, work("maps.v1/typedmap"));
            });
            MessageBoxAnswerer answerer(QMessageBox::Ok);
            QTest::mouseClick(f().exportFilenameMappingButton, Qt::LeftButton);
            QVERIFY(driver.done);
            QCOMPARE(answerer.seen.size(), 1);
            QCOMPARE(answerer.seen[0].text, QString("Export of Filename Mapping was Successful!"));
        }
        QByteArray map = windowtest::readFile(work("maps.v1/typedmap.txt"));
        if (map.isEmpty())
            map = windowtest::readFile(work("maps.v1/typedmap"));
        QVERIFY2(map.contains("Output: " + work("typed/VID00001.mpg").toUtf8() + "\r\n"), map.constData());
        QCOMPARE(row(0).value(kOutputFilenameKey).toString(), work("typed/VID00001.mpg"));
        // A name typed without an extension gets the filter's, also in a
        // folder whose name holds a dot.
        QCOMPARE(suffix, QString("txt"));
        QVERIFY(!QFile::exists(work("maps.v1/typedmap")));
    }
};

int main(int argc, char* argv[])
{
    return windowtest::runWindowTests<OstrandEncoderTest>(argc, argv);
}

#include "tst_naming.moc"
