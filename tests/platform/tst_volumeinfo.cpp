// Mounted volumes and labels, including a real exFAT drive mounted through
// exfat-fuse (no udev here, so its label comes from libblkid).
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

#include "../drivefs/index/loopmount.h"
#include "testutil.h"
#include "volumeinfo.h"

namespace {

// Whether the root of this process is itself a mount point: in a chroot into
// a plain folder it is not, and no volume has "/" as its root.
bool rootIsMountPoint()
{
    QFile table("/proc/self/mountinfo");
    if (!table.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : table.readAll().split('\n')) {
        if (line.split(' ').value(4) == "/")
            return true;
    }
    return false;
}

} // namespace

class TestVolumeInfo : public QObject {
    Q_OBJECT

private slots:
    void playerDriveLabels_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("number");
        QTest::newRow("slot") << "T9PW_Slot3" << 3;
        QTest::newRow("plain") << "T9PW1" << 1;
        QTest::newRow("inside") << "MyT9PW-4" << 4;
        // The pattern's ".*" is greedy: only the last digit is captured.
        QTest::newRow("two digits") << "T9PW_12" << 2;
        QTest::newRow("lower case") << "t9pw_1" << -1;
        QTest::newRow("no number") << "T9PW" << -1;
        QTest::newRow("digit not last") << "T9PW1a" << -1;
        QTest::newRow("other") << "USBSTICK" << -1;
        QTest::newRow("empty") << "" << -1;
    }

    void playerDriveLabels()
    {
        QFETCH(QString, label);
        QFETCH(int, number);
        QCOMPARE(VolumeInfo::playerDriveNumber(label), number);
        QCOMPARE(VolumeInfo::isPlayerDriveLabel(label), number >= 0);
    }

    void rootsEndInSlash()
    {
        if (!rootIsMountPoint())
            QSKIP("\"/\" is not a mount point here (a chroot into a plain folder)");
        const QList<VolumeInfo> volumes = VolumeInfo::mountedVolumes();
        QVERIFY(!volumes.isEmpty());
        bool sawRoot = false;
        for (const VolumeInfo& v : volumes) {
            QVERIFY2(v.rootPath().endsWith('/'), qPrintable(v.rootPath()));
            sawRoot = sawRoot || v.rootPath() == "/";
        }
        QVERIFY(sawRoot);
        QCOMPARE(VolumeInfo("/").rootPath(), QString("/"));
        QCOMPARE(VolumeInfo::rootPathOf(QDir::rootPath()), QString("/"));
        QVERIFY(!VolumeInfo("/no/such/path/here").isValid());
        QVERIFY(VolumeInfo::rootPathOf("/no/such/path/here").isEmpty());
        QVERIFY(!VolumeInfo::findByLabel("").isValid());
    }

    void probeLabelOfNonDevices()
    {
        QVERIFY(VolumeInfo::probeLabel("").isEmpty());
        QVERIFY(VolumeInfo::probeLabel("tmpfs").isEmpty());
        QVERIFY(VolumeInfo::probeLabel("/no/such/device").isEmpty());
        QTemporaryFile junk;
        QVERIFY(junk.open());
        junk.write(QByteArray(65536, 'x'));
        junk.flush();
        QVERIFY(VolumeInfo::probeLabel(junk.fileName()).isEmpty());
    }

    // A device this process may not read (as root, a child drops to
    // nobody) is told apart from one without a label.
    void probeLabelNotPermitted()
    {
        QTemporaryFile image;
        QVERIFY(image.open());
        image.write(QByteArray(65536, 'x'));
        image.flush();
        bool unreadable = true;
        VolumeInfo::probeLabel(image.fileName(), &unreadable);
        QVERIFY(!unreadable);
        QVERIFY(QFile::setPermissions(image.fileName(), QFileDevice::Permissions()));
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (::geteuid() == 0 && ::setresuid(65534, 65534, 65534) != 0)
                ::_exit(3);
            bool denied = false;
            VolumeInfo::probeLabel(image.fileName(), &denied);
            ::_exit(denied ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }

    void mountedPlayerDrive()
    {
        const QString missing = LoopMount::missing();
        if (!missing.isEmpty())
            QSKIP(qPrintable("mounted drive test needs " + missing));
        QTemporaryDir work;
        QVERIFY(work.isValid());
        LoopMount drive;
        QString error;
        const QString label = LoopMount::uniqueLabel("T9PW", "_7");
        QVERIFY2(drive.create(work.filePath("disk.img"), 8 << 20, label, &error), qPrintable(error));
        const QString root = drive.mountPoint() + "/";
        QDir(drive.mountPoint()).mkdir("clip_00001");

        const VolumeInfo v(drive.mountPoint() + "/clip_00001");
        QVERIFY(v.isValid());
        QCOMPARE(v.rootPath(), root);
        QCOMPARE(v.name(), label);
        QVERIFY(v.isPlayerDrive());
        QCOMPARE(VolumeInfo::playerDriveNumber(v.name()), 7);
        QCOMPARE(v.device(), drive.loopDevice());
        QVERIFY(v.bytesTotal() > 0);

        bool listed = false;
        for (const VolumeInfo& m : VolumeInfo::mountedVolumes())
            listed = listed || (m.rootPath() == root && m.name() == label);
        QVERIFY(listed);
        QCOMPARE(VolumeInfo::findByLabel(label).rootPath(), root);
        QCOMPARE(VolumeInfo::probeLabel(drive.loopDevice()), label);
        QVERIFY2(drive.release(), qPrintable(drive.releaseError()));
        QVERIFY(!VolumeInfo::findByLabel(label).isValid());
    }
};

QTEST_GUILESS_MAIN(TestVolumeInfo)
#include "tst_volumeinfo.moc"
