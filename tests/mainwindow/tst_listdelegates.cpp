// The three list delegates painted into images: bars by their pixels, texts
// by comparison with a reference painted with the same fonts, size hints, and
// the views of the window that use them.
#include <QFileIconProvider>
#include <QListView>
#include <QPainter>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QTranslator>
#include <QtTest>
#include <functional>
#include <memory>

#include "fileitemmap.h"
#include "listitemdelegate.h"
#include "ostrandencoder.h"
#include "outputlistdelegate.h"
#include "progresslistdelegate.h"
#include "renderlistmodel.h"
#include "windowtestenv.h"

using namespace fileitem;

namespace {

// The row is painted inside a larger image so that anything outside it shows.
const QSize kImage(520, 60);
const QColor kViewPen("blue");
const QColor kWhite("white");

QFont font(int pixelSize, int weight = QFont::Normal, bool italic = false)
{
    QFont f("Helvetica", 12, weight, italic);
    f.setPixelSize(pixelSize);
    return f;
}

QImage blank()
{
    QImage img(kImage, QImage::Format_ARGB32);
    img.fill(kWhite);
    return img;
}

QStyleOptionViewItem optionFor(const QRect& rect)
{
    QStyleOptionViewItem opt;
    opt.rect = rect;
    opt.state = QStyle::State_Enabled;
    opt.palette = QApplication::palette();
    return opt;
}

QImage paintRow(const QStyledItemDelegate& delegate, const QVariantMap& map, const QRect& rect)
{
    QStandardItemModel model;
    auto* item = new QStandardItem;
    item->setData(map, Qt::UserRole);
    model.appendRow(item);
    QImage img = blank();
    QPainter p(&img);
    p.setPen(kViewPen);
    delegate.paint(&p, optionFor(rect), model.index(0, 0));
    p.end();
    return img;
}

// The reference: a painter in the view's pen handed to the given drawing.
QImage reference(const std::function<void(QPainter&)>& draw)
{
    QImage img = blank();
    QPainter p(&img);
    p.setPen(kViewPen);
    draw(p);
    p.end();
    return img;
}

void separator(QPainter& p, const QRect& r, const QColor& colour)
{
    p.setPen(colour);
    p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
}

int countColour(const QImage& img, const QColor& colour)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            n += img.pixelColor(x, y) == colour;
    return n;
}

QStringList& warnings()
{
    static QStringList list;
    return list;
}

void collectWarnings(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    warnings() << msg;
}

// A translation of the progress delegate's own texts, as a loaded .qm file
// would give it.
class ProgressTranslator : public QTranslator {
public:
    QString translate(const char* context, const char* source, const char*, int) const override
    {
        if (qstrcmp(context, "ProgressListDelegate") != 0)
            return QString();
        static const QHash<QString, QString> german{{"Splitting File", "Datei wird geteilt"},
                                                    {"Encoding Error.", "Fehler beim Kodieren."},
                                                    {"Uploading: %1", "Wird hochgeladen: %1"},
                                                    {"Upload Error.", "Fehler beim Hochladen."}};
        return german.value(QString::fromUtf8(source));
    }
    bool isEmpty() const override { return false; }
};

} // namespace

class OstrandEncoderTest : public QObject {
    Q_OBJECT

private:
    QString dataFolder;
    QTemporaryDir files;
    QString existing;

    QVariantMap probedRow(const QString& file) const
    {
        return {{kFilenameKey, file},        {kValidKey, "true"},        {kVideoCodecKey, "MPEG-2 video"},
                {kVBitrateKey, "25"},        {kModeKey, "NTSC"},         {kAudioCodecKey, "MP2"},
                {kNumAudioStreamsKey, "1"},  {kNumVideoStreamsKey, "1"}, {kDurationKey, "1h 2m 5s "}};
    }

private slots:
    void initTestCase()
    {
        dataFolder = QDir::currentPath();
        QVERIFY(files.isValid());
        existing = files.path() + "/clip.mov";
        QFile f(existing);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(!QFileIconProvider().icon(QFileInfo(existing)).isNull());
    }

