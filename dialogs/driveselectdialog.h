// Picks a destination drive or folder for the batch window, optionally with
// the clip's file name and number.
#pragma once

#include <QDialog>

#include "ui_driveselectdialog.h"

class DriveTree;

class DriveSelectDialog : public QDialog {
    Q_OBJECT
public:
    // Either pointer may be null; its field is then disabled. On accept the
    // edited values are written through them.
    DriveSelectDialog(QString* fileName, int* fileNumber, QWidget* parent = nullptr);

    // The selected drive or folder, ending in "/"; empty when nothing is selected.
    QString getSelectedPath() const;

public slots:
    void accept() override;
    void setOstrandDrivesOnly(bool on);

private:
    Ui::DriveSelectDialog m_ui;
    DriveTree* m_tree;
    QString* m_fileName;
    int* m_fileNumber;
};
