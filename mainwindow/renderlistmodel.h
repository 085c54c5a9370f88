// The one file-list model shared by the three list views of the main window.
#pragma once

#include <QStandardItemModel>

class RenderListModel : public QStandardItemModel {
    Q_OBJECT
public:
    RenderListModel(int rows, int columns, QObject* parent = nullptr);

    // Drops are taken by the view, which turns them into file paths.
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
};