    void sizeHintsAreFixed()
    {
        ListItemDelegate input;
        OutputListDelegate output;
        ProgressListDelegate progress;
        QStandardItemModel model;
        auto* item = new QStandardItem;
        item->setData(QVariantMap{{kFilenameKey, QString(300, 'x')}, {kDisplayNameKey, QString(300, 'y')}},
                      Qt::UserRole);
        model.appendRow(item);
        model.appendRow(new QStandardItem);
        for (int r = 0; r < 2; ++r) {
            const QStyleOptionViewItem opt = optionFor(QRect(0, 0, 10, 10));
            QCOMPARE(input.sizeHint(opt, model.index(r, 0)), QSize(400, 40));
            QCOMPARE(output.sizeHint(opt, model.index(r, 0)), QSize(460, 25));
            QCOMPARE(progress.sizeHint(opt, model.index(r, 0)), QSize(460, 30));
        }
    }

    void progressBars()
    {
        ProgressListDelegate d;
        const QRect row(20, 10, 460, 30); // inclusive right 479, bottom 39
        const QColor blue("lightblue"), green("lightgreen");

        QImage half = paintRow(d, {{kEncodingProgressKey, 50}}, row);
        QCOMPARE(half.pixelColor(20, 12), blue);
        QCOMPARE(half.pixelColor(249, 12), blue); // 230 pixels wide
        QCOMPARE(half.pixelColor(250, 12), kWhite);
        QCOMPARE(half.pixelColor(20, 38), blue);  // full height above the separator
        QCOMPARE(half.pixelColor(19, 12), kWhite);
        QCOMPARE(half.pixelColor(100, 9), kWhite);

        QCOMPARE(countColour(paintRow(d, {{kEncodingProgressKey, 0}}, row), blue), 0);
        // A failed row's bar is empty, though the loop marks it at 100.
        QCOMPARE(countColour(paintRow(d, {{kIsEncodingKey, kEncodingError}, {kEncodingProgressKey, 100}}, row), blue), 0);

        // The upload bar lies over the encode bar.
        QImage up = paintRow(d, {{kEncodingProgressKey, 100}, {kUploadProgressKey, 100}}, row);
        QCOMPARE(up.pixelColor(20, 12), green);
        QCOMPARE(up.pixelColor(479, 12), green);
        QCOMPARE(countColour(up, blue), 0);
        QImage partly = paintRow(d, {{kEncodingProgressKey, 100}, {kUploadProgressKey, 25}}, row);
        QCOMPARE(partly.pixelColor(134, 12), green);
        QCOMPARE(partly.pixelColor(135, 12), blue);

        // Values outside 0..100 stay inside the row.
        for (int p : {150, 100000, -20, INT_MIN, INT_MAX}) {
            QImage img = paintRow(d, {{kEncodingProgressKey, p}, {kUploadProgressKey, p}}, row);
            for (int y : {12, 38})
                for (int x : {0, 19, 480, 519})
                    QVERIFY2(img.pixelColor(x, y) == kWhite, qPrintable(QString("p=%1 x=%2").arg(p).arg(x)));
            if (p > 100)
                QCOMPARE(img.pixelColor(479, 12), green);
        }
    }

