#include "driveindexdialog.h"

#include <QApplication>
#include <QMessageBox>

#include "driveindexer.h"
#include "drivetree.h"

DriveIndexDialog::DriveIndexDialog(QWidget* parent)
    : QDialog(parent)
{
    m_ui.setupUi(this);
    m_tree = new DriveTree(m_ui.treeView, this);
    connect(m_ui.checkShowDrivesOnly, SIGNAL(toggled(bool)), this, SLOT(setOstrandDrivesOnly(bool)));
    connect(m_ui.treeView, SIGNAL(doubleClicked(QModelIndex)), this, SLOT(accept()));
    setOstrandDrivesOnly(true);
}

void DriveIndexDialog::setOstrandDrivesOnly(bool on)
{
    m_tree->setPlayerDrivesOnly(on);
}

void DriveIndexDialog::accept()
{
    const QString path = m_tree->selectedPath();
    if (path.isEmpty()) {
        QMessageBox::information(this, tr("Quorvel"), tr("Couldn't start indexing drive. No destination was specified."));
        return;
    }
    setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QCoreApplication::processEvents();
    bool indexed;
    {
        // One indexer per run; its own failure box opens over this dialog.
        DriveIndexer indexer(this);
        indexed = indexer.indexDrive(path, true);
    }
    QApplication::restoreOverrideCursor();
    if (indexed)
        QMessageBox::information(this, tr("Quorvel"), tr("Drive indexed successfully."), QMessageBox::Ok);
    else
        QMessageBox::critical(this, tr("Quorvel"),
                              tr("Unable to index drive. Make sure the drive exists, is formatted correctly, and "
                                 "is not write-protected, and try again."),
                              QMessageBox::Ok);
    setEnabled(true);
}

void DriveIndexDialog::reject()
{
    QDialog::reject();
}
