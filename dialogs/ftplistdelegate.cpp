#include "ftplistdelegate.h"

#include <QApplication>
#include <QFileInfo>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>

#include "ftpserversetup.h"
#include "ftpsettings.h"

namespace {

QFont textFont(int weight)
{
    QFont font(QStringLiteral("Helvetica"));
    font.setPixelSize(11);
    font.setWeight(weight);
    return font;
}

bool setupButtonEnabled(const QVariantMap& map)
{
    return map.value(QLatin1String(fileitem::kFtpSetupButtonEnabledKey)).toString() != QLatin1String("no");
}

} // namespace

FTPListDelegate::FTPListDelegate(QWidget* dialogParent)
    : QStyledItemDelegate(nullptr),
      dialogParent(dialogParent)
{
}

void FTPListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const
{
    painter->save();
    const QVariantMap map = index.data(Qt::UserRole).toMap();
    const QString input = QFileInfo(map.value(QLatin1String(fileitem::kFilenameKey)).toString()).fileName();
    const QString output =
        QFileInfo(map.value(QLatin1String(fileitem::kOutputFilenameKey)).toString()).fileName();
    QString destination = map.value(QLatin1String(fileitem::kPrimaryServerKey)).toString();
    const QString secondary = map.value(QLatin1String(fileitem::kSecondaryServerKey)).toString();
    if (!secondary.isEmpty())
        destination += QStringLiteral(", ") + secondary;

    const QRect& r = option.rect;
    const QFont label = textFont(75);
    const QFont value = textFont(50);
    painter->setPen(option.palette.color(QPalette::Text));
    const QString inputLabel = tr("Input: "), outputLabel = tr("Output: "), destLabel = tr("Dest: ");
    // Values start at their given places, or after the bold labels where the
    // installed face draws those wider.
    const QFontMetrics labelMetrics(label);
    const int nameX = r.left()
        + std::max({45, labelMetrics.horizontalAdvance(inputLabel), labelMetrics.horizontalAdvance(outputLabel)});
    const int destX = r.left() + std::max(280, 250 + labelMetrics.horizontalAdvance(destLabel));
    painter->setFont(label);
    painter->drawText(QPoint(r.left(), r.top() + 10), inputLabel);
    painter->drawText(QPoint(r.left(), r.top() + 21), outputLabel);
    painter->drawText(QPoint(r.left() + 250, r.top() + 17), destLabel);
    painter->setFont(value);
    painter->drawText(QPoint(nameX, r.top() + 10), input);
    painter->drawText(QPoint(nameX, r.top() + 21), output);
    painter->drawText(QPoint(destX, r.top() + 17), destination);

    painter->setPen(Qt::black);
    painter->drawLine(r.left(), r.bottom(), r.right(), r.bottom());

    QStyleOptionButton button;
    button.rect = QRect(r.right() - 39, r.top(), 40, 23);
    button.text = tr("Setup");
    const bool enabled = setupButtonEnabled(map);
    button.state = enabled ? QStyle::State_Enabled : QStyle::State_None;
    // Styles take the text colour from the palette's current group.
    button.palette = option.palette;
    button.palette.setCurrentColorGroup(enabled ? QPalette::Active : QPalette::Disabled);
    QApplication::style()->drawControl(QStyle::CE_PushButton, &button, painter);
    painter->restore();
}

QSize FTPListDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return QSize(460, 25);
}

bool FTPListDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                  const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (event->type() != QEvent::MouseButtonRelease)
        return true;
    if (!setupButtonEnabled(index.data(Qt::UserRole).toMap()))
        return true;
    const QPoint pos = static_cast<QMouseEvent*>(event)->pos();
    const QRect& r = option.rect;
    if (!(pos.x() > r.right() - 39 && pos.x() < r.right() + 1 && pos.y() > r.top()
          && pos.y() < r.top() + 23))
        return true;

    // The row may change while the dialog is open (a probe result arrives)
    // or go away: only the server keys are copied, into the row as it is then.
    const QPersistentModelIndex row(index);
    QPointer<FTPServerSetup> dialog = new FTPServerSetup(index, dialogParent);
    const int result = dialog->exec();
    if (!dialog)
        return true; // gone with its parent
    const QVariantMap settings = dialog->getSettings();
    delete dialog;
    if (result != QDialog::Accepted || !row.isValid())
        return true;
    QVariantMap map = row.data(Qt::UserRole).toMap();
    for (const char* key : ftpsettings::kKeys)
        map.insert(QLatin1String(key),
                   ftpsettings::rowValue(QLatin1String(key), settings.value(QLatin1String(key)).toString()));
    model->setData(row, map, Qt::UserRole);
    return true;
}
