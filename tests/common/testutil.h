// Small helpers shared by the Qt Test cases: running real tools, finding them.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

namespace testutil {

// Folder of the checked-out tests (set by CTest), for committed fixtures.
inline QString testsDir()
{
    return QString::fromLocal8Bit(qgetenv("QUORVEL_TESTS_DIR"));
}

inline bool haveTool(const QString& name)
{
    return !QStandardPaths::findExecutable(name).isEmpty()
        || !QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin"}).isEmpty();
}

struct RunResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    bool ok() const { return exitCode == 0; }
};

// For what must not happen: runs the event loop for up to ms and returns
// false the moment happened() holds, true when it never did. An absence can
// only be seen over a while; this fails as soon as it is broken.
template <typename Happened>
inline bool neverWithin(int ms, Happened happened)
{
    return !QTest::qWaitFor(happened, ms);
}

// Runs a program to completion (no shell). A program that cannot start gives
// exit code -1. The program gets a temporary folder of its own (TMPDIR),
// removed once it has ended: one that ends with _exit removes nothing itself.
inline RunResult run(const QString& program, const QStringList& args, int timeoutMs = 120000,
                     const QByteArray& input = QByteArray(),
                     const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    RunResult r;
    QTemporaryDir temp;
    QProcessEnvironment childEnv = env;
    if (temp.isValid())
        childEnv.insert("TMPDIR", temp.path());
    QProcess p;
    p.setProcessEnvironment(childEnv);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return r;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.err = "timed out";
        return r;
    }
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

// Runs a shell command line (for pipelines in test set-up).
inline RunResult sh(const QString& command, int timeoutMs = 120000)
{
    return run("/bin/sh", {"-c", command}, timeoutMs);
}

} // namespace testutil

// Skips the current test when a tool is missing, saying which.
#define REQUIRE_TOOL(name)                                                     \
    do {                                                                       \
        if (!testutil::haveTool(name))                                         \
            QSKIP(qPrintable(QString("missing tool: %1").arg(name)));          \
    } while (0)

// Skips the current test when reason (a QString) is not empty. Helpers that
// decide a skip return their reason for this: a QSKIP inside a helper would
// leave only the helper, and the test would carry on.
#define SKIP_WHEN(reason)                                                      \
    do {                                                                       \
        const QString skipReason_ = (reason);                                  \
        if (!skipReason_.isEmpty())                                            \
            QSKIP(qPrintable(skipReason_));                                    \
    } while (0)
