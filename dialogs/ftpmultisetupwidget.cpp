#include "ftpmultisetupwidget.h"

#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QSaveFile>
#include <QSettings>
#include <QStandardItemModel>
#include <QTextStream>

#include "ftplistdelegate.h"
#include "ftpsettings.h"
#include "quorvelresources.h"

namespace {

const char kSettingsArray[] = "ftpUploadSettings";
const char kSameAddressKey[] = "uploadToSameCheckboxState";
const char kPresetTitle[] = "Quorvel FTP Preset";
const char kVersion[] = "1.13";
const char kButtonEnabledKey[] = "ftpSetupButtonEnabled";

} // namespace

FTPMultiSetupWidget::FTPMultiSetupWidget(QStandardItemModel* model, QWidget* parent)
    : QWidget(parent),
      model(model)
{
    initQuorvelResources();
    ui.setupUi(this);
    hide();
    connect(ui.saveButton, SIGNAL(clicked()), this, SLOT(saveClicked()));
    connect(ui.cancelButton, SIGNAL(clicked()), this, SLOT(cancelClicked()));
    connect(ui.uploadToSameCheckBox, SIGNAL(stateChanged(int)), this, SLOT(checkboxChanged(int)));
    connect(ui.loadPresetButton, SIGNAL(clicked()), this, SLOT(loadPresetClicked()));
    connect(ui.savePresetButton, SIGNAL(clicked()), this, SLOT(savePresetClicked()));
    // Hidden now, so this neither asks nor saves.
    QSettings settings;
    ui.uploadToSameCheckBox->setChecked(settings.value(QLatin1String(kSameAddressKey), false).toBool());
}

template <typename Change>
void FTPMultiSetupWidget::changeRow(int row, Change change)
{
    const QModelIndex index = model->index(row, 0);
    QVariantMap map = index.data(Qt::UserRole).toMap();
    change(map);
    model->setData(index, map, Qt::UserRole);
}

void FTPMultiSetupWidget::setTableViewModel(QStandardItemModel* newModel)
{
    model = newModel;
    ui.listView->setModel(newModel);
    ui.listView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui.listView->setSelectionMode(QAbstractItemView::NoSelection);
    // Owned by the list, so it goes with the panel; one given the same list
    // again replaces its earlier one.
    QAbstractItemDelegate* earlier = ui.listView->itemDelegateForColumn(0);
    auto* delegate = new FTPListDelegate(this);
    delegate->setParent(ui.listView);
    ui.listView->setItemDelegateForColumn(0, delegate);
    delete earlier;
}

void FTPMultiSetupWidget::show()
{
    QWidget::show();
    enableDisableSetupButtons();
    restoreSettingsFromRegistry();
}

void FTPMultiSetupWidget::cancelClicked()
{
    hide();
}

void FTPMultiSetupWidget::saveClicked()
{
    QSettings settings;
    // Without this, a shorter list would leave the old rows, passwords and
    // all, behind its end.
    settings.remove(QLatin1String(kSettingsArray));
    settings.beginWriteArray(QLatin1String(kSettingsArray));
    for (int row = 0; row < model->rowCount(); ++row) {
        settings.setArrayIndex(row);
        const QVariantMap map = model->index(row, 0).data(Qt::UserRole).toMap();
        for (const char* key : ftpsettings::kKeys)
            settings.setValue(QLatin1String(key),
                              ftpsettings::storable(map.value(QLatin1String(key)).toString()));
    }
    settings.endArray();
    hide();
}

void FTPMultiSetupWidget::restoreSettingsFromRegistry()
{
    QSettings settings;
    const int saved = settings.beginReadArray(QLatin1String(kSettingsArray));
    for (int row = 0; row < saved && row < model->rowCount(); ++row) {
        settings.setArrayIndex(row);
        changeRow(row, [&](QVariantMap& map) {
            for (const char* key : ftpsettings::kKeys)
                map.insert(QLatin1String(key), settings.value(QLatin1String(key), QString()).toString());
        });
    }
    settings.endArray();
}

