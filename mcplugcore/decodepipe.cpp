// Opening and describing an input.
#include "mcplugcore_p.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

using namespace mcp;

namespace {

std::string codecText(AVCodecID id)
{
    const AVCodecDescriptor* d = avcodec_descriptor_get(id);
    if (!d)
        return "unknown";
    // Long names read better in the file list ("Apple ProRes (iCodec Pro)").
    return d->long_name ? d->long_name : d->name;
}

int fieldOrderOf(AVFieldOrder order)
{
    switch (order) {
    case AV_FIELD_TT:
    case AV_FIELD_BT: // bottom coded first, top shown first
        return 1;
    case AV_FIELD_BB:
    case AV_FIELD_TB:
        return 2;
    case AV_FIELD_PROGRESSIVE:
        return 0;
    default:
        return -1;
    }
}

struct FirstPicture {
    bool decoded = false;
    int fieldOrder = 0;
};

// Decodes the first picture of a stream on a private opening of the file, so
// the pipe's own reading position stays at the start.
FirstPicture firstPicture(const char* url, int streamIndex)
{
    FirstPicture result;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, url, nullptr, nullptr) < 0)
        return result;
    AVCodecContext* dec = nullptr;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (pkt && frame && avformat_find_stream_info(fmt, nullptr) >= 0 && streamIndex < int(fmt->nb_streams)) {
        AVStream* st = fmt->streams[streamIndex];
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        if (codec && (dec = avcodec_alloc_context3(codec))
            && avcodec_parameters_to_context(dec, st->codecpar) >= 0
            && avcodec_open2(dec, codec, nullptr) >= 0) {
            // The first picture may come late: after a long sound preroll, or
            // after the rest of a group of pictures the file was cut in. Other
            // streams' packets count only towards the bytes read.
            const int64_t kMaxBytes = int64_t(64) << 20;
            bool got = false;
            for (int n = 0; n < 1000 && !got && av_read_frame(fmt, pkt) >= 0;) {
                if (pkt->stream_index == streamIndex) {
                    ++n;
                    got = avcodec_send_packet(dec, pkt) >= 0 && avcodec_receive_frame(dec, frame) >= 0;
                }
                av_packet_unref(pkt);
                if (fmt->pb && avio_tell(fmt->pb) > kMaxBytes)
                    break;
            }
            if (!got && avcodec_send_packet(dec, nullptr) >= 0 && avcodec_receive_frame(dec, frame) >= 0)
                got = true;
            result.decoded = got && frame->width > 0 && frame->height > 0;
            if (got && frame->interlaced_frame)
                result.fieldOrder = frame->top_field_first ? 1 : 2;
        }
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    return result;
}

double streamDuration(AVFormatContext* fmt, AVStream* st)
{
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        return st->duration * av_q2d(st->time_base);
    if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0)
        return fmt->duration / double(AV_TIME_BASE);
    return 0.0;
}

AVRational frameRate(AVStream* st)
{
    AVRational r = st->avg_frame_rate;
    if (r.num <= 0 || r.den <= 0)
        r = st->r_frame_rate;
    if (r.num <= 0 || r.den <= 0)
        r = AVRational{0, 1};
    return r;
}

} // namespace

FFDecodePipe::FFDecodePipe(AVFormatContext* fmt) : m_fmt(fmt)
{
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        AVMediaType type = fmt->streams[i]->codecpar->codec_type;
        // Cover art is stored as a video stream but is no video.
        if (type == AVMEDIA_TYPE_VIDEO && !(fmt->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC))
            m_video.push_back(int(i));
        else if (type == AVMEDIA_TYPE_AUDIO)
            m_audio.push_back(int(i));
    }
    m_fieldOrder.assign(fmt->nb_streams, -1);
    m_decodes.assign(fmt->nb_streams, -1);
}

FFDecodePipe::~FFDecodePipe()
{
    avformat_close_input(&m_fmt);
}

