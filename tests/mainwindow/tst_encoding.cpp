// Page 3 with real encodes of short clips made by ffmpeg, real FTP servers
// (pyftpdlib) and real widgets: the run's texts and row states, progress,
// failed rows, splitting, uploads to two servers, cancelling, a preset
// damaged during a run, and closing mid-encode (in a child process).
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardItem>
#include <QThread>
#include <QUrl>
#include <QtTest>
#include <cstdio>
#include <memory>

#include "../engine/transcode/mediautil.h"
#include "encodingthread.h"
#include "ftpqueue.h"
#include "ftptestserver.h"
#include "ostrandencoder.h"
#include "renderlistmodel.h"
#include "transcodeengine.h"
#include "windowtestenv.h"

using windowtest::MessageBoxAnswerer;

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
    static const char* const keys[] = {"primaryServer",   "primaryPort",   "primaryUsername",   "primaryPassword",
                                       "secondaryServer", "secondaryPort", "secondaryUsername", "secondaryPassword"};
    QSettings s;
    s.remove("ftpUploadSettings");
    s.beginWriteArray("ftpUploadSettings");
    for (int r = 0; r < rows.size(); ++r) {
        s.setArrayIndex(r);
        for (int k = 0; k < 8; ++k)
            s.setValue(keys[k], rows[r].value(k));
    }
    s.endArray();
}

double duration(const QString& file)
{
    return media::ffprobe(file).format.value("duration").toString().toDouble();
}

} // namespace

class OstrandEncoderTest : public QObject, windowtest::Fixture {
    Q_OBJECT

public:
    // Child process: closes the window while row 0 encodes; prints how it went.
    static int closeMidEncode(const QString& input, const QString& out);
    // Child process: encodes a ProRes clip to its end, then closes the window.
    static int closeAfterProRes(const QString& input, const QString& out);

private:
    std::unique_ptr<OstrandEncoder> w;

    Ui::OstrandEncoderClass& f() { return w->ui; }
    int rows() { return w->model->rowCount(); }
    QVariantMap row(int r) { return w->model->item(r)->data(Qt::UserRole).toMap(); }
    int state(int r) { return row(r).value("isEncoding").toInt(); }
    QString work(const QString& rel) { return QDir::currentPath() + "/" + rel; }

    // Copies of made clips in the current folder, so that a test may remove one.
    QStringList inputs(const QString& kind, int count)
    {
        QStringList out;
        QDir().mkpath(work("in"));
        for (int i = 0; i < count; ++i) {
            const QString path = work(QString("in/%1%2.%3").arg(QFileInfo(kind).baseName()).arg(i).arg(QFileInfo(kind).suffix()));
            QFile::remove(path);
            if (QFile::copy(clip(kind), path))
                out << path;
        }
        return out;
    }

    // Adds the files, waits for their probes and moves to page 2 with the
    // chosen resolution and MPEG-2 Low, outputs into out/.
    bool toPage2(const QStringList& files, int res)
    {
        w->addFiles(files);
        QElapsedTimer t;
        t.start();
        while (!windowtest::rowsProbed(w->model) || w->probesRunning > 0) {
            if (t.elapsed() > 30000)
                return false;
            QTest::qWait(20);
        }
        f().deviceComboBox->setCurrentIndex(0);
        f().videoResComboBox->setCurrentIndex(res);
        f().videoComboBox->setCurrentIndex(kMpeg2Low);
        QTest::mouseClick(f().nextStepButton1, Qt::LeftButton);
        if (!f().nextStepButton2->isEnabled())
            return false;
        f().outputDirLineEdit->setText(work("out/"));
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        return f().stackedWidget->currentIndex() == 2;
    }

    QString output(int r) { return row(r).value("outputFilename").toString(); }

    bool waitForRunEnd(int timeoutMs = 60000)
    {
        QElapsedTimer t;
        t.start();
        while (w->encodingActive || f().encodingCancelButton->text() != "Done") {
            if (t.elapsed() > timeoutMs)
                return false;
            QTest::qWait(20);
        }
        return true;
    }

