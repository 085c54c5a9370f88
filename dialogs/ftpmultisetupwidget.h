// "FTP Setup" panel laid over the main window: the FTP servers of every file
// row, kept in the rows, in the saved settings array "ftpUploadSettings" (by
// row position) and, on demand, in FTP preset files.
#pragma once

#include <QWidget>

#include "ui_ftpmultisetupwidget.h"

class FTPListDelegate;
class QStandardItemModel;

class FTPMultiSetupWidget : public QWidget {
    Q_OBJECT
public:
    // Built hidden; model is the main window's file list.
    FTPMultiSetupWidget(QStandardItemModel* model, QWidget* parent);

public slots:
    void cancelClicked();
    void saveClicked();
    // Hides QWidget::show(): every opening reloads the saved settings into the rows.
    void show();
    void setTableViewModel(QStandardItemModel* model);
    void checkboxChanged(int state);
    void enableDisableSetupButtons();
    // Puts the saved array back into the rows by position. The encode loop
    // calls it before it queues a finished row's uploads.
    void restoreSettingsFromRegistry();
    void savePresetClicked();
    void loadPresetClicked();

private:
    // Reads row's item map, lets change alter it and writes it back whole.
    template <typename Change>
    void changeRow(int row, Change change);

    Ui::FTPMultiSetupWidget ui;
    QStandardItemModel* model;
};
