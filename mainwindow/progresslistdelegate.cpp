// Encoding list rows: light blue encode bar, light green upload bar over it,
// the percent text and the row's state.
#include "progresslistdelegate.h"

#include <QPainter>
#include <QVariantMap>
#include <algorithm>

#include "delegatepainting.h"
#include "fileitemmap.h"

using delegatepainting::font;

namespace {

// A progress value outside 0..100 must not paint past the row.
int barWidth(int width, int percent)
{
    const qint64 w = qint64(width) * percent / 100;
    return int(std::max<qint64>(0, std::min<qint64>(width, w)));
}

} // namespace

void ProgressListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const
{
    painter->save();
    const QRect r = option.rect;
    const int left = r.left(), top = r.top(), width = r.width(), height = r.height();
    const QVariantMap map = fileitem::rowMap(index);
    const fileitem::EncodingState state = fileitem::state(map);
    // A failed row made nothing: its bar stays empty, whatever progress it reached.
    const bool failed = state == fileitem::kEncodingError;
    const int encoded = failed ? 0 : map.value(QLatin1String(fileitem::kEncodingProgressKey)).toInt();
    const int uploaded = map.value(QLatin1String(fileitem::kUploadProgressKey)).toInt();
    const QString uploadText = fileitem::text(map, fileitem::kUploadProgressStringKey);

    const int encodeBar = barWidth(width, encoded);
    if (encodeBar > 0)
        painter->fillRect(QRect(left, top, encodeBar, height), QColor(QStringLiteral("lightblue")));
    const int uploadBar = barWidth(width, uploaded);
    if (uploadBar > 0)
        painter->fillRect(QRect(left, top, uploadBar, height), QColor(QStringLiteral("lightgreen")));

    QString percent;
    if (!uploadText.isEmpty() && uploadText != QLatin1String("nan"))
        percent = uploadText + QLatin1Char('%');
    else if (!failed && encoded >= 0 && encoded <= 100)
        percent = QString::number(encoded) + QLatin1Char('%');
    painter->setFont(font(13));
    if (!percent.isEmpty())
        painter->drawText(left + width * 22 / 24, top + 18, percent);

    switch (state) {
    case fileitem::kQueued:
        painter->setFont(font(14));
        break;
    case fileitem::kEncoding:
    case fileitem::kSplitting:
    case fileitem::kUploading:
        painter->setFont(font(14, QFont::Bold));
        break;
    case fileitem::kEncoded:
    case fileitem::kEncodingError:
    case fileitem::kUploaded:
    case fileitem::kUploadError:
        painter->setFont(font(14, QFont::Normal, true));
        break;
    default:
        painter->setFont(QFont());
        break;
    }
    QString stateText;
    switch (state) {
    case fileitem::kSplitting:
        stateText = tr("Splitting File");
        break;
    case fileitem::kEncodingError:
        stateText = tr("Encoding Error.");
        break;
    case fileitem::kUploading:
        stateText = tr("Uploading: %1").arg(fileitem::text(map, fileitem::kCurUploadFileKey));
        break;
    case fileitem::kUploadError:
        stateText = tr("Upload Error.");
        break;
    default:
        stateText = fileitem::text(map, fileitem::kDisplayNameKey);
        break;
    }
    painter->drawText(left + 10, top + 20, stateText);

    painter->setPen(QColor(QStringLiteral("black")));
    delegatepainting::drawSeparator(painter, r);
    painter->restore();
}

QSize ProgressListDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return QSize(460, 30);
}
