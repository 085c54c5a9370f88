// Page 3 with real encodes of short clips made by ffmpeg, real FTP servers
// (pyftpdlib) and real widgets: the run's texts and row states, progress,
// failed rows, splitting, uploads to two servers and their status per row,
// the encoder options, cancelling and starting again, a preset damaged
// during a run, and closing mid-encode or after ProRes (in a child process).
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardItem>
#include <QThread>
#include <QUrl>
#include <QtTest>
#include <csignal>
#include <cstdio>
#include <functional>
#include <unistd.h>
#include <memory>

#include "../engine/transcode/mediautil.h"
#include "advancedoptionswidget.h"
#include "encodingthread.h"
#include "fileitemmap.h"
#include "ftpqueue.h"
#include "ftpsettings.h"
#include "ftptestserver.h"
#include "ostrandencoder.h"
#include "renderlistmodel.h"
#include "windowtestenv.h"

using namespace fileitem;

using windowtest::MessageBoxAnswerer;

namespace fileitem {
// A state that differs prints as its number.
char* toString(EncodingState state)
{
    return QTest::toString(int(state));
}
} // namespace fileitem

namespace {

QString clipDir;

QString clip(const QString& name)
{
    return clipDir + "/" + name;
}

// Device 0 (Pellarine HD) lists: resolution 2 is 1080i/29.97, 4 is 480p/29.97;
// quality 5 is "MPEG2 Low".
const int kRes1080i = 2;
const int kRes480p = 4;
const int kMpeg2Low = 5;

// Answers every message box with the button showing the given text, and
// records what each box said.
class BoxClicker : public QObject {
public:
    explicit BoxClicker(const QString& buttonText)
        : buttonText(buttonText)
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            for (QAbstractButton* b : box->buttons()) {
                if (b->text().remove('&') == this->buttonText) {
                    seen << box->text();
                    b->click();
                    return;
                }
            }
        });
        timer.start(20);
    }
    QStringList seen;

private:
    QString buttonText;
    QTimer timer;
};

// Receives the URLs the window asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

// The eight server keys of one saved row.
QStringList servers(const QString& primary, int primaryPort, const QString& primaryPassword,
                    const QString& secondary = QString(), int secondaryPort = 0,
                    const QString& secondaryPassword = QString())
{
    return {primary,   primary.isEmpty() ? QString() : QString::number(primaryPort),
            ftptest::kUser, primaryPassword,
            secondary, secondary.isEmpty() ? QString() : QString::number(secondaryPort),
            ftptest::kUser, secondaryPassword};
}

// Saves the FTP servers of the rows, as the FTP setup panel's Save does.
void saveServers(const QList<QStringList>& rows)
{
    QSettings s;
    s.remove("ftpUploadSettings");
    s.beginWriteArray("ftpUploadSettings");
    for (int r = 0; r < rows.size(); ++r) {
        s.setArrayIndex(r);
        for (int k = 0; k < ftpsettings::kKeyCount; ++k)
            s.setValue(ftpsettings::kKeys[k], rows[r].value(k));
    }
    s.endArray();
}

double duration(const QString& file)
{
    return media::ffprobe(file).format.value("duration").toString().toDouble();
}

} // namespace

class OstrandEncoderTest : public QObject, windowtest::WindowFixture<OstrandEncoder> {
    Q_OBJECT

public:
    // Child process: closes the window while row 0 encodes; prints how it went.
    static int closeMidEncode(const QString& input, const QString& folder);
    // Child process: encodes a ProRes clip to its end, then closes the window.
    static int closeAfterProRes(const QString& input, const QString& folder);
    // Child process: sends itself the signal while row 0 encodes.
    static int signalMidEncode(int signal, const QString& input, const QString& folder);

private:
    Ui::OstrandEncoderClass& f() { return w->ui; }
    int rows() { return w->model->rowCount(); }
    QVariantMap row(int r) { return w->model->item(r)->data(Qt::UserRole).toMap(); }
    fileitem::EncodingState state(int r) { return fileitem::state(row(r)); }
    QString work(const QString& rel) { return QDir::currentPath() + "/" + rel; }

    // Copies of made clips in the current folder, so that a test may remove one.
    QStringList inputs(const QString& kind, int count)
    {
        QStringList out;
        QDir().mkpath(work("in"));
        for (int i = 0; i < count; ++i) {
            const QFileInfo made(kind);
            const QString path = work(QString("in/%1%2.%3").arg(made.baseName()).arg(i).arg(made.suffix()));
            QFile::remove(path);
            if (QFile::copy(clip(kind), path))
                out << path;
        }
        return out;
    }

    // Adds the files, waits for their probes and moves to page 2 with the
    // chosen player, resolution and quality, outputs into out/.
    bool toPage2(const QStringList& files, int res, int device = kPln3300Device, int quality = kMpeg2Low)
    {
        w->addFiles(files);
        if (!QTest::qWaitFor([&] { return windowtest::rowsProbed(w->model) && w->probesRunning == 0; }, 30000))
            return false;
        f().deviceComboBox->setCurrentIndex(device);
        f().videoResComboBox->setCurrentIndex(res);
        f().videoComboBox->setCurrentIndex(quality);
        QTest::mouseClick(f().nextStepButton1, Qt::LeftButton);
        if (!f().nextStepButton2->isEnabled())
            return false;
        f().outputDirLineEdit->setText(work("out/"));
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        return f().stackedWidget->currentIndex() == 2;
    }

    QString output(int r) { return row(r).value(kOutputFilenameKey).toString(); }

    // The whole end text: a text too long for the label is cut there and
    // kept whole in its tool tip.
    QString statusText()
    {
        const QString whole = f().encodingStatusLabel->toolTip();
        return whole.isEmpty() ? f().encodingStatusLabel->text() : whole;
    }

    // Hidden files of the output folder: temporary outputs or locks left behind.
    QStringList hiddenInOut() { return QDir(work("out")).entryList(QStringList{".*"}, QDir::Files | QDir::Hidden); }

    bool waitForRunEnd(int timeoutMs = 60000)
    {
        return QTest::qWaitFor([&] { return !w->encodingActive && f().encodingCancelButton->text() == "Done"; },
                               timeoutMs);
    }

    // Runs this program as a child in one of its modes, with folder for the
    // child's home, settings and outputs.
    static testutil::RunResult runChild(const char* mode, const QString& input, const QString& folder)
    {
        QDir().mkpath(folder);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        return testutil::run(QCoreApplication::applicationFilePath(), {mode, input, folder}, 120000, QByteArray(),
                             env);
    }

    // The child saved the selections it ran with before it ended.
    static bool savedSelections(const QString& folder, int res)
    {
        QSettings saved(folder + "/settings/Ostrand Kelvane Inc/Quorvel.conf", QSettings::IniFormat);
        return saved.value("lastProductIndex").toInt() == kPln3300Device && saved.value("lastResIndex").toInt() == res
            && saved.value("lastQualityIndex").toInt() == kMpeg2Low;
    }