    // From the end of a run back to page 2 and into a new run, overwriting
    // the outputs of the last one.
    bool runAgain()
    {
        QTest::mouseClick(f().encodingCancelButton, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton1, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        BoxClicker proceed("Proceed");
        QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        return f().stackedWidget->currentIndex() == 3 && proceed.seen.size() == 1;
    }

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
        QVERIFY(media::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t",
                               "0.5", "-c:v", "prores_ks", "-c:a", "pcm_s16le", clip("prores.mov")}));
    }

    void init()
    {
        startTest();
        w.reset(new OstrandEncoder);
        w->show();
    }

    void cleanup()
    {
        w.reset();
        endTest();
    }

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
        QCOMPARE(state(0), 1);
        QVERIFY(f().ftpStatusLabel->isHidden());
        QVERIFY(f().ftpStatusLabel2->isHidden());

        int sample = -1;
        QTRY_VERIFY_WITH_TIMEOUT((sample = row(0).value("encodingProgress").toInt()) > 0 || !w->encodingActive,
                                 30000);
        QVERIFY2(sample > 0 && sample < 100, qPrintable(QString::number(sample)));
        QCOMPARE(state(0), 1);

        QVERIFY(waitForRunEnd());
        qInfo("1080i row: %lld ms", t.elapsed());
        QCOMPARE(state(0), 3);
        QCOMPARE(row(0).value("encodingProgress").toInt(), 100);
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
        QTest::qWait(100);
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
        QCOMPARE(f().encodingStatusLabel->text(), QString("Finished Encoding 3 Files!"));
        QCOMPARE(state(1), 4);
        QCOMPARE(row(1).value("encodingProgress").toInt(), 100);
        QTRY_VERIFY_WITH_TIMEOUT(state(0) == 6 && state(2) == 6, 30000);
        QCOMPARE(state(1), 4); // no upload status hides the error
        QCOMPARE(QDir(server.root.path()).entryList(QDir::Files), QStringList({"VID00001.mpg", "VID00003.mpg"}));
        QCOMPARE(windowtest::readFile(server.root.path() + "/VID00001.mpg"), windowtest::readFile(output(0)));
        QCOMPARE(windowtest::readFile(server.root.path() + "/VID00003.mpg"), windowtest::readFile(output(2)));
        QCOMPARE(windowtest::readFile(work("out/VID00002.mpg")), old);
        QVERIFY(!w->uploadRows.contains(work("out/VID00002.mpg")));
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
        const qint64 limit = 100 * 1024;
        qputenv("QUORVEL_SPLIT_BYTES", QByteArray::number(limit));
        QList<int> states;
        recordStates(0, &states);
        {
            BoxClicker proceed("Proceed");
            QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        }
        QVERIFY(waitForRunEnd());
        // Encoded, then splitting, then encoded again once the parts are there.
        QCOMPARE(states, QList<int>({0, 1, 3, 2, 3}));
        QCOMPARE(state(1), 4);
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

        // A limit equal to the size splits nothing (the same input gives the same output).
        qputenv("QUORVEL_SPLIT_BYTES", QByteArray::number(size));
        QVERIFY(runAgain());
        QVERIFY(waitForRunEnd());
        QCOMPARE(QFileInfo(output(0)).size(), size);
        QVERIFY(!QFileInfo::exists(work("out/VID00001mpg0")));
        QCOMPARE(w->uploadRows.keys(), QStringList({output(0)}));

        // Nor does "Split Large Files" off.
        qputenv("QUORVEL_SPLIT_BYTES", QByteArray::number(limit));
        QTest::mouseClick(f().encodingCancelButton, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton1, Qt::LeftButton);
        QTest::mouseClick(f().nextStepButton2, Qt::LeftButton);
        f().splitCheckbox->setChecked(false);
        {
            BoxClicker proceed("Proceed");
            QTest::mouseClick(f().nextStepButton3, Qt::LeftButton);
        }
        QVERIFY(waitForRunEnd());
        qunsetenv("QUORVEL_SPLIT_BYTES");
        QCOMPARE(state(0), 3);
        QVERIFY(!QFileInfo::exists(work("out/VID00001mpg0")));
    }
};

int main(int argc, char* argv[])
{
    return windowtest::runWindowTests<OstrandEncoderTest>(argc, argv);
}

#include "tst_encoding.moc"
