// Files made where other users may write: never through a link or over a
// file already there, and never renamed into place once their name was
// taken over by something else.
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exclusivefile.h"

class TestExclusiveFile : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::string path(const char* name) const { return m_dir.filePath(name).toStdString(); }
    static QByteArray contents(const std::string& file)
    {
        QFile f(QString::fromStdString(file));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
    }
    static bool isLink(const std::string& file)
    {
        struct stat st;
        return ::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }

private slots:
    void nothingAlreadyThereIsOpened()
    {
        const int folder = ::open(m_dir.path().toUtf8().constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(folder >= 0);
        QFile victim(m_dir.filePath("victim"));
        QVERIFY(victim.open(QIODevice::WriteOnly));
        victim.write("kept");
        victim.close();
        QCOMPARE(::symlink(path("victim").c_str(), path("link").c_str()), 0);
        QCOMPARE(::symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
        for (const char* taken : {"victim", "link", "dangling"}) {
            errno = 0;
            QCOMPARE(exclusivefile::createNew(folder, taken, 0644), -1);
            QCOMPARE(errno, EEXIST);
        }
        QVERIFY(!QFile::exists(m_dir.filePath("nowhere")));
        QCOMPARE(contents(path("victim")), QByteArray("kept"));

        // Temporary names differ each time and keep their prefix and suffix.
        std::string first, second;
        const int a = exclusivefile::createTemporary(folder, ".out.mpg.", ".part", &first, 0600);
        const int b = exclusivefile::createTemporary(folder, ".out.mpg.", ".part", &second, 0600);
        QVERIFY(a >= 0 && b >= 0);
        QVERIFY(first != second);
        QVERIFY(QString::fromStdString(first).contains(QRegularExpression(R"(^\.out\.mpg\.[A-Za-z0-9]{6}\.part$)")));
        QVERIFY(exclusivefile::namesFile(folder, first, a));
        QVERIFY(!exclusivefile::namesFile(folder, second, a));
        ::close(a);
        ::close(b);
        ::close(folder);
    }

    void aSwappedNameIsNeverRenamedIntoPlace()
    {
        const int folder = ::open(m_dir.path().toUtf8().constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(folder >= 0);
        std::string temporary;
        const int fd = exclusivefile::createTemporary(folder, ".swap.mpg.", ".part", &temporary, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "ours", 4), ssize_t(4));

        // Someone put a link in its place: nothing moves onto the output name.
        QCOMPARE(::unlinkat(folder, temporary.c_str(), 0), 0);
        QCOMPARE(::symlinkat(path("victim2").c_str(), folder, temporary.c_str()), 0);
        errno = 0;
        QVERIFY(!exclusivefile::renameOwn(folder, temporary, "swap.mpg", fd));
        QCOMPARE(errno, ESTALE);
        QVERIFY(!QFileInfo::exists(m_dir.filePath("swap.mpg")) && !isLink(path("swap.mpg")));
        QCOMPARE(::unlinkat(folder, temporary.c_str(), 0), 0);
        ::close(fd);

        // Untouched, it takes the name and replaces what was there.
        std::string again;
        const int own = exclusivefile::createTemporary(folder, ".swap.mpg.", ".part", &again, 0644);
        QVERIFY(own >= 0);
        QCOMPARE(::write(own, "ours", 4), ssize_t(4));
        QCOMPARE(::symlink(path("victim2").c_str(), path("swap.mpg").c_str()), 0);
        QVERIFY(exclusivefile::renameOwn(folder, again, "swap.mpg", own));
        QVERIFY(!isLink(path("swap.mpg")));
        QCOMPARE(contents(path("swap.mpg")), QByteArray("ours"));
        QVERIFY(!QFileInfo::exists(m_dir.filePath("victim2")));
        ::close(own);
        ::close(folder);
    }
};

QTEST_GUILESS_MAIN(TestExclusiveFile)
#include "tst_exclusivefile.moc"
