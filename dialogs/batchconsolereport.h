// The console report of a command-line batch run, as the bytes it prints:
// the job summary, one line per destination, the quadrant box, the "+" ruler
// with its end texts, and the lines other reports print while the ruler is open.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class BatchConsoleReport {
public:
    struct Summary {
        QString sourceFolder;
        double inputRate = 0;
        bool split = false; // a 4K source, cut into quadrants
        int width = 0;
        int height = 0;
        bool krx = false;
        double outputRate = 0;
        int totalFrames = 0;
        int framesFound = 0;
        bool force = false;
    };
    static QByteArray summary(const Summary& summary);
    // slot: "0" for whole frames, "1" to "4" for a quadrant; volumeName is ""
    // for a path on no mounted volume.
    static QByteArray destinationLine(const QString& destination, const QString& volumeName, const QString& slot);
    // The text a quadrant's destination leaves in its cell of the box.
    static QString quadrantCell(const QString& destination);
    // cells: the four quadrants' texts, " " for one without a destination.
    static QByteArray quadrantBox(const QStringList& cells);

    static constexpr int kRulerWidth = 50;

    BatchConsoleReport() = default;
    BatchConsoleReport(const BatchConsoleReport&) = delete;
    BatchConsoleReport& operator=(const BatchConsoleReport&) = delete;
    ~BatchConsoleReport();

    // The ruler's header and the start of its row, which stays open.
    QByteArray openRuler(int frames);
    // The marks that done frames of frames add to the row.
    QByteArray progress(int done, int frames);
    // A status of 0 or below: closes the row when open, then the status word.
    QByteArray end(int status, int frames);
    bool isRulerOpen() const { return rulerOpen; }
    // The batch stopped before converting: the row stays as printed, and
    // later lines no longer go around it.
    void leaveRuler();

    // A line that some other report prints now: while a ruler of this process
    // is open, it starts on a line of its own and the ruler goes on below it.
    static QByteArray aroundOpenRuler(const QByteArray& line);

private:
    QByteArray rulerRow() const;

    int position = 0; // marks printed
    bool rulerOpen = false;
};

// Writes bytes to standard output at once (the ruler shows as it grows).
void printConsoleReport(const QByteArray& bytes);
// Prints a message line of a command-line run, around an open ruler.
void printConsoleMessage(const QByteArray& line);
