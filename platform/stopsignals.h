// The signals that ask a program to end (SIGTERM at logout or shutdown,
// SIGINT, SIGHUP), turned into a Qt signal while an object of this class
// lives, so that work in progress can stop as the operator's Cancel does.
#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

class StopSignals : public QObject {
    Q_OBJECT
public:
    // Only one lives at a time; the actions before it come back with its end.
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;
    bool active() const { return m_notifier != nullptr; }

signals:
    // On the object's thread, once per signal that came.
    void received(int signal);

private slots:
    void readPipe();

private:
    QSocketNotifier* m_notifier = nullptr;
    struct sigaction m_before[3];
};
