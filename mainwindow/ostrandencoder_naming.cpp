// Page 2 of the main window: output names in the two naming schemes, quadrant
// and part rows, the output folder, the filename map export, and the name
// check that guards the start of a run.
#include "ostrandencoder.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItem>

#include "fileitemmap.h"
#include "filenamemapexporter.h"
#include "renderlistmodel.h"

using fileitem::rowMap;

namespace {

const QString kQuadrantKey = QLatin1String(fileitem::kQFHDQuadrantKey);
const QString kPartKey = QLatin1String(fileitem::kTallPartKey);

QString slotTag(int piece, int lastPiece)
{
    if (piece < 1 || piece > lastPiece)
        return QString();
    return QStringLiteral("_SLOT") + QString::number(piece) + QLatin1Char('_');
}

// One spelling per file, so that "in//out/", "./", ".." or a symbolic link
// cannot make two names of one file look different.
QString fileKey(const QString& path)
{
    const QFileInfo info(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (info.exists())
        return info.canonicalFilePath();
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (!folder.isEmpty())
        return folder + QLatin1Char('/') + info.fileName();
    return info.absoluteFilePath();
}

} // namespace

QByteArray OstrandEncoder::zeroPad5(int n)
{
    return QByteArray::number(n).rightJustified(5, '0');
}

void OstrandEncoder::generateOutputNames()
{
    outputExists = false;
    outputIsInput = false;
    outputsCollide = false;

    if (!QDir::fromNativeSeparators(ui.outputDirLineEdit->text()).endsWith(QLatin1Char('/')))
        ui.outputDirLineEdit->setText(ui.outputDirLineEdit->text() + QLatin1Char('/'));
    const QString folder = ui.outputDirLineEdit->text();
    const bool renaming = ui.ostrandNamingCheckbox->isChecked();
    const QString prefix = ui.renamePrefixLineEdit->text();
    const int startIndex = ui.renameStartIndexSpinBox->value();

    QSet<QString> inputs;
    for (int row = 0; row < model->rowCount(); ++row)
        inputs.insert(fileKey(fileitem::text(rowMap(model->item(row)), fileitem::kFilenameKey)));

    QSet<QString> outputs;
    int counter = 0;
    for (int row = 0; row < model->rowCount(); ++row) {
        QStandardItem* item = model->item(row);
        QVariantMap map = rowMap(item);
        const int quadrant = map.value(kQuadrantKey).toInt();
        const int part = map.value(kPartKey).toInt();
        const QString tags = slotTag(quadrant, 4) + slotTag(part, 3);

        // The pieces of one source share its number.
        const bool followOn = (quadrant >= 2 && quadrant <= 4) || (part >= 2 && part <= 3);
        if (!followOn)
            ++counter;

        QString name;
        if (renaming) {
            name = folder + prefix + tags + QString::fromLatin1(zeroPad5(startIndex + counter - 1))
                + QStringLiteral(".mpg");
        } else {
            const QString base =
                QFileInfo(fileitem::text(map, fileitem::kFilenameKey)).completeBaseName();
            name = folder + base + tags + QStringLiteral("_QVNew.mpg");
        }
        name = QDir::fromNativeSeparators(name);
        map.insert(QLatin1String(fileitem::kOutputFilenameKey), name);
        fileitem::storeRowMap(item, map);

        if (QFileInfo::exists(name))
            outputExists = true;
        const QString key = fileKey(name);
        if (inputs.contains(key))
            outputIsInput = true;
        if (outputs.contains(key))
            outputsCollide = true;
        outputs.insert(key);
    }
}

void OstrandEncoder::ostrandNamingCheckboxChanged(int state)
{
    const bool on = state != Qt::Unchecked;
    ui.renameStartIndexSpinBox->setEnabled(on);
    ui.renamePrefixLineEdit->setEnabled(on);
    generateOutputNames();
}

void OstrandEncoder::QFHDCheckboxChanged(int state)
{
    if (state == Qt::Checked && ui.QFHDCheckbox->isEnabled())
        addQFHDQuadrants();
    else
        removeQFHDQuadrants();
}

void OstrandEncoder::browseOutputDir()
{
    const QString chosen = QFileDialog::getExistingDirectory(
        this, tr("Open Directory"), QDir::fromNativeSeparators(ui.outputDirLineEdit->text()),
        QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return;
    QString folder = QDir::fromNativeSeparators(chosen);
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    ui.outputDirLineEdit->setText(folder);
    generateOutputNames();
}

void OstrandEncoder::exportFilenameMap()
{
    // The names as the encode will write them: a folder typed since the
    // last recomputation counts.
    generateOutputNames();
    // The parent of the output folder: the map lies beside the outputs, not among them.
    QDir start(QFileInfo(QDir::fromNativeSeparators(ui.outputDirLineEdit->text())
                         + QStringLiteral("filename_mapping.txt"))
                   .absolutePath());
    start.cdUp();
    QFileDialog dialog(this, tr("Save to"), start.path(), tr("Text File (*.txt)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().value(0).isEmpty())
        return;
    QString path = dialog.selectedFiles().value(0);
    // The dialog skips its suffix when any folder of the path holds a dot.
    if (!QFileInfo(path).fileName().contains(QLatin1Char('.')))
        path += QStringLiteral(".txt");

    auto* exporter = new FilenameMapExporter(this);
    const bool written = exporter->exportMap(path, model);
    QMessageBox box(this);
    if (written) {
        box.setIcon(QMessageBox::Information);
        box.setText(tr("Export of Filename Mapping was Successful!"));
    } else {
        box.setIcon(QMessageBox::Warning);
        box.setText(tr("Export of Filename Mapping Failed!"));
    }
    box.exec();
    delete exporter;
}

void OstrandEncoder::addQFHDQuadrants()
{
    expandPieces(QLatin1String(fileitem::kQFHDSplitSupportKey), kQuadrantKey, 4);
}

void OstrandEncoder::addTallParts()
{
    expandPieces(QLatin1String(fileitem::kTallSplitSupportKey), kPartKey, 3);
}

void OstrandEncoder::removeQFHDQuadrants()
{
    collapsePieces(kQuadrantKey);
}

void OstrandEncoder::removeTallParts()
{
    collapsePieces(kPartKey);
}

void OstrandEncoder::expandPieces(const QString& flagKey, const QString& pieceKey, int pieces)
{
    int row = 0;
    while (row < model->rowCount()) {
        QStandardItem* source = model->item(row);
        const QVariantMap sourceMap = rowMap(source);
        // A row that is already a piece is never split again.
        if (sourceMap.value(flagKey).toString() != QLatin1String("true")
            || sourceMap.value(pieceKey).toInt() != 0) {
            ++row;
            continue;
        }
        const QString displayName = fileitem::text(sourceMap, fileitem::kDisplayNameKey);
        for (int k = 1; k < pieces; ++k)
            model->insertRow(row + k, source->clone());
        for (int k = 1; k <= pieces; ++k) {
            QStandardItem* item = model->item(row + k - 1);
            QVariantMap map = rowMap(item);
            map.insert(pieceKey, k);
            map.insert(QLatin1String(fileitem::kDisplayNameKey),
                       (k > 1 ? QStringLiteral("   ") : QString()) + displayName + QStringLiteral(" (")
                           + QString::number(k) + QLatin1Char('/') + QString::number(pieces)
                           + QLatin1Char(')'));
            fileitem::storeRowMap(item, map);
        }
        row += pieces;
    }
    generateOutputNames();
}

void OstrandEncoder::collapsePieces(const QString& pieceKey)
{
    for (int row = model->rowCount() - 1; row >= 0; --row) {
        QStandardItem* item = model->item(row);
        QVariantMap map = rowMap(item);
        const int piece = map.value(pieceKey).toInt();
        if (piece == 0)
            continue;
        if (piece == 1) {
            map.insert(pieceKey, 0);
            map.insert(QLatin1String(fileitem::kDisplayNameKey),
                       QFileInfo(fileitem::text(map, fileitem::kFilenameKey)).fileName());
            fileitem::storeRowMap(item, map);
        } else {
            model->removeRow(row);
        }
    }
    generateOutputNames();
}

void OstrandEncoder::showPage3NameCheck()
{
    // A fault the operator must mend before any row is encoded.
    auto refuse = [this](const QString& text) {
        QMessageBox::warning(this, tr("Quorvel"), text, QMessageBox::Abort, QMessageBox::Abort);
    };

    const QString folder = QDir::fromNativeSeparators(ui.outputDirLineEdit->text());
    if (!QDir(folder).exists() && !QDir().mkpath(folder)) {
        refuse(tr("The output folder could not be created.  Choose another output folder."));
        return;
    }
    generateOutputNames();

    if (outputIsInput) {
        refuse(tr("An input file path and output file path are the same.  This must be corrected.  "
                  "(Try changing the output folder)"));
        return;
    }
    // Without this the second encode would silently replace the first.
    if (outputsCollide) {
        refuse(tr("Two or more rows would write the same output file.  This must be corrected.  "
                  "(Try renaming with Ostrand Kelvane Indexing)"));
        return;
    }
    if (outputExists) {
        QMessageBox box(QMessageBox::Warning, tr("Quorvel"),
                        tr("One or more output filenames already exist.  These files will be "
                           "overwritten!"),
                        QMessageBox::NoButton, this);
        QPushButton* proceed = box.addButton(tr("Proceed"), QMessageBox::ActionRole);
        box.addButton(QMessageBox::Abort);
        box.setDefaultButton(QMessageBox::Abort);
        box.exec();
        if (box.clickedButton() != proceed)
            return;
    }
    showPage3();
}
