// OstrandEncoder: the command-line mode: the internal first arguments, the
// printing of what the option parser found, the banner, usage and examples,
// and the hand-over of the checked job to the batch run.
#include "ostrandencoder.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <cerrno>
#include <cstdio>

#include <termios.h>
#include <unistd.h>

#include "batchconvertwindow.h"
#include "commandlineparser.h"
#include "elevatedrun.h"
#include "reporters.h"
#include "volumeinfo.h"

namespace {

// The run's exit code, once the event loop runs (exit before it would be lost).
void finish(int code)
{
    std::fflush(stdout);
    QTimer::singleShot(0, qApp, [code] { QCoreApplication::exit(code); });
}

void printLines(const QList<QByteArray>& lines)
{
    for (const QByteArray& line : lines)
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

QList<CommandLineVolume> mountedVolumes()
{
    QList<CommandLineVolume> volumes;
    for (const VolumeInfo& volume : VolumeInfo::mountedVolumes())
        volumes << CommandLineVolume{volume.rootPath(), volume.name(), volume.labelUnreadable()};
    return volumes;
}

// What was printed so far stays; nothing after it reaches the console.
void silenceStandardOutput()
{
    std::fflush(stdout);
    if (!std::freopen("/dev/null", "w", stdout)) {
        // Without /dev/null the run simply stays audible.
    }
}

// Prints the messages of the checks; false when the job must not run.
bool jobPassesChecks(const CommandLineBatchJob& job)
{
    const QList<QByteArray> errors = checkCommandLineJob(job);
    printLines(errors);
    const FolderCheck folders = prepareCommandLineFolders(job);
    printLines(folders.errors);
    return errors.isEmpty() && folders.errors.isEmpty();
}

// Only someone at the terminal, with the program in front, can press a key:
// a background job that touched the terminal would be stopped instead, and a
// run whose output goes to a file would wait for a prompt nobody sees.
bool someoneCanPressAKey()
{
    return ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO) && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
}

// Waits for one key.
void pressAnyKey()
{
    if (!someoneCanPressAKey())
        return;
    std::printf("Press any key to continue . . . ");
    std::fflush(stdout);
    termios saved;
    const bool keyMode = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (keyMode) {
        termios keys = saved;
        keys.c_lflag &= ~tcflag_t(ICANON | ECHO);
        keys.c_cc[VMIN] = 1;
        keys.c_cc[VTIME] = 0;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &keys);
    }
    char key;
    while (::read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    if (keyMode)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::printf("\r\n");
    std::fflush(stdout);
}

void printExamples()
{
    static const char* const kLines[] = {
        "Examples:",
        " Convert/Copy 1080p source to KRX from c:\\src_1080 to C:\\dst (do not force overwrite)",
        "quorvelc -src=\"C:\\src_1080\" -dst=\"C:\\dst\" -vo=KRX",
        "",
        " Convert/Copy 100 frames of 1080p source to TGA from c:\\src_1080 to C:\\dst (force overwrite)",
        "quorvelc -src=\"C:\\src_1080\" -dst=\"C:\\dst\" -vo=TGA -f -tf=100",
        "",
        " Split 4K source to TGA files at 47.952 source frame rate (do not force overwrite)",
        " Quadrant 1 to drive with volume label T9PW_Slot1",
        " Quadrant 2 to drive H:\\",
        "quorvelc -src=\"C:\\src_4k\" -dst4k1=\"T9PW_Slot1\" -dst4k2=\"H:\" -ifr=47.952",
        "",
        " Split 4K source to KRX files: Quadrants 1,2,3,4 to matching T9PW drive labeling (force overwrite)",
        "quorvelc -src=\"C:\\src_4k\" -dst4k1=\"T9PW_Slot1\" -dst4k2=\"T9PW_Slot2\" -dst4k3=\"T9PW_Slot3\" "
        "-dst4k4=\"T9PW_Slot4\" -f -vo=KRX",
        "",
        " Suppress info, but show warnings and errors:",
        "quorvelc -src=\"C:\\src_1080\" -dst=\"C:\\dst\" -vo=KRX -si",
        "",
        " Suppress ALL messages:",
        "quorvelc -sa -src=\"C:\\src_1080\" -dst=\"C:\\dst\" -vo=KRX",
        "",
        " Suppress ALL, but show invalid arguments:",
        " Note: Same as previous example, but -sa is the last option",
        "quorvelc -src=\"C:\\src_1080\" -dst=\"C:\\dst\" -vo=KRX -sa",
    };
    for (const char* line : kLines)
        std::printf("%s\r\n", line);
}

} // namespace

