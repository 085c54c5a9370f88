// The program's door to the codec layer: start-up, probing and one transcode
// with the fixed set of filters, watched for progress, stop and deadlock.
#pragma once

#include <QMutex>
#include <atomic>
#include <map>
#include <string>

#include "mcplugcore.h"

// The engine's transcoder: keeps the progress the codec layer reports.
class QSETrans : public McTranscoder {
public:
    QSETrans();
    ~QSETrans() override;
    int cbStatus(int32_t code) override;
    int cbProgress(double value) override;
    double progress() const { return m_progress.load(); }

private:
    std::atomic<double> m_progress{0.0};
};

class TranscodeEngine {
public:
    explicit TranscodeEngine(const char* pluginFolder);
    ~TranscodeEngine();
    TranscodeEngine(const TranscodeEngine&) = delete;
    TranscodeEngine& operator=(const TranscodeEngine&) = delete;

    std::string logFilePath();
    std::map<std::string, std::string> probeFile(const char* path);
    // 0 success, -1 a failed check, else the codec layer's result.
    int transcode(const char* input, const char* output, const char* presetFile,
                  bool noDeinterlace, int quadrant, int tallPart, bool pillarbox,
                  bool noAudio, int bitrateKbps);
    // 0.0..1.0 while a transcode runs, else 0.0.
    double progress();
    bool releasePipes();
    bool decodePipeKept() const { return m_decodePipeKept; }
    // The reason the last transcode failed, as printed without its "*** " or
    // "Failed: " lead; empty after a success. Read once the transcode has returned.
    const std::string& lastFailure() const { return m_lastFailure; }
    // False when the plug-in scan found nothing: every input then reads as
    // an invalid file type.
    bool pluginsFound() const { return m_pluginsFound; }

    static std::string intToString(int value);
    static std::string doubleToString(double value);

    // Set by another thread to stop the running transcode; cleared when one starts.
    std::atomic<bool> stopRequest{false};

private:
    bool init(const char* pluginFolder);

    std::map<std::string, std::string> m_probeMap;
    bool m_decodePipeKept = false;
    bool m_pluginsFound = false;
    std::string m_lastFailure;
    std::atomic<bool> m_busy{false};
    McDecodePipe* m_probePipe = nullptr;
    McEncodePipe* m_encodePipe = nullptr;
    McDecodePipe* m_decodePipe = nullptr;
    QSETrans* m_transcoder = nullptr;
    Any m_videoCodecValue, m_audioCodecValue;
    std::string m_widthText, m_heightText, m_vBitrateText, m_vbrText, m_palText,
        m_framesText, m_durationText, m_frameAspectText, m_pixelAspectText,
        m_samplerateText, m_bytesPerSampleText, m_channelsText, m_aBitrateText,
        m_samplesText, m_numAudioText, m_numVideoText, m_transportText;
    QMutex m_probeLock;
    // Keeps a progress read and the release of the transcoder apart.
    QMutex m_transcoderLock;
};
