// The checked job of the command-line mode, handed by value to
// BatchConvertWindow::startCommandLineBatch.
#pragma once

#include <QString>
#include <QStringList>

struct CommandLineBatchJob {
    // Source folders of Targa sequences, native separators, in argument
    // order; only the first is converted.
    QStringList sources;
    // One entry per destination option, in the same order in all three lists:
    // a drive root or folder (native separators);
    QStringList destinations;
    // "0" for whole frames ("-dst="), "1" to "4" for a 4K quadrant ("-dst4kN=");
    QStringList destinationSlots;
    // the label of the volume the destination lies on, "" when none matched.
    QStringList volumeNames;
    int inputFrameRate = 5;    // frame-rate index 0..7 of the source (59.94)
    int outputFrameRate = 5;   // only shown in the summary
    int totalFrames = 0;       // frames to convert; 0 = all
    bool force = false;        // overwrite clip folders that are not empty
    bool silent = false;       // print only the errors
};