void OstrandEncoder::passAndProcessArgs(int argc, char* argv[])
{
    // Set first, before the event loop runs: the update check stays quiet.
    commandLineRun = true;
    // Elevated for a caller that had gone before this run began: nothing of
    // it starts, not even its banner or its window.
    if (callerEnded) {
        finish(1);
        return;
    }
    QList<QByteArray> args;
    for (int i = 1; i < argc; ++i)
        args << QByteArray(argv[i]);
    if (runInternalArgument(args))
        return;

    // From here on no window opens: nobody could answer a box.
    printInsteadOfBoxes();
    // The unprivileged run that restarted this one printed these already.
    const bool restarted = elevatedrun::restartedByItself();
    const CommandLineParse parse = parseCommandLine(args, mountedVolumes());
    if (!restarted)
        printLines(parse.argumentWarnings.mid(0, parse.audibleArgumentWarnings));
    if (parse.silenceAll)
        silenceStandardOutput();

    if (!parse.job.silent && !restarted)
        showCmdLineIntro();
    if (parse.action != CommandLineParse::RunBatch) {
        if (parse.action == CommandLineParse::ShowHelp)
            showCmdLineHelp();
        else
            printExamples();
        finish(0);
        return;
    }
    if (!parse.valid()) {
        printLines({parse.errorLine()});
        finish(1);
        return;
    }
    if (!restarted)
        printLines(parse.volumeWarnings);
    if (!jobPassesChecks(parse.job)) {
        finish(1);
        return;
    }

    if (!isRunningAsAdmin()) {
        // The elevated run repeats all of this and does the work; its exit
        // code becomes this process's.
        QStringList arguments;
        for (int i = 1; i < argc; ++i)
            arguments << QFile::decodeName(argv[i]);
        if (!elevateAndRestart(arguments))
            finish(1);
        return;
    }

    BatchConvertWindow batch(parse.outputType, nullptr);
    const bool done = batch.startCommandLineBatch(parse.job);
    // A message (a drive that did not index, say) is an "ERROR: " line too.
    const bool clean = done && batch.reportedMessages() == 0;
    // A caller that has gone, or asked the run to stop, waits for no key.
    if (!parse.job.silent && !callerEnded && !batch.stoppedBySignal())
        pressAnyKey();
    finish(clean ? 0 : 1);
}

bool OstrandEncoder::runInternalArgument(const QList<QByteArray>& args)
{
    // The internal first arguments: the work of a window, restarted elevated.
    const QByteArray first = args.value(0);
    if (first != "-ucconvert" && first != "-ucindex")
        return false;
    if (first == "-ucindex" && args.size() > 1 && !decodesExactly(args.at(1))) {
        printLines({undecodablePathLine(first)});
        finish(1);
        return true;
    }
    const QString drive = first == "-ucindex" && args.size() > 1 ? QFile::decodeName(args.at(1)) : QString();
    if (!isRunningAsAdmin()) {
        QStringList arguments{QString::fromLatin1(first)};
        if (!drive.isEmpty())
            arguments << drive;
        // A refused restart leaves no window to keep the program running.
        if (!elevateAndRestart(arguments))
            finish(1);
        return true;
    }
    if (first == "-ucconvert")
        convertAndIndex();
    else if (drive.isEmpty())
        indexDrive();
    else
        finish(indexAndReport(drive) ? 0 : 1);
    return true;
}

void OstrandEncoder::showCmdLineIntro()
{
    static const char kRule[] = "--------------------------------------------------------";
    static_assert(sizeof(kRule) == 57, "the rule is 56 hyphens");
    const QByteArray name = QFile::encodeName(QFileInfo(QCoreApplication::applicationName()).baseName());
    std::printf("\r\n");
    std::printf("%s Command Line Utility\r\n", name.constData());
    std::printf("%s\r\n", kRule);
    std::printf("Version %s\r\n", QUORVEL_VERSION);
    std::printf("Copyright (c) Ostrand Kelvane Inc.  All rights reserved.\r\n");
    std::printf("%s\r\n", kRule);
    std::printf("\r\n");
}

void OstrandEncoder::showCmdLineHelp()
{
    const char* const src = "-src";
    const char* const dst = "-dst";
    const char* const k4 = "4k";
    const char eq = '=';
    std::printf("USAGE:\r\n");
    std::printf(" quorvelc %s%c<path> %s(%s#)%c(<path>|Volume) [options]\r\n", src, eq, dst, k4, eq);
    std::printf("\r\n Where:\r\n");
    std::printf("  <path>\tAbsolute path of source or destination directory.\r\n");
    std::printf("  Volume\tT9PW drive's volume label\r\n");
    std::printf("  %s%c\t\t1080p FULL destination\r\n", dst, eq);
    std::printf("  %s%s1%c\t4K Quadrant 1 (Top Left) destination\r\n", dst, k4, eq);
    std::printf("  %s%s2%c\t4K Quadrant 2 (Top Right) destination\r\n", dst, k4, eq);
    std::printf("  %s%s3%c\t4K Quadrant 3 (Bottom Left) destination\r\n", dst, k4, eq);
    std::printf("  %s%s4%c\t4K Quadrant 4 (Bottom Right) destination\r\n", dst, k4, eq);
    std::printf("\r\n Options:\r\n");
    std::printf("  %s%c(23.976|25|29.97|47.952|\r\n", "-ifr", eq);
    std::printf("  \t50|59.94|100|119.88)\tInput framerate [default: 59.94]\r\n");
    std::printf("  %s%c(KRX|TGA)\t\t\tOutput format [default: TGA]\r\n", "-vo", eq);
    std::printf("  %s\t\t\t\tForce output path overwrite.\r\n", "-f");
    std::printf("  %s\t\t\t\tFrames to process [default: all]\r\n", "-tf");
    std::printf("  (%s|%s)\t\t\tShow this help screen.\r\n", "-?", "-h");
    std::printf("  %s\t\t\t\tShow examples.\r\n", "-e");
    std::printf("  %s\t\t\t\tSilent (suppress info messages).\r\n", "-si");
    std::printf("  %s\t\t\t\tSilent (suppress all messages).\r\n", "-sa");
}
