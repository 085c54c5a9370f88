// Internals shared by the codec layer's sources.
#pragma once

#include "mcplugcore.h"

#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace mcp {

// "call: FFmpeg's text for err".
std::string ffError(const char* call, int err);
// A line for the library's log (also used for FFmpeg's own messages).
void logLine(const std::string& text);
// The FFmpeg component a registered plug-in enables, "" when none.
// kind: "demuxer", "encoder", "muxer"; name: the codec or container name
// ("*" for demuxing).
std::string component(const std::string& kind, const std::string& name);

// The turn (0, 90, 180 or 270 degrees clockwise) that shows the stream's
// pictures upright, as its display matrix asks.
int uprightTurn(const AVStream* st);

class FFDecodePipe : public McDecodePipe {
public:
    explicit FFDecodePipe(AVFormatContext* fmt);
    ~FFDecodePipe() override;
    int getPipeParam(const char* name, Any& value) override;
    int streamCount(int kind) override;
    int getStreamParam(int kind, int index, const char* name, Any& value) override;
    int selectStream(int kind, int index) override;

    AVFormatContext* context() const { return m_fmt; }
    // Container stream index of stream index of kind, -1 when absent.
    int streamIndex(int kind, int index) const;
    int selected(int kind) const { return kind == MC_KIND_VIDEO ? m_selVideo : m_selAudio; }
    // 0 progressive, 1 top field first, 2 bottom field first.
    int fieldOrder(int streamIndex);
    // Whether a first picture of the stream decodes.
    bool pictureDecodes(int streamIndex);

private:
    AVFormatContext* m_fmt;
    std::vector<int> m_video, m_audio;
    int m_selVideo = 0, m_selAudio = 0;
    std::vector<int> m_fieldOrder; // -1 not yet known
    std::vector<int> m_decodes;    // -1 not yet known, else 0 or 1
    void readFirstPicture(int streamIndex);
};

} // namespace mcp

// Settings of the output gathered from the preset and the callers.
class McEncodePipeImpl {
public:
    std::string filename;
    std::string muxer;       // FFmpeg muxer name
    std::string videoEncoder, audioEncoder; // FFmpeg encoder names, "" when none
    AnyDict videoPreset, audioPreset;
    McCodec video, audio;    // parameters a caller may read and change
    bool presetApplied = false;
    bool videoEnabled = false, audioEnabled = false;
    bool videoLinked = false, audioLinked = false;
};
