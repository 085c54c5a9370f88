#include "updatenoticedialog.h"

#include "quorvelresources.h"
#include "settingswrite.h"

UpdateNoticeDialog::UpdateNoticeDialog(QWidget* parent)
    : QDialog(parent)
{
    initQuorvelResources();
    ui.setupUi(this);
    connect(ui.yesButton, SIGNAL(clicked()), this, SLOT(yesClicked()));
    connect(ui.noButton, SIGNAL(clicked()), this, SLOT(noClicked()));
}

void UpdateNoticeDialog::disableUpdateNotify()
{
    SettingsWrite settings;
    settings.beginGroup(QStringLiteral("update"));
    settings.setValue(QStringLiteral("updateNotify"), false);
    settings.endGroup();
}

void UpdateNoticeDialog::yesClicked()
{
    if (ui.notAgainCheckbox->isChecked())
        disableUpdateNotify();
    accept();
}

void UpdateNoticeDialog::noClicked()
{
    if (ui.notAgainCheckbox->isChecked())
        disableUpdateNotify();
    reject();
}
