#include "slotlistdelegate.h"

#include <QAbstractItemView>
#include <QComboBox>

#include <algorithm>

#include "batchconvertmodel.h"

SlotListDelegate::SlotListDelegate(QObject* parent)
    : QStyledItemDelegate(parent)
{
}

QWidget* SlotListDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex& index) const
{
    auto* combo = new QComboBox(parent);
    const auto* model = qobject_cast<const BatchConvertModel*>(index.model());
    const QModelIndex source = index.parent();
    const TargaSequence* sequence = model && source.isValid() ? model->sequenceAt(source.row()) : nullptr;
    if (sequence) {
        if (sequence->isSplit() && sequence->isHighFrameRate())
            combo->addItems(BatchConvertModel::slotNames4KHfr());
        else if (sequence->isSplit())
            combo->addItems(BatchConvertModel::slotNames4K());
        else if (sequence->isHighFrameRate())
            combo->addItems(BatchConvertModel::slotNamesHfr());
    }
    // The cell is narrow; the popup shows the long slot names whole.
    QAbstractItemView* view = combo->view();
    int widest = 0;
    for (int i = 0; i < combo->count(); ++i)
        widest = std::max(widest, view->fontMetrics().horizontalAdvance(combo->itemText(i)));
    view->setMinimumWidth(std::max(view->sizeHint().width(), widest));
    return combo;
}

void SlotListDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const
{
    if (auto* combo = qobject_cast<QComboBox*>(editor))
        combo->setCurrentIndex(index.data(Qt::EditRole).toInt());
}

void SlotListDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const
{
    // Entry i is slot i - 1: the first entry is the whole video.
    if (auto* combo = qobject_cast<QComboBox*>(editor))
        model->setData(index, combo->currentIndex(), Qt::EditRole);
}
