// Page 1 with real widgets and real files made by ffmpeg: adding by call,
// dialog and drop, the background probe and its keys, tool tips, counters,
// removal, the readiness check, and closing while a probe runs.
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStackedWidget>
#include <QStandardItem>
#include <QtTest>
#include <cstdio>
#include <memory>

#include "fileitemmap.h"
#include "ostrandencoder.h"
#include "renderlistmodel.h"
#include "testutil.h"
#include "transcodeengine.h"
#include "windowtestenv.h"

using namespace fileitem;

using windowtest::FileDialogDriver;
using windowtest::makeClip;

namespace {

QString mediaDir;

QString media(const QString& name)
{
    return mediaDir + "/" + name;
}

// Bytes that no demuxer takes for a format (checked by the probe test).
bool makeNoise(const QString& name)
{
    QFile f(media(name));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator gen(20261209);
    QByteArray data(64 * 1024, '\0');
    for (char& c : data)
        c = char(gen.bounded(256));
    return f.write(data) == data.size();
}

} // namespace

class OstrandEncoderTest : public QObject, windowtest::Fixture {
    Q_OBJECT

private:
    static std::unique_ptr<OstrandEncoder> makeWindow()
    {
        std::unique_ptr<OstrandEncoder> w(new OstrandEncoder);
        w->show();
        return w;
    }
    static Ui::OstrandEncoderClass& ui(OstrandEncoder* w) { return w->ui; }
    static RenderListModel* model(OstrandEncoder* w) { return w->model; }
    static QVariantMap row(OstrandEncoder* w, int r) { return w->model->item(r)->data(Qt::UserRole).toMap(); }

    // Every probe has ended and its result has reached its row.
    static bool probed(OstrandEncoder* w)
    {
        return w->probesRunning == 0 && windowtest::rowsProbed(w->model);
    }

    static void selectRows(OstrandEncoder* w, const QList<int>& rows)
    {
        QItemSelectionModel* sel = w->ui.encoderListView->selectionModel();
        sel->clearSelection();
        for (int r : rows)
            sel->select(w->model->index(r, 0), QItemSelectionModel::Select);
    }

    static void goToPage1(OstrandEncoder* w) { QTest::mouseClick(w->ui.nextStepButton1, Qt::LeftButton); }

public:
    // Child process: closes the window while a probe task is held at its first check.
    static int closeWhileProbing(const QString& file)
    {
        OstrandEncoder w;
        w.show();
        w.removedUuidsLock.lock(); // the task waits here, in flight
        w.addFiles({file});
        std::printf("probe in flight: %d\n", int(w.probesRunning));
        std::fflush(stdout);
        w.close();
        std::printf("closed normally\n");
        w.removedUuidsLock.unlock();
        return 0;
    }

private slots:
    void initTestCase()
    {
        startCase();
        REQUIRE_TOOL("ffmpeg");
        mediaDir = windowtest::mediaFolder();
        QVERIFY(!mediaDir.isEmpty());
        const QString sine = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=2";
        QVERIFY(makeClip(media("interlaced.mpg"),
                         "-f lavfi -i testsrc=size=720x576:rate=25:duration=2 " + sine
                             + " -c:v mpeg2video -flags +ilme+ildct -top 1 -b:v 4M -c:a mp2 -b:a 192k"
                               " -f mpeg"));
        QVERIFY(makeClip(media("h264.mp4"),
                         "-f lavfi -i testsrc=size=1280x720:rate=30000/1001:duration=3 "
                         "-f lavfi -i sine=sample_rate=44100:duration=3 -c:v libx264 -preset "
                         "ultrafast -pix_fmt yuv420p -c:a aac -b:a 128k"));
        QVERIFY(makeClip(media("silent.mp4"), "-f lavfi -i testsrc=size=640x360:rate=25:duration=1 -an "
                                       "-c:v libx264 -preset ultrafast -pix_fmt yuv420p"));
        QVERIFY(makeClip(media("tone.wav"), sine + " -c:a pcm_s16le"));
        QVERIFY(makeNoise("noise.mov"));
        for (const char* size : {"3840x2160", "4096x2160", "3840x2176", "1920x2454", "1920x2456"})
            QVERIFY(windowtest::makeFrameClip(media(QString("frame") + size + ".mp4"), size));
    }

    void init() { startTest(); }
    void cleanup() { endTest(); }

