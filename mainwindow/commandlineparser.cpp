// The command-line options: the parse into a job, the checks and their texts.
#include "commandlineparser.h"

#include <QDir>
#include <QFile>

#include <dirent.h>

#include "elevatedrun.h"

namespace {

const char* const kFrameRates[] = {"23.976", "25", "29.97", "47.952", "50", "59.94", "100", "119.88"};
const int kInvalidFrameRate = 8;

int frameRateIndex(const QByteArray& text)
{
    for (int i = 0; i < kInvalidFrameRate; ++i) {
        if (text == kFrameRates[i])
            return i;
    }
    return kInvalidFrameRate;
}

// The options an argument can start with, in the order they are tried: the
// first that the argument starts with decides ("-sa" never reaches "-s...").
enum Option { Skip, Source, Destination, InputRate, OutputRate, OutputFormat, TotalFrames, Force, Help, HelpToo,
              Examples, Silent, SilentAll, Unknown };
const char* const kOptionTexts[] = {"-p", "-src", "-dst", "-ifr", "-ofr", "-vo", "-tf", "-f", "-?", "-h", "-e",
                                    "-si", "-sa"};

Option optionOf(const QByteArray& arg)
{
    for (int i = 0; i < int(sizeof kOptionTexts / sizeof *kOptionTexts); ++i) {
        if (arg.startsWith(kOptionTexts[i]))
            return Option(i);
    }
    return Unknown;
}

struct LabelMatch {
    int index = -1; // into the volumes
    int count = 0;  // volumes that would have done as well
};

// A volume named by its label: exactly, else the first label that holds the
// text, so that "T9PW_Slot1" never picks "T9PW_Slot10" when both are there.
LabelMatch volumeByLabel(const QList<CommandLineVolume>& volumes, const QString& label)
{
    LabelMatch exact, contained;
    for (int i = 0; i < volumes.size(); ++i) {
        const QString& name = volumes.at(i).name;
        if (name == label) {
            if (exact.index < 0)
                exact.index = i;
            ++exact.count;
        }
        if (name.contains(label)) {
            if (contained.index < 0)
                contained.index = i;
            ++contained.count;
        }
    }
    return exact.index >= 0 ? exact : contained;
}

// The label of the volume whose mount point path is ("" for any other path).
QString labelOfMountPoint(const QList<CommandLineVolume>& volumes, const QString& path)
{
    QString root = QDir::cleanPath(path);
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    for (const CommandLineVolume& volume : volumes) {
        if (volume.rootPath == root)
            return volume.name;
    }
    return QString();
}

} // namespace

bool decodesExactly(const QByteArray& bytes)
{
    return QFile::encodeName(QFile::decodeName(bytes)) == bytes;
}

QByteArray undecodablePathLine(const QByteArray& option)
{
    return "ERROR: The path given with '" + option + "' is not valid text in this system's encoding.\r\n";
}

QByteArray CommandLineParse::errorLine() const
{
    switch (error) {
    case NoError:
        return QByteArray();
    case VolumeNotFound:
        if (unreadableLabels > 0)
            return "ERROR: Unable to find volume '" + errorText + "': the labels of "
                + QByteArray::number(unreadableLabels)
                + " mounted drives can be read only with administrator rights (run as root).\r\n";
        return "ERROR: Unable to find volume '" + errorText + "'\r\n";
    case InvalidSyntax:
        return "ERROR: Invalid syntax '" + errorText + "'\r\n";
    case InvalidSlot:
        return "ERROR: Invalid slot number in '" + errorText + "'\r\n";
    case InvalidInputRate:
        return "ERROR: Invalid input framerate specified.\r\n";
    case InvalidOutputRate:
        return "ERROR: Invalid output framerate specified.\r\n";
    case InvalidOutputType:
        return "ERROR: Invalid output type specified.\r\n";
    case UndecodablePath:
        return undecodablePathLine(errorText);
    case InvalidTotalFrames:
        break;
    }
    return "ERROR: Invalid total frames (must be a positive number).\r\n";
}

