#include "ftpserversetup.h"

#include "ftpcontrolclient.h"
#include "ftpqueue.h"
#include "ftpsettings.h"

#include <cstdio>

namespace {

QString stateText(int state)
{
    switch (state) {
    case FtpControlClient::Unconnected:
        return FTPServerSetup::tr("Unconnected");
    case FtpControlClient::HostLookup:
        return FTPServerSetup::tr("Host Lookup...");
    case FtpControlClient::Connecting:
        return FTPServerSetup::tr("Connecting...");
    case FtpControlClient::Connected:
        return FTPServerSetup::tr("Attempting Log In...");
    case FtpControlClient::LoggedIn:
        return FTPServerSetup::tr("Logged In");
    case FtpControlClient::Closing:
        return FTPServerSetup::tr("Closing...");
    default:
        return QString();
    }
}

// The reason a login test failed goes to standard error, where the
// uploads' trace goes; the label keeps the state.
void traceFailure(const QString& host, quint16 port, const QString& reason)
{
    std::fprintf(stderr, "FTP test of %s port %u: %s\n", host.toUtf8().constData(), unsigned(port),
                 reason.toUtf8().constData());
}

} // namespace

FTPServerSetup::FTPServerSetup(const QModelIndex& index, QWidget* parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    ftp1 = new FtpControlClient(this);
    ftp2 = new FtpControlClient(this);
    ui.primaryStatusLabel->setText(QString());
    ui.secondaryStatusLabel->setText(QString());
    ui.primaryPasswordLineEdit->setEchoMode(QLineEdit::Password);
    ui.secondaryPasswordLineEdit->setEchoMode(QLineEdit::Password);

    connect(ui.cancelButton, SIGNAL(clicked()), this, SLOT(cancelPressed()));
    connect(ui.saveButton, SIGNAL(clicked()), this, SLOT(savePressed()));
    connect(ui.testButton, SIGNAL(clicked()), this, SLOT(testSettings()));
    connect(ftp1, SIGNAL(stateChanged(int)), this, SLOT(ftp1StateChanged(int)));
    connect(ftp2, SIGNAL(stateChanged(int)), this, SLOT(ftp2StateChanged(int)));

    const QVariantMap map = index.data(Qt::UserRole).toMap();
    const QList<QLineEdit*> edits = {
        ui.primaryAddressLineEdit,   ui.primaryPortLineEdit,   ui.primaryUsernameLineEdit,
        ui.primaryPasswordLineEdit,  ui.secondaryAddressLineEdit, ui.secondaryPortLineEdit,
        ui.secondaryUsernameLineEdit, ui.secondaryPasswordLineEdit};
    for (int i = 0; i < ftpsettings::kKeyCount; ++i)
        edits[i]->setText(map.value(QLatin1String(ftpsettings::kKeys[i])).toString());
    if (ui.primaryPortLineEdit->text().isEmpty())
        ui.primaryPortLineEdit->setText(QStringLiteral("21"));
    if (ui.secondaryPortLineEdit->text().isEmpty())
        ui.secondaryPortLineEdit->setText(QStringLiteral("21"));

    setTabOrder(ui.secondaryAddressLineEdit, ui.secondaryPortLineEdit);
    setTabOrder(ui.secondaryPortLineEdit, ui.secondaryUsernameLineEdit);
    setTabOrder(ui.secondaryUsernameLineEdit, ui.secondaryPasswordLineEdit);
}

FTPServerSetup::~FTPServerSetup()
{
    // Gone before the labels they report to.
    delete ftp1;
    delete ftp2;
}

QVariantMap FTPServerSetup::getSettings() const
{
    const QStringList values = {
        ftpcheck::serverAddress(ui.primaryAddressLineEdit->text()), ui.primaryPortLineEdit->text(),
        ui.primaryUsernameLineEdit->text(),  ui.primaryPasswordLineEdit->text(),
        ftpcheck::serverAddress(ui.secondaryAddressLineEdit->text()), ui.secondaryPortLineEdit->text(),
        ui.secondaryUsernameLineEdit->text(), ui.secondaryPasswordLineEdit->text()};
    QVariantMap map;
    for (int i = 0; i < ftpsettings::kKeyCount; ++i)
        map.insert(QLatin1String(ftpsettings::kKeys[i]), values[i]);
    return map;
}

FtpControlClient* FTPServerSetup::replaceClient(FtpControlClient* client, const char* stateSlot)
{
    // A late state change of the old session must not overwrite the label
    // of the new one.
    disconnect(client, nullptr, this, nullptr);
    delete client;
    auto* fresh = new FtpControlClient(this);
    connect(fresh, SIGNAL(stateChanged(int)), this, stateSlot);
    return fresh;
}

bool FTPServerSetup::startTest(FtpControlClient* client, QLabel* statusLabel,
                               const QString& address, const QString& port,
                               const QString& user, const QString& password)
{
    // Read and refused as the upload reads and refuses it, so that the test
    // never logs in where every upload then fails.
    ftpcheck::Server server;
    const QString bad = ftpcheck::readServer(address, port, &server);
    statusLabel->setToolTip(bad);
    if (!bad.isEmpty()) {
        statusLabel->setText(bad);
        return false;
    }
    connect(client, &FtpControlClient::failed, statusLabel, [statusLabel, server](const QString& reason) {
        statusLabel->setToolTip(reason);
        traceFailure(server.host, server.port, reason);
    });
    client->connectToHost(server.host, server.port);
    client->login(user, password);
    return true;
}

void FTPServerSetup::testSettings()
{
    ftp1->close();
    ftp2->close();

    ftp1 = replaceClient(ftp1, SLOT(ftp1StateChanged(int)));
    startTest(ftp1, ui.primaryStatusLabel, ui.primaryAddressLineEdit->text(),
              ui.primaryPortLineEdit->text(), ui.primaryUsernameLineEdit->text(),
              ui.primaryPasswordLineEdit->text());

    const QString secondary = ftpcheck::serverAddress(ui.secondaryAddressLineEdit->text());
    if (secondary.isEmpty() || ui.secondaryPortLineEdit->text().isEmpty())
        return;
    ftp2 = replaceClient(ftp2, SLOT(ftp2StateChanged(int)));
    startTest(ftp2, ui.secondaryStatusLabel, secondary, ui.secondaryPortLineEdit->text(),
              ui.secondaryUsernameLineEdit->text(), ui.secondaryPasswordLineEdit->text());
}

void FTPServerSetup::cancelPressed()
{
    ftp1->close();
    ftp1->abort();
    ftp2->close();
    ftp2->abort();
    reject();
}

void FTPServerSetup::done(int result)
{
    ftp1->abort();
    ftp2->abort();
    QDialog::done(result);
}

void FTPServerSetup::savePressed()
{
    accept();
}

void FTPServerSetup::ftp1StateChanged(int state)
{
    const QString text = stateText(state);
    if (!text.isEmpty())
        ui.primaryStatusLabel->setText(text);
}

void FTPServerSetup::ftp2StateChanged(int state)
{
    const QString text = stateText(state);
    if (!text.isEmpty())
        ui.secondaryStatusLabel->setText(text);
}