    void probedRowsKeysAndTexts()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        goToPage1(w.get());
        const QStringList files = {media("interlaced.mpg"), media("h264.mp4"), media("silent.mp4"),
                                   media("tone.wav"),       media("noise.mov"), media("gone.mov")};
        w->addFiles(files);

        // Before any result: every row is being probed.
        QCOMPARE(model(w.get())->rowCount(), 6);
        for (int r = 0; r < 6; ++r) {
            const QVariantMap m = row(w.get(), r);
            QCOMPARE(m.value(kFilenameKey).toString(), files[r]);
            QCOMPARE(m.value(kDisplayNameKey).toString(), QFileInfo(files[r]).fileName());
            QCOMPARE(m.value(kIsEncodingKey), QVariant(0));
            QVERIFY(QUuid(m.value(kUuidKey).toString()).toString() == m.value(kUuidKey).toString());
            QVERIFY(!QUuid(m.value(kUuidKey).toString()).isNull());
        }
        QVERIFY(!f.nextStepButton2->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 30000);

        struct Expected {
            QString codec, mode, audio, duration, width, height, audioStreams, videoStreams, valid;
        };
        const QList<Expected> expected = {
            {"MPEG-2 video", "PAL", "MP2 (MPEG audio layer 2)", "0h 0m 2s ", "720", "576", "1", "1", "true"},
            {"H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10", "NTSC", "AAC (Advanced Audio Coding)",
             "0h 0m 3s ", "1280", "720", "1", "1", "true"},
            {"H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10", "PAL", "", "0h 0m 1s ", "640", "360", "0",
             "1", "true"},
            {"", "NTSC", "PCM signed 16-bit little-endian", "0h 0m 2s ", "0", "0", "1", "0", "true"},
            {"Invalid File Type", "NTSC", "", "0h 0m 0s ", "", "", "", "", "false"},
            {"File Not Found", "NTSC", "", "0h 0m 0s ", "", "", "", "", "false"},
        };
        for (int r = 0; r < 6; ++r) {
            const QVariantMap m = row(w.get(), r);
            const Expected& e = expected[r];
            const QString at = files[r];
            QCOMPARE(m.value(kVideoCodecKey).toString(), e.codec);
            QCOMPARE(m.value(kModeKey).toString(), e.mode);
            QCOMPARE(m.value(kAudioCodecKey).toString(), e.audio);
            QCOMPARE(m.value(kDurationKey).toString(), e.duration);
            QCOMPARE(m.value(kWidthKey).toString(), e.width);
            QCOMPARE(m.value(kHeightKey).toString(), e.height);
            QCOMPARE(m.value(kNumAudioStreamsKey).toString(), e.audioStreams);
            QCOMPARE(m.value(kNumVideoStreamsKey).toString(), e.videoStreams);
            QCOMPARE(m.value(kValidKey).toString(), e.valid);
            QCOMPARE(m.value(kQFHDSplitSupportKey).toString(), QString("false"));
            QCOMPARE(m.value(kTallSplitSupportKey).toString(), QString("false"));
            QCOMPARE(m.value(kFilenameKey).toString(), at);
            QCOMPARE(m.value(kIsEncodingKey), QVariant(0));

            // Every other key is the probe's own text, and the two derived ones follow it.
            const auto probe = w->probeEngine->probeFile(at.toStdString().c_str());
            auto p = [&probe](const char* k) {
                auto it = probe.find(k);
                return it == probe.end() ? QString() : QString::fromStdString(it->second);
            };
            for (const char* k : {kVBitrateKey, kABitrateKey, kFramesKey, kSamplerateKey})
                QCOMPARE(m.value(k).toString(), p(k));
            QCOMPARE(m.value(kBitrateTypeKey).toString(), QString(p("vbr") == "1" ? "VBR" : "CBR"));
            QCOMPARE(m.value(kModeKey).toString(), QString(p("pal") == "1" ? "PAL" : "NTSC"));
        }
        QCOMPARE(row(w.get(), 0).value(kABitrateKey).toString(), QString("192000"));
        QCOMPARE(row(w.get(), 0).value(kSamplerateKey).toString(), QString("48000"));
        QCOMPARE(row(w.get(), 0).value(kFramesKey).toString(), QString("50"));