CommandLineParse parseCommandLine(const QList<QByteArray>& args, const QList<CommandLineVolume>& volumes)
{
    CommandLineParse parse;
    CommandLineBatchJob& job = parse.job;
    auto record = [&parse](CommandLineParse::Error code, const QByteArray& text = QByteArray()) {
        parse.error = code;
        parse.errorText = text;
    };

    for (const QByteArray& arg : args) {
        const Option option = optionOf(arg);
        switch (option) {
        case Skip:
            continue;

        case Source:
            if (arg.size() > 4 && arg.at(4) == '=') {
                if (arg.size() == 5) {
                    record(CommandLineParse::InvalidSyntax, arg);
                    return parse;
                }
                if (!decodesExactly(arg.mid(5))) {
                    record(CommandLineParse::UndecodablePath, arg.left(4));
                    return parse;
                }
                job.sources << QDir::toNativeSeparators(QFile::decodeName(arg.mid(5)));
            }
            continue;

        case Destination: {
            QByteArray target;
            QByteArray option;
            if (arg.size() > 4 && arg.at(4) == '=') {
                job.destinationSlots << QStringLiteral("0");
                option = arg.left(4);
                target = arg.mid(5);
            } else if (arg.mid(4).contains("4k") && arg.size() > 7) {
                const char digit = arg.at(6);
                if (digit < '1' || digit > '4') {
                    record(CommandLineParse::InvalidSlot, arg);
                    return parse;
                }
                if (arg.at(7) != '=') {
                    record(CommandLineParse::InvalidSyntax, arg);
                    return parse;
                }
                job.destinationSlots << QString(QLatin1Char(digit));
                option = arg.left(7);
                target = arg.mid(8);
            } else {
                continue;
            }
            // Never the first mounted volume, nor "/".
            if (target.isEmpty()) {
                record(CommandLineParse::InvalidSyntax, arg);
                return parse;
            }
            if (!decodesExactly(target)) {
                record(CommandLineParse::UndecodablePath, option);
                return parse;
            }
            const QString path = QFile::decodeName(target);
            if (QDir::isRelativePath(path)) {
                const LabelMatch match = volumeByLabel(volumes, path);
                if (match.index < 0) {
                    record(CommandLineParse::VolumeNotFound, target);
                    for (const CommandLineVolume& volume : volumes)
                        parse.unreadableLabels += volume.labelUnreadable ? 1 : 0;
                    return parse;
                }
                const CommandLineVolume& volume = volumes.at(match.index);
                const QString root = QDir::toNativeSeparators(volume.rootPath);
                // The destination line shows ten characters of the root: say which one.
                if (match.count > 1)
                    parse.volumeWarnings << "WARNING: Volume label '" + target + "' matches "
                            + QByteArray::number(match.count) + " mounted volumes; using " + QFile::encodeName(root)
                            + "\r\n";
                job.destinations << root;
                job.volumeNames << volume.name;
            } else {
                // Paths are case-sensitive here: the target is used as given.
                job.destinations << QDir::toNativeSeparators(path);
                job.volumeNames << labelOfMountPoint(volumes, path);
            }
            continue;
        }

        case InputRate:
        case OutputRate:
            if (arg.size() > 4 && arg.at(4) == '=') {
                const bool input = option == InputRate;
                const int rate = frameRateIndex(arg.mid(5));
                (input ? job.inputFrameRate : job.outputFrameRate) = rate;
                if (rate == kInvalidFrameRate)
                    record(input ? CommandLineParse::InvalidInputRate : CommandLineParse::InvalidOutputRate);
            }
            continue;

        case OutputFormat:
            if (arg.size() > 3 && arg.at(3) == '=') {
                const QByteArray type = arg.mid(4).toUpper();
                if (type == "KRX") {
                    parse.outputType = CommandLineParse::Krx;
                } else if (type == "TGA" || type == "TARGA") {
                    parse.outputType = CommandLineParse::Targa;
                } else {
                    parse.outputType = CommandLineParse::InvalidOutput;
                    record(CommandLineParse::InvalidOutputType);
                }
            }
            continue;

        case TotalFrames:
            if (arg.size() > 3 && arg.at(3) == '=') {
                bool number = false;
                const int frames = arg.mid(4).toInt(&number, 10);
                job.totalFrames = number ? frames : 0;
                if (job.totalFrames < 0) {
                    job.totalFrames = 0;
                    record(CommandLineParse::InvalidTotalFrames);
                }
            }
            continue;

        case Force:
            job.force = true;
            continue;

        case Help:
        case HelpToo:
            parse.action = CommandLineParse::ShowHelp;
            return parse;

        case Examples:
            parse.action = CommandLineParse::ShowExamples;
            return parse;

        case Silent:
            job.silent = true;
            continue;

        case SilentAll:
            job.silent = true;
            if (!parse.silenceAll) {
                parse.silenceAll = true;
                parse.audibleArgumentWarnings = parse.argumentWarnings.size();
            }
            continue;

        case Unknown:
            break;
        }

        QByteArray warning = "WARNING: Ignoring unrecognized argument '" + arg + "'";
        if (!arg.startsWith('-'))
            warning += ", possibly missing '-'";
        parse.argumentWarnings << warning + "\r\n";
    }
    if (!parse.silenceAll)
        parse.audibleArgumentWarnings = parse.argumentWarnings.size();
    return parse;
}

namespace {

// Whether folder holds an entry whose name is no text in this system's
// encoding: Qt lists no such entry, so the folder would look empty.
bool holdsUndecodableNames(const QString& folder)
{
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return false;
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != ".." && !decodesExactly(name)) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

} // namespace

QList<QByteArray> checkCommandLineJob(const CommandLineBatchJob& job)
{
    QList<QByteArray> errors;
    if (job.sources.isEmpty())
        errors << "ERROR: Required parameter '-src' missing.\r\n";
    if (job.destinations.isEmpty())
        errors << "ERROR: Required parameter '-dst' missing.\r\n";
    if (job.destinationSlots.isEmpty() || job.destinations.size() != job.destinationSlots.size()
        || job.volumeNames.size() != job.destinations.size())
        errors << "ERROR: Incorrectly processed destination list.\r\n";
    return errors;
}

FolderCheck prepareCommandLineFolders(const CommandLineBatchJob& job)
{
    FolderCheck check;
    if (job.sources.isEmpty() || job.destinations.isEmpty() || job.destinationSlots.isEmpty()
        || job.volumeNames.isEmpty())
        return check;
    for (const QString& source : job.sources) {
        const QDir folder(source);
        const QByteArray name = QFile::encodeName(source);
        if (!folder.exists()) {
            check.errors << "ERROR: Source directory '" + name + "' doesn't exist!\r\n";
            break;
        }
        if (folder.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Unsorted).isEmpty()) {
            if (holdsUndecodableNames(source))
                check.errors << "ERROR: The file names in source directory '" + name
                        + "' are not valid text in this system's encoding.\r\n";
            else
                check.errors << "ERROR: Source directory '" + name + "' is empty!\r\n";
            break;
        }
    }
    for (const QString& destination : job.destinations) {
        // Elevated for a user, the user's from the start.
        if (!QDir(destination).exists() && !elevatedrun::makeFolders(destination, false)) {
            check.errors << "ERROR: Unable to access resource to verify/create output directory in '"
                    + QFile::encodeName(destination) + "'\r\n";
            check.destinationsReady = false;
            break;
        }
    }
    return check;
}
