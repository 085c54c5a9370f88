// Output list rows: "Input:" and "Output:" with the two file names.
#include "outputlistdelegate.h"

#include <QFileInfo>
#include <QPainter>
#include <QVariantMap>

#include "delegatepainting.h"

using delegatepainting::font;

void OutputListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const
{
    painter->save();
    const QRect r = option.rect;
    const QVariantMap map = index.data(Qt::UserRole).toMap();
    const QFileInfo input(map.value(QStringLiteral("filename")).toString());
    const QFileInfo output(map.value(QStringLiteral("outputFilename")).toString());

    painter->setFont(font(11, QFont::Bold));
    painter->drawText(r.left(), r.top() + 10, QStringLiteral("Input: "));
    painter->setFont(font(11));
    painter->drawText(r.left() + 45, r.top() + 10, input.fileName());
    painter->setFont(font(11, QFont::Bold));
    painter->drawText(r.left(), r.top() + 21, QStringLiteral("Output: "));
    painter->setFont(font(11));
    painter->drawText(r.left() + 45, r.top() + 21, output.fileName());

    painter->setPen(QColor(QStringLiteral("black")));
    delegatepainting::drawSeparator(painter, r);
    painter->restore();
}

QSize OutputListDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return QSize(460, 25);
}
