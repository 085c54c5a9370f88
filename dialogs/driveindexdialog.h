// Lists the player drives (or every folder) and indexes the chosen drive.
#pragma once

#include <QDialog>

#include "ui_driveindexdialog.h"

class DriveTree;

class DriveIndexDialog : public QDialog {
    Q_OBJECT
public:
    explicit DriveIndexDialog(QWidget* parent = nullptr);

public slots:
    // Indexes the drive of the selected row; the dialog stays open.
    void accept() override;
    void reject() override;
    void setOstrandDrivesOnly(bool on);

private:
    Ui::DriveIndexDialog m_ui;
    DriveTree* m_tree;
};
