#include "ftpmultisetupwidget.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSaveFile>
#include <QSettings>
#include <QStandardItemModel>
#include <QTextCodec>
#include <QTextStream>

#include "fileitemkeys.h"
#include "ftplistdelegate.h"
#include "ftpsettings.h"
#include "quorvelresources.h"
#include "settingswrite.h"

namespace {

const char kSettingsArray[] = "ftpUploadSettings";
const char kSameAddressKey[] = "uploadToSameCheckboxState";
const char kPresetTitle[] = "Quorvel FTP Preset";
const char kVersion[] = QUORVEL_VERSION;
// Far beyond any real preset (a row's eight values, or a few thousand rows):
// a file past either bound is refused rather than read into memory.
const qint64 kMaxPresetLine = 64 * 1024;
const qint64 kMaxPresetFile = 16 * 1024 * 1024;
const int kPresetHeaderLines = 5;

// The lines of a preset file without their line ends, decoded as the file
// was written; only the first wanted data lines are kept, the rest are
// checked against the bounds. False when the file passes a bound or cannot
// be read.
bool readPresetLines(QFile& file, int wanted, QStringList* lines)
{
    if (file.size() > kMaxPresetFile)
        return false;
    QTextCodec* codec = QTextCodec::codecForLocale();
    qint64 total = 0;
    while (!file.atEnd()) {
        // Room for the longest line, its CR LF and one byte more, so that a
        // longer line shows.
        QByteArray line = file.readLine(kMaxPresetLine + 3);
        if (line.isEmpty())
            return false; // a read error: atEnd() said more was there
        total += line.size();
        if (total > kMaxPresetFile)
            return false;
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.size() > kMaxPresetLine)
            return false;
        if (lines->size() < kPresetHeaderLines + wanted)
            lines->append(codec->toUnicode(line));
    }
    return true;
}

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
    SettingsWrite settings;
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
                map.insert(QLatin1String(key),
                           ftpsettings::rowValue(QLatin1String(key),
                                                 settings.value(QLatin1String(key), QString()).toString()));
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
            map.insert(QLatin1String(fileitem::kFtpSetupButtonEnabledKey),
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
                SettingsWrite().setValue(QLatin1String(kSameAddressKey), true);
            } else {
                ui.uploadToSameCheckBox->setChecked(false);
            }
        } else {
            SettingsWrite().setValue(QLatin1String(kSameAddressKey), false);
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
    // Values are joined by "," with nothing quoted: a value holding one
    // would make a line that cannot be read back.
    QList<QStringList> lines;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QVariantMap map = model->index(row, 0).data(Qt::UserRole).toMap();
        QStringList values;
        for (int i = 0; i < ftpsettings::kKeyCount; ++i) {
            const QString key = QLatin1String(ftpsettings::kKeys[i]);
            values << ftpsettings::rowValue(key, map.value(key).toString());
            if (values.last().contains(QLatin1Char(','))) {
                QMessageBox::warning(this, tr("Quorvel"),
                                     tr("The FTP preset was not saved: the %1 of row %2 holds a comma, "
                                        "which a preset cannot store.")
                                         .arg(tr(ftpsettings::kFieldNames[i]))
                                         .arg(row + 1),
                                     QMessageBox::Ok);
                return;
            }
        }
        lines << values;
    }
    // The old file stays as it was until the new one is complete.
    QSaveFile file(path);
    const auto failed = [&] {
        QMessageBox::warning(this, tr("Quorvel"),
                             tr("Unable to save the FTP preset file: %1").arg(QDir::toNativeSeparators(path)),
                             QMessageBox::Ok);
    };
    // Passwords stand in the file: only its owner may read it, whatever the
    // file it replaces allowed. Set before anything is written.
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        failed();
        return;
    }
    QTextStream out(&file);
    const QString crlf = QStringLiteral("\r\n");
    out << kPresetTitle << crlf;
    out << "Generated by Quorvel v" << kVersion << crlf;
    out << "on " << QDateTime::currentDateTime().toString(Qt::TextDate) << crlf;
    out << "---------------" << crlf;
    out << crlf;
    for (const QStringList& values : lines)
        out << values.join(QLatin1Char(',')) << crlf;
    out.flush();
    if (out.status() != QTextStream::Ok)
        file.cancelWriting();
    if (!file.commit())
        failed();
}

void FTPMultiSetupWidget::loadPresetClicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open FTP Preset"), QString(),
                                                      tr("FTP Presets (*.txt)"));
    if (path.isEmpty())
        return;
    // Opening a FIFO or a device could block the window for good.
    if (!QFileInfo(path).isFile()) {
        QMessageBox::warning(this, tr("Quorvel"), tr("Invalid FTP Preset File"), QMessageBox::Ok);
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    ui.uploadToSameCheckBox->setChecked(false);
    // Read and checked whole before any row changes.
    QStringList lines;
    if (!readPresetLines(file, model->rowCount(), &lines) || lines.value(0) != QLatin1String(kPresetTitle)) {
        QMessageBox::warning(this, tr("Quorvel"), tr("Invalid FTP Preset File"), QMessageBox::Ok);
        return;
    }
    // Line 2 holds the version, which is not used; lines 3 to 5 are skipped.
    int unreadable = 0;
    for (int row = 0; kPresetHeaderLines + row < lines.size(); ++row) {
        const QStringList values = lines[kPresetHeaderLines + row].split(QLatin1Char(','), Qt::KeepEmptyParts);
        // A value holding a comma makes the line unreadable: the row keeps its values.
        if (values.size() != ftpsettings::kKeyCount) {
            ++unreadable;
            continue;
        }
        changeRow(row, [&](QVariantMap& map) {
            for (int i = 0; i < ftpsettings::kKeyCount; ++i)
                map.insert(QLatin1String(ftpsettings::kKeys[i]),
                           ftpsettings::rowValue(QLatin1String(ftpsettings::kKeys[i]), values[i]));
        });
    }
    // Otherwise those rows would upload to their old servers without a word.
    if (unreadable > 0)
        QMessageBox::warning(this, tr("Quorvel"),
                             unreadable == 1
                                 ? tr("1 line of the FTP preset could not be read and was skipped; "
                                      "its row keeps its FTP settings.")
                                 : tr("%1 lines of the FTP preset could not be read and were skipped; "
                                      "their rows keep their FTP settings.").arg(unreadable),
                             QMessageBox::Ok);
}
