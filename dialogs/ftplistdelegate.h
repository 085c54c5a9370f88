// Paints the rows of the FTP setup panel's list (input, output, destination
// and a "Setup" button) and opens the server dialog when that button is clicked.
#pragma once

#include <QStyledItemDelegate>

class FTPListDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    // dialogParent becomes the parent of the server dialogs it opens.
    explicit FTPListDelegate(QWidget* dialogParent);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

private:
    QWidget* dialogParent;
};