        // The exact tool tip of the MPEG-2 clip; "Processing..." is gone from every row.
        QCOMPARE(model(w.get())->item(0)->data(Qt::ToolTipRole).toString(),
                 QString("Input Video Params:\nTotal Frames: 50\nVideo Bitrate Type: %1\nWidth: 720\n"
                         "Height: 576\nAudio Codec: MP2 (MPEG audio layer 2)\nAudio Bitrate: 192000\n"
                         "Audio Sample Rate: 48000")
                     .arg(row(w.get(), 0).value(kBitrateTypeKey).toString()));
        for (int r = 0; r < 6; ++r)
            QCOMPARE(model(w.get())->item(r)->data(Qt::ToolTipRole).toString(),
                     w->buildInputParamsText(row(w.get(), r)));

        // An unknown file type and a missing file hold the page.
        QCOMPARE(f.numFilesToEncodeLabel->text(), QString("1 File left to Process"));
        QCOMPARE(f.nextStepButton2->text(), QString("Invalid File"));
        QVERIFY(!f.nextStepButton2->isEnabled());
        QVERIFY(f.invalidFileWarningLabel->isVisible());

        selectRows(w.get(), {4});
        QTest::mouseClick(f.removeFilesButton, Qt::LeftButton);
        QVERIFY(!f.invalidFileWarningLabel->isVisible());
        QCOMPARE(f.nextStepButton2->text(), QString("Processing..."));
        QCOMPARE(f.numFilesToEncodeLabel->text(), QString("1 File left to Process"));
        QVERIFY(!f.nextStepButton2->isEnabled());

        selectRows(w.get(), {4});
        QTest::mouseClick(f.removeFilesButton, Qt::LeftButton);
        QVERIFY(f.nextStepButton2->isEnabled());
        QCOMPARE(f.nextStepButton2->text(), QString("Next Step: Output Settings"));
        QCOMPARE(f.numFilesToEncodeLabel->text(), QString("4 Files to Encode"));
        QCOMPARE(f.nextStepButton3->text(), QString("Encode 4 Files"));

