// What the three list delegates paint alike: their fonts and the line under each row.
#pragma once

#include <QFont>
#include <QPainter>
#include <QRect>

namespace delegatepainting {

// Helvetica at the given pixel size (fontconfig picks the face installed for it).
inline QFont font(int pixelSize, int weight = QFont::Normal, bool italic = false)
{
    QFont f(QStringLiteral("Helvetica"), 12, weight, italic);
    f.setPixelSize(pixelSize);
    return f;
}

inline void drawSeparator(QPainter* painter, const QRect& r)
{
    painter->drawLine(r.left(), r.bottom(), r.right(), r.bottom());
}

} // namespace delegatepainting
