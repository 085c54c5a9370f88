// The command-line mode's options read into a batch job, with no window and
// no event loop: what the arguments ask for, and what is wrong with them, as
// the lines the mode prints. Only prepareCommandLineFolders looks at the disk.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "commandlinebatchjob.h"

// A mounted volume as the parser sees it; rootPath ends in "/".
struct CommandLineVolume {
    QString rootPath;
    QString name;
    // The label could not be read without root: name may be missing.
    bool labelUnreadable = false;
};

struct CommandLineParse {
    enum Action { RunBatch, ShowHelp, ShowExamples };
    enum Error {
        NoError = -1,
        VolumeNotFound = 0,
        InvalidSyntax = 1,
        InvalidSlot = 2,
        InvalidInputRate = 3,
        InvalidOutputRate = 4,
        InvalidOutputType = 5,
        InvalidTotalFrames = 6,
        // A path that does not decode in the locale's encoding: as text it
        // would name another folder. errorText is the option.
        UndecodablePath = 7,
    };
    enum OutputType { Targa = 0, Krx = 1, InvalidOutput = 2 };

    Action action = RunBatch;
    CommandLineBatchJob job;
    int outputType = Targa;
    // The last error recorded; the argument or target it names.
    Error error = NoError;
    QByteArray errorText;
    // Volumes whose labels could not be read when a label was not found.
    int unreadableLabels = 0;

    // Lines printed as the arguments are read (unrecognised arguments).
    QList<QByteArray> argumentWarnings;
    // "-sa" silences standard output from where it stands: only this many of
    // argumentWarnings came before it.
    bool silenceAll = false;
    int audibleArgumentWarnings = 0;
    // Lines about the chosen volumes, printed after the banner.
    QList<QByteArray> volumeWarnings;

    bool valid() const { return error == NoError; }
    // The one message of the recorded error; empty when there is none.
    QByteArray errorLine() const;
};

// args are the arguments after the program's name, volumes the mounted
// volumes in the order the system lists them.
CommandLineParse parseCommandLine(const QList<QByteArray>& args, const QList<CommandLineVolume>& volumes);

// Whether bytes decode in the locale's encoding and encode back to the same
// bytes, so that the path read from them names the same file.
bool decodesExactly(const QByteArray& bytes);

// The line that refuses an undecodable path given with option.
QByteArray undecodablePathLine(const QByteArray& option);

// The checks of a job parsed without error that need no disk: the messages of
// the missing parameters and of a destination list out of step.
QList<QByteArray> checkCommandLineJob(const CommandLineBatchJob& job);

// The checks on the disk: every source folder must exist and hold something;
// every destination folder that is missing is made (one level). The messages,
// in order; ready is false when a destination could not be made, which ends
// the run at once.
struct FolderCheck {
    QList<QByteArray> errors;
    bool destinationsReady = true;
};
FolderCheck prepareCommandLineFolders(const CommandLineBatchJob& job);
