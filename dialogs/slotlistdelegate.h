// The combo box that edits a destination's slot in the batch tree.
#pragma once

#include <QStyledItemDelegate>

class SlotListDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit SlotListDelegate(QObject* parent = nullptr);

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
};
