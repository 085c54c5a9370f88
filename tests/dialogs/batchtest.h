// Helpers of the batch window tests: answering modal boxes and dialogs as
// they open, holding a conversion's worker at a frame count while the GUI
// thread acts, and catching what is printed on standard output.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QSemaphore>
#include <QTemporaryFile>
#include <QTimer>
#include <QtTest>

#include <cstdio>
#include <functional>
#include <memory>

#include <unistd.h>

#include "targasequence.h"

namespace batchtest {

// Answers every modal message box with the next of answers (No, or the only
// button, when none is left) and hands every other modal dialog to onDialog
// (left alone when unset).
class Modal : public QObject {
public:
    struct Box {
        QString title, text;
        QMessageBox::Icon icon;
        QWidget* parent;
    };
    QList<Box> boxes;
    QList<QMessageBox::StandardButton> answers;
    std::function<void(QDialog*)> onDialog;
    int dialogs = 0;

    Modal()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start(10);
    }
    void rejectDialogs()
    {
        onDialog = [](QDialog* d) { d->reject(); };
    }
    QStringList texts() const
    {
        QStringList out;
        for (const Box& b : boxes)
            out << b.text;
        return out;
    }

private:
    void poll()
    {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible())
            return;
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            boxes << Box{box->windowTitle(), box->text(), box->icon(), box->parentWidget()};
            const auto answer = answers.isEmpty() ? QMessageBox::No : answers.takeFirst();
            QAbstractButton* button = box->button(answer);
            if (!button)
                button = box->buttons().value(0);
            if (button)
                button->click();
            return;
        }
        auto* dialog = qobject_cast<QDialog*>(w);
        if (!dialog || !onDialog || m_busy || m_seen.contains(dialog))
            return;
        m_seen << dialog;
        ++dialogs;
        m_busy = true;
        onDialog(dialog);
        m_busy = false;
    }

    QTimer m_timer;
    QList<QPointer<QDialog>> m_seen;
    bool m_busy = false;
};

// At the given count the worker waits until act has run on the GUI thread:
// what act sees and does happens while the conversion is in the middle.
inline void holdAt(TargaSequence* sequence, int count, std::function<void()> act)
{
    auto semaphore = std::make_shared<QSemaphore>();
    QObject::connect(
        sequence, &TargaSequence::frameConverted, sequence,
        [=](int code) {
            if (code != count)
                return;
            QMetaObject::invokeMethod(
                qApp, [=] {
                    act();
                    semaphore->release();
                },
                Qt::QueuedConnection);
            semaphore->acquire();
        },
        Qt::DirectConnection);
}

inline QStringList& capturedLog()
{
    static QStringList log;
    return log;
}

// Everything written to standard output while it lives. Qt's own messages
// are kept aside meanwhile (the test log would write them there too).
class StdoutCapture {
public:
    StdoutCapture()
    {
        m_file.open();
        std::fflush(stdout);
        m_saved = ::dup(1);
        ::dup2(m_file.handle(), 1);
        capturedLog().clear();
        m_handler = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            capturedLog() << text;
        });
    }
    ~StdoutCapture() { stop(); }
    // What has reached the file so far (only what was flushed).
    QByteArray text() const
    {
        QFile f(m_file.fileName());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QByteArray stop()
    {
        if (m_saved >= 0) {
            std::fflush(stdout);
            ::dup2(m_saved, 1);
            ::close(m_saved);
            m_saved = -1;
            qInstallMessageHandler(m_handler);
        }
        return text();
    }

private:
    QTemporaryFile m_file;
    int m_saved = -1;
    QtMessageHandler m_handler = nullptr;
};

} // namespace batchtest
