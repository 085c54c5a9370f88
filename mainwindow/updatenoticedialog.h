// "Update Available": offers to start the updater after the checker found a
// newer version; its check box turns the automatic check off for good.
#pragma once

#include <QDialog>

#include "ui_updatenoticedialog.h"

class UpdateNoticeDialog : public QDialog {
    Q_OBJECT
public:
    explicit UpdateNoticeDialog(QWidget* parent);

    // Writes "updateNotify" = false in the "update" group.
    static void disableUpdateNotify();

public slots:
    void yesClicked();
    void noClicked();

private:
    Ui::UpdateNoticeDialog ui;
};
