// Writes of the settings file: owner-only mode without ever widening it, and
// a file that cannot be written reported once per run.
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "reporting.h"
#include "settingswrite.h"

namespace {

QStringList g_reports;

void recordReport(const reporting::Report& report)
{
    g_reports << report.text;
}

int modeOf(const QString& path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

} // namespace

class TestSettingsWrite : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    mode_t mask = 022;

    void useFolder(const QString& folder)
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName("Ostrand Kelvane Inc");
        QCoreApplication::setApplicationName("Quorvel");
        reporting::install(recordReport);
        mask = ::umask(022);
    }

    void cleanupTestCase() { ::umask(mask); }

    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        useFolder(dir->path());
    }

    void newFileIsOwnerOnly()
    {
        const QString file = QSettings().fileName();
        QVERIFY(!QFile::exists(file));
        {
            SettingsWrite settings;
            // Made before anything is in it, so no copy is ever readable by others.
            QCOMPARE(modeOf(file), 0600);
            settings.setValue("ftpUploadSettings/1/primaryPassword", "secret");
            QVERIFY(settings.commit());
        }
        QCOMPARE(modeOf(file), 0600);
        QCOMPARE(QSettings().value("ftpUploadSettings/1/primaryPassword").toString(), QString("secret"));
        QVERIFY(g_reports.isEmpty());
    }

    // A folder that cannot be made (a plain file stands in its place): the
    // write fails, says so once, and a later good write says nothing.
    void unwritableReportedOnce()
    {
        QFile blocker(dir->path() + "/blocker");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        useFolder(blocker.fileName() + "/config");
        const QString file = QSettings().fileName();
        g_reports.clear();
        {
            SettingsWrite settings;
            settings.setValue("lastProductIndex", 1);
            QVERIFY(!settings.commit());
        }
        QCOMPARE(g_reports, QStringList{"Your selections could not be saved: " + file});
        {
            SettingsWrite settings;
            settings.setValue("lastProductIndex", 2);
            QVERIFY(!settings.commit());
        }
        QCOMPARE(g_reports.size(), 1);

        useFolder(dir->path());
        SettingsWrite settings;
        settings.setValue("lastProductIndex", 3);
        QVERIFY(settings.commit());
        QCOMPARE(g_reports.size(), 1);
    }

    void olderFileTightenedKeepingItsValues_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("after");
        QTest::newRow("0644") << 0644 << 0600;
        QTest::newRow("0666") << 0666 << 0600;
        QTest::newRow("0640") << 0640 << 0600;
        QTest::newRow("0600 stays") << 0600 << 0600;
        // Bits are only taken away: a read-only file stays read-only.
        QTest::newRow("0444") << 0444 << 0400;
    }

    void olderFileTightenedKeepingItsValues()
    {
        QFETCH(int, before);
        QFETCH(int, after);
        const QString file = QSettings().fileName();
        {
            QSettings old;
            old.setValue("lastProductIndex", 2);
        }
        QVERIFY(::chmod(QFile::encodeName(file).constData(), mode_t(before)) == 0);
        {
            SettingsWrite settings;
            QCOMPARE(modeOf(file), after);
            settings.setValue("lastResIndex", 1);
        }
        // Root writes whatever the mode says (and Qt's rewrite may give the
        // owner write access back); others cannot write 0400, and the run's
        // one report was made above.
        QCOMPARE(modeOf(file) & 077, 0);
        if (after & 0200)
            QCOMPARE(modeOf(file), after);
        QCOMPARE(QSettings().value("lastProductIndex").toInt(), 2);
    }
};

QTEST_GUILESS_MAIN(TestSettingsWrite)
#include "tst_settingswrite.moc"
