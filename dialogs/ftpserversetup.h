// The dialog in which the user sets a file's primary and optional secondary
// FTP server and tests both with a real connection and login.
#pragma once

#include <QDialog>
#include <QModelIndex>
#include <QVariantMap>

#include "ui_ftpserversetup.h"

class FtpControlClient;

class FTPServerSetup : public QDialog {
    Q_OBJECT
public:
    // Fills the fields from the row's FTP keys.
    FTPServerSetup(const QModelIndex& index, QWidget* parent);
    // Ends any test session still running.
    ~FTPServerSetup() override;

    // The eight FTP keys, each set to its field's text.
    QVariantMap getSettings() const;

    // However the dialog ends, its test sessions end with it.
    void done(int result) override;

public slots:
    void testSettings();
    void cancelPressed();
    void savePressed();
    void ftp1StateChanged(int state);
    void ftp2StateChanged(int state);

private:
    // Ends the session of client and puts a fresh one in its place.
    FtpControlClient* replaceClient(FtpControlClient* client, const char* stateSlot);
    // Queues the connection and login of one server's test; false, with the
    // reason in statusLabel, for an address no upload would take.
    bool startTest(FtpControlClient* client, QLabel* statusLabel, const QString& address,
                   const QString& port, const QString& user, const QString& password);

    Ui::FTPServerSetup ui;
    FtpControlClient* ftp1;
    FtpControlClient* ftp2;
};
