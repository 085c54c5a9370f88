// Shared set-up for the main-window tests: settings, documents folder and
// current folder in temporary places, and a check for broken signal-slot
// connections (string-based connects only warn at run time).
#pragma once

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QStandardItemModel>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>

#include "fileitemmap.h"
#include "reporters.h"
#include "testutil.h"

namespace windowtest {

inline QStringList& connectWarnings()
{
    static QStringList list;
    return list;
}

inline QtMessageHandler& previousHandler()
{
    static QtMessageHandler handler = nullptr;
    return handler;
}

inline void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    if (msg.contains(QLatin1String("QObject::connect")))
        connectWarnings() << msg;
    if (previousHandler())
        previousHandler()(type, context, msg);
}

inline void installConnectWatch()
{
    previousHandler() = qInstallMessageHandler(messageHandler);
}

// Call before the QApplication exists: keeps the user's real configuration
// and documents folder out of the tests.
inline void isolateUserFolders(const QString& root)
{
    const QString config = root + "/config";
    const QString docs = root + "/Documents";
    QDir().mkpath(config);
    QDir().mkpath(docs);
    QFile dirs(config + "/user-dirs.dirs");
    if (dirs.open(QIODevice::WriteOnly))
        dirs.write(QByteArray("XDG_DOCUMENTS_DIR=\"") + QFile::encodeName(docs) + "\"\n");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
}

inline bool copyFolder(const QString& from, const QString& to)
{
    QDir src(from);
    if (!src.exists() || !QDir().mkpath(to))
        return false;
    const QStringList files = src.entryList(QDir::Files);
    for (const QString& f : files)
        if (!QFile::copy(src.filePath(f), to + "/" + f))
            return false;
    return true;
}

// One test's surroundings: fresh settings store and a current folder holding
// copies of Presets/ and Plugins/.
class Scope {
public:
    explicit Scope(const QString& dataFolder)
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        ok = settingsDir.isValid() && workDir.isValid()
            && copyFolder(dataFolder + "/Presets", workDir.path() + "/Presets")
            && QDir().mkpath(workDir.path() + "/Plugins")
            && QDir::setCurrent(workDir.path());
        copyFolder(dataFolder + "/Plugins", workDir.path() + "/Plugins");
    }
    ~Scope() { QDir::setCurrent(previousFolder); }

    QString previousFolder = QDir::currentPath();
    bool ok = false;
    QTemporaryDir settingsDir;
    QTemporaryDir workDir;
};

// What each window test case does before and after: fresh surroundings,
// then no broken signal-slot connection left behind. Mixed into the test class.
class Fixture {
protected:
    QString dataFolder;
    std::unique_ptr<Scope> scope;

    // From initTestCase, in the folder holding Presets/.
    void startCase()
    {
        installConnectWatch();
        dataFolder = QDir::currentPath();
        QVERIFY2(QDir(dataFolder + "/Presets").exists(), "tests run in a folder holding Presets/");
    }
    void startTest()
    {
        connectWarnings().clear();
        scope.reset(new Scope(dataFolder));
        QVERIFY(scope->ok);
    }
    void endTest()
    {
        QCoreApplication::processEvents();
        scope.reset();
        QVERIFY2(connectWarnings().isEmpty(), qPrintable(connectWarnings().join("\n")));
    }
};

// A Fixture whose every case works on a fresh, shown window of type W.
template <typename W>
class WindowFixture : protected Fixture {
protected:
    std::unique_ptr<W> w;

    // From init and cleanup.
    void openWindow()
    {
        startTest();
        w.reset(new W);
        w->show();
    }
    void closeWindow()
    {
        w.reset();
        endTest();
    }
};

// A folder for the media a test program makes, removed when the program ends.
inline QString mediaFolder()
{
    static QTemporaryDir dir;
    return dir.isValid() ? dir.path() : QString();
}

// The main of a window test program: the user's folders kept out, then the cases.
template <typename Test>
int runWindowTests(int argc, char* argv[])
{
    QTemporaryDir home;
    isolateUserFolders(home.path());
    QApplication app(argc, argv);
    QTEST_DISABLE_KEYPAD_NAVIGATION
    // As the windowed program's start-up does.
    installBoxReporter();
    Test test;
    return QTest::qExec(&test, argc, argv);
}

