#include "drivetree.h"

#include <QDir>
#include <QFileIconProvider>
#include <QFileSystemModel>
#include <QLocale>
#include <QRegExp>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTreeView>

#include "volumeinfo.h"

DriveTree::DriveTree(QTreeView* view, QObject* parent)
    : QObject(parent)
    , m_view(view)
    , m_files(new QFileSystemModel(this))
    , m_volumes(new QStandardItemModel(this))
    , m_proxy(new QSortFilterProxyModel(this))
{
    m_files->setRootPath(QString());
    m_files->setNameFilterDisables(false);
    m_proxy->setSourceModel(m_files);
    view->setModel(m_proxy);
}

void DriveTree::listVolumes()
{
    // Linux has no drive letters: the volumes stand where the drives would.
    m_volumes->clear();
    m_volumes->setHorizontalHeaderLabels({tr("Name"), tr("Size"), tr("Type"), tr("Date Modified")});
    const QIcon icon = QFileIconProvider().icon(QFileIconProvider::Drive);
    const QList<VolumeInfo> volumes = VolumeInfo::mountedVolumes();
    for (const VolumeInfo& volume : volumes) {
        const QString root = QDir::toNativeSeparators(volume.rootPath());
        auto* name = new QStandardItem(icon, volume.name().isEmpty() ? root
                                                                     : QStringLiteral("%1 (%2)").arg(volume.name(), root));
        name->setData(volume.rootPath(), RootPathRole);
        name->setData(volume.name(), LabelRole);
        auto* size = new QStandardItem(QLocale().formattedDataSize(volume.bytesTotal()));
        size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        auto* type = new QStandardItem(tr("Drive"));
        QList<QStandardItem*> row{name, size, type, new QStandardItem};
        for (QStandardItem* item : row)
            item->setEditable(false);
        m_volumes->appendRow(row);
    }
}

void DriveTree::showModel(QAbstractItemModel* model)
{
    if (m_proxy->sourceModel() != model)
        m_proxy->setSourceModel(model);
    m_view->setColumnWidth(0, 200);
    const int columns = model->columnCount();
    for (int column = 0; column < columns; ++column)
        m_view->setColumnHidden(column, column == columns - 1);
}

void DriveTree::setPlayerDrivesOnly(bool on)
{
    m_playerDrivesOnly = on;
    if (on) {
        m_files->setFilter(QDir::Drives);
        listVolumes();
        showModel(m_volumes);
        // The label alone decides: a mount point's path may say anything.
        m_proxy->setFilterRole(LabelRole);
        m_proxy->setFilterRegExp(QRegExp(QStringLiteral("T9PW.*"), Qt::CaseSensitive));
    } else {
        m_files->setFilter(QDir::Dirs | QDir::Drives | QDir::NoDotAndDotDot);
        showModel(m_files);
        m_proxy->setFilterRole(Qt::DisplayRole);
        m_proxy->setFilterFixedString(QString());
    }
}

QString DriveTree::selectedPath() const
{
    const QItemSelectionModel* selection = m_view->selectionModel();
    const QModelIndexList cells = selection ? selection->selectedIndexes() : QModelIndexList();
    if (cells.isEmpty())
        return QString();
    const QModelIndex source = m_proxy->mapToSource(cells.first().sibling(cells.first().row(), 0));
    if (source.model() == m_files)
        return m_files->filePath(source);
    return source.data(RootPathRole).toString();
}
