// Output list rows: "Input:" and "Output:" with the two file names.
#include "outputlistdelegate.h"

#include <QFileInfo>
#include <QFontMetrics>
#include <QPainter>
#include <QVariantMap>
#include <algorithm>

#include "delegatepainting.h"
#include "fileitemmap.h"

using delegatepainting::font;

void OutputListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const
{
    painter->save();
    const QRect r = option.rect;
    const QVariantMap map = fileitem::rowMap(index);
    const QFileInfo input(fileitem::text(map, fileitem::kFilenameKey));
    const QFileInfo output(fileitem::text(map, fileitem::kOutputFilenameKey));

    // The names start 45 pixels in, or after the bold labels where the
    // installed face draws them wider than that.
    const QString inputLabel = tr("Input: ");
    const QString outputLabel = tr("Output: ");
    const QFontMetrics bold(font(11, QFont::Bold));
    const int nameX = r.left()
        + std::max({45, bold.horizontalAdvance(inputLabel), bold.horizontalAdvance(outputLabel)});

    painter->setFont(font(11, QFont::Bold));
    painter->drawText(r.left(), r.top() + 10, inputLabel);
    painter->setFont(font(11));
    painter->drawText(nameX, r.top() + 10, input.fileName());
    painter->setFont(font(11, QFont::Bold));
    painter->drawText(r.left(), r.top() + 21, outputLabel);
    painter->setFont(font(11));
    painter->drawText(nameX, r.top() + 21, output.fileName());

    painter->setPen(QColor(QStringLiteral("black")));
    delegatepainting::drawSeparator(painter, r);
    painter->restore();
}

QSize OutputListDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return QSize(460, 25);
}