int FFDecodePipe::streamIndex(int kind, int index) const
{
    const std::vector<int>& list = kind == MC_KIND_VIDEO ? m_video : m_audio;
    if (kind != MC_KIND_VIDEO && kind != MC_KIND_AUDIO)
        return -1;
    return index >= 0 && index < int(list.size()) ? list[index] : -1;
}

int FFDecodePipe::fieldOrder(int idx)
{
    if (idx < 0 || idx >= int(m_fieldOrder.size()))
        return 0;
    if (m_fieldOrder[idx] < 0) {
        int order = fieldOrderOf(m_fmt->streams[idx]->codecpar->field_order);
        if (order >= 0)
            m_fieldOrder[idx] = order;
        else
            readFirstPicture(idx);
    }
    return m_fieldOrder[idx];
}

bool FFDecodePipe::pictureDecodes(int idx)
{
    if (idx < 0 || idx >= int(m_decodes.size()))
        return false;
    if (m_decodes[idx] < 0)
        readFirstPicture(idx);
    return m_decodes[idx] == 1;
}

void FFDecodePipe::readFirstPicture(int idx)
{
    const FirstPicture first = firstPicture(m_fmt->url, idx);
    m_decodes[idx] = first.decoded ? 1 : 0;
    if (m_fieldOrder[idx] < 0)
        m_fieldOrder[idx] = first.fieldOrder;
}

int mcp::uprightTurn(const AVStream* st)
{
    const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    if (!matrix)
        return 0;
    // The matrix turns counter-clockwise; snapped to the nearest quarter.
    const double theta = -av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (std::isnan(theta))
        return 0;
    int turn = int(std::lround(theta / 90.0)) * 90 % 360;
    return turn < 0 ? turn + 360 : turn;
}

int FFDecodePipe::getPipeParam(const char* name, Any& value)
{
    if (std::strcmp(name, "program_stream_flag") == 0) {
        const char* format = m_fmt->iformat->name;
        value = Any(std::strcmp(format, "mpeg") == 0 ? 2 : std::strcmp(format, "mpegts") == 0 ? 3 : 0);
        return 0;
    }
    if (std::strcmp(name, "format") == 0) {
        value = Any(m_fmt->iformat->name);
        return 0;
    }
    if (std::strcmp(name, "duration") == 0) {
        value = Any(m_fmt->duration > 0 ? m_fmt->duration / double(AV_TIME_BASE) : 0.0);
        return 0;
    }
    value = Any();
    return 1;
}

int FFDecodePipe::streamCount(int kind)
{
    if (kind == MC_KIND_VIDEO)
        return int(m_video.size());
    if (kind == MC_KIND_AUDIO)
        return int(m_audio.size());
    return 0;
}

