// Times one image-sequence conversion: convertbench SOURCE FORMAT DEST...
// Destinations get the quadrant slots 0, 1, 2, 3 in order (or whole frames
// for a sequence that is not 4K). Prints the seconds taken, files flushed.
#include "targasequence.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        fprintf(stderr, "usage: convertbench SOURCE FORMAT(0 tga, 1 krx) DEST...\n");
        return 2;
    }
    TargaSequence seq;
    QObject::connect(&seq, QOverload<QString, int>::of(&TargaSequence::message),
                     [](const QString& text, int) { fprintf(stderr, "%s\n", qPrintable(text)); });
    if (!seq.scan(QString::fromLocal8Bit(argv[1])))
        return 1;
    seq.setFrameRateIndex(5);
    QList<SequenceDestination> dests;
    for (int i = 3; i < argc; ++i)
        dests << SequenceDestination{QString::fromLocal8Bit(argv[i]), seq.isSplit() ? (i - 3) % 4 : -1, 0};
    int last = 0;
    QObject::connect(&seq, &TargaSequence::frameConverted, [&last](int code) { last = code; });

    QElapsedTimer timer;
    timer.start();
    seq.startConversion(dests, atoi(argv[2]));
    // The conversion has ended when the sequence is back on this thread.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (seq.thread() == QThread::currentThread())
            loop.quit();
    });
    poll.start(20);
    loop.exec();
    QCoreApplication::processEvents();
    sync();
    const double seconds = timer.elapsed() / 1000.0;
    if (last != -1) {
        fprintf(stderr, "conversion did not complete (last code %d)\n", last);
        return 1;
    }
    printf("%.3f\n", seconds);
    return 0;
}
