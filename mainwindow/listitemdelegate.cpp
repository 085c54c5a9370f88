// Input list rows: icon, file name, codec line (red for an unknown file type)
// and, once probed, the duration at the right edge.
#include "listitemdelegate.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QVariantMap>

#include "delegatepainting.h"
#include "fileitemmap.h"

using delegatepainting::font;

void ListItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    painter->save();

    const QRect r = option.rect;
    const int left = r.left(), top = r.top(), right = r.right(), width = r.width();
    const QVariantMap map = fileitem::rowMap(index);
    auto v = [&map](const char* key) { return fileitem::text(map, key); };
    const QFileInfo file(v(fileitem::kFilenameKey));
    const bool valid = v(fileitem::kValidKey) == QLatin1String("true");

    delegatepainting::drawSeparator(painter, r);

    // A path that is gone has no icon; nothing is drawn for it.
    const QIcon icon = QFileIconProvider().icon(file);
    const QPixmap pixmap = icon.isNull() ? QPixmap() : icon.pixmap(35, 35, QIcon::Normal, QIcon::Off);
    if (!pixmap.isNull())
        painter->drawPixmap(QRect(left, top + 2, 35, 35),
                            pixmap.scaled(35, 35, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));

    painter->setFont(font(15, QFont::Bold));
    painter->drawText(left + width / 8, top + 17, file.fileName());

    painter->setFont(font(10));
    QString detail = v(fileitem::kVideoCodecKey);
    if (detail == QLatin1String("Invalid File Type"))
        painter->setPen(QColor(QStringLiteral("red")));
    if (valid) {
        painter->setPen(QColor(QStringLiteral("black")));
        if (v(fileitem::kNumVideoStreamsKey).toInt() == 0) {
            detail = v(fileitem::kAudioCodecKey) + tr(", No Video Stream");
        } else {
            detail = v(fileitem::kVideoCodecKey);
            if (v(fileitem::kVBitrateKey) != QLatin1String("0"))
                detail += QStringLiteral(", ") + v(fileitem::kVBitrateKey) + QStringLiteral("Mbps");
            detail += QStringLiteral(", ") + v(fileitem::kModeKey);
            if (v(fileitem::kNumAudioStreamsKey).toInt() == 0)
                detail += tr(", No Audio Stream");
        }
    }
    painter->drawText(left + width / 8, top + 33, detail);

    painter->setPen(QColor(QStringLiteral("black")));
    if (valid) {
        painter->setFont(font(13));
        painter->drawText(QRect(QPoint(right, top + 13), QPoint(right, top + 27)),
                          Qt::AlignRight | Qt::TextDontClip, v(fileitem::kDurationKey));
    }
    painter->restore();
}

QSize ListItemDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return QSize(400, 40);
}
