// The FTP server dialog with real widgets: fields from and to the row, and
// the login test against a real FTP server (pyftpdlib) on 127.0.0.1.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

#include "fileitemkeys.h"
#include "ftpcontrolclient.h"
#include "ftpdialogtest.h"
#include "ftpserversetup.h"
#include "ftptestserver.h"

using namespace ftpdialogtest;

namespace {

QLineEdit* edit(FTPServerSetup& d, const QString& name)
{
    return d.findChild<QLineEdit*>(name);
}

QString primaryStatus(FTPServerSetup& d)
{
    return d.findChild<QLabel*>("primaryStatusLabel")->text();
}

QString primaryStatusTip(FTPServerSetup& d)
{
    return d.findChild<QLabel*>("primaryStatusLabel")->toolTip();
}

QString secondaryStatus(FTPServerSetup& d)
{
    return d.findChild<QLabel*>("secondaryStatusLabel")->text();
}

// Fills the fields of the "primary" or the "secondary" server.
void fill(FTPServerSetup& d, const QString& which, const QString& address, const QString& port,
          const QString& user, const QString& password)
{
    edit(d, which + "AddressLineEdit")->setText(address);
    edit(d, which + "PortLineEdit")->setText(port);
    edit(d, which + "UsernameLineEdit")->setText(user);
    edit(d, which + "PasswordLineEdit")->setText(password);
}

void fillPrimary(FTPServerSetup& d, const QString& address, const QString& port,
                 const QString& user, const QString& password)
{
    fill(d, "primary", address, port, user, password);
}

void fillSecondary(FTPServerSetup& d, const QString& address, const QString& port,
                   const QString& user, const QString& password)
{
    fill(d, "secondary", address, port, user, password);
}

// Every state any session of the dialog reports from now on.
class StateWatch {
public:
    explicit StateWatch(FTPServerSetup& d)
    {
        for (FtpControlClient* c : d.findChildren<FtpControlClient*>())
            spies.emplace_back(new QSignalSpy(c, &FtpControlClient::stateChanged));
    }
    bool any(int state) const
    {
        for (const auto& spy : spies)
            for (const QList<QVariant>& args : *spy)
                if (args.at(0).toInt() == state)
                    return true;
        return false;
    }
    std::vector<std::unique_ptr<QSignalSpy>> spies;
};

} // namespace

