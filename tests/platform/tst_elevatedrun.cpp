// A run elevated for a user (root with PKEXEC_UID naming nobody): what it
// makes in the user's folders becomes the user's, and nothing else changes
// hands: not an entry in someone else's folder, not what a link points at,
// not an entry of another user's.
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "elevatedrun.h"

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
        QVERIFY(QDir().mkpath(users));
        QVERIFY(chownTo(users, kUser));

        // The folders a run makes, outermost first, then a file in them.
        const QString clip = users + "/a/clip";
        const QStringList made = elevatedrun::missingFolders(clip);
        QCOMPARE(made, (QStringList{users + "/a", clip}));
        QVERIFY(QDir().mkpath(clip));
        for (const QString& folder : made)
            elevatedrun::handOver(folder);
        QVERIFY(touch(clip + "/frame.tga"));
        elevatedrun::handOver(clip + "/frame.tga");
        for (const QString& path : {users + "/a", clip, clip + "/frame.tga"})
            QCOMPARE(ownerOf(path), kUser);
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