int FFDecodePipe::getStreamParam(int kind, int index, const char* name, Any& value)
{
    value = Any();
    int idx = streamIndex(kind, index);
    if (idx < 0)
        return 1;
    AVStream* st = m_fmt->streams[idx];
    const AVCodecParameters* par = st->codecpar;
    std::string key = name;
    double duration = streamDuration(m_fmt, st);
    if (key == "codec")
        value = Any(codecText(par->codec_id));
    else if (key == "duration")
        value = Any(duration);
    else if (kind == MC_KIND_VIDEO) {
        AVRational rate = frameRate(st);
        // Sizes and aspects as the picture is shown, turned upright.
        const bool sideways = uprightTurn(st) % 180 != 0;
        const int width = sideways ? par->height : par->width;
        const int height = sideways ? par->width : par->height;
        AVRational sar = par->sample_aspect_ratio;
        if (sideways && sar.num > 0 && sar.den > 0)
            sar = AVRational{sar.den, sar.num};
        if (key == "width")
            value = Any(width);
        else if (key == "height")
            value = Any(height);
        else if (key == "decodesPicture")
            value = Any(pictureDecodes(idx) ? 1 : 0);
        else if (key == "framerate")
            value = Any(McFramerate(rate.num, rate.den, fieldOrder(idx)));
        else if (key == "vBitrate")
            value = Any(double(par->bit_rate > 0 ? par->bit_rate : m_fmt->bit_rate > 0 ? m_fmt->bit_rate : 0));
        else if (key == "vbr") {
            // Constant only when the stream declares equal average and peak rates.
            int vbr = 1;
            for (int i = 0; i < st->nb_side_data; ++i)
                if (st->side_data[i].type == AV_PKT_DATA_CPB_PROPERTIES) {
                    auto* cpb = reinterpret_cast<const AVCPBProperties*>(st->side_data[i].data);
                    if (cpb->max_bitrate > 0 && cpb->max_bitrate == cpb->avg_bitrate)
                        vbr = 0;
                }
            if (par->codec_id == AV_CODEC_ID_RAWVIDEO)
                vbr = 0;
            value = Any(vbr);
        } else if (key == "pal") {
            double fps = av_q2d(rate);
            bool pal = std::fabs(fps - 25.0) < 0.01 || std::fabs(fps - 50.0) < 0.01 || std::fabs(fps - 12.5) < 0.01;
            value = Any(pal ? 1 : 0);
        } else if (key == "frames") {
            int64_t frames = st->nb_frames;
            if (frames <= 0)
                frames = llround(duration * av_q2d(rate));
            value = Any(int(frames));
        } else if (key == "pixelAspect") {
            value = Any(sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0);
        } else if (key == "frameAspect") {
            double pa = sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0;
            value = Any(height > 0 ? width * pa / height : 0.0);
        } else
            return 1;
    } else {
        if (key == "samplerate")
            value = Any(par->sample_rate);
        else if (key == "channels")
            value = Any(par->ch_layout.nb_channels);
        else if (key == "bytesPerSample") {
            int bytes = av_get_bytes_per_sample(AVSampleFormat(par->format));
            if (par->bits_per_coded_sample > 0 && av_get_exact_bits_per_sample(par->codec_id) > 0)
                bytes = (par->bits_per_coded_sample + 7) / 8;
            value = Any(bytes);
        } else if (key == "aBitrate")
            value = Any(int(par->bit_rate));
        else if (key == "samples")
            value = Any(int(llround(duration * par->sample_rate)));
        else
            return 1;
    }
    return 0;
}

int FFDecodePipe::selectStream(int kind, int index)
{
    if (streamIndex(kind, index) < 0)
        return 1;
    (kind == MC_KIND_VIDEO ? m_selVideo : m_selAudio) = index;
    return 0;
}

McDecodePipe* McDecFactory::decodePipe(const Any& file, const Any&, void*, void*)
{
    std::string path = file.toString();
    if (path.empty() || !McFile::isFile(file))
        return nullptr;
    if (component("demuxer", "*").empty()) {
        logLine("no demuxing plug-in registered");
        return nullptr;
    }
    AVFormatContext* fmt = nullptr;
    int err = avformat_open_input(&fmt, path.c_str(), nullptr, nullptr);
    if (err < 0) {
        logLine(ffError("avformat_open_input", err) + " (" + path + ")");
        return nullptr;
    }
    // Text files open as "tty" pictures; they are not video.
    if (std::strcmp(fmt->iformat->name, "tty") == 0) {
        avformat_close_input(&fmt);
        return nullptr;
    }
    err = avformat_find_stream_info(fmt, nullptr);
    if (err < 0) {
        logLine(ffError("avformat_find_stream_info", err) + " (" + path + ")");
        avformat_close_input(&fmt);
        return nullptr;
    }
    auto* pipe = new FFDecodePipe(fmt);
    if (pipe->streamCount(MC_KIND_VIDEO) == 0 && pipe->streamCount(MC_KIND_AUDIO) == 0) {
        delete pipe;
        return nullptr;
    }
    return pipe;
}
