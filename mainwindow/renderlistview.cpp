#include "renderlistview.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

RenderListView::RenderListView(QWidget* parent)
    : QListView(parent)
{
    setAcceptDrops(true);
    setDropIndicatorShown(true);
}

void RenderListView::dragEnterEvent(QDragEnterEvent* event)
{
    event->acceptProposedAction();
}

void RenderListView::dragMoveEvent(QDragMoveEvent* event)
{
    event->accept();
}

void RenderListView::dropEvent(QDropEvent* event)
{
    // A URL that is not a local file gives an empty path; addFiles skips it.
    QStringList paths;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls)
        paths << url.toLocalFile();
    emit filesDropped(paths);
}