    // Row r's encode has reported progress.
    bool waitForProgress(int r, int timeoutMs = 30000)
    {
        return QTest::qWaitFor([&] { return row(r).value(kEncodingProgressKey).toInt() > 0 || !w->encodingActive; },
                               timeoutMs)
            && w->encodingActive;
    }

    // From the end of a run back to page 2 and into a new run, overwriting
    // the outputs of the last one; splitLimit > 0 as in useSplitLimit.
    bool runAgain(qint64 splitLimit = 0)
    {
        QTest::mouseClick(f().encodingCancelButton, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton1, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        if (splitLimit > 0)
            useSplitLimit(splitLimit);
        BoxClicker proceed("Proceed");
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        return f().stackedWidget->currentIndex() == 3 && proceed.seen.size() == 1;
    }

    // Stands for a player whose file-size limit is this small, so that small
    // outputs split. Every row start puts back the chosen player's own limit:
    // it is set again on every change of a row.
    void useSplitLimit(qint64 limit)
    {
        disconnect(splitLimitHold);
        w->splitThreshold = limit;
        splitLimitHold = connect(w->model, &QStandardItemModel::dataChanged, w.get(),
                                 [this, limit] { w->splitThreshold = limit; });
    }
    QMetaObject::Connection splitLimitHold;

    // Every state row r passes through from now on, each change once.
    void recordStates(int r, QList<int>* states)
    {
        connect(w->model, &QStandardItemModel::dataChanged, w.get(), [this, r, states] {
            const int now = state(r);
            if (states->isEmpty() || states->last() != now)
                *states << now;
        });
    }

private slots:
    void initTestCase()
    {
        startCase();
        REQUIRE_TOOL("ffmpeg");
        REQUIRE_TOOL("ffprobe");
        clipDir = windowtest::mediaFolder();
        QVERIFY(!clipDir.isEmpty());
        const QString tone = "sine=frequency=440:sample_rate=48000";
        // A 1080i source, top field first.
        QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30000/1001", "-f", "lavfi", "-i",
                               tone, "-t", "2", "-c:v", "mpeg2video", "-b:v", "8M", "-flags", "+ilme+ildct", "-top",
                               "1", "-c:a", "mp2", "-b:a", "192k", "-f", "mpegts", clip("i1080.ts")}));
        // Short and small, for rows that only need to finish.
        QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t",
                               "1", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
                               clip("short.mp4")}));
        // Long enough to be cancelled or closed in the middle.
        QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t",
                               "40", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
                               clip("long.mp4")}));
        QVERIFY(windowtest::makeFrameClip(clip("uhd.mp4"), "3840x2160"));
        QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "color=red:size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t",
                               "0.5", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
                               clip("red.mp4")}));
        QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t",
                               "0.5", "-c:v", "prores_ks", "-c:a", "pcm_s16le", clip("prores.mov")}));
    }

    void init() { openWindow(); }
    void cleanup() { closeWindow(); }

    void interlacedRowThroughMpeg2()
    {
        QVERIFY(toPage2(inputs("i1080.ts", 1), kRes1080i));
        QElapsedTimer t;
        t.start();
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QCOMPARE(f().stackedWidget->currentIndex(), 3);
        QVERIFY(w->encodingActive);
        QCOMPARE(f().encodingStatusLabel->text(), QString("Now Encoding 1 of 1"));
        QCOMPARE(f().encodingCancelButton->text(), QString("Cancel"));
        QCOMPARE(state(0), kEncoding);
        QVERIFY(f().ftpStatusLabel->isHidden());
        QVERIFY(f().ftpStatusLabel2->isHidden());

        int sample = -1;
        QTRY_VERIFY_WITH_TIMEOUT((sample = row(0).value(kEncodingProgressKey).toInt()) > 0 || !w->encodingActive,
                                 30000);
        QVERIFY2(sample > 0 && sample < 100, qPrintable(QString::number(sample)));
        QCOMPARE(state(0), kEncoding);

        QVERIFY(waitForRunEnd());
        qInfo("1080i row: %lld ms", t.elapsed());
        QCOMPARE(state(0), kEncoded);
        QCOMPARE(row(0).value(kEncodingProgressKey).toInt(), 100);
        QCOMPARE(f().encodingStatusLabel->text(), QString("Finished Encoding 1 File!"));
        QCOMPARE(f().encodingCancelButton->text(), QString("Done"));
        QVERIFY(!w->progressTimer->isActive());
        QCOMPARE(f().stackedWidget->currentIndex(), 3);

        const media::Probe p = media::ffprobe(output(0));
        QCOMPARE(output(0), work("out/VID00001.mpg"));
        QCOMPARE(p.format.value("format_name").toString(), QString("mpegts"));
        const QJsonObject v = p.stream("video");
        QCOMPARE(v.value("codec_name").toString(), QString("mpeg2video"));
        QCOMPARE(v.value("width").toInt(), 1920);
        QCOMPARE(v.value("height").toInt(), 1080);
        QCOMPARE(v.value("field_order").toString(), QString("tt"));
        QCOMPARE(p.stream("audio").value("codec_name").toString(), QString("ac3"));
        QCOMPARE(p.stream("audio").value("sample_rate").toString(), QString("48000"));
        const double seconds = duration(output(0));
        QVERIFY2(qAbs(seconds - 2.0) < 0.2, qPrintable(QString::number(seconds)));

        // The output folder goes to the desktop, as a file URL.
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        QTest::mouseClick(f().openOutputDirButton, Qt::LeftButton);
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(catcher.urls, QList<QUrl>({QUrl::fromLocalFile(work("out/"))}));

        // "Done" asks nothing and goes back to page 0.
        MessageBoxAnswerer answerer(QMessageBox::Yes);
        QTest::mouseClick(f().encodingCancelButton, Qt::LeftButton);
        QVERIFY(testutil::neverWithin(100, [&] { return !answerer.seen.isEmpty(); }));
        QVERIFY(answerer.seen.isEmpty());
        QCOMPARE(f().stackedWidget->currentIndex(), 0);
    }

    void failedRowIsNeitherSplitNorUploaded()
    {
        REQUIRE_FTP_SERVER();
        ftptest::Server server;
        QVERIFY(server.start());
        const QStringList files = inputs("short.mp4", 3);
        QCOMPARE(files.size(), 3);
        QVERIFY(toPage2(files, kRes480p));
        f().ftpCheckbox->setChecked(true);
        const QStringList good = servers("127.0.0.1", server.port, ftptest::kPassword);
        saveServers({good, good, good});

        // The second input goes away after its probe; an older output of
        // its row is still there and must not reach the player.
        QVERIFY(QFile::remove(files[1]));
        QVERIFY(QDir().mkpath(work("out")));
        const QByteArray old = "an output of an earlier day";
        {
            QFile stale(work("out/VID00002.mpg"));
            QVERIFY(stale.open(QIODevice::WriteOnly));
            stale.write(old);
        }

        // The question first: Abort keeps page 2 and starts nothing.
        {
            BoxClicker abort("Abort");
            QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
            QCOMPARE(abort.seen, QStringList({"One or more output filenames already exist.  These files will be "
                                              "overwritten!"}));
            QCOMPARE(f().stackedWidget->currentIndex(), 2);
            QVERIFY(!w->encodingActive);
            QVERIFY(!w->encodingThread);
        }
        BoxClicker proceed("Proceed");
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QCOMPARE(proceed.seen.size(), 1);
        QCOMPARE(f().stackedWidget->currentIndex(), 3);
        QVERIFY(f().ftpStatusLabel->isVisible());
        QCOMPARE(f().ftpStatusLabel->text(), QString("Enabled"));

        QVERIFY(waitForRunEnd());
        // The failed row is not counted as encoded; why it failed is said
        // at the end and on the row.
        const QString reason = "Input file " + files[1] + " not found.";
        const QString ended = "Finished Encoding 2 Files! 1 failed: short1.mp4: " + reason;
        QVERIFY2(statusText().startsWith(ended), qPrintable(statusText()));
        QVERIFY(f().encodingStatusLabel->text().startsWith("Finished Encoding 2 Files! 1 failed: "));
        QCOMPARE(state(1), kEncodingError);
        QCOMPARE(row(1).value(kEncodingProgressKey).toInt(), 100);
        QCOMPARE(row(1).value(kEncodingErrorKey).toString(), reason);
        QCOMPARE(w->model->item(1)->toolTip(), "Encoding Error: " + reason + "\n\n" + w->buildInputParamsText(row(1)));
        QVERIFY(w->model->item(0)->toolTip().startsWith("Input Video Params:"));
        QTRY_VERIFY_WITH_TIMEOUT(state(0) == kUploaded && state(2) == kUploaded, 30000);
        // Once the uploads are through, the end text no longer counts them.
        QTRY_COMPARE_WITH_TIMEOUT(statusText(), ended, 5000);
        QCOMPARE(state(1), kEncodingError); // no upload status hides the error
        QCOMPARE(QDir(server.root.path()).entryList(QDir::Files), QStringList({"VID00001.mpg", "VID00003.mpg"}));
        QCOMPARE(windowtest::readFile(server.root.path() + "/VID00001.mpg"), windowtest::readFile(output(0)));
        QCOMPARE(windowtest::readFile(server.root.path() + "/VID00003.mpg"), windowtest::readFile(output(2)));
        QCOMPARE(windowtest::readFile(work("out/VID00002.mpg")), old);
        QVERIFY(!w->uploadRows.contains(work("out/VID00002.mpg")));

        // The codec layer's own failures are positive numbers: as failed.
        const int uploads = w->uploadRows.size();
        w->encodingIndex = QPersistentModelIndex(w->model->index(2, 0));
        w->encodeNextFile(2);
        QCOMPARE(state(2), kEncodingError);
        QCOMPARE(w->uploadRows.size(), uploads);
        QCOMPARE(w->ftpQueue->count(), 0);
    }

    void splitting()
    {
        const QStringList files = inputs("short.mp4", 2);
        QVERIFY(toPage2(files, kRes480p));
        // A failed row is not split, even with an older output over the limit.
        QVERIFY(QFile::remove(files[1]));
        QVERIFY(QDir().mkpath(work("out")));
        const QByteArray old(400 * 1024, 'x');
        {
            QFile stale(work("out/VID00002.mpg"));
            QVERIFY(stale.open(QIODevice::WriteOnly));
            stale.write(old);
        }
        // The player's limit made small, so that small outputs split.
        const qint64 limit = 100 * 1024;
        useSplitLimit(limit);
        QList<int> states;
        recordStates(0, &states);
        {
            BoxClicker proceed("Proceed");
            QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        }
        QVERIFY(waitForRunEnd());
        // Encoded, then splitting, then encoded again once the parts are there.
        QCOMPARE(states, QList<int>({kQueued, kEncoding, kEncoded, kSplitting, kEncoded}));
        QCOMPARE(state(1), kEncodingError);
        QCOMPARE(windowtest::readFile(work("out/VID00002.mpg")), old);
        QVERIFY(!QFileInfo::exists(work("out/VID00002mpg")));

        const QByteArray whole = windowtest::readFile(output(0));
        const qint64 size = whole.size();
        QVERIFY2(size > 2 * limit, qPrintable(QString::number(size)));
        const int parts = int((size + limit - 1) / limit);
        const QString folder = work("out/VID00001mpg/");
        QStringList names{"VID00001.mpg"};
        for (int i = 1; i < parts; ++i)
            names << QString("VID00001.%1").arg(i, 3, 10, QChar('0'));
        QStringList listed = QDir(folder).entryList(QDir::Files);
        QStringList sorted = names;
        sorted.sort();
        QCOMPARE(listed, sorted);
        QByteArray joined;
        for (int i = 0; i < parts; ++i) {
            const QByteArray part = windowtest::readFile(folder + names[i]);
            QCOMPARE(qint64(part.size()), i + 1 < parts ? limit : size - limit * (parts - 1));
            joined += part;
        }
        QVERIFY(joined == whole);
        // Every part belongs to the row, in the splitter's order.
        QStringList recorded = w->uploadRows.keys();
        QStringList expected;
        for (const QString& n : names)
            expected << folder + n;
        expected.sort();
        QCOMPARE(recorded, expected);
        for (const QString& part : expected)
            QCOMPARE(w->uploadRows.value(part).row(), 0);

        // A limit equal to the size splits nothing (the same input gives the
        // same output). Nothing in the environment changes the player's limit.
        qputenv("QUORVEL_SPLIT_BYTES", "4096");
        QVERIFY(runAgain(size));
        QVERIFY(waitForRunEnd());
        qunsetenv("QUORVEL_SPLIT_BYTES");
        QCOMPARE(QFileInfo(output(0)).size(), size);
        QVERIFY(!QFileInfo::exists(work("out/VID00001mpg0")));
        QCOMPARE(w->uploadRows.keys(), QStringList({output(0)}));

        // Nor does "Split Large Files" off.
        QTest::mouseClick(f().encodingCancelButton, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton1, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        useSplitLimit(limit);
        f().splitCheckbox->setChecked(false);
        {
            BoxClicker proceed("Proceed");
            QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        }
        QVERIFY(waitForRunEnd());
        QCOMPARE(state(0), kEncoded);
        QVERIFY(!QFileInfo::exists(work("out/VID00001mpg0")));
    }

    void failedSplitFailsTheRow()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: mounts a small tmpfs as the output folder");
        QVERIFY(toPage2(inputs("short.mp4", 1), kRes480p));
        {
            // The output's size first, in a folder with room.
            QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
            QVERIFY(waitForRunEnd());
        }
        const qint64 size = QFileInfo(output(0)).size();
        QVERIFY(size > 64 * 1024);
        QVERIFY(QDir(work("out")).removeRecursively());
        QVERIFY(QDir().mkpath(work("out")));
        // Room for the output and half of its parts.
        const qint64 room = (size * 3 / 2 + 4095) / 4096 * 4096;
        const QString mountPoint = work("out");
        QVERIFY2(testutil::run("mount", {"-t", "tmpfs", "-o", QString("size=%1").arg(room), "tmpfs", mountPoint}).ok(),
                 "mount -t tmpfs failed");
        const auto unmount = qScopeGuard([&] { testutil::run("umount", {"-l", mountPoint}); });

        f().ftpCheckbox->setChecked(true);
        saveServers({servers("127.0.0.1", ftptest::closedPort(), ftptest::kPassword)});
        QTest::mouseClick(f().encodingCancelButton, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton1, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        useSplitLimit(size / 3);
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QCOMPARE(f().stackedWidget->currentIndex(), 3);
        QVERIFY(waitForRunEnd());

        const QString reason = "cannot split: No space left on device";
        QCOMPARE(state(0), kEncodingError);
        QCOMPARE(row(0).value(kEncodingErrorKey).toString(), reason);
        QCOMPARE(statusText(), "Finished Encoding 0 Files! 1 failed: short0.mp4: " + reason);
        // Nothing of the row goes to the player; the whole output stays.
        QVERIFY(w->uploadRows.isEmpty());
        QCOMPARE(w->ftpQueue->count(), 0);
        QCOMPARE(QFileInfo(output(0)).size(), size);
        QCOMPARE(QDir(work("out")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({"VID00001.mpg"}));
    }

    void failureReasonsListedOnce()
    {
        const QStringList files = inputs("short.mp4", 2);
        QVERIFY(toPage2(files, kRes480p));
        QVERIFY(QFile::remove(files[0]));
        QVERIFY(QFile::remove(files[1]));
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QVERIFY(waitForRunEnd());
        QCOMPARE(statusText(), "Finished Encoding 0 Files! 2 failed: short0.mp4: Input file " + files[0]
                                   + " not found. short1.mp4: Input file " + files[1] + " not found.");
    }

    void cancelDuringASplitTouchesNoOtherRow()
    {
        // Verrino HD: the UltraHD source becomes four quadrant rows.
        QVERIFY(toPage2(inputs("uhd.mp4", 1) + inputs("short.mp4", 1), kRes480p, 4));
        QCOMPARE(rows(), 5);
        f().ftpCheckbox->setChecked(true);
        const QStringList server = servers("127.0.0.1", ftptest::closedPort(), ftptest::kPassword);
        saveServers({server, server, server, server, server});
        useSplitLimit(4096);
        // Cancelled while quadrant 2 is being split: the cancel folds the
        // quadrant rows, so that row is gone and the short clip's row moves up.
        bool asked = false;
        connect(w->model, &QStandardItemModel::dataChanged, w.get(), [&] {
            if (!asked && rows() == 5 && state(1) == kSplitting) {
                asked = true;
                QTimer::singleShot(0, w.get(), [&] { w->cancelEncoding(); });
            }
        });
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QVERIFY(waitForRunEnd());
        QVERIFY(asked);
        QCOMPARE(rows(), 2);
        QCOMPARE(f().stackedWidget->currentIndex(), 0);
        // The short clip's row was neither marked nor queued, nor encoded.
        QCOMPARE(state(1), kQueued);
        QCOMPARE(row(1).value(kEncodingProgressKey).toInt(), 0);
        QVERIFY(!QFileInfo::exists(work("out/VID00002.mpg")));
        for (const QPersistentModelIndex& index : w->uploadRows)
            QVERIFY(index.row() != 1);
        QCOMPARE(w->uploadRows.size(), QDir(work("out/VID_SLOT1_00001mpg")).entryList(QDir::Files).size());
        QCOMPARE(w->ftpQueue->count(), 0);
        // The split it was in went on to its end.
        QVERIFY(QDir(work("out/VID_SLOT2_00001mpg")).entryList(QDir::Files).size() > 1);
    }

    void uploadsToTwoServers()
    {
        REQUIRE_FTP_SERVER();
        ftptest::Server a, b;
        QVERIFY(a.start());
        QVERIFY(b.start());
        QVERIFY(toPage2(inputs("short.mp4", 3), kRes480p));
        f().ftpCheckbox->setChecked(true);
        // Row 0 to both, row 1 with a wrong primary password, row 2 to none.
        saveServers({servers("127.0.0.1", a.port, ftptest::kPassword, "127.0.0.1", b.port, ftptest::kPassword),
                     servers("127.0.0.1", a.port, "wrong", "127.0.0.1", b.port, ftptest::kPassword),
                     servers("", 0, "")});
        // Two parts a row: each part goes to the primary, then to the secondary.
        useSplitLimit(200 * 1024);
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QVERIFY(w->ftpQueue);

        const QString rootA = a.root.path() + "/", rootB = b.root.path() + "/";
        QStringList statuses;
        connect(w->ftpQueue, &FtpQueue::status, this, [&](const QString& file, const QString& text) {
            // Which servers hold the file once its upload has ended.
            const QString name = QFileInfo(file).fileName();
            if (text == "Upload Started") {
                statuses << name + " " + text;
                return;
            }
            const QString on = QString(QFile::exists(rootA + name) ? "A" : "") + (QFile::exists(rootB + name) ? "B" : "");
            statuses << name + " " + text + " " + on;
        });
        QList<int> states0, states1;
        recordStates(0, &states0);
        recordStates(1, &states1);

        QVERIFY(waitForRunEnd());
        QTRY_VERIFY_WITH_TIMEOUT(statuses.size() == 16, 60000);
        QCOMPARE(statuses, QStringList({"VID00001.mpg Upload Started", "VID00001.mpg No error A",
                                        "VID00001.mpg Upload Started", "VID00001.mpg No error AB",
                                        "VID00001.001 Upload Started", "VID00001.001 No error A",
                                        "VID00001.001 Upload Started", "VID00001.001 No error AB",
                                        "VID00002.mpg Upload Started", "VID00002.mpg Login denied ",
                                        "VID00002.mpg Upload Started", "VID00002.mpg No error B",
                                        "VID00002.001 Upload Started", "VID00002.001 Login denied ",
                                        "VID00002.001 Upload Started", "VID00002.001 No error B"}));
        QCOMPARE(f().ftpStatusLabel->text(), QString("No error"));

        // Both servers hold byte-equal parts.
        for (const char* name : {"VID00001.mpg", "VID00001.001"}) {
            const QByteArray part = windowtest::readFile(work("out/VID00001mpg/") + name);
            QVERIFY(!part.isEmpty());
            QVERIFY(windowtest::readFile(rootA + name) == part);
            QVERIFY(windowtest::readFile(rootB + name) == part);
        }
        for (const char* name : {"VID00002.mpg", "VID00002.001"})
            QVERIFY(windowtest::readFile(rootB + name) == windowtest::readFile(work("out/VID00002mpg/") + name));
        QCOMPARE(QDir(rootA).entryList(QDir::Files), QStringList({"VID00001.001", "VID00001.mpg"}));
        QCOMPARE(QDir(rootB).entryList(QDir::Files),
                 QStringList({"VID00001.001", "VID00001.mpg", "VID00002.001", "VID00002.mpg"}));

        // Uploading shows as such; the failed primary stays on its row even
        // though the secondary took every part.
        QCOMPARE(state(0), kUploaded);
        QVERIFY(states0.contains(5));
        QVERIFY(!states0.contains(7));
        QCOMPARE(state(1), kUploadError);
        QVERIFY(row(1).value(kUploadErrorKey).toBool());
        QCOMPARE(states1.mid(states1.indexOf(kUploading)),
                 QList<int>({kUploading, kUploadError, kUploading, kUploadError,
                             kUploading, kUploadError, kUploading, kUploadError}));
        QCOMPARE(row(1).value(kCurUploadFileKey).toString(), QString("VID00002.001"));
        QCOMPARE(row(0).value(kUploadProgressKey).toInt(), 100);
        QCOMPARE(row(0).value(kUploadProgressStringKey).toString(), QString("100.0"));
        // No servers, no upload.
        QCOMPARE(state(2), kEncoded);
        QVERIFY(!row(2).value(kUploadErrorKey).toBool());
    }

    // Two outputs whose parts share their names (a name's parts are named
    // from it up to its first dot) keep those names on disk; on the server
    // the second row's parts never replace the first's: they fail, naming
    // the clash.
    void sharedPartNamesNeverReplaceEachOther()
    {
        REQUIRE_FTP_SERVER();
        ftptest::Server server;
        QVERIFY(server.start());
        QVERIFY(QDir().mkpath(work("in")));
        const QStringList files = {work("in/Show.2023.Part1.mp4"), work("in/Show.2023.Part2.mp4")};
        for (const QString& file : files) {
            QFile::remove(file);
            QVERIFY(QFile::copy(clip("short.mp4"), file));
        }
        QVERIFY(toPage2(files, kRes480p));
        f().ostrandNamingCheckbox->setChecked(false);
        f().ftpCheckbox->setChecked(true);
        saveServers({servers("127.0.0.1", server.port, ftptest::kPassword),
                     servers("127.0.0.1", server.port, ftptest::kPassword)});
        useSplitLimit(200 * 1024);
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QVERIFY(w->ftpQueue);
        QStringList statuses;
        connect(w->ftpQueue, &FtpQueue::status, this, [&](const QString& file, const QString& text) {
            statuses << file + " " + text;
        });
        QVERIFY(waitForRunEnd());
        QTRY_VERIFY_WITH_TIMEOUT(statuses.size() == 6, 60000);

        const QStringList names = {"Show.mpg", "Show.001"};
        QStringList first, second;
        for (const QString& name : names) {
            first << QFileInfo(output(0)).path() + "/Show.2023.Part1_QVNewmpg/" + name;
            second << QFileInfo(output(1)).path() + "/Show.2023.Part2_QVNewmpg/" + name;
        }
        for (const QString& part : first + second)
            QVERIFY2(QFileInfo(part).size() > 0, qPrintable(part));
        const QString clash = " Name clash: %1 was uploaded to this server from %2 earlier in this run";
        QCOMPARE(statuses, QStringList({first[0] + " Upload Started", first[0] + " No error",
                                        first[1] + " Upload Started", first[1] + " No error",
                                        second[0] + clash.arg(names[0], first[0]),
                                        second[1] + clash.arg(names[1], first[1])}));
        for (int i = 0; i < names.size(); ++i)
            QVERIFY(windowtest::readFile(server.root.filePath(names[i])) == windowtest::readFile(first[i]));
        QCOMPARE(state(0), kUploaded);
        QCOMPARE(state(1), kUploadError);
        QVERIFY(w->model->index(1, 0).data(Qt::ToolTipRole).toString().contains("Name clash: Show.001 was uploaded"));
    }

    void ftpReportsReachTheirRowsOnly()
    {
        QVERIFY(toPage2(inputs("short.mp4", 1), kRes480p));
        // The box drives the button and the two status labels.
        f().ftpCheckbox->setChecked(true);
        QVERIFY(f().ftpSettingsButton->isEnabled());
        f().ftpCheckbox->setChecked(false);
        QVERIFY(!f().ftpSettingsButton->isEnabled());
        QVERIFY(f().ftpStatusLabel->isHidden() && f().ftpStatusLabel2->isHidden());
        f().ftpCheckbox->setChecked(true);
        QVERIFY(!f().ftpStatusLabel->isHidden() && !f().ftpStatusLabel2->isHidden());

        // No servers saved: the row is encoded and nothing is queued.
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QVERIFY(waitForRunEnd());
        QVERIFY(w->ftpQueue);
        QCOMPARE(w->ftpQueue->count(), 0);
        QCOMPARE(state(0), kEncoded);
        QCOMPARE(f().ftpStatusLabel->text(), QString("Enabled"));

        const QString file = output(0);
        QPointer<FtpQueue> queue = w->ftpQueue;
        emit queue->status(file, "Upload Started");
        QCOMPARE(state(0), kUploading);
        QCOMPARE(row(0).value(kCurUploadFileKey).toString(), QString("VID00001.mpg"));
        emit queue->progress(file, 42.46);
        QCOMPARE(row(0).value(kUploadProgressStringKey).toString(), QString("42.5"));
        QCOMPARE(row(0).value(kUploadProgressKey).toInt(), 42);
        QCOMPARE(state(0), kUploading);
        emit queue->status(file, "Timeout was reached");
        QCOMPARE(state(0), kUploadError);
        QCOMPARE(f().ftpStatusLabel->text(), QString("Timeout was reached"));
        // The reason stays in the row's tool tip, as an encode's does, also
        // past a later upload of the row that went well.
        const QString tip = "Upload Error: VID00001.mpg: Timeout was reached\n\n";
        QVERIFY2(w->model->item(0)->toolTip().startsWith(tip), qPrintable(w->model->item(0)->toolTip()));
        emit queue->status(file, "No error");
        QCOMPARE(state(0), kUploadError);
        QVERIFY(row(0).value(kUploadErrorKey).toBool());
        QVERIFY(w->model->item(0)->toolTip().startsWith(tip));

        // A file no row handed over: the label shows it, no row changes.
        const QVariantMap before = row(0);
        emit queue->status(work("out/elsewhere.mpg"), "No error");
        emit queue->progress(work("out/elsewhere.mpg"), 50.0);
        QCOMPARE(f().ftpStatusLabel->text(), QString("No error"));
        QCOMPARE(row(0), before);

        // A new run leaves the last run's queue alive but deaf.
        QVERIFY(runAgain());
        QVERIFY(waitForRunEnd());
        QVERIFY(queue);
        QVERIFY(w->ftpQueue != queue);
        QCOMPARE(state(0), kEncoded);
        emit queue->status(file, "Login denied");
        emit queue->progress(file, 12.0);
        QCOMPARE(state(0), kEncoded);
        QVERIFY(!row(0).value(kUploadErrorKey).toBool());
        QCOMPARE(f().ftpStatusLabel->text(), QString("Enabled"));

        // Without uploading no queue is made and the labels stay hidden.
        QTest::mouseClick(f().encodingCancelButton, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton1, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        f().ftpCheckbox->setChecked(false);
        w->showPage3();
        QVERIFY(!w->ftpQueue);
        QVERIFY(f().ftpStatusLabel->isHidden() && f().ftpStatusLabel2->isHidden());
        QVERIFY(waitForRunEnd());
        QCOMPARE(state(0), kEncoded);
    }

    // Done, and closing the window, ask before they cut running uploads
    // off: No keeps the page, the window and the uploads; Yes stops them.
    void doneOrCloseAsksWhileUploadsRun_data()
    {
        QTest::addColumn<bool>("closeWindow");
        QTest::newRow("Done") << false;
        QTest::newRow("closing the window") << true;
    }

    void doneOrCloseAsksWhileUploadsRun()
    {
        QFETCH(bool, closeWindow);
        REQUIRE_FTP_SERVER();
        ftptest::Server slow;
        QVERIFY(slow.start({}, 20000));
        QVERIFY(toPage2(inputs("short.mp4", 1), kRes480p));
        f().ftpCheckbox->setChecked(true);
        saveServers({servers("127.0.0.1", slow.port, ftptest::kPassword, "127.0.0.1", slow.port, ftptest::kPassword)});
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QVERIFY(waitForRunEnd());
        QTRY_COMPARE_WITH_TIMEOUT(state(0), kUploading, 10000);
        // The end text says what is still going on.
        QCOMPARE(statusText(), QString("Finished Encoding 1 File! Uploading 2 files..."));
        // Returns whether the window closed.
        const auto stop = [&] {
            if (closeWindow)
                return w->close();
            QTest::mouseClick(f().encodingCancelButton, Qt::LeftButton);
            return false;
        };

        {
            MessageBoxAnswerer no(QMessageBox::No);
            QVERIFY(!stop());
            QCOMPARE(no.seen.size(), 1);
            QCOMPARE(no.seen[0].text,
                     QString("Uploads are still running. Stop them and leave the uploaded files incomplete?"));
            QCOMPARE(no.seen[0].defaultButton, QMessageBox::No);
        }
        QVERIFY(w->isVisible());
        QCOMPARE(f().stackedWidget->currentIndex(), 3);
        QCOMPARE(w->ftpQueue->remaining(), 2);
        QTest::qWait(300);
        QCOMPARE(state(0), kUploading);

        QPointer<FtpQueue> queue = w->ftpQueue;
        {
            MessageBoxAnswerer yes(QMessageBox::Yes);
            QCOMPARE(stop(), closeWindow);
            QCOMPARE(yes.seen.size(), 1);
        }
        QCOMPARE(w->isVisible(), !closeWindow);
        if (!closeWindow)
            QCOMPARE(f().stackedWidget->currentIndex(), 0);
        QVERIFY(queue);
        QCOMPARE(queue->count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(queue->remaining(), 0, 10000);
    }

    void twoWindowsOneOutputFolder()
    {
        QVERIFY(toPage2(inputs("long.mp4", 1), kRes480p));
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QVERIFY(waitForProgress(0));

        // A second Quorvel into the same folder, under the same names.
        OstrandEncoder other;
        other.show();
        other.addFiles({clip("short.mp4")});
        QVERIFY(QTest::qWaitFor([&] { return windowtest::rowsProbed(other.model) && other.probesRunning == 0; }, 30000));
        other.ui.deviceComboBox->setCurrentIndex(kPln3300Device);
        other.ui.videoResComboBox->setCurrentIndex(kRes480p);
        other.ui.videoComboBox->setCurrentIndex(kMpeg2Low);
        other.showPage1();
        other.ui.outputDirLineEdit->setText(work("out/"));
        other.showPage2();
        {
            // Should the name already be taken, the question is answered.
            BoxClicker proceed("Proceed");
            other.showPage3NameCheck();
        }
        QCOMPARE(other.ui.stackedWidget->currentIndex(), 3);
        QVERIFY(QTest::qWaitFor([&] { return !other.encodingActive; }, 30000));
        const QVariantMap failed = other.model->item(0)->data(Qt::UserRole).toMap();
        QCOMPARE(fileitem::state(failed), kEncodingError);
        const QString reason = work("out/VID00001.mpg") + " is being written by another Quorvel.";
        QCOMPARE(failed.value(kEncodingErrorKey).toString(), reason);
        const QString otherText = other.ui.encodingStatusLabel->toolTip().isEmpty()
            ? other.ui.encodingStatusLabel->text()
            : other.ui.encodingStatusLabel->toolTip();
        QCOMPARE(otherText, "Finished Encoding 0 Files! 1 failed: short.mp4: " + reason);
        QVERIFY(w->encodingActive);

        // The first one ends whole.
        QVERIFY(waitForRunEnd());
        QCOMPARE(state(0), kEncoded);
        const testutil::RunResult r = testutil::run("ffmpeg", {"-v", "error", "-i", output(0), "-f", "null", "-"});
        QVERIFY2(r.ok() && r.err.trimmed().isEmpty(), r.err.constData());
        const double seconds = duration(output(0));
        QVERIFY2(seconds > 39.5 && seconds < 40.5, qPrintable(QString::number(seconds)));
        QCOMPARE(hiddenInOut(), QStringList());
    }

    void everyRowKeepsTheChosenQuality()
    {
        // Zephrane 4K, UltraHD/29.97, H.264 Low: each row rebuilds the lists,
        // and the quality list follows the resolution.
        QVERIFY(toPage2(inputs("uhd.mp4", 1), 1, 7, 2));
        QCOMPARE(rows(), 4);
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QVERIFY(waitForRunEnd());
        QCOMPARE(f().encodingStatusLabel->text(), QString("Finished Encoding 4 Files!"));
        QCOMPARE(f().videoResComboBox->currentText(), QString("UltraHD/29.97"));
        QCOMPARE(f().videoComboBox->currentText(), QString("H.264 Low(10Mbps)"));
        for (int r = 0; r < 4; ++r) {
            QCOMPARE(state(r), kEncoded);
            const QJsonObject v = media::ffprobe(output(r)).stream("video");
            QCOMPARE(v.value("codec_name").toString(), QString("h264"));
            QCOMPARE(v.value("width").toInt(), 1920);
        }
    }

    void advancedOptionsReachTheEncode()
    {
        QVERIFY(toPage2(inputs("red.mp4", 1), kRes480p));
        // As the operator sets them: 4x3 pillarbox, audio removed.
        w->showAdvancedOptions();
        auto* panel = w->advancedOptions;
        QVERIFY(panel->isVisible());
        panel->findChild<QComboBox*>("aspectComboBox")->setCurrentIndex(1);
        panel->findChild<QCheckBox*>("removeAudioCheckBox")->setChecked(true);
        QTest::mouseClick(panel->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QVERIFY(waitForRunEnd());
        QCOMPARE(state(0), kEncoded);
        const media::Probe p = media::ffprobe(output(0));
        QCOMPARE(p.count("audio"), 0);
        QCOMPARE(p.stream("video").value("width").toInt(), 720);
        // Black bars left and right of the red picture.
        QCOMPARE(media::pixel(output(0), 8, 240), QColor(0, 0, 0));
        const QColor middle = media::pixel(output(0), 360, 240);
        QVERIFY2(middle.red() > 200 && middle.green() < 60 && middle.blue() < 60, qPrintable(middle.name()));
    }

    void cancelling()
    {
        const QStringList files = inputs("long.mp4", 2);
        QVERIFY(toPage2(files, kRes1080i));
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QVERIFY(waitForProgress(0));

        // No: the run goes on.
        {
            MessageBoxAnswerer no(QMessageBox::No);
            QTest::mouseClick(f().encodingCancelButton, Qt::LeftButton);
            QCOMPARE(no.seen.size(), 1);
            QCOMPARE(no.seen[0].text, QString("Are you sure you want to cancel encoding?"));
            QCOMPARE(no.seen[0].title, QString("Quorvel"));
            QCOMPARE(no.seen[0].icon, QMessageBox::Warning);
            QCOMPARE(no.seen[0].defaultButton, QMessageBox::No);
        }
        QCOMPARE(f().stackedWidget->currentIndex(), 3);
        QVERIFY(w->encodingActive);
        const int before = row(0).value(kEncodingProgressKey).toInt();
        QTRY_VERIFY_WITH_TIMEOUT(row(0).value(kEncodingProgressKey).toInt() > before, 10000);
        QCOMPARE(state(0), kEncoding);

        // Yes: page 0 at once, the transcode stops in the background, and no
        // further row starts.
        QElapsedTimer t;
        {
            MessageBoxAnswerer yes(QMessageBox::Yes);
            QTest::mouseClick(f().encodingCancelButton, Qt::LeftButton);
            t.start();
            QCOMPARE(yes.seen.size(), 1);
        }
        QCOMPARE(f().stackedWidget->currentIndex(), 0);
        QVERIFY(w->cancelled);
        QVERIFY(waitForRunEnd(10000));
        qInfo("stopped after %lld ms", t.elapsed());
        QVERIFY(!QFileInfo::exists(work("out/VID00002.mpg")));
        // The stopped row leaves no partial output under its name.
        QVERIFY(!QFileInfo::exists(work("out/VID00001.mpg")));
        QCOMPARE(hiddenInOut(), QStringList());
        QCOMPARE(state(1), kQueued);
        QCOMPARE(f().stackedWidget->currentIndex(), 0);

        // A new run, at 480p, whose first row starts while the stopped
        // transcode's result is still on its way: that result is not this
        // run's and changes nothing.
        f().videoResComboBox->setCurrentIndex(kRes480p);
        QTest::mouseClick(f().nextStepButton1, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        w->showPage3();
        QVERIFY(waitForProgress(0));
        w->cancelEncoding();
        QElapsedTimer finish;
        finish.start();
        while (!w->encodingThread->isFinished() && finish.elapsed() < 10000)
            QThread::msleep(10); // no events: its result stays queued
        QVERIFY(w->encodingThread->isFinished());
        w->showPage3();
        QCoreApplication::processEvents();
        QVERIFY(testutil::neverWithin(200, [&] { return w->encodingRow != 0 || state(0) != kEncoding || state(1) != kQueued; }));
        QCOMPARE(w->encodingRow, 0);
        QCOMPARE(state(0), kEncoding);
        QCOMPARE(state(1), kQueued);
        QVERIFY(w->encodingActive);

        // Cancelled again and started again at once: the running transcode is
        // stopped, not waited for to its end.
        w->cancelEncoding();
        t.restart();
        w->showPage3();
        QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(state(0), kEncoding);

        // That run completes cleanly.
        QVERIFY(waitForRunEnd(300000));
        QCOMPARE(f().encodingStatusLabel->text(), QString("Finished Encoding 2 Files!"));
        QCOMPARE(state(0), kEncoded);
        QCOMPARE(state(1), kEncoded);
        for (int r = 0; r < 2; ++r) {
            const media::Probe p = media::ffprobe(output(r));
            QCOMPARE(p.stream("video").value("height").toInt(), 480);
            const double seconds = duration(output(r));
            QVERIFY2(seconds > 39.5 && seconds < 40.5, qPrintable(QString::number(seconds)));
        }
    }

    void cancelledBeforeTheTranscodeBegins()
    {
        QVERIFY(toPage2(inputs("long.mp4", 1), kRes1080i));
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        // At once, most likely before the thread has cleared old stop
        // requests, and a new run at once: it neither waits for the whole
        // encode nor lets it run on.
        w->cancelEncoding();
        QElapsedTimer t;
        t.start();
        w->showPage3();
        qInfo("new run after %lld ms", t.elapsed());
        // Far less than the whole encode takes, even on a busy machine.
        QVERIFY2(t.elapsed() < 15000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(state(0), kEncoding);
        w->cancelEncoding();
        QVERIFY(waitForRunEnd(30000));
        QVERIFY2(t.elapsed() < 30000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(!QFileInfo::exists(work("out/VID00001.mpg")));
    }

    void presetDamagedDuringTheRun()
    {
        QVERIFY(toPage2(inputs("short.mp4", 2), kRes480p));
        MessageBoxAnswerer ok(QMessageBox::Ok);
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QCOMPARE(state(0), kEncoding);
        // Checked before every row: this one is already on its way.
        QVERIFY(windowtest::damagePreset("720p_pal_h264_low.mps"));
        QTRY_VERIFY_WITH_TIMEOUT(ok.seen.size() == 1, 30000);
        QVERIFY(ok.seen[0].text.startsWith("Quorvel has detected corrupt Presets."));
        QCOMPARE(state(0), kEncoded);
        QCOMPARE(state(1), kQueued);
        QVERIFY(!w->encodingActive);
        QCOMPARE(f().encodingCancelButton->text(), QString("Done"));
        QVERIFY(!w->progressTimer->isActive());
        // The notice closes the window.
        QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 5000);
        QVERIFY(testutil::neverWithin(300, [&] { return QFileInfo::exists(work("out/VID00002.mpg")); }));
        QVERIFY(!QFileInfo::exists(work("out/VID00002.mpg")));
    }

    // Found before the first row: page 3 names this run, not the form's
    // placeholder.
    void presetDamagedBeforeTheFirstRow()
    {
        QVERIFY(toPage2(inputs("short.mp4", 2), kRes480p));
        QVERIFY(windowtest::damagePreset("720p_pal_h264_low.mps"));
        MessageBoxAnswerer ok(QMessageBox::Ok);
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        QCOMPARE(f().stackedWidget->currentIndex(), 3);
        QCOMPARE(f().encodingStatusLabel->text(), QString("Now Encoding 1 of 2"));
        QCOMPARE(f().encodingCancelButton->text(), QString("Done"));
        QVERIFY(!w->encodingActive);
        QCOMPARE(state(0), kQueued);
        QTRY_VERIFY_WITH_TIMEOUT(ok.seen.size() == 1, 30000);
        QVERIFY(ok.seen[0].text.startsWith("Quorvel has detected corrupt Presets."));
        QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 5000);
        QVERIFY(!QFileInfo::exists(work("out/VID00001.mpg")));
    }

    void closingMidEncode()
    {
        const QString folder = work("child");
        const auto r = runChild("--close-mid-encode", clip("long.mp4"), folder);
        QVERIFY2(r.out.contains("closing at "), r.out.constData());
        QVERIFY2(r.out.contains("closed normally"), r.out.constData());
        QCOMPARE(r.exitCode, 0);
        const int ms = r.out.mid(r.out.indexOf("after ") + 6).split(' ').value(0).toInt();
        QVERIFY2(ms < 5000, r.out.constData());
        // Stopped, its partial output removed, and no second row.
        QVERIFY(!QFileInfo::exists(folder + "/out/VID00001.mpg"));
        QCOMPARE(QDir(folder + "/out").entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(!QFileInfo::exists(folder + "/out/VID00002.mpg"));
        QVERIFY(savedSelections(folder, kRes1080i));
    }

    void signalsStopTheEncodeAsACancel_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void signalsStopTheEncodeAsACancel()
    {
        QFETCH(int, signal);
        const QString folder = work("child");
        QDir(folder).removeRecursively();
        const auto r = runChild(QString("--signal-mid-encode=%1").arg(signal).toUtf8().constData(), clip("long.mp4"),
                                folder);
        QVERIFY2(r.out.contains("signalled at "), r.out.constData());
        QVERIFY2(r.out.contains("ended after the signal"), r.out.constData());
        QCOMPARE(r.exitCode, 0);
        // Stopped, and neither its temporary file nor its lock left behind.
        QCOMPARE(QDir(folder + "/out").entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList());
    }

    void closingAfterProResEndsTheProcess()
    {
        const QString folder = work("child");
        const auto r = runChild("--close-after-prores", clip("prores.mov"), folder);
        // What the child printed before the close reaches the pipe: output is
        // flushed before the process ends.
        QVERIFY2(r.out.contains("pipe kept: 1, row state: 3"), r.out.constData());
        QVERIFY2(!r.out.contains("closed normally"), r.out.constData());
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(media::ffprobe(folder + "/out/VID00001.mpg").stream("video").value("height").toInt(), 480);
        QVERIFY(savedSelections(folder, kRes480p));
    }
};

namespace {

// The window of a child process: one input probed, on page 2 with outputs
// into folder/out/, then the run started and waited on until `until` holds.
// False when any step fails or the wait times out.
bool startChildRun(OstrandEncoder& w, Ui::OstrandEncoderClass& f, const QString& input, const QString& folder,
                   int res, const std::function<bool()>& until)
{
    w.show();
    w.addFiles({input});
    auto* model = qobject_cast<QStandardItemModel*>(f.encodingProgressList->model());
    if (!QTest::qWaitFor([&] { return windowtest::rowsProbed(model); }, 30000))
        return false;
    f.deviceComboBox->setCurrentIndex(kPln3300Device);
    f.videoResComboBox->setCurrentIndex(res);
    f.videoComboBox->setCurrentIndex(kMpeg2Low);
    w.showPage1();
    f.outputDirLineEdit->setText(folder + "/out/");
    w.showPage2();
    w.showPage3NameCheck();
    return f.stackedWidget->currentIndex() == 3 && QTest::qWaitFor(until, 60000);
}

int rowProgress(QStandardItemModel* model)
{
    return model->item(0)->data(Qt::UserRole).toMap().value(kEncodingProgressKey).toInt();
}

} // namespace

int OstrandEncoderTest::closeMidEncode(const QString& input, const QString& folder)
{
    OstrandEncoder w;
    if (!startChildRun(w, w.ui, input, folder, kRes1080i, [&] { return rowProgress(w.model) > 0; }))
        return 3;
    std::printf("closing at %d%%\n", rowProgress(w.model));
    QElapsedTimer t;
    t.start();
    w.close();
    // The window closes once the stopped transcode has returned; then the
    // last window is gone and the event loop ends.
    const int code = QApplication::exec();
    std::printf("closed normally after %lld ms, exit code %d\n", t.elapsed(), code);
    return code;
}

int OstrandEncoderTest::closeAfterProRes(const QString& input, const QString& folder)
{
    OstrandEncoder w;
    if (!startChildRun(w, w.ui, input, folder, kRes480p, [&] { return !w.encodingActive; }))
        return 3;
    // No line end and no flush: the close must flush it.
    std::printf("pipe kept: %d, row state: %d", int(w.decodePipeKept),
                int(fileitem::state(fileitem::rowMap(w.model->item(0)))));
    w.close();
    std::printf("\nclosed normally\n");
    return 0;
}

int OstrandEncoderTest::signalMidEncode(int signal, const QString& input, const QString& folder)
{
    OstrandEncoder w;
    if (!startChildRun(w, w.ui, input, folder, kRes1080i, [&] { return rowProgress(w.model) > 0; }))
        return 3;
    std::printf("signalled at %d%%\n", rowProgress(w.model));
    std::fflush(stdout);
    ::kill(::getpid(), signal);
    const int code = QApplication::exec();
    std::printf("ended after the signal, exit code %d\n", code);
    return code;
}

int main(int argc, char* argv[])
{
    // Child processes: argv[2] is the input, argv[3] a folder of the parent's
    // for the child's home, settings and outputs.
    const bool signalMode = argc == 4 && QByteArray(argv[1]).startsWith("--signal-mid-encode=");
    if (argc == 4
        && (qstrcmp(argv[1], "--close-mid-encode") == 0 || qstrcmp(argv[1], "--close-after-prores") == 0 || signalMode)) {
        const QString folder = QString::fromLocal8Bit(argv[3]);
        windowtest::isolateUserFolders(folder + "/home");
        QApplication app(argc, argv);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder + "/settings");
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder + "/settings");
        const QString input = QString::fromLocal8Bit(argv[2]);
        if (signalMode)
            return OstrandEncoderTest::signalMidEncode(QByteArray(argv[1]).split('=').value(1).toInt(), input, folder);
        if (qstrcmp(argv[1], "--close-mid-encode") == 0)
            return OstrandEncoderTest::closeMidEncode(input, folder);
        return OstrandEncoderTest::closeAfterProRes(input, folder);
    }
    return windowtest::runWindowTests<OstrandEncoderTest>(argc, argv);
}

#include "tst_encoding.moc"
