#include "driveselectdialog.h"

#include "drivetree.h"

DriveSelectDialog::DriveSelectDialog(QString* fileName, int* fileNumber, QWidget* parent)
    : QDialog(parent)
    , m_fileName(fileName)
    , m_fileNumber(fileNumber)
{
    m_ui.setupUi(this);
    m_tree = new DriveTree(m_ui.treeView, this);
    connect(m_ui.checkShowDrivesOnly, SIGNAL(toggled(bool)), this, SLOT(setOstrandDrivesOnly(bool)));
    connect(m_ui.treeView, SIGNAL(doubleClicked(QModelIndex)), this, SLOT(accept()));
    if (m_fileName)
        m_ui.editFileName->setText(*m_fileName);
    else
        m_ui.editFileName->setEnabled(false);
    if (m_fileNumber) {
        m_ui.editFileNum->setMaximum(9999);
        m_ui.editFileNum->setValue(*m_fileNumber);
    } else {
        m_ui.editFileNum->setEnabled(false);
    }
    setOstrandDrivesOnly(true);
}

void DriveSelectDialog::setOstrandDrivesOnly(bool on)
{
    m_tree->setPlayerDrivesOnly(on);
}

QString DriveSelectDialog::getSelectedPath() const
{
    QString path = m_tree->selectedPath();
    if (!path.isEmpty() && !path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

void DriveSelectDialog::accept()
{
    if (m_fileName)
        *m_fileName = m_ui.editFileName->text();
    if (m_fileNumber)
        *m_fileNumber = m_ui.editFileNum->value();
    QDialog::accept();
}
