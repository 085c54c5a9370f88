// One transcode on a thread of its own.
#include "encodingthread.h"

#include "transcodeengine.h"

EncodingThread::EncodingThread(QObject* parent, QString input, QString output, QString presetFile,
                               QString pluginFolder, bool noDeinterlace, int quadrant, int tallPart,
                               bool pillarbox, bool noAudio, int bitrateKbps)
    : QThread(parent),
      m_engine(nullptr),
      m_input(input.toStdString()),
      m_output(output.toStdString()),
      m_presetFile(presetFile.toStdString()),
      m_pluginFolder(pluginFolder.toStdString()),
      m_noDeinterlace(noDeinterlace),
      m_quadrant(quadrant),
      m_tallPart(tallPart),
      m_pillarbox(pillarbox),
      m_noAudio(noAudio),
      m_bitrateKbps(bitrateKbps)
{
    m_engine = new TranscodeEngine(m_pluginFolder.c_str());
}

EncodingThread::~EncodingThread()
{
    // Deleting a running thread would crash: stop the transcode and wait. The
    // request is repeated because a transcode clears it when it begins.
    while (isRunning()) {
        m_engine->stopRequest = true;
        wait(100);
    }
    delete m_engine;
}

TranscodeEngine* EncodingThread::getTranscoder()
{
    return m_engine;
}

void EncodingThread::run()
{
    int result = m_engine->transcode(m_input.c_str(), m_output.c_str(), m_presetFile.c_str(), m_noDeinterlace,
                                     m_quadrant, m_tallPart, m_pillarbox, m_noAudio, m_bitrateKbps);
    if (m_engine->decodePipeKept())
        emit undeletedDP(true);
    emit transcodeFinished(result);
}
