#include "renderlistmodel.h"

RenderListModel::RenderListModel(int rows, int columns, QObject* parent)
    : QStandardItemModel(rows, columns, parent)
{
}

bool RenderListModel::dropMimeData(const QMimeData*, Qt::DropAction, int, int, const QModelIndex&)
{
    return true;
}

Qt::ItemFlags RenderListModel::flags(const QModelIndex& index) const
{
    Qt::ItemFlags f = QStandardItemModel::flags(index);
    if (index.isValid())
        f |= Qt::ItemIsDropEnabled;
    return f;
}