// Changes one byte of a preset so that its digest no longer matches.
inline bool damagePreset(const QString& name)
{
    QFile f(QDir::currentPath() + "/Presets/" + name);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QByteArray data = f.readAll();
    if (data.isEmpty())
        return false;
    data[0] = char(data[0] ^ 0x20);
    f.seek(0);
    return f.write(data) == data.size();
}

// Watches for modal message boxes while nested event loops run, records
// them and answers them with the given button.
class MessageBoxAnswerer : public QObject {
public:
    explicit MessageBoxAnswerer(QMessageBox::StandardButton answer)
        : answer(answer)
    {
        connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start(20);
    }

    struct Seen {
        QString title, text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButton defaultButton;
        QWidget* parent;
    };
    QList<Seen> seen;

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        QAbstractButton* b = box->button(answer);
        if (!b)
            return;
        seen << Seen{box->windowTitle(), box->text(), box->icon(),
                     box->defaultButton() ? box->standardButton(box->defaultButton())
                                          : QMessageBox::NoButton,
                     box->parentWidget()};
        b->click();
    }

    QMessageBox::StandardButton answer;
    QTimer timer;
};

// Finds the modal file dialog that a static QFileDialog call opened and hands
// it to the given function, which accepts or rejects it.
class FileDialogDriver : public QObject {
public:
    explicit FileDialogDriver(std::function<void(QFileDialog*)> act)
        : act(std::move(act))
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!d || !d->isVisible() || done)
                return;
            done = true;
            this->act(d);
        });
        timer.start(20);
    }
    bool done = false;

    // Types into the name field as a user does (selectFile leaves a focused field alone).
    static void typeAndAccept(QFileDialog* d, const QString& text)
    {
        d->findChild<QLineEdit*>("fileNameEdit")->setText(text);
        QMetaObject::invokeMethod(d, "accept");
    }

private:
    std::function<void(QFileDialog*)> act;
    QTimer timer;
};

// Makes a media file with ffmpeg; the arguments come before the output path.
inline bool makeClip(const QString& path, const QString& args)
{
    const auto r = testutil::sh(QString("ffmpeg -nostdin -v error -y %1 '%2'").arg(args, path));
    if (!r.ok())
        qWarning("%s", r.err.constData());
    return r.ok();
}

// One still frame of the given size, as H.264.
inline bool makeFrameClip(const QString& path, const QString& size)
{
    return makeClip(path, "-f lavfi -i color=size=" + size
                              + ":rate=25 -frames:v 1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p");
}

// Every row's probe result has arrived.
inline bool rowsProbed(QStandardItemModel* model)
{
    QCoreApplication::processEvents();
    for (int r = 0; r < model->rowCount(); ++r)
        if (model->item(r)->data(Qt::UserRole).toMap().value(fileitem::kVideoCodecKey) == "Processing...")
            return false;
    return true;
}

// The steps a window test class takes around its cases, for its
// initTestCase, init and cleanup.
class Cases {
public:
    // False when the current folder holds no Presets/.
    bool start()
    {
        installConnectWatch();
        dataFolder = QDir::currentPath();
        return QDir(dataFolder + "/Presets").exists();
    }
    bool begin()
    {
        connectWarnings().clear();
        scope.reset(new Scope(dataFolder));
        return scope->ok;
    }
    // The broken connections of the case, empty when none.
    QString end()
    {
        QCoreApplication::processEvents();
        scope.reset();
        return connectWarnings().join("\n");
    }

    QString dataFolder;
    std::unique_ptr<Scope> scope;
};

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs a short nested loop: 5 when it ran, -1 when QCoreApplication::exit()
// was called outside exec(), which ends every later loop at once.
inline int shortLoop()
{
    QEventLoop loop;
    QTimer::singleShot(50, &loop, [&loop] { loop.exit(5); });
    return loop.exec();
}

// Runs the application's event loop, where a queued exit ends it, and returns
// its exit code (99 when nothing ended it within 15 seconds).
inline int runEventLoop()
{
    QTimer safety;
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    safety.start(15000);
    return QApplication::exec();
}

} // namespace windowtest
