// Input list view that accepts files dropped from a file manager.
#pragma once

#include <QListView>
#include <QStringList>

class RenderListView : public QListView {
    Q_OBJECT
public:
    explicit RenderListView(QWidget* parent = nullptr);

signals:
    void filesDropped(QStringList paths);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
