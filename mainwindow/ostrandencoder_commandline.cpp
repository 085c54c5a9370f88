// OstrandEncoder: the command-line mode: the internal first arguments, the
// option parser with its checks and messages, the banner, usage and examples,
// and the hand-over of the checked job to the batch run.
#include "ostrandencoder.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <cerrno>
#include <cstdio>

#include <termios.h>
#include <unistd.h>

#include "batchconvertwindow.h"
#include "commandlinebatchjob.h"
#include "volumeinfo.h"

namespace {

const char* const kFrameRates[] = {"23.976", "25", "29.97", "47.952", "50", "59.94", "100", "119.88"};
const int kInvalidFrameRate = 8;

enum ParseError {
    VolumeNotFound = 0,
    InvalidSyntax = 1,
    InvalidSlot = 2,
    InvalidInputRate = 3,
    InvalidOutputRate = 4,
    InvalidOutputType = 5,
    InvalidTotalFrames = 6,
};

// The run's exit code, once the event loop runs (exit before it would be lost).
void finish(int code)
{
    std::fflush(stdout);
    QTimer::singleShot(0, qApp, [code] { QCoreApplication::exit(code); });
}

int frameRateIndex(const QByteArray& text)
{
    for (int i = 0; i < kInvalidFrameRate; ++i) {
        if (text == kFrameRates[i])
            return i;
    }
    return kInvalidFrameRate;
}

// A volume named by its label: exactly, else the first label that holds the
// text, so that "T9PW_Slot1" never picks "T9PW_Slot10" when both are there.
VolumeInfo volumeByLabel(const QString& label)
{
    const QList<VolumeInfo> volumes = VolumeInfo::mountedVolumes();
    for (const VolumeInfo& volume : volumes) {
        if (volume.name() == label)
            return volume;
    }
    for (const VolumeInfo& volume : volumes) {
        if (volume.name().contains(label))
            return volume;
    }
    return VolumeInfo();
}

// The label of the volume whose mount point path is ("" for any other path).
QString labelOfMountPoint(const QString& path)
{
    QString root = QDir::cleanPath(path);
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    for (const VolumeInfo& volume : VolumeInfo::mountedVolumes()) {
        if (volume.rootPath() == root)
            return volume.name();
    }
    return QString();
}

// Waits for one key; a script (standard input no terminal) never waits.
void pressAnyKey()
{
    if (!::isatty(STDIN_FILENO))
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

    // The internal first arguments: the work of a window, restarted elevated.
    const QByteArray first = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (first == "-ucconvert" || first == "-ucindex") {
        const QString drive = first == "-ucindex" && argc > 2 ? QFile::decodeName(argv[2]) : QString();
        if (!isRunningAsAdmin()) {
            QStringList arguments{QString::fromLatin1(first)};
            if (!drive.isEmpty())
                arguments << drive;
            // A refused restart leaves no window to keep the program running.
            if (!elevateAndRestart(arguments))
                finish(1);
            return;
        }
        if (first == "-ucconvert")
            convertAndIndex();
        else if (drive.isEmpty())
            indexDrive();
        else
            finish(indexAndReport(drive) ? 0 : 1);
        return;
    }

    // From here on no window opens: every report is printed.
    printNotices = true;

    CommandLineBatchJob job;
    int outputType = 0; // 0 Targa, 1 KRX, 2 invalid
    bool valid = true;
    int error = -1;
    QByteArray errorText; // the argument or target the error names
    bool help = false;
    bool examples = false;

    // Each argument is what the first of these texts found in it says it is.
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        auto record = [&](int code, const QByteArray& text = QByteArray()) {
            valid = false;
            error = code;
            errorText = text;
        };

        if (arg.contains("-p"))
            continue;

        if (arg.contains("-src")) {
            if (arg.size() > 4 && arg.at(4) == '=') {
                if (arg.size() == 5) {
                    record(InvalidSyntax, arg);
                    break;
                }
                job.sources << QDir::toNativeSeparators(QFile::decodeName(arg.mid(5)));
            }
            continue;
        }

        if (arg.contains("-dst")) {
            QByteArray target;
            if (arg.size() > 4 && arg.at(4) == '=') {
                job.destinationSlots << QStringLiteral("0");
                target = arg.mid(5);
            } else if (arg.mid(4).contains("4k") && arg.size() > 7) {
                const char digit = arg.at(6);
                if (digit < '1' || digit > '4') {
                    record(InvalidSlot, arg);
                    break;
                }
                if (arg.at(7) != '=') {
                    record(InvalidSyntax, arg);
                    break;
                }
                job.destinationSlots << QString(QLatin1Char(digit));
                target = arg.mid(8);
            } else {
                continue;
            }
            // Never the first mounted volume, nor "/".
            if (target.isEmpty()) {
                record(InvalidSyntax, arg);
                break;
            }
            const QString path = QFile::decodeName(target);
            if (QDir::isRelativePath(path)) {
                const VolumeInfo volume = volumeByLabel(path);
                if (!volume.isValid()) {
                    record(VolumeNotFound, target);
                    break;
                }
                job.destinations << QDir::toNativeSeparators(volume.rootPath());
                job.volumeNames << volume.name();
            } else {
                // Paths are case-sensitive here: the target is used as given.
                job.destinations << QDir::toNativeSeparators(path);
                job.volumeNames << labelOfMountPoint(path);
            }
            continue;
        }

        if (arg.contains("-ifr") || arg.contains("-ofr")) {
            const bool input = arg.contains("-ifr");
            if (arg.size() > 4 && arg.at(4) == '=') {
                const int rate = frameRateIndex(arg.mid(5));
                (input ? job.inputFrameRate : job.outputFrameRate) = rate;
                if (rate == kInvalidFrameRate)
                    record(input ? InvalidInputRate : InvalidOutputRate);
            }
            continue;
        }

        if (arg.contains("-vo")) {
            if (arg.size() > 3 && arg.at(3) == '=') {
                const QByteArray type = arg.mid(4).toUpper();
                if (type == "KRX") {
                    outputType = 1;
                } else if (type == "TGA" || type == "TARGA") {
                    outputType = 0;
                } else {
                    outputType = 2;
                    record(InvalidOutputType);
                }
            }
            continue;
        }

        if (arg.contains("-tf")) {
            if (arg.size() > 3 && arg.at(3) == '=') {
                bool number = false;
                const int frames = arg.mid(4).toInt(&number, 10);
                job.totalFrames = number ? frames : 0;
                if (job.totalFrames < 0) {
                    job.totalFrames = 0;
                    record(InvalidTotalFrames);
                }
            }
            continue;
        }

        if (arg.contains("-f")) {
            job.force = true;
            continue;
        }
        if (arg.contains("-?") || arg.contains("-h")) {
            help = true;
            break;
        }
        if (arg.contains("-e")) {
            examples = true;
            break;
        }
        if (arg.contains("-si")) {
            job.silent = true;
            continue;
        }
        if (arg.contains("-sa")) {
            job.silent = true;
            // What was printed so far stays; nothing after it reaches the console.
            std::fflush(stdout);
            if (!std::freopen("/dev/null", "w", stdout)) {
                // Without /dev/null the run simply stays audible.
            }
            continue;
        }

        std::printf("WARNING: Ignoring unrecognized argument '%s'", arg.constData());
        if (!arg.startsWith('-'))
            std::printf(", possibly missing '-'");
        std::printf("\r\n");
    }