void FTPMultiSetupWidget::enableDisableSetupButtons()
{
    if (isHidden())
        return;
    const bool same = ui.uploadToSameCheckBox->checkState() == Qt::Checked;
    for (int row = same ? 1 : 0; row < model->rowCount(); ++row)
        changeRow(row, [&](QVariantMap& map) {
            map.insert(QLatin1String(kButtonEnabledKey),
                       same ? QStringLiteral("no") : QStringLiteral("yes"));
        });
}

void FTPMultiSetupWidget::checkboxChanged(int state)
{
    if (!isHidden()) {
        if (state == Qt::Checked) {
            QMessageBox box(QMessageBox::Warning, QString(),
                            tr("This will use the FTP settings from the first file for all files, "
                               "clearing all other FTP settings.  Are you sure?"),
                            QMessageBox::Yes | QMessageBox::No, this);
            box.setDefaultButton(QMessageBox::No);
            if (box.exec() == QMessageBox::Yes) {
                // With no rows there is nothing to copy from.
                if (model->rowCount() > 0) {
                    const QVariantMap first = model->index(0, 0).data(Qt::UserRole).toMap();
                    for (int row = 1; row < model->rowCount(); ++row)
                        changeRow(row, [&](QVariantMap& map) {
                            for (const char* key : ftpsettings::kKeys)
                                map.insert(QLatin1String(key),
                                           first.value(QLatin1String(key)).toString());
                        });
                }
                QSettings().setValue(QLatin1String(kSameAddressKey), true);
            } else {
                ui.uploadToSameCheckBox->setChecked(false);
            }
        } else {
            QSettings().setValue(QLatin1String(kSameAddressKey), false);
        }
    }
    enableDisableSetupButtons();
}

void FTPMultiSetupWidget::savePresetClicked()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save FTP Preset"), QString(),
                                                      tr("FTP Preset (*.txt)"));
    if (path.isEmpty())
        return;
    // The old file stays as it was until the new one is complete.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    QTextStream out(&file);
    const QString crlf = QStringLiteral("\r\n");
    out << kPresetTitle << crlf;
    out << "Generated by Quorvel v" << kVersion << crlf;
    out << "on " << QDateTime::currentDateTime().toString(Qt::TextDate) << crlf;
    out << "---------------" << crlf;
    out << crlf;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QVariantMap map = model->index(row, 0).data(Qt::UserRole).toMap();
        QStringList values;
        for (const char* key : ftpsettings::kKeys)
            values << ftpsettings::storable(map.value(QLatin1String(key)).toString());
        out << values.join(QLatin1Char(',')) << crlf;
    }
    out.flush();
    if (out.status() != QTextStream::Ok)
        file.cancelWriting();
    file.commit();
}

void FTPMultiSetupWidget::loadPresetClicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open FTP Preset"), QString(),
                                                      tr("FTP Presets (*.txt)"));
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    ui.uploadToSameCheckBox->setChecked(false);
    QTextStream in(&file);
    if (in.readLine() != QLatin1String(kPresetTitle)) {
        QMessageBox::warning(this, tr("Quorvel"), tr("Invalid FTP Preset File"), QMessageBox::Ok);
        return;
    }
    in.readLine(); // "Generated by Quorvel v...": the version is not used
    for (int skip = 0; skip < 3; ++skip)
        in.readLine();
    for (int row = 0; !in.atEnd(); ++row) {
        const QString line = in.readLine();
        if (row >= model->rowCount())
            continue;
        const QStringList values = line.split(QLatin1Char(','), Qt::KeepEmptyParts);
        // A value holding a comma makes the line unreadable: the row keeps its values.
        if (values.size() != ftpsettings::kKeyCount)
            continue;
        changeRow(row, [&](QVariantMap& map) {
            for (int i = 0; i < ftpsettings::kKeyCount; ++i)
                map.insert(QLatin1String(ftpsettings::kKeys[i]), values[i]);
        });
    }
}