    void progressTexts_data()
    {
        QTest::addColumn<QVariantMap>("map");
        QTest::addColumn<QString>("percent");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("weight"); // -1: the default font
        QTest::addColumn<bool>("italic");

        const QVariantMap base{{kDisplayNameKey, "clip.mov (1/4)"}, {kCurUploadFileKey, "a.mpg"}};
        auto with = [&base](int state, int p, const QString& upload) {
            QVariantMap m = base;
            m[kIsEncodingKey] = state;
            m[kEncodingProgressKey] = p;
            m[kUploadProgressStringKey] = upload;
            return m;
        };
        QTest::newRow("queued, new row") << with(kQueued, 0, "") << "0%" << "clip.mov (1/4)" << 50 << false;
        QTest::newRow("encoding") << with(kEncoding, 42, "") << "42%" << "clip.mov (1/4)" << 75 << false;
        QTest::newRow("splitting") << with(kSplitting, 100, "") << "100%" << "Splitting File" << 75 << false;
        QTest::newRow("encoded") << with(kEncoded, 100, "nan") << "100%" << "clip.mov (1/4)" << 50 << true;
        // A failed row made nothing: no bar and no percentage, whatever it reached.
        QTest::newRow("encoding error") << with(kEncodingError, 100, "") << "" << "Encoding Error." << 50 << true;
        QTest::newRow("uploading") << with(kUploading, 100, "37.5") << "37.5%" << "Uploading: a.mpg" << 75 << false;
        QTest::newRow("uploaded") << with(kUploaded, 100, "100.0") << "100.0%" << "clip.mov (1/4)" << 50 << true;
        QTest::newRow("upload error") << with(kUploadError, 100, "0.0") << "0.0%" << "Upload Error." << 50 << true;
        QTest::newRow("unknown state") << with(9, 100, "") << "100%" << "clip.mov (1/4)" << -1 << false;
        QTest::newRow("progress out of range") << with(kEncoding, 101, "") << "" << "clip.mov (1/4)" << 75 << false;
    }

    void progressTexts()
    {
        QFETCH(QVariantMap, map);
        QFETCH(QString, percent);
        QFETCH(QString, text);
        QFETCH(int, weight);
        QFETCH(bool, italic);
        ProgressListDelegate d;
        const QRect r(20, 10, 460, 30);
        const int p = fileitem::state(map) == kEncodingError ? 0 : map.value(kEncodingProgressKey).toInt();
        const QImage painted = paintRow(d, map, r);
        const QImage expected = reference([&](QPainter& q) {
            const int bar = std::min(460, std::max(0, 460 * p / 100));
            if (bar > 0)
                q.fillRect(QRect(20, 10, bar, 30), QColor("lightblue"));
            q.setFont(font(13));
            if (!percent.isEmpty())
                q.drawText(20 + 460 * 22 / 24, 10 + 18, percent);
            q.setFont(weight < 0 ? QFont() : font(14, weight, italic));
            q.drawText(30, 30, text);
            separator(q, r, QColor("black"));
        });
        QCOMPARE(painted, expected);
    }