        // Page 2's flags over the remaining inputs.
        w->setInputFlags();
        QVERIFY(w->noAudio);
        QVERIFY(w->noVideo);
        QVERIFY(!w->anyQFHD);
        QVERIFY(!w->anyTall);
        QTest::mouseClick(f.nextStepButton2, Qt::LeftButton);
        QCOMPARE(f.stackedWidget->currentIndex(), 2);
    }

    void splitFlagsFromFrameSize()
    {
        auto w = makeWindow();
        const QStringList sizes = {"3840x2160", "4096x2160", "3840x2176", "1920x2454", "1920x2456"};
        for (const QString& s : sizes)
            w->addFiles({media("frame" + s + ".mp4")});
        QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 30000);
        const QStringList qfhd = {"true", "true", "false", "false", "false"};
        const QStringList tall = {"false", "false", "false", "true", "false"};
        for (int r = 0; r < sizes.size(); ++r) {
            QCOMPARE(row(w.get(), r).value(kWidthKey).toString() + "x"
                         + row(w.get(), r).value(kHeightKey).toString(),
                     sizes[r]);
            QCOMPARE(row(w.get(), r).value(kQFHDSplitSupportKey).toString(), qfhd[r]);
            QCOMPARE(row(w.get(), r).value(kTallSplitSupportKey).toString(), tall[r]);
        }
        w->setInputFlags();
        QVERIFY(w->anyQFHD);
        QVERIFY(w->anyTall);
        QVERIFY(w->noAudio);
        QVERIFY(!w->noVideo);
    }

    void durationText_data()
    {
        QTest::addColumn<QString>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("fraction dropped") << "3725.9" << "1h 2m 5s ";
        QTest::newRow("just under a minute") << "59.999" << "0h 0m 59s ";
        QTest::newRow("two hours") << "7200" << "2h 0m 0s ";
        QTest::newRow("no number") << "abc" << "0h 0m 0s ";
        QTest::newRow("empty") << "" << "0h 0m 0s ";
        // What a crafted file can claim: kept inside int.
        QTest::newRow("negative") << "-5" << "0h 0m 0s ";
        QTest::newRow("negative huge") << "-1e300" << "0h 0m 0s ";
        QTest::newRow("nan") << "nan" << "0h 0m 0s ";
        QTest::newRow("inf") << "inf" << "596523h 14m 7s ";
        QTest::newRow("huge") << "1e+30" << "596523h 14m 7s ";
        QTest::newRow("int max") << "2147483647" << "596523h 14m 7s ";
        QTest::newRow("past int max") << "2147483648.5" << "596523h 14m 7s ";
    }

    void durationText()
    {
        QFETCH(QString, seconds);
        QFETCH(QString, text);
        QCOMPARE(OstrandEncoder::secondsToString(seconds), text);
    }

    void toolTipAudioBitrateLine()
    {
        auto w = makeWindow();
        QVariantMap m{{kFramesKey, "10"}, {kBitrateTypeKey, "CBR"}, {kWidthKey, "1"}, {kHeightKey, "2"},
                      {kAudioCodecKey, "x"}, {kABitrateKey, "0"}, {kSamplerateKey, "3"}};
        QCOMPARE(w->buildInputParamsText(m),
                 QString("Input Video Params:\nTotal Frames: 10\nVideo Bitrate Type: CBR\nWidth: 1\n"
                         "Height: 2\nAudio Codec: x\nAudio Sample Rate: 3"));
        m[kABitrateKey] = "";
        QVERIFY(w->buildInputParamsText(m).contains("\nAudio Bitrate: \nAudio Sample Rate: 3"));
    }

    void countersAndButtons()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        goToPage1(w.get());
        QCOMPARE(f.numFilesToEncodeLabel->text(), QString("0 Files to Encode"));
        QCOMPARE(f.nextStepButton3->text(), QString("Encode 0 Files"));
        QCOMPARE(f.nextStepButton2->text(), QString("Next Step: Output Settings"));
        QVERIFY(!f.nextStepButton2->isEnabled());

        // Held at the first check, the row stays "Processing...".
        w->removedUuidsLock.lock();
        w->addFiles({media("h264.mp4")});
        QCOMPARE(f.numFilesToEncodeLabel->text(), QString("1 File left to Process"));
        QCOMPARE(f.nextStepButton2->text(), QString("Processing..."));
        QCOMPARE(model(w.get())->item(0)->data(Qt::ToolTipRole).toString(), QString("Processing..."));
        QVERIFY(!f.nextStepButton2->isEnabled());
        w->removedUuidsLock.unlock();
        QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 30000);
        QCOMPARE(f.numFilesToEncodeLabel->text(), QString("1 File to Encode"));
        QCOMPARE(f.nextStepButton3->text(), QString("Encode 1 File"));
        QVERIFY(f.nextStepButton2->isEnabled());

        w->addFiles({media("h264.mp4"), media("silent.mp4")});
        QCOMPARE(f.numFilesToEncodeLabel->text(), QString("2 Files left to Process"));
        QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 30000);
        QCOMPARE(f.numFilesToEncodeLabel->text(), QString("3 Files to Encode"));
        QCOMPARE(f.nextStepButton3->text(), QString("Encode 3 Files"));

        // The same file twice: two rows, each probed with its own uuid.
        QCOMPARE(row(w.get(), 0).value(kFilenameKey), row(w.get(), 1).value(kFilenameKey));
        QVERIFY(row(w.get(), 0).value(kUuidKey) != row(w.get(), 1).value(kUuidKey));
        QCOMPARE(row(w.get(), 1).value(kValidKey).toString(), QString("true"));

        // Removing everything: the folder text stays, the counters return to zero.
        const QString folder = f.outputDirLineEdit->text();
        selectRows(w.get(), {0, 1, 2});
        QTest::mouseClick(f.removeFilesButton, Qt::LeftButton);
        QCOMPARE(model(w.get())->rowCount(), 0);
        QCOMPARE(f.outputDirLineEdit->text(), folder);
        QCOMPARE(f.numFilesToEncodeLabel->text(), QString("0 Files to Encode"));
        QCOMPARE(f.nextStepButton3->text(), QString("Encode 0 Files"));
        QCOMPARE(f.nextStepButton2->text(), QString("Next Step: Output Settings"));
        QVERIFY(!f.nextStepButton2->isEnabled());
    }

    void emptyEntriesAndDefaultFolder()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        const QString docs = w->lastFolder;
        QVERIFY(!docs.isEmpty());
        w->addFiles({});
        w->addFiles({QString()});
        QCOMPARE(model(w.get())->rowCount(), 0);
        QCOMPARE(f.outputDirLineEdit->text(), QString());
        QCOMPARE(w->lastFolder, docs);

        // Two folders: the default output folder and the dialog folder follow
        // the last path, and skip numbers already taken.
        const QString a = QDir::currentPath() + "/in a", b = QDir::currentPath() + "/in b";
        QVERIFY(QDir().mkpath(a + "/output0") && QDir().mkpath(a + "/output1"));
        QVERIFY(QDir().mkpath(b + "/output1"));
        QVERIFY(QFile::copy(media("silent.mp4"), a + "/x.mp4"));
        QVERIFY(QFile::copy(media("silent.mp4"), b + "/y.mp4"));
        w->addFiles({b + "/y.mp4", QString(), a + "/x.mp4"});
        QCOMPARE(model(w.get())->rowCount(), 2);
        QCOMPARE(f.outputDirLineEdit->text(), a + "/output2/");
        QCOMPARE(w->lastFolder, a);
        w->addFiles({b + "/y.mp4"});
        QCOMPARE(f.outputDirLineEdit->text(), b + "/output0/");
        QCOMPARE(w->lastFolder, b);
        QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 30000);

        // Removing rows puts the folder of the new last row back.
        goToPage1(w.get());
        selectRows(w.get(), {2});
        QTest::mouseClick(f.removeFilesButton, Qt::LeftButton);
        QCOMPARE(f.outputDirLineEdit->text(), a + "/output2/");

        // A backslash is part of a Linux file name, never a separator.
        const QString odd = QDir::currentPath() + "/back\\slash";
        QVERIFY(QDir().mkpath(odd));
        QVERIFY(QFile::copy(media("silent.mp4"), odd + "/z\\1.mp4"));
        w->addFiles({odd + "/z\\1.mp4"});
        QCOMPARE(row(w.get(), 2).value(kFilenameKey).toString(), odd + "/z\\1.mp4");
        QCOMPARE(row(w.get(), 2).value(kDisplayNameKey).toString(), QString("z\\1.mp4"));
        QCOMPARE(f.outputDirLineEdit->text(), odd + "/output0/");
        QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 30000);
        QCOMPARE(row(w.get(), 2).value(kValidKey).toString(), QString("true"));
    }

    void removalMovesCurrentRow()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        goToPage1(w.get());
        QStringList eight;
        for (int i = 0; i < 8; ++i) {
            const QString p = QDir::currentPath() + QString("/clip%1.mp4").arg(i);
            QVERIFY(QFile::copy(media("silent.mp4"), p));
            eight << p;
        }
        w->addFiles(eight);
        QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 30000);

        // Rows 2 and 5, selected in reverse order.
        selectRows(w.get(), {5, 2});
        QTest::mouseClick(f.removeFilesButton, Qt::LeftButton);
        QCOMPARE(model(w.get())->rowCount(), 6);
        QStringList left;
        for (int r = 0; r < 6; ++r)
            left << row(w.get(), r).value(kDisplayNameKey).toString();
        QCOMPARE(left, QStringList({"clip0.mp4", "clip1.mp4", "clip3.mp4", "clip4.mp4", "clip6.mp4",
                                    "clip7.mp4"}));
        QCOMPARE(f.encoderListView->currentIndex().row(), 2);
        QVERIFY(f.encoderListView->updatesEnabled());

        // The last rows: the new last row becomes current. By the Delete key,
        // with the focus elsewhere in the window.
        selectRows(w.get(), {4, 5});
        f.addFilesButton->setFocus();
        QTest::keyClick(w.get(), Qt::Key_Delete);
        QCOMPARE(model(w.get())->rowCount(), 4);
        QCOMPARE(f.encoderListView->currentIndex().row(), 3);

        // Delete on page 2 removes nothing.
        QTest::mouseClick(f.nextStepButton2, Qt::LeftButton);
        QCOMPARE(f.stackedWidget->currentIndex(), 2);
        selectRows(w.get(), {0});
        QTest::keyClick(w.get(), Qt::Key_Delete);
        w->removeFiles();
        QCOMPARE(model(w.get())->rowCount(), 4);
        f.stackedWidget->setCurrentIndex(3);
        w->removeFiles();
        QCOMPARE(model(w.get())->rowCount(), 4);
    }

    void manyFilesAddedAndRemovedInOneTurn()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        goToPage1(w.get());
        QStringList paths;
        for (int i = 0; i < 40; ++i)
            paths << media(i % 2 ? "h264.mp4" : "interlaced.mpg");

        // All removed before the event loop runs again.
        w->addFiles(paths);
        QCOMPARE(model(w.get())->rowCount(), 40);
        f.encoderListView->selectAll();
        w->removeFiles();
        QCOMPARE(model(w.get())->rowCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(w->probesRunning.load(), 0, 30000);
        QVERIFY(testutil::neverWithin(50, [&] { return model(w.get())->rowCount() != 0; }));
        QCOMPARE(model(w.get())->rowCount(), 0);
        QCOMPARE(w->removedUuids.size(), 40);
        QCOMPARE(f.numFilesToEncodeLabel->text(), QString("0 Files to Encode"));

        // Every other row removed at once: the others get their own results.
        w->addFiles(paths);
        QList<int> odd;
        for (int r = 1; r < 40; r += 2)
            odd << r;
        selectRows(w.get(), odd);
        w->removeFiles();
        QCOMPARE(model(w.get())->rowCount(), 20);
        QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 60000);
        for (int r = 0; r < 20; ++r) {
            QCOMPARE(row(w.get(), r).value(kVideoCodecKey).toString(), QString("MPEG-2 video"));
            QCOMPARE(row(w.get(), r).value(kValidKey).toString(), QString("true"));
            QVERIFY(model(w.get())->item(r)->data(Qt::ToolTipRole).toString().startsWith(
                "Input Video Params:\nTotal Frames: 50\n"));
        }
        QCOMPARE(f.numFilesToEncodeLabel->text(), QString("20 Files to Encode"));
        QVERIFY(f.nextStepButton2->isEnabled());
    }

    void resultOfRemovedRowIsDropped()
    {
        auto w = makeWindow();
        goToPage1(w.get());
        w->addFiles({media("silent.mp4"), media("tone.wav")});
        QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 30000);
        QVariantMap removed = row(w.get(), 0);
        selectRows(w.get(), {0});
        w->removeFiles();

        // A result that arrives after the removal: the pointer it carries
        // must not be used (here it points at a stand-in that must stay untouched).
        QStandardItem standIn;
        removed[kVideoCodecKey] = "late";
        emit w->processingFinished(&standIn, removed);
        QCoreApplication::processEvents();
        QVERIFY(!standIn.data(Qt::UserRole).isValid());
        QVERIFY(!standIn.data(Qt::ToolTipRole).isValid());
        QCOMPARE(model(w.get())->rowCount(), 1);
        QCOMPARE(row(w.get(), 0).value(kDisplayNameKey).toString(), QString("tone.wav"));

        // A task that starts after its row was removed probes nothing.
        auto* item = model(w.get())->item(0);
        const QString uuid = row(w.get(), 0).value(kUuidKey).toString();
        {
            QMutexLocker guard(&w->removedUuidsLock);
            w->removedUuids.insert(uuid);
        }
        QVariantMap before = row(w.get(), 0);
        before[kVideoCodecKey] = "Processing...";
        item->setData(before, Qt::UserRole);
        ++w->probesRunning;
        w->getFileParameters(item, uuid);
        QCOMPARE(w->probesRunning.load(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(row(w.get(), 0).value(kVideoCodecKey).toString(), QString("Processing..."));
    }

    void dropsAddFiles()
    {
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        goToPage1(w.get());
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(media("silent.mp4")), QUrl("https://example.com/a.mp4"),
                      QUrl::fromLocalFile(media("tone.wav"))});
        QWidget* target = f.encoderListView->viewport();
        const QPoint at(30, 30);
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QVERIFY(enter.isAccepted());
        QCOMPARE(enter.dropAction(), Qt::CopyAction);
        QDragMoveEvent move(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &move);
        QVERIFY(move.isAccepted());
        QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);

        // The web address gives no local file and is skipped.
        QCOMPARE(model(w.get())->rowCount(), 2);
        QCOMPARE(row(w.get(), 0).value(kFilenameKey).toString(), media("silent.mp4"));
        QCOMPARE(row(w.get(), 1).value(kFilenameKey).toString(), media("tone.wav"));
        QCOMPARE(f.outputDirLineEdit->text(), mediaDir + "/output0/");
        QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 30000);
        QCOMPARE(row(w.get(), 1).value(kValidKey).toString(), QString("true"));
    }

    void chooseFilesThroughDialog_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<bool>("audioTypes");
        QTest::newRow("pln3300") << int(kPln3300Device) << true;
        QTest::newRow("pln3100") << int(kPln3100Device) << false;
        QTest::newRow("verrino") << int(kVerrinoDevice) << false;
        QTest::newRow("zephrane4k") << int(k4KDevice) << true;
    }

    void chooseFilesThroughDialog()
    {
        QFETCH(int, device);
        QFETCH(bool, audioTypes);
        auto w = makeWindow();
        Ui::OstrandEncoderClass& f = ui(w.get());
        f.deviceComboBox->setCurrentIndex(device);
        goToPage1(w.get());

        QString title, folder;
        QStringList filters;
        {
            FileDialogDriver driver([&](QFileDialog* d) {
                title = d->windowTitle();
                folder = d->directory().absolutePath();
                filters = d->nameFilters();
                d->reject();
            });
            QTest::mouseClick(f.addFilesButton, Qt::LeftButton);
            QVERIFY(driver.done);
        }
        QCOMPARE(title, QString("Select Files"));
        QCOMPARE(folder, QDir(w->lastFolder).absolutePath());
        QCOMPARE(filters.size(), 2);
        QCOMPARE(filters[1], QString("All Files (*.*)"));
        QVERIFY(filters[0].startsWith("Videos (*.raw *.rgb "));
        QCOMPARE(filters[0].contains(" *.mpv *.mpa *.aac *.ac3 *.ec3 "), audioTypes);
        QCOMPARE(filters[0].contains(" *.wmv *.wma *.asf *.mp3 *.mzl "), audioTypes);
        QCOMPARE(filters[0].contains(" *.mpv *.ec3 "), !audioTypes);
        QCOMPARE(filters[0].contains(" *.wmv *.mzl *.smi)"), !audioTypes);
        QCOMPARE(model(w.get())->rowCount(), 0); // cancelled

        // Two files chosen: two rows, and the next dialog opens in their folder.
        {
            FileDialogDriver driver([&](QFileDialog* d) {
                d->setDirectory(mediaDir);
                FileDialogDriver::typeAndAccept(d, "\"h264.mp4\" \"silent.mp4\"");
            });
            QTest::mouseClick(f.addFilesButton, Qt::LeftButton);
            QVERIFY(driver.done);
        }
        QCOMPARE(model(w.get())->rowCount(), 2);
        QStringList names = {row(w.get(), 0).value(kDisplayNameKey).toString(),
                             row(w.get(), 1).value(kDisplayNameKey).toString()};
        names.sort();
        QCOMPARE(names, QStringList({"h264.mp4", "silent.mp4"}));
        QCOMPARE(w->lastFolder, mediaDir);
        QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 30000);
    }

    void closingWithoutRunningProbesIsNormal()
    {
        // Empty list.
        {
            auto w = makeWindow();
            QVERIFY(w->close());
            QVERIFY(!w->isVisible());
        }
        // A finished "File Not Found" row keeps the list not ready, yet no probe runs.
        {
            auto w = makeWindow();
            w->addFiles({media("gone.mov")});
            QTRY_VERIFY_WITH_TIMEOUT(probed(w.get()), 30000);
            QCOMPARE(row(w.get(), 0).value(kVideoCodecKey).toString(), QString("File Not Found"));
            QVERIFY(w->probesPending);
            QVERIFY(w->close());
            QVERIFY(!w->isVisible());
        }
    }

    void closingWhileProbingEndsTheProcess()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        const auto r = testutil::run(QCoreApplication::applicationFilePath(),
                                     {"--close-while-probing", media("h264.mp4")}, 60000, QByteArray(), env);
        QVERIFY2(r.out.contains("probe in flight: 1"), r.out.constData());
        QVERIFY2(!r.out.contains("closed normally"), r.out.constData());
        QCOMPARE(r.exitCode, 1);
    }
};

int main(int argc, char* argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--close-while-probing") == 0) {
        QTemporaryDir home;
        windowtest::isolateUserFolders(home.path());
        QApplication app(argc, argv);
        windowtest::Scope scope(QDir::currentPath());
        if (!scope.ok)
            return 3;
        return OstrandEncoderTest::closeWhileProbing(QString::fromLocal8Bit(argv[2]));
    }
    return windowtest::runWindowTests<OstrandEncoderTest>(argc, argv);
}

#include "tst_filelist.moc"
