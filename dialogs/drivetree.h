// The drive tree shared by the drive index and drive select dialogs: either
// the mounted player drives (by volume label) or every folder from "/".
#pragma once

#include <QObject>
#include <QString>

class QAbstractItemModel;
class QFileSystemModel;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTreeView;

class DriveTree : public QObject {
    Q_OBJECT
public:
    enum Role { RootPathRole = Qt::UserRole + 1, LabelRole };

    // Builds the models (children of this object) and shows them in view.
    DriveTree(QTreeView* view, QObject* parent);

    // On: the mounted volumes whose label contains a match of "T9PW.*",
    // listed afresh. Off: drives and folders without "." and "..".
    void setPlayerDrivesOnly(bool on);
    bool playerDrivesOnly() const { return m_playerDrivesOnly; }

    // Path of the first selected row (a volume's root ends in "/"); empty
    // when nothing is selected.
    QString selectedPath() const;

    QFileSystemModel* fileSystemModel() const { return m_files; }
    QStandardItemModel* volumeModel() const { return m_volumes; }
    QSortFilterProxyModel* proxyModel() const { return m_proxy; }

private:
    void listVolumes();
    void showModel(QAbstractItemModel* model);

    QTreeView* m_view;
    QFileSystemModel* m_files;
    QStandardItemModel* m_volumes;
    QSortFilterProxyModel* m_proxy;
    bool m_playerDrivesOnly = false;
};
