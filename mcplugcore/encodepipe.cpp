// Output settings: preset, enabled streams and encoder parameters.
#include "mcplugcore_p.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace mcp;

McEncodePipe::McEncodePipe() : m_impl(new McEncodePipeImpl) {}
McEncodePipe::~McEncodePipe() = default;

McEncodePipe* McEncodePipe::create()
{
    return new McEncodePipe;
}

int McEncodePipe::setParam(const char* name, const Any& value)
{
    if (std::strcmp(name, "filename") == 0)
        m_impl->filename = value.toString();
    return McCodec::setParam(name, value);
}

int McEncodePipe::applyPreset(const McPreset* preset, int, int)
{
    if (!preset) {
        setError("no preset");
        return 1;
    }
    McEncodePipeImpl& d = *m_impl;
    std::string container = preset->container();
    d.muxer = component("muxer", container);
    if (d.muxer.empty()) {
        setError("No plug-in for the container '" + container + "'");
        return 1;
    }
    d.videoEncoder.clear();
    d.audioEncoder.clear();
    if (preset->codecs(MC_PRESET_VIDEO).size()) {
        std::string codec = preset->codecs(MC_PRESET_VIDEO).at(0).toString();
        d.videoEncoder = component("encoder", codec);
        if (d.videoEncoder.empty() || !avcodec_find_encoder_by_name(d.videoEncoder.c_str())) {
            setError("No plug-in for the video codec '" + codec + "'");
            return 1;
        }
        const AnyDict& v = preset->section("video");
        d.videoPreset = v;
        std::string scan = v.get("scan").toString();
        McFramerate rate = v.get("framerate").asFramerate();
        d.video.setParam("codec", Any(codec));
        d.video.setParam("width", Any(v.get("width").asInt32()));
        d.video.setParam("height", Any(v.get("height").asInt32()));
        d.video.setParam("framerate", Any(McFramerate(rate.num(), rate.den(), scan == "tff" ? 1 : scan == "bff" ? 2 : 0)));
        d.video.setParam("bitrate", Any(McBitrate(0, v.get("bitrate").asInt64(), v.get("maxrate").asInt64(), 0,
                                                  v.get("bufsize").asInt64())));
    }
    if (preset->codecs(MC_PRESET_AUDIO).size()) {
        std::string codec = preset->codecs(MC_PRESET_AUDIO).at(0).toString();
        d.audioEncoder = component("encoder", codec);
        if (d.audioEncoder.empty() || !avcodec_find_encoder_by_name(d.audioEncoder.c_str())) {
            setError("No plug-in for the audio codec '" + codec + "'");
            return 1;
        }
        const AnyDict& a = preset->section("audio");
        d.audioPreset = a;
        d.audio.setParam("codec", Any(codec));
        d.audio.setParam("samplerate", Any(a.get("rate").asInt32()));
        d.audio.setParam("channels", Any(a.get("channels").asInt32()));
        d.audio.setParam("bitrate", Any(McBitrate(0, a.get("bitrate").asInt64(), 0, 0, 0)));
    }
    d.presetApplied = true;
    return 0;
}

int McEncodePipe::enableStream(int kind, const Any&)
{
    if (kind == MC_KIND_VIDEO)
        m_impl->videoEnabled = true;
    else if (kind == MC_KIND_AUDIO)
        m_impl->audioEnabled = true;
    else
        return 1;
    return 0;
}

int McEncodePipe::open(int mask)
{
    const McEncodePipeImpl& d = *m_impl;
    int streams = 0;
    if ((mask & 1) && d.videoEnabled && d.videoLinked && !d.videoEncoder.empty())
        ++streams;
    if ((mask & 2) && d.audioEnabled && d.audioLinked && !d.audioEncoder.empty())
        ++streams;
    if (!streams)
        setError("no output streams");
    return streams;
}

McCodec* McEncodePipe::codec(int index)
{
    if (index == 0)
        return m_impl->videoEncoder.empty() ? nullptr : &m_impl->video;
    if (index == 1)
        return m_impl->audioEncoder.empty() ? nullptr : &m_impl->audio;
    return nullptr;
}
