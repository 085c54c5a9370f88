// A run elevated for a user (root with PKEXEC_UID naming nobody): what it
// makes in the user's folders becomes the user's, and nothing else changes
// hands: not an entry in someone else's folder, not what a link points at,
// not an entry of another user's.
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "elevatedrun.h"
#include "exclusivefile.h"

namespace {

const uid_t kUser = 65534;

uid_t ownerOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_uid : uid_t(-1);
}

bool chownTo(const QString& path, uid_t uid)
{
    return ::lchown(QFile::encodeName(path).constData(), uid, uid) == 0;
}

bool touch(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

} // namespace

class ElevatedRunTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        if (!elevatedrun::forUser())
            QSKIP("needs root (the run elevated for nobody)");
    }

    void madeInTheUsersFolder()
    {
        QTemporaryDir dir;
        const QString users = dir.path() + "/users";
        QVERIFY(QDir().mkpath(users + "/own"));
        QVERIFY(chownTo(users, kUser) && chownTo(users + "/own", kUser));

        // The folders a run makes, each the user's as it is made, then a file
        // in them: the user's before anything is written into it.
        const QString clip = users + "/a/clip";
        QVERIFY(elevatedrun::makeFolders(clip));
        exclusivefile::TemporaryFile frame(QFile::encodeName(clip + "/frame.tga").toStdString());
        QVERIFY(frame.fd() >= 0);
        QCOMPARE(ownerOf(QFile::decodeName(frame.path().c_str())), kUser);
        QVERIFY(frame.publish());
        for (const QString& path : {users + "/a", clip, clip + "/frame.tga"})
            QCOMPARE(ownerOf(path), kUser);

        // Through the user's own link to a folder of the user's.
        QVERIFY(QFile::link(users + "/own", users + "/link"));
        QVERIFY(elevatedrun::makeFolders(users + "/link/clip"));
        QCOMPARE(ownerOf(users + "/own/clip"), kUser);

        // One level only, as mkdir.
        QVERIFY(!elevatedrun::makeFolders(users + "/b/clip", false));
        QVERIFY(!QFile::exists(users + "/b"));
        QVERIFY(elevatedrun::makeFolders(users + "/b", false));
        QCOMPARE(ownerOf(users + "/b"), kUser);
        QVERIFY(elevatedrun::makeFolders(users + "/b", false));
    }

    void nothingElseChangesHands()
    {
        QTemporaryDir dir;
        const QString users = dir.path() + "/users", roots = dir.path() + "/roots";
        QVERIFY(QDir().mkpath(users) && QDir().mkpath(roots));
        QVERIFY(chownTo(users, kUser));

        // In root's own folder.
        QVERIFY(touch(roots + "/file"));
        elevatedrun::handOver(roots + "/file");
        QCOMPARE(ownerOf(roots + "/file"), uid_t(0));

        // A link in the user's folder to root's file: neither changes.
        QVERIFY(QFile::link(roots + "/file", users + "/link"));
        elevatedrun::handOver(users + "/link");
        QCOMPARE(ownerOf(roots + "/file"), uid_t(0));

        // Through a linked folder of the user's into root's folder.
        QVERIFY(QFile::link(roots, users + "/linked"));
        elevatedrun::handOver(users + "/linked/file");
        QCOMPARE(ownerOf(roots + "/file"), uid_t(0));

        // Made in root's folder, also through the user's link to it.
        QVERIFY(elevatedrun::makeFolders(roots + "/made"));
        QCOMPARE(ownerOf(roots + "/made"), uid_t(0));
        QVERIFY(elevatedrun::makeFolders(users + "/linked/throughLink"));
        QCOMPARE(ownerOf(roots + "/throughLink"), uid_t(0));
        exclusivefile::TemporaryFile file(QFile::encodeName(users + "/linked/file2").toStdString());
        QVERIFY(file.fd() >= 0);
        QCOMPARE(ownerOf(QFile::decodeName(file.path().c_str())), uid_t(0));

        // Another user's entry in the user's folder.
        QVERIFY(touch(users + "/theirs"));
        QVERIFY(chownTo(users + "/theirs", 4242));
        elevatedrun::handOver(users + "/theirs");
        QCOMPARE(ownerOf(users + "/theirs"), uid_t(4242));
    }
};

int main(int argc, char* argv[])
{
    // Before anything asks: the run is elevated for nobody.
    if (::geteuid() == 0)
        qputenv("PKEXEC_UID", QByteArray::number(kUser));
    QCoreApplication app(argc, argv);
    ElevatedRunTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_elevatedrun.moc"