    if (!job.silent)
        showCmdLineIntro();
    if (help) {
        showCmdLineHelp();
        finish(0);
        return;
    }
    if (examples) {
        printExamples();
        finish(0);
        return;
    }
    if (!valid) {
        switch (error) {
        case VolumeNotFound:
            std::printf("ERROR: Unable to find volume '%s'\r\n", errorText.constData());
            break;
        case InvalidSyntax:
            std::printf("ERROR: Invalid syntax '%s'\r\n", errorText.constData());
            break;
        case InvalidSlot:
            std::printf("ERROR: Invalid slot number in '%s'\r\n", errorText.constData());
            break;
        case InvalidInputRate:
            std::printf("ERROR: Invalid input framerate specified.\r\n");
            break;
        case InvalidOutputRate:
            std::printf("ERROR: Invalid output framerate specified.\r\n");
            break;
        case InvalidOutputType:
            std::printf("ERROR: Invalid output type specified.\r\n");
            break;
        default:
            std::printf("ERROR: Invalid total frames (must be a positive number).\r\n");
            break;
        }
        finish(1);
        return;
    }

    // The checks: each prints its message, none stops the others.
    if (job.sources.isEmpty()) {
        std::printf("ERROR: Required parameter '%s' missing.\r\n", "-src");
        valid = false;
    }
    if (job.destinations.isEmpty()) {
        std::printf("ERROR: Required parameter '%s' missing.\r\n", "-dst");
        valid = false;
    }
    if (job.destinationSlots.isEmpty() || job.destinations.size() != job.destinationSlots.size()
        || job.volumeNames.size() != job.destinations.size()) {
        std::printf("ERROR: Incorrectly processed destination list.\r\n");
        valid = false;
    }
    if (!job.sources.isEmpty() && !job.destinations.isEmpty() && !job.destinationSlots.isEmpty()
        && !job.volumeNames.isEmpty()) {
        for (const QString& source : qAsConst(job.sources)) {
            const QDir folder(source);
            const QByteArray name = QFile::encodeName(source);
            if (!folder.exists()) {
                std::printf("ERROR: Source directory '%s' doesn't exist!\r\n", name.constData());
                valid = false;
                break;
            }
            if (folder.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Unsorted).isEmpty()) {
                std::printf("ERROR: Source directory '%s' is empty!\r\n", name.constData());
                valid = false;
                break;
            }
        }
        for (const QString& destination : qAsConst(job.destinations)) {
            if (!QDir(destination).exists() && !QDir().mkdir(destination)) {
                std::printf("ERROR: Unable to access resource to verify/create output directory in '%s'\r\n",
                            QFile::encodeName(destination).constData());
                finish(1);
                return;
            }
        }
    }
    if (!valid) {
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

    BatchConvertWindow batch(outputType, nullptr);
    const bool done = batch.startCommandLineBatch(job);
    // A message (a drive that did not index, say) is an "ERROR: " line too.
    const bool clean = done && batch.reportedMessages() == 0;
    if (!job.silent)
        pressAnyKey();
    finish(clean ? 0 : 1);
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