    void progressTextsTranslated_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("weight");
        QTest::newRow("splitting") << int(kSplitting) << "Datei wird geteilt" << 75;
        QTest::newRow("encoding error") << int(kEncodingError) << "Fehler beim Kodieren." << 50;
        QTest::newRow("uploading") << int(kUploading) << "Wird hochgeladen: a.mpg" << 75;
        QTest::newRow("upload error") << int(kUploadError) << "Fehler beim Hochladen." << 50;
    }

    void progressTextsTranslated()
    {
        QFETCH(int, state);
        QFETCH(QString, text);
        QFETCH(int, weight);
        ProgressTranslator translator;
        QVERIFY(QCoreApplication::installTranslator(&translator));
        auto removed = qScopeGuard([&] { QCoreApplication::removeTranslator(&translator); });
        ProgressListDelegate d;
        const QRect r(20, 10, 460, 30);
        const QVariantMap map{{kDisplayNameKey, "clip.mov"}, {kCurUploadFileKey, "a.mpg"}, {kIsEncodingKey, state},
                              {kEncodingProgressKey, 100}, {kUploadProgressStringKey, ""}};
        // A failed row draws neither bar nor percentage.
        const bool failed = state == kEncodingError;
        const QImage expected = reference([&](QPainter& q) {
            if (!failed) {
                q.fillRect(QRect(20, 10, 460, 30), QColor("lightblue"));
                q.setFont(font(13));
                q.drawText(20 + 460 * 22 / 24, 10 + 18, "100%");
            }
            q.setFont(font(14, weight, weight == 50));
            q.drawText(30, 30, text);
            separator(q, r, QColor("black"));
        });
        QCOMPARE(paintRow(d, map, r), expected);
    }

    void progressFontsShow()
    {
        // The comparison above sees the font: bold and normal names differ.
        ProgressListDelegate d;
        const QRect r(20, 10, 460, 30);
        QVariantMap m{{kDisplayNameKey, "clip.mov"}, {kIsEncodingKey, kQueued}};
        const QImage normal = paintRow(d, m, r);
        m[kIsEncodingKey] = kEncoding;
        QVERIFY(paintRow(d, m, r) != normal);
        m[kIsEncodingKey] = kEncoded;
        QVERIFY(paintRow(d, m, r) != normal);
    }

    void outputRows()
    {
        OutputListDelegate d;
        const QRect r(20, 10, 460, 25);
        const QImage painted =
            paintRow(d, {{kFilenameKey, "/in/a b/clip.take.mov"}, {kOutputFilenameKey, "/out/VID_SLOT2_00002.mpg"}}, r);
        // Names 45 pixels in, unless the bold "Output: " of this face is wider.
        const int nameX = 20 + std::max(45, QFontMetrics(font(11, QFont::Bold)).horizontalAdvance("Output: "));
        const QImage expected = reference([&](QPainter& q) {
            q.setFont(font(11, QFont::Bold));
            q.drawText(20, 20, "Input: ");
            q.setFont(font(11));
            q.drawText(nameX, 20, "clip.take.mov");
            q.setFont(font(11, QFont::Bold));
            q.drawText(20, 31, "Output: ");
            q.setFont(font(11));
            q.drawText(nameX, 31, "VID_SLOT2_00002.mpg");
            separator(q, r, QColor("black"));
        });
        QCOMPARE(painted, expected);
    }

    void inputRows_data()
    {
        QTest::addColumn<QVariantMap>("map");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("detailPen"); // "" = the view's pen
        QTest::addColumn<bool>("duration");

        const QVariantMap ok = probedRow(existing);
        QTest::newRow("probed") << ok << "MPEG-2 video, 25Mbps, NTSC" << "black" << true;
        QVariantMap m = ok;
        m[kVBitrateKey] = "0";
        m[kModeKey] = "PAL";
        QTest::newRow("no bitrate") << m << "MPEG-2 video, PAL" << "black" << true;
        m = ok;
        m[kNumAudioStreamsKey] = "0";
        QTest::newRow("no audio") << m << "MPEG-2 video, 25Mbps, NTSC, No Audio Stream" << "black" << true;
        m = ok;
        m[kNumVideoStreamsKey] = "0";
        QTest::newRow("no video") << m << "MP2, No Video Stream" << "black" << true;
        QTest::newRow("probing") << QVariantMap{{kFilenameKey, existing}, {kValidKey, "false"}, {kVideoCodecKey, "Processing..."}}
                                 << "Processing..." << "" << false;
        QTest::newRow("invalid type") << QVariantMap{{kFilenameKey, existing}, {kValidKey, "false"}, {kVideoCodecKey, "Invalid File Type"}}
                                      << "Invalid File Type" << "red" << false;
        QTest::newRow("not found, no icon")
            << QVariantMap{{kFilenameKey, files.path() + "/gone.mov"}, {kValidKey, "false"}, {kVideoCodecKey, "File Not Found"}}
            << "File Not Found" << "" << false;
    }

    void inputRows()
    {
        QFETCH(QVariantMap, map);
        QFETCH(QString, detail);
        QFETCH(QString, detailPen);
        QFETCH(bool, duration);
        ListItemDelegate d;
        const QRect r(20, 10, 460, 40); // left 20, top 10, right 479, width 460
        const QFileInfo file(map.value(kFilenameKey).toString());

        warnings().clear();
        QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
        const QImage painted = paintRow(d, map, r);
        qInstallMessageHandler(previous);
        QVERIFY2(warnings().isEmpty(), qPrintable(warnings().join("\n")));

        const QImage expected = reference([&](QPainter& q) {
            QStandardItemModel model;
            model.appendRow(new QStandardItem);
            QStyledItemDelegate().paint(&q, optionFor(r), model.index(0, 0));
            separator(q, r, kViewPen);
            q.setPen(kViewPen);
            if (file.exists())
                q.drawPixmap(QRect(20, 12, 35, 35),
                             QFileIconProvider().icon(file).pixmap(35, 35).scaled(
                                 35, 35, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
            q.setFont(font(15, QFont::Bold));
            q.drawText(20 + 460 / 8, 27, file.fileName());
            q.setFont(font(10));
            if (!detailPen.isEmpty())
                q.setPen(QColor(detailPen));
            q.drawText(20 + 460 / 8, 43, detail);
            if (duration) {
                q.setPen(QColor("black"));
                q.setFont(font(13));
                q.drawText(QRect(QPoint(479, 23), QPoint(479, 37)), Qt::AlignRight | Qt::TextDontClip,
                           "1h 2m 5s ");
            }
        });
        QCOMPARE(painted, expected);

        // The duration ends at the row's right edge; nothing is drawn outside the row.
        for (int x = 480; x < kImage.width(); ++x)
            for (int y = 0; y < kImage.height(); ++y)
                QCOMPARE(painted.pixelColor(x, y), kWhite);
        // The icon square holds the file's icon, or nothing for a path that is gone.
        int iconPixels = 0;
        for (int y = 12; y < 47; ++y)
            for (int x = 20; x < 55; ++x)
                iconPixels += painted.pixelColor(x, y) != kWhite;
        QCOMPARE(iconPixels > 0, file.exists());

        // Red text shows as reddish pixels (the edges are blended).
        int reddish = 0;
        for (int y = 0; y < kImage.height(); ++y)
            for (int x = 0; x < kImage.width(); ++x) {
                const QColor c = painted.pixelColor(x, y);
                reddish += c.red() > 160 && c.green() < 110 && c.blue() < 110;
            }
        QCOMPARE(reddish > 0, detailPen == "red");
    }

    void windowViewsUseThem()
    {
        windowtest::Scope scope(dataFolder);
        QVERIFY(scope.ok);
        OstrandEncoder w;
        w.show();
        Ui::OstrandEncoderClass& f = w.ui;
        auto* input = qobject_cast<ListItemDelegate*>(f.encoderListView->itemDelegate());
        auto* output = qobject_cast<OutputListDelegate*>(f.outputListView->itemDelegate());
        auto* progress = qobject_cast<ProgressListDelegate*>(f.encodingProgressList->itemDelegate());
        QVERIFY(input && output && progress);
        QVERIFY(!input->parent() && !output->parent() && !progress->parent());

        for (int i = 0; i < 3; ++i) {
            auto* item = new QStandardItem;
            item->setData(probedRow(existing), Qt::UserRole);
            w.model->appendRow(item);
        }
        for (int page = 1; page <= 3; ++page) {
            f.stackedWidget->setCurrentIndex(page);
            QCoreApplication::processEvents();
        }
        QCOMPARE(f.encoderListView->visualRect(w.model->index(2, 0)).height(), 40);
        QCOMPARE(f.encoderListView->visualRect(w.model->index(2, 0)).top(), 80);
        QCOMPARE(f.outputListView->visualRect(w.model->index(2, 0)).height(), 25);
        QCOMPARE(f.encodingProgressList->visualRect(w.model->index(2, 0)).height(), 30);
        QCOMPARE(f.encoderListView->editTriggers(), QAbstractItemView::NoEditTriggers);
        QCOMPARE(f.encoderListView->selectionMode(), QAbstractItemView::ExtendedSelection);
        QVERIFY(f.encoderListView->isSelectionRectVisible());
        QCOMPARE(f.outputListView->selectionMode(), QAbstractItemView::NoSelection);
        QCOMPARE(f.encodingProgressList->selectionMode(), QAbstractItemView::NoSelection);
        for (QListView* v : {static_cast<QListView*>(f.encoderListView), f.outputListView, f.encodingProgressList})
            QVERIFY(v->uniformItemSizes());
    }
};

int main(int argc, char* argv[])
{
    return windowtest::runWindowTests<OstrandEncoderTest>(argc, argv);
}

#include "tst_listdelegates.moc"
