// Shared set-up for the FTP panel and server dialog tests: a settings store of
// their own, file rows as the main window makes them, and an actor that works
// the modal dialogs and message boxes that open while a nested loop runs.
#pragma once

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QSettings>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>

namespace ftpdialogtest {

const QStringList kFtpKeys = {fileitem::kPrimaryServerKey,   fileitem::kPrimaryPortKey,   fileitem::kPrimaryUsernameKey,
                              fileitem::kPrimaryPasswordKey, fileitem::kSecondaryServerKey, fileitem::kSecondaryPortKey,
                              fileitem::kSecondaryUsernameKey, fileitem::kSecondaryPasswordKey};

// Settings in a temporary folder under the program's own names.
class SettingsScope {
public:
    SettingsScope()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        QCoreApplication::setOrganizationName("Ostrand Kelvane Inc");
        QCoreApplication::setApplicationName("Quorvel");
        QSettings().clear();
    }
    QTemporaryDir dir;
};

// Eight distinct values for a row, e.g. "A-primaryServer".
inline QVariantMap ftpValues(const QString& tag)
{
    QVariantMap map;
    for (const QString& key : kFtpKeys)
        map[key] = tag + "-" + key;
    return map;
}

inline QStandardItem* addRow(QStandardItemModel& model, const QString& input,
                             const QVariantMap& extra = QVariantMap())
{
    QVariantMap map;
    map[fileitem::kUuidKey] = input + "-uuid";
    map[fileitem::kFilenameKey] = "/media/in/" + input + ".mov";
    map[fileitem::kOutputFilenameKey] = "/media/out/" + input + ".mpg";
    for (auto it = extra.begin(); it != extra.end(); ++it)
        map[it.key()] = it.value();
    auto* item = new QStandardItem;
    item->setData(map, Qt::UserRole);
    model.appendRow(item);
    return item;
}

inline QVariantMap rowMap(const QStandardItemModel& model, int row)
{
    return model.index(row, 0).data(Qt::UserRole).toMap();
}

inline QVariantMap ftpPart(const QVariantMap& map)
{
    QVariantMap out;
    for (const QString& key : kFtpKeys)
        out[key] = map.value(key);
    return out;
}

// Calls handler with the visible modal widget every 20 ms while it lives.
// Anything that may open a further modal must be invoked queued, as this
// timer does not fire again while its own handler runs.
class ModalActor : public QObject {
public:
    explicit ModalActor(std::function<void(QWidget*)> handler)
        : handler(std::move(handler))
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            QWidget* w = QApplication::activeModalWidget();
            if (w && w->isVisible())
                this->handler(w);
        });
        timer.start(20);
    }

private:
    std::function<void(QWidget*)> handler;
    QTimer timer;
};

struct SeenBox {
    QString title, text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButton defaultButton;
    QWidget* parent;
};

inline SeenBox describe(QMessageBox* box)
{
    return SeenBox{box->windowTitle(), box->text(), box->icon(),
                   box->defaultButton() ? box->standardButton(box->defaultButton())
                                        : QMessageBox::NoButton,
                   box->parentWidget()};
}

// Answers file dialogs with path (or cancels them when path is empty) and
// message boxes with answer (or Ok); records both.
class DialogAnswerer {
public:
    DialogAnswerer(const QString& path, QMessageBox::StandardButton answer = QMessageBox::Yes)
        : actor([this, path, answer](QWidget* w) {
              if (auto* fd = qobject_cast<QFileDialog*>(w)) {
                  if (handled.contains(fd))
                      return;
                  handled << fd;
                  fileDialogs << fd->windowTitle() + " | " + fd->nameFilters().join(";") + " | "
                          + (fd->acceptMode() == QFileDialog::AcceptSave ? "save" : "open");
                  if (path.isEmpty()) {
                      QMetaObject::invokeMethod(fd, "reject", Qt::QueuedConnection);
                      return;
                  }
                  fd->findChild<QLineEdit*>("fileNameEdit")->setText(path);
                  QMetaObject::invokeMethod(fd, "accept", Qt::QueuedConnection);
              } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
                  // A box without that answer (a warning) is acknowledged.
                  QAbstractButton* button =
                      box->button(answer) ? box->button(answer) : box->button(QMessageBox::Ok);
                  if (handled.contains(box) || !button)
                      return;
                  handled << box;
                  boxes << describe(box);
                  QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection);
              }
          })
    {
    }
    QStringList fileDialogs;
    QList<SeenBox> boxes;

private:
    QList<QPointer<QWidget>> handled;
    ModalActor actor;
};

} // namespace ftpdialogtest
