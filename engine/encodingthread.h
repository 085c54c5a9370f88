// Runs one transcode on a thread of its own with an engine of its own.
#pragma once

#include <QString>
#include <QThread>
#include <string>

class TranscodeEngine;

class EncodingThread : public QThread {
    Q_OBJECT
public:
    EncodingThread(QObject* parent, QString input, QString output, QString presetFile,
                   QString pluginFolder, bool noDeinterlace, int quadrant, int tallPart,
                   bool pillarbox, bool noAudio, int bitrateKbps);
    ~EncodingThread() override;

    // The thread's engine, for the stop request and the progress poll.
    TranscodeEngine* getTranscoder();

signals:
    void transcodeFinished(int result);
    void undeletedDP(bool undeleted);

protected:
    void run() override;

private:
    TranscodeEngine* m_engine;
    std::string m_input, m_output, m_presetFile, m_pluginFolder;
    bool m_noDeinterlace;
    int m_quadrant;
    int m_tallPart;
    bool m_pillarbox;
    bool m_noAudio;
    int m_bitrateKbps;
};
