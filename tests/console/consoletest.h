// Helpers of the tests that run the built quorvelc and Quorvel as processes:
// the runner, a private settings folder, and the fixed texts they print.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "testutil.h"

namespace consoletest {

inline QString quorvelc()
{
    return QStringLiteral(QUORVELC_PROGRAM);
}

inline QString quorvel()
{
    return QStringLiteral(QUORVEL_PROGRAM);
}

struct Run {
    bool finished = false;   // ended by itself within the time allowed
    bool normalExit = false; // not killed by a signal
    int code = -1;
    QByteArray out;
};

// Runs program with args in dir. Standard input stays an open pipe that never
// delivers anything: a program that waited for a key would run into the time
// limit. Standard error is left aside (the programs send it to /dev/null).
inline Run run(const QString& program, const QStringList& args, const QProcessEnvironment& env,
               const QString& dir = QString(), int timeoutMs = 60000)
{
    Run r;
    QProcess p;
    p.setProcessEnvironment(env);
    if (!dir.isEmpty())
        p.setWorkingDirectory(dir);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return r;
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished();
    }
    r.normalExit = r.finished && p.exitStatus() == QProcess::NormalExit;
    r.code = r.normalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    return r;
}

// The environment of the runs: the test's own, with settings and the home
// folder in a temporary place so that no run reads or writes the user's.
inline QProcessEnvironment isolatedEnvironment(const QString& home)
{
    QDir().mkpath(home + "/config");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("XDG_CONFIG_HOME", home + "/config");
    return env;
}

inline QByteArray rule()
{
    return QByteArray(56, '-');
}

inline QByteArray banner()
{
    return "\r\nQuorvel Command Line Utility\r\n" + rule() + "\r\nVersion 1.13\r\n"
        + "Copyright (c) Ostrand Kelvane Inc.  All rights reserved.\r\n" + rule() + "\r\n\r\n";
}

inline QByteArray usage()
{
    return QByteArray("USAGE:\r\n"
                      " quorvelc -src=<path> -dst(4k#)=(<path>|Volume) [options]\r\n"
                      "\r\n Where:\r\n"
                      "  <path>\tAbsolute path of source or destination directory.\r\n"
                      "  Volume\tT9PW drive's volume label\r\n"
                      "  -dst=\t\t1080p FULL destination\r\n"
                      "  -dst4k1=\t4K Quadrant 1 (Top Left) destination\r\n"
                      "  -dst4k2=\t4K Quadrant 2 (Top Right) destination\r\n"
                      "  -dst4k3=\t4K Quadrant 3 (Bottom Left) destination\r\n"
                      "  -dst4k4=\t4K Quadrant 4 (Bottom Right) destination\r\n"
                      "\r\n Options:\r\n"
                      "  -ifr=(23.976|25|29.97|47.952|\r\n"
                      "  \t50|59.94|100|119.88)\tInput framerate [default: 59.94]\r\n"
                      "  -vo=(KRX|TGA)\t\t\tOutput format [default: TGA]\r\n"
                      "  -f\t\t\t\tForce output path overwrite.\r\n"
                      "  -tf\t\t\t\tFrames to process [default: all]\r\n"
                      "  (-?|-h)\t\t\tShow this help screen.\r\n"
                      "  -e\t\t\t\tShow examples.\r\n"
                      "  -si\t\t\t\tSilent (suppress info messages).\r\n"
                      "  -sa\t\t\t\tSilent (suppress all messages).\r\n");
}

inline QByteArray examples()
{
    return QByteArray(
        "Examples:\r\n"
        " Convert/Copy 1080p source to KRX from c:\\src_1080 to C:\\dst (do not force overwrite)\r\n"
        "quorvelc -src=\"C:\\src_1080\" -dst=\"C:\\dst\" -vo=KRX\r\n"
        "\r\n"
        " Convert/Copy 100 frames of 1080p source to TGA from c:\\src_1080 to C:\\dst (force overwrite)\r\n"
        "quorvelc -src=\"C:\\src_1080\" -dst=\"C:\\dst\" -vo=TGA -f -tf=100\r\n"
        "\r\n"
        " Split 4K source to TGA files at 47.952 source frame rate (do not force overwrite)\r\n"
        " Quadrant 1 to drive with volume label T9PW_Slot1\r\n"
        " Quadrant 2 to drive H:\\\r\n"
        "quorvelc -src=\"C:\\src_4k\" -dst4k1=\"T9PW_Slot1\" -dst4k2=\"H:\" -ifr=47.952\r\n"
        "\r\n"
        " Split 4K source to KRX files: Quadrants 1,2,3,4 to matching T9PW drive labeling (force overwrite)\r\n"
        "quorvelc -src=\"C:\\src_4k\" -dst4k1=\"T9PW_Slot1\" -dst4k2=\"T9PW_Slot2\" -dst4k3=\"T9PW_Slot3\" "
        "-dst4k4=\"T9PW_Slot4\" -f -vo=KRX\r\n"
        "\r\n"
        " Suppress info, but show warnings and errors:\r\n"
        "quorvelc -src=\"C:\\src_1080\" -dst=\"C:\\dst\" -vo=KRX -si\r\n"
        "\r\n"
        " Suppress ALL messages:\r\n"
        "quorvelc -sa -src=\"C:\\src_1080\" -dst=\"C:\\dst\" -vo=KRX\r\n"
        "\r\n"
        " Suppress ALL, but show invalid arguments:\r\n"
        " Note: Same as previous example, but -sa is the last option\r\n"
        "quorvelc -src=\"C:\\src_1080\" -dst=\"C:\\dst\" -vo=KRX -sa\r\n");
}

// A temporary folder whose path holds a blank, so that every run shows that
// an argument with a blank reaches the program whole.
inline QString blankTempTemplate(const QString& name)
{
    return QDir::tempPath() + "/" + name + " XXXXXX";
}

} // namespace consoletest