#define START_RIG(server, dialog, ...)                                         \
    REQUIRE_FTP_SERVER();                                                      \
    ftptest::Server server;                                                    \
    std::unique_ptr<FTPServerSetup> dialog;                                    \
    QVERIFY2(startRig(server, dialog, ##__VA_ARGS__), "FTP server did not start")

class TestFtpServerSetup : public QObject {
    Q_OBJECT

private:
    QStandardItemModel model;

    QModelIndex row(const QVariantMap& extra = QVariantMap())
    {
        model.clear();
        addRow(model, "clip", extra);
        return model.index(0, 0);
    }

    // A server, and a dialog shown with its primary fields pointing there.
    bool startRig(ftptest::Server& server, std::unique_ptr<FTPServerSetup>& d,
                  const QString& password = ftptest::kPassword)
    {
        if (!server.start())
            return false;
        d.reset(new FTPServerSetup(row(), nullptr));
        d->show();
        fillPrimary(*d, "127.0.0.1", QString::number(server.port), ftptest::kUser, password);
        return true;
    }

    // Clicks Test and returns the states of the sessions it started.
    static std::unique_ptr<StateWatch> test(FTPServerSetup& d)
    {
        QTest::mouseClick(d.findChild<QPushButton*>("testButton"), Qt::LeftButton);
        return std::unique_ptr<StateWatch>(new StateWatch(d));
    }

private slots:
    void fieldsFromTheRow()
    {
        FTPServerSetup empty(row(), nullptr);
        QCOMPARE(empty.windowTitle(), QString("FTPServerSetup"));
        for (const char* name : {"primaryAddressLineEdit", "primaryUsernameLineEdit",
                                 "primaryPasswordLineEdit", "secondaryAddressLineEdit",
                                 "secondaryUsernameLineEdit", "secondaryPasswordLineEdit"})
            QCOMPARE(edit(empty, name)->text(), QString());
        QCOMPARE(edit(empty, "primaryPortLineEdit")->text(), QString("21"));
        QCOMPARE(edit(empty, "secondaryPortLineEdit")->text(), QString("21"));
        QCOMPARE(primaryStatus(empty), QString());
        QCOMPARE(secondaryStatus(empty), QString());
        QCOMPARE(edit(empty, "primaryPasswordLineEdit")->echoMode(), QLineEdit::Password);
        QCOMPARE(edit(empty, "secondaryPasswordLineEdit")->echoMode(), QLineEdit::Password);

        QVariantMap values = ftpValues("R");
        values[fileitem::kPrimaryPortKey] = "2121";
        values[fileitem::kSecondaryPortKey] = "";
        FTPServerSetup filled(row(values), nullptr);
        QCOMPARE(edit(filled, "primaryPortLineEdit")->text(), QString("2121"));
        QCOMPARE(edit(filled, "secondaryPortLineEdit")->text(), QString("21"));
        QCOMPARE(edit(filled, "secondaryUsernameLineEdit")->text(), QString("R-secondaryUsername"));
        // Passwords are shown as echo characters but kept as typed.
        edit(filled, "primaryPasswordLineEdit")->setText("p a,ss\\word");
        const QVariantMap settings = filled.getSettings();
        QStringList keys = kFtpKeys;
        keys.sort();
        QCOMPARE(settings.keys(), keys);
        QCOMPARE(settings[fileitem::kPrimaryPasswordKey].toString(), QString("p a,ss\\word"));
        QCOMPARE(settings[fileitem::kPrimaryPortKey].toString(), QString("2121"));
        QCOMPARE(settings[fileitem::kSecondaryPortKey].toString(), QString("21"));
        QCOMPARE(settings[fileitem::kSecondaryServerKey].toString(), QString("R-secondaryServer"));
        // The dialog writes nothing into the row itself.
        QCOMPARE(rowMap(model, 0)[fileitem::kPrimaryPortKey].toString(), QString("2121"));
        QCOMPARE(rowMap(model, 0)[fileitem::kPrimaryPasswordKey].toString(), QString("R-primaryPassword"));
    }

    void loginTest()
    {
        START_RIG(server, dialog);
        FTPServerSetup& d = *dialog;
        const QString port = QString::number(server.port);
        auto watch = test(d);
        QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(d), QString("Logged In"), 10000);
        // Empty secondary address: no second session, its label untouched.
        QCOMPARE(secondaryStatus(d), QString());
        QVERIFY(testutil::neverWithin(200, [&] { return server.openSessions() != 1; }));
        QCOMPARE(server.openSessions(), 1);

        // A wrong password never logs in; the label stays at the login.
        fillPrimary(d, "127.0.0.1", port, ftptest::kUser, "not the password");
        watch = test(d);
        QVERIFY(server.waitFor("FAILED"));
        QVERIFY(testutil::neverWithin(300, [&] { return watch->any(FtpControlClient::LoggedIn); }));
        QVERIFY(!watch->any(FtpControlClient::LoggedIn));
        QCOMPARE(primaryStatus(d), QString("Attempting Log In..."));

        // Nothing listens: the test ends unconnected.
        fillPrimary(d, "127.0.0.1", QString::number(ftptest::closedPort()), ftptest::kUser, ftptest::kPassword);
        watch = test(d);
        QTRY_VERIFY_WITH_TIMEOUT(watch->any(FtpControlClient::Unconnected), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(d), QString("Unconnected"), 5000);
        QVERIFY(!watch->any(FtpControlClient::Connected));
        QVERIFY(!primaryStatusTip(d).isEmpty());

        // A port no upload would take is refused as the upload refuses it,
        // instead of trying port 0 or the FTP default.
        for (const QString& badPort : {QString("ftp"), QString("70000"), QString(""), QString("0")}) {
            fillPrimary(d, "127.0.0.1", badPort, ftptest::kUser, ftptest::kPassword);
            watch = test(d);
            QCOMPARE(primaryStatus(d), QString("Invalid FTP server port"));
            QVERIFY(testutil::neverWithin(200, [&] { return watch->any(FtpControlClient::HostLookup); }));
        }
        QVERIFY(server.waitForOpenSessions(0));
    }

    void secondaryServer()
    {
        START_RIG(server, dialog);
        FTPServerSetup& d = *dialog;
        const QString port = QString::number(server.port);
        // An address without a port starts no second session either.
        fillSecondary(d, "127.0.0.1", "", ftptest::kUser, ftptest::kPassword);
        test(d);
        QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(d), QString("Logged In"), 10000);
        QVERIFY(testutil::neverWithin(300, [&] { return !secondaryStatus(d).isEmpty() || server.openSessions() != 1; }));
        QCOMPARE(secondaryStatus(d), QString());
        QCOMPARE(server.openSessions(), 1);

        fillSecondary(d, "127.0.0.1", port, ftptest::kUser, "wrong");
        test(d);
        QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(d), QString("Logged In"), 10000);
        QVERIFY(server.waitFor("FAILED"));
        QTRY_COMPARE_WITH_TIMEOUT(server.openSessions(), 2, 5000);
        QVERIFY(testutil::neverWithin(200, [&] { return secondaryStatus(d) != QString("Attempting Log In..."); }));
        QCOMPARE(secondaryStatus(d), QString("Attempting Log In..."));
        QCOMPARE(server.openSessions(), 2);

        fillSecondary(d, "127.0.0.1", port, ftptest::kUser, ftptest::kPassword);
        test(d);
        QTRY_COMPARE_WITH_TIMEOUT(secondaryStatus(d), QString("Logged In"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(d), QString("Logged In"), 10000);
        QVERIFY(server.waitForOpenSessions(2));
    }

    // Test twice leaves one session per server, and the labels follow the newest.
    void testTwice()
    {
        START_RIG(server, dialog);
        FTPServerSetup& d = *dialog;
        test(d);
        QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(d), QString("Logged In"), 10000);
        QVERIFY(server.waitForOpenSessions(1));
        auto watch = test(d);
        QTRY_VERIFY_WITH_TIMEOUT(watch->any(FtpControlClient::LoggedIn), 10000);
        QVERIFY(testutil::neverWithin(300, [&] { return server.openSessions() != 1; }));
        QCOMPARE(server.openSessions(), 1);
        QCOMPARE(primaryStatus(d), QString("Logged In"));
        QCOMPARE(d.findChildren<FtpControlClient*>().size(), 2);

        // Pressed again before the first test is through: only the last counts.
        fillPrimary(d, "127.0.0.1", QString::number(server.port), ftptest::kUser, "wrong");
        test(d);
        fillPrimary(d, "127.0.0.1", QString::number(server.port), ftptest::kUser, ftptest::kPassword);
        test(d);
        QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(d), QString("Logged In"), 10000);
        QVERIFY(server.waitForOpenSessions(1));
    }

    void cancelSaveAndCloseEndTheSessions_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("cancel") << "cancel";
        QTest::newRow("save") << "save";
        QTest::newRow("destroyed") << "destroyed";
    }

    void cancelSaveAndCloseEndTheSessions()
    {
        QFETCH(QString, how);
        START_RIG(server, d);
        fillSecondary(*d, "127.0.0.1", QString::number(server.port), ftptest::kUser,
                      ftptest::kPassword);
        test(*d);
        QTRY_COMPARE_WITH_TIMEOUT(secondaryStatus(*d), QString("Logged In"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(*d), QString("Logged In"), 10000);
        QVERIFY(server.waitForOpenSessions(2));

        if (how == "cancel") {
            QTest::mouseClick(d->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
            QCOMPARE(d->result(), int(QDialog::Rejected));
        } else if (how == "save") {
            QTest::mouseClick(d->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
            QCOMPARE(d->result(), int(QDialog::Accepted));
        } else {
            d.reset();
        }
        QVERIFY(server.waitForOpenSessions(0, 5000));
    }

    // A password with a pasted line break and a command behind it: the
    // command must not reach the server.
    void lineBreakInPassword()
    {
        START_RIG(server, dialog, QString(ftptest::kPassword) + "\r\nDELE name");
        FTPServerSetup& d = *dialog;
        QFile victim(server.root.filePath("name"));
        QVERIFY(victim.open(QIODevice::WriteOnly));
        victim.write("show file\n");
        victim.close();
        auto watch = test(d);
        QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(d), QString("Attempting Log In..."), 10000);
        QVERIFY(testutil::neverWithin(500, [&] {
            return watch->any(FtpControlClient::LoggedIn) || primaryStatus(d) != QString("Attempting Log In...");
        }));
        QCOMPARE(primaryStatus(d), QString("Attempting Log In..."));
        QVERIFY(!watch->any(FtpControlClient::LoggedIn));
        QVERIFY(QFile::exists(server.root.filePath("name")));
    }

    // A NUL in the user name or the password ends the test as a refused login
    // does: the reason in the label's tool tip and in the trace, and nothing
    // of it sent. A test after it with good values logs in.
    void nulInCredentialsEndsTheTest()
    {
        START_RIG(server, dialog);
        FTPServerSetup& d = *dialog;
        const QString port = QString::number(server.port);
        const QString reason("Invalid character in FTP user name or password");
        const QString nul(QChar(0));
        QTemporaryDir traceDir;
        for (const QStringList& credentials : {QStringList{ftptest::kUser, ftptest::kPassword + nul + "x"},
                                               QStringList{ftptest::kUser + nul, ftptest::kPassword}}) {
            fillPrimary(d, "127.0.0.1", port, credentials[0], credentials[1]);
            ftptest::StreamCapture trace(traceDir.filePath("stderr.txt"), stderr);
            auto watch = test(d);
            const bool told = QTest::qWaitFor([&] { return primaryStatusTip(d) == reason; }, 10000);
            const QByteArray traced = trace.finish();
            QVERIFY2(told, qPrintable(primaryStatusTip(d)));
            QCOMPARE(primaryStatus(d), QString("Attempting Log In..."));
            QVERIFY(traced.contains("FTP test of 127.0.0.1 port " + port.toUtf8() + ": " + reason.toUtf8()));
            QVERIFY(!watch->any(FtpControlClient::LoggedIn));
        }
        fillPrimary(d, "127.0.0.1", port, ftptest::kUser, ftptest::kPassword);
        test(d);
        QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(d), QString("Logged In"), 10000);
        QCOMPARE(primaryStatusTip(d), QString());
        for (const QByteArray& line : server.seen)
            QVERIFY2(!line.startsWith("FAILED"), line.constData());
    }

    // The address is read without the blanks around it, by the test and into
    // the row; one with a blank or a NUL inside is refused by the test, as
    // the upload refuses it, instead of logging in.
    void addressTrimmedOrRefused()
    {
        START_RIG(server, dialog);
        FTPServerSetup& d = *dialog;
        const QString port = QString::number(server.port);
        fillPrimary(d, " 127.0.0.1\t ", port, ftptest::kUser, ftptest::kPassword);
        // Blanks alone are no secondary server.
        fillSecondary(d, "   ", port, ftptest::kUser, ftptest::kPassword);
        test(d);
        QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(d), QString("Logged In"), 10000);
        QCOMPARE(d.getSettings()[fileitem::kPrimaryServerKey].toString(), QString("127.0.0.1"));
        QCOMPARE(d.getSettings()[fileitem::kSecondaryServerKey].toString(), QString());
        QTest::qWait(200);
        QCOMPARE(secondaryStatus(d), QString());
        QVERIFY(server.waitForOpenSessions(1));

        for (const QString& bad : {QString("127.0.0.1") + QChar(0), QString("127.0.0. 1"),
                                   QString("127.0.0.1") + QChar(0) + "x"}) {
            fillPrimary(d, bad, port, ftptest::kUser, ftptest::kPassword);
            fillSecondary(d, " " + bad, port, ftptest::kUser, ftptest::kPassword);
            auto watch = test(d);
            QTest::qWait(500);
            QCOMPARE(primaryStatus(d), QString("Invalid FTP server address"));
            QCOMPARE(secondaryStatus(d), QString("Invalid FTP server address"));
            QVERIFY(!watch->any(FtpControlClient::Connected));
            QVERIFY(!watch->any(FtpControlClient::LoggedIn));
            QVERIFY(server.waitForOpenSessions(0));
        }
    }

    // The address is read as the upload reads it: "::1" and "[::1]" log in
    // to an IPv6 server, and what a URL would take for a path, a user, a
    // port or a fragment is refused with the upload's own text.
    void addressReadAsTheUploadReadsIt()
    {
        REQUIRE_FTP_SERVER();
        ftptest::Server v6;
        if (!v6.start({"--host=::1"}))
            QSKIP("could not run a test FTP server on ::1");
        FTPServerSetup d(row(), nullptr);
        d.show();
        const QString port = QString::number(v6.port);
        for (const QString& address : {QString("::1"), QString("[::1]")}) {
            fillPrimary(d, address, port, ftptest::kUser, ftptest::kPassword);
            test(d);
            QTRY_COMPARE_WITH_TIMEOUT(primaryStatus(d), QString("Logged In"), 10000);
        }
        for (const QString& address : {QString("127.0.0.1/"), QString("operator@127.0.0.1"), QString("127.0.0.1#x"),
                                       QString("127.0.0.1?x"), "127.0.0.1:" + port, QString("[127.0.0.1]")}) {
            fillPrimary(d, address, port, ftptest::kUser, ftptest::kPassword);
            auto watch = test(d);
            QCOMPARE(primaryStatus(d), QString("Invalid FTP server address"));
            QVERIFY(testutil::neverWithin(200, [&] { return watch->any(FtpControlClient::HostLookup); }));
        }
    }

    // A server that floods the login with reply lines, or stalls, ends the
    // test as a failed connection within the uploads' limits (lowered here
    // to 2 s), with the reason in the label's tool tip and in the trace on
    // standard error; Cancel then closes the dialog.
    void floodOrStallEndsTheTest_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("331- after USER") << "flood-user" << "The server's reply passed 1000 lines or 64 KiB";
        QTest::newRow("220- greeting") << "flood-greeting" << "The server's reply passed 1000 lines or 64 KiB";
        QTest::newRow("silent") << "silent" << "No reply within 2 s";
        QTest::newRow("a byte a second") << "drip" << "No reply within 2 s";
    }

    void floodOrStallEndsTheTest()
    {
        QFETCH(QString, mode);
        QFETCH(QString, reason);
        REQUIRE_FTP_SERVER();
        const ftptest::ShortLimits limits("2");
        ftptest::Server server;
        QVERIFY2(server.startHostile(mode), "hostile server did not start");
        QTemporaryDir traceDir;
        ftptest::StreamCapture trace(traceDir.filePath("stderr.txt"), stderr);
        FTPServerSetup d(row(), nullptr);
        d.show();
        fillPrimary(d, "127.0.0.1", QString::number(server.port), ftptest::kUser, ftptest::kPassword);
        auto watch = test(d);
        const bool ended = QTest::qWaitFor([&] { return watch->any(FtpControlClient::Unconnected); }, 30000);
        const QByteArray traced = trace.finish();
        QVERIFY(ended);
        QCOMPARE(primaryStatus(d), QString("Unconnected"));
        QCOMPARE(primaryStatusTip(d), reason);
        const QByteArray line = "FTP test of 127.0.0.1 port " + QByteArray::number(server.port) + ": " + reason.toUtf8();
        QVERIFY2(traced.contains(line), traced.constData());
        if (mode.startsWith("flood"))
            QVERIFY(server.waitFor("CUT", 30000));
        QTest::mouseClick(d.findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
        QCOMPARE(d.result(), int(QDialog::Rejected));
    }
};

QTEST_MAIN(TestFtpServerSetup)
#include "tst_ftpserversetup.moc"
