// The transcoder: a worker thread that decodes the linked input streams,
// filters, encodes and multiplexes them into the encode pipe's file.
#include "mcplugcore_p.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exclusivefile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

using namespace mcp;

namespace {

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Signals a failure inside the work; carries the FFmpeg result.
struct Failure {
    int code;
    std::string text;
};

[[noreturn]] void fail(const char* call, int err)
{
    throw Failure{err, ffError(call, err)};
}

void check(const char* call, int err)
{
    if (err < 0)
        fail(call, err);
}

// Joins source and sink through the filters of chain. Every allocation is
// checked, as in FFmpeg's transcode example.
void linkFilterChain(AVFilterGraph* graph, const char* chain, AVFilterContext* source, AVFilterContext* sink)
{
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    const char* call = "avfilter_inout_alloc";
    int err = AVERROR(ENOMEM);
    if (outputs && inputs) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = source;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = sink;
        call = "av_strdup";
        if (outputs->name && inputs->name) {
            call = "avfilter_graph_parse_ptr";
            err = avfilter_graph_parse_ptr(graph, chain, &inputs, &outputs, nullptr);
        }
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    check(call, err);
}

int mpeg2Level(const std::string& level)
{
    if (level == "high")
        return 4;
    if (level == "high1440")
        return 6;
    if (level == "main")
        return 8;
    if (level == "low")
        return 10;
    return FF_LEVEL_UNKNOWN;
}

} // namespace

class McTranscoderImpl {
public:
    explicit McTranscoderImpl(McTranscoder* owner) : owner(owner)
    {
        // Operators can shorten or lengthen the stall limit without a rebuild.
        if (const char* ms = std::getenv("MCPLUGCORE_DEADLOCK_TIMEOUT_MS"))
            if (std::atoi(ms) > 0)
                deadLockTimeoutMs = std::atoi(ms);
    }

    struct Link {
        FFDecodePipe* pipe = nullptr;
        int stream = -1;
        ProcessParams params;
    };

    McTranscoder* owner;
    McEncodePipe* encoder = nullptr;
    Link video, audio;

    std::thread worker;
    std::atomic<bool> running{false};
    std::atomic<bool> stopFlag{false};
    std::atomic<bool> paused{false};
    std::mutex pauseLock;
    std::condition_variable pauseWake;
    std::atomic<int64_t> lastActivity{0};
    std::atomic<int> deadLockTimeoutMs{60000};
    std::atomic<int> result{0};
    std::atomic<double> progress{0.0};
    std::string error;

    void touch() { lastActivity = nowMs(); }
    void shutdown();
    int work();
};

namespace {

// Everything one run of the work allocates.
class Run {
public:
    Run(McTranscoderImpl& t) : t(t) {}
    ~Run();
    void execute();

private:
    void setUp();
    AVCodecContext* allocEncoder(const std::string& name, const AVCodec** codec);
    void openVideoEncoder();
    void openAudioEncoder();
    void addStream(AVCodecContext* enc, AVStream*& st);
    AVCodecContext* openDecoder(int streamIndex);
    void buildVideoGraph(const AVFrame* frame);
    void buildAudioGraph(const AVFrame* frame);
    void decode(AVCodecContext* dec, const AVPacket* pkt, bool video);
    void filterVideo(AVFrame* frame);
    void filterAudio(AVFrame* frame);
    void pullVideo();
    void pullAudio();
    void encode(AVCodecContext* enc, AVStream* st, const AVFrame* frame);
    void report(double seconds);
    void waitWhilePaused();
    void chooseWriteName();
    void openInPlace();
    void openOutput();
    int closeOutput();
    void checkPicturesWritten();
    void checkInputCoverage();
    void commit();
    void writeFailed(const char* call, int err);
    static int writeOutput(void* opaque, uint8_t* buf, int size);
    static int64_t seekOutput(void* opaque, int64_t offset, int whence);

    McTranscoderImpl& t;
    McEncodePipeImpl* out = nullptr;
    AVFormatContext* in = nullptr;
    int vIdx = -1, aIdx = -1;
    AVCodecContext* vdec = nullptr;
    AVCodecContext* adec = nullptr;
    AVCodecContext* venc = nullptr;
    AVCodecContext* aenc = nullptr;
    AVFilterGraph* vgraph = nullptr;
    AVFilterGraph* agraph = nullptr;
    AVFilterContext* vsrc = nullptr;
    AVFilterContext* vsink = nullptr;
    AVFilterContext* asrc = nullptr;
    AVFilterContext* asink = nullptr;
    AVFormatContext* mux = nullptr;
    AVStream* vst = nullptr;
    AVStream* ast = nullptr;
    AVPacket* pkt = nullptr;
    AVPacket* outPkt = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* filtered = nullptr;
    bool headerWritten = false;
    int64_t startTime = 0; // AV_TIME_BASE units
    double duration = 0.0;
    int64_t lastVideoPts = AV_NOPTS_VALUE;
    int64_t videoEnd = AV_NOPTS_VALUE; // end of the last picture, stream time base
    int64_t audioEnd = AV_NOPTS_VALUE;
    bool outputInterlaced = false;
    int outputFieldOrder = 0;
    // What the filter graphs were set up for; a change needs new graphs.
    int vInWidth = 0, vInHeight = 0, vInFormat = -1;
    int aInRate = 0, aInFormat = -1;
    AVChannelLayout aInLayout = {};
    int64_t lastEncodedVideoPts = AV_NOPTS_VALUE;
    int64_t picturesEncoded = 0;
    int64_t packetsWritten = 0;
    // The output is written under writeName and renamed to finalName when
    // whole; both are the same for a device or a FIFO of the operator's own,
    // written in place. The temporary file is made by us under a name of our
    // own choosing and written through its descriptor: nothing another user
    // places in the folder (a link, a FIFO, a socket) is written through.
    std::string finalName, writeName;
    bool viaTemporary = false;
    bool inPlaceFifo = false;
    std::unique_ptr<exclusivefile::TemporaryFile> temporary;
    int inPlaceFd = -1;
    int outFd = -1;
    // The demuxer ended on an error rather than at the end of the file.
    bool inputCutOff = false;
};

Run::~Run()
{
    // Whatever ends a run that was not committed (a failure, a stop, the
    // transcoder going away) leaves no partial file behind.
    closeOutput();
    temporary.reset();
    av_channel_layout_uninit(&aInLayout);
    avfilter_graph_free(&vgraph);
    avfilter_graph_free(&agraph);
    avcodec_free_context(&vdec);
    avcodec_free_context(&adec);
    avcodec_free_context(&venc);
    avcodec_free_context(&aenc);
    if (mux)
        avformat_free_context(mux);
    av_packet_free(&pkt);
    av_packet_free(&outPkt);
    av_frame_free(&frame);
    av_frame_free(&filtered);
}

AVCodecContext* Run::openDecoder(int idx)
{
    AVStream* st = in->streams[idx];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec)
        throw Failure{AVERROR_DECODER_NOT_FOUND,
                      std::string("avcodec_find_decoder: no decoder for ") + avcodec_get_name(st->codecpar->codec_id)};
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    if (!dec)
        fail("avcodec_alloc_context3", AVERROR(ENOMEM));
    (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? vdec : adec) = dec;
    check("avcodec_parameters_to_context", avcodec_parameters_to_context(dec, st->codecpar));
    dec->pkt_timebase = st->time_base;
    dec->thread_count = 0;
    check("avcodec_open2", avcodec_open2(dec, codec, nullptr));
    return dec;
}

void Run::addStream(AVCodecContext* enc, AVStream*& st)
{
    st = avformat_new_stream(mux, nullptr);
    if (!st)
        fail("avformat_new_stream", AVERROR(ENOMEM));
    check("avcodec_parameters_from_context", avcodec_parameters_from_context(st->codecpar, enc));
    st->time_base = enc->time_base;
    st->avg_frame_rate = enc->framerate;
    st->sample_aspect_ratio = enc->sample_aspect_ratio;
    // The buffer sizes let the multiplexer schedule the stream without guessing.
    for (int i = 0; i < enc->nb_coded_side_data; ++i) {
        const AVPacketSideData& sd = enc->coded_side_data[i];
        uint8_t* dst = av_stream_new_side_data(st, sd.type, sd.size);
        if (!dst)
            fail("av_stream_new_side_data", AVERROR(ENOMEM));
        std::memcpy(dst, sd.data, sd.size);
    }
}

AVCodecContext* Run::allocEncoder(const std::string& name, const AVCodec** codec)
{
    *codec = avcodec_find_encoder_by_name(name.c_str());
    if (!*codec)
        throw Failure{AVERROR_ENCODER_NOT_FOUND, "avcodec_find_encoder_by_name: no encoder " + name};
    AVCodecContext* ctx = avcodec_alloc_context3(*codec);
    if (!ctx)
        fail("avcodec_alloc_context3", AVERROR(ENOMEM));
    return ctx;
}

void Run::openVideoEncoder()
{
    const AVCodec* codec = nullptr;
    venc = allocEncoder(out->videoEncoder, &codec);
    Any v;
    out->video.getParam("width", v);
    venc->width = v.asInt32();
    out->video.getParam("height", v);
    venc->height = v.asInt32();
    out->video.getParam("framerate", v);
    McFramerate rate = v.asFramerate();
    venc->framerate = AVRational{rate.num(), rate.den()};
    venc->time_base = AVRational{rate.den(), rate.num()};
    venc->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
    venc->thread_count = 0;

    // Bitrate: the preset's, or a caller's override given without peak and
    // buffer, which then get the preset's proportions.
    out->video.getParam("bitrate", v);
    McBitrate b = v.asBitrate();
    const AnyDict& p = out->videoPreset;
    int64_t presetRate = p.get("bitrate").asInt64();
    int64_t presetBuf = p.get("bufsize").asInt64();
    int64_t maxrate = b.max > 0 ? b.max : b.avg;
    int64_t bufsize = b.bufsize;
    if (bufsize <= 0 && presetRate > 0 && presetBuf > 0) {
        bufsize = int64_t(double(presetBuf) * double(b.avg) / double(presetRate));
        if (out->videoEncoder == "mpeg2video" && bufsize > presetBuf)
            bufsize = presetBuf; // the level's buffer limit
    }
    venc->bit_rate = b.avg;
    venc->rc_max_rate = maxrate;
    venc->rc_buffer_size = int(std::min<int64_t>(bufsize, INT32_MAX));
    if (p.has("gop"))
        venc->gop_size = p.get("gop").asInt32();

    std::string profile = p.get("profile").toString(), level = p.get("level").toString();
    if (codec->id == AV_CODEC_ID_H264) {
        if (!profile.empty())
            av_opt_set(venc->priv_data, "profile", profile.c_str(), 0);
        if (!level.empty())
            venc->level = int(std::strtod(level.c_str(), nullptr) * 10 + 0.5);
    } else if (codec->id == AV_CODEC_ID_MPEG2VIDEO) {
        venc->max_b_frames = 2;
        if (profile == "main")
            venc->profile = FF_PROFILE_MPEG2_MAIN;
        else if (profile == "high")
            venc->profile = FF_PROFILE_MPEG2_HIGH;
        venc->level = mpeg2Level(level);
    }

    outputFieldOrder = rate.interlaced();
    outputInterlaced = outputFieldOrder != 0;
    if (outputInterlaced) {
        venc->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
        venc->field_order = outputFieldOrder == 1 ? AV_FIELD_TT : AV_FIELD_BB;
        // x264 has no weighted prediction for interlaced coding; ask for none.
        if (codec->id == AV_CODEC_ID_H264)
            av_opt_set(venc->priv_data, "weightp", "none", 0);
    } else {
        venc->field_order = AV_FIELD_PROGRESSIVE;
    }
    // Square pixels unless a picture aspect was asked for.
    venc->sample_aspect_ratio = AVRational{1, 1};
    if (out->video.getParam("frameAspect", v) == 0 && v.asDouble() > 0 && venc->width > 0)
        venc->sample_aspect_ratio = av_d2q(v.asDouble() * venc->height / venc->width, 255);
    if (mux->oformat->flags & AVFMT_GLOBALHEADER)
        venc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check("avcodec_open2", avcodec_open2(venc, codec, nullptr));
    addStream(venc, vst);
}

void Run::openAudioEncoder()
{
    const AVCodec* codec = nullptr;
    aenc = allocEncoder(out->audioEncoder, &codec);
    Any v;
    out->audio.getParam("samplerate", v);
    aenc->sample_rate = v.asInt32();
    out->audio.getParam("channels", v);
    av_channel_layout_default(&aenc->ch_layout, v.asInt32());
    out->audio.getParam("bitrate", v);
    aenc->bit_rate = v.asBitrate().avg;
    aenc->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    aenc->time_base = AVRational{1, aenc->sample_rate};
    if (mux->oformat->flags & AVFMT_GLOBALHEADER)
        aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check("avcodec_open2", avcodec_open2(aenc, codec, nullptr));
    addStream(aenc, ast);
}

void Run::setUp()
{
    if (!t.encoder)
        throw Failure{AVERROR(EINVAL), "no encode pipe"};
    out = t.encoder->impl();
    if (!out->presetApplied)
        throw Failure{AVERROR(EINVAL), "no preset applied to the encode pipe"};
    if (out->filename.empty())
        throw Failure{AVERROR(EINVAL), "no output file name"};
    FFDecodePipe* pipe = t.video.pipe ? t.video.pipe : t.audio.pipe;
    if (!pipe)
        throw Failure{AVERROR(EINVAL), "no input linked"};
    if (t.video.pipe && t.audio.pipe && t.video.pipe != t.audio.pipe)
        throw Failure{AVERROR(EINVAL), "links from two inputs are not supported"};
    in = pipe->context();
    // Writing over the input would destroy it while it is being read.
    struct stat inStat, outStat;
    if (::stat(in->url, &inStat) == 0 && ::stat(out->filename.c_str(), &outStat) == 0
        && inStat.st_dev == outStat.st_dev && inStat.st_ino == outStat.st_ino)
        throw Failure{AVERROR(EINVAL), "the output file is the input file"};
    bool useVideo = t.video.pipe && out->videoEnabled && !out->videoEncoder.empty();
    bool useAudio = t.audio.pipe && out->audioEnabled && !out->audioEncoder.empty();
    vIdx = useVideo ? t.video.stream : -1;
    aIdx = useAudio ? t.audio.stream : -1;
    if (vIdx < 0 && aIdx < 0)
        throw Failure{AVERROR(EINVAL), "no output streams"};

    startTime = in->start_time != AV_NOPTS_VALUE ? in->start_time : 0;
    duration = in->duration > 0 ? in->duration / double(AV_TIME_BASE) : 0.0;
    if (vIdx >= 0)
        openDecoder(vIdx);
    if (aIdx >= 0)
        openDecoder(aIdx);

    chooseWriteName();
    check("avformat_alloc_output_context2",
          avformat_alloc_output_context2(&mux, nullptr, out->muxer.c_str(), writeName.c_str()));
    if (vIdx >= 0)
        openVideoEncoder();
    if (aIdx >= 0)
        openAudioEncoder();
    openOutput();
    int header = avformat_write_header(mux, nullptr);
    if (header < 0)
        writeFailed("avformat_write_header", header);
    headerWritten = true;

    pkt = av_packet_alloc();
    outPkt = av_packet_alloc();
    frame = av_frame_alloc();
    filtered = av_frame_alloc();
    if (!pkt || !outPkt || !frame || !filtered)
        fail("av_frame_alloc", AVERROR(ENOMEM));
}

void Run::buildVideoGraph(const AVFrame* f)
{
    const AnyDict& fs = t.video.params.filters().values;
    int fw = f->width, fh = f->height;
    char args[512];
    std::string chain;
    auto add = [&chain](const std::string& filter) {
        if (!chain.empty())
            chain += ",";
        chain += filter;
    };
    bool deinterlace = fs.get("deinterlace").asInt32() == McDeintBob;
    if (deinterlace)
        add("yadif=mode=send_field:parity=auto:deint=all");
    // Upright, as players show it; the crops below are of the upright picture.
    AVRational pictureSar = f->sample_aspect_ratio.num > 0 ? f->sample_aspect_ratio : AVRational{1, 1};
    switch (uprightTurn(in->streams[vIdx])) {
    case 90:
        add("transpose=clock");
        break;
    case 180:
        add("hflip,vflip");
        break;
    case 270:
        add("transpose=cclock");
        break;
    default:
        break;
    }
    if (uprightTurn(in->streams[vIdx]) % 180 != 0) {
        std::swap(fw, fh);
        pictureSar = AVRational{pictureSar.den, pictureSar.num};
    }
    if (fs.get("crop").asInt32()) {
        McRect r(fs.get("left").asInt32(), fs.get("top").asInt32(), fs.get("right").asInt32(),
                 fs.get("bottom").asInt32());
        if (!r.isNull()) {
            // Cutting a different part than asked for would give a wrong picture.
            if (r.left < 0 || r.top < 0 || r.width() <= 0 || r.height() <= 0 || r.right > fw || r.bottom > fh) {
                std::snprintf(args, sizeof args,
                              "crop: the rectangle %d,%d to %d,%d does not fit in the %dx%d picture",
                              r.left, r.top, r.right, r.bottom, fw, fh);
                throw Failure{AVERROR(EINVAL), args};
            }
            std::snprintf(args, sizeof args, "crop=w=%d:h=%d:x=%d:y=%d:exact=1", r.width(), r.height(), r.left, r.top);
            add(args);
            fw = r.width();
            fh = r.height();
        }
        int pt = fs.get("padTop").asInt32(), pb = fs.get("padBottom").asInt32();
        int pl = fs.get("padLeft").asInt32(), pr = fs.get("padRight").asInt32();
        if (pt < 0 || pb < 0 || pl < 0 || pr < 0)
            throw Failure{AVERROR(EINVAL), "pad: negative pad"};
        if (pt || pb || pl || pr) {
            std::snprintf(args, sizeof args, "pad=w=%d:h=%d:x=%d:y=%d:color=black", fw + pl + pr, fh + pt + pb, pl, pt);
            add(args);
        }
    }
    const char* interl = outputInterlaced ? ":interl=-1" : "";
    const AVRational outSar = venc->sample_aspect_ratio.num > 0 ? venc->sample_aspect_ratio : AVRational{1, 1};
    const double shownWidth = double(fw) * av_q2d(pictureSar);
    if (shownWidth < fh && fh > 0) {
        // Taller than wide: fitted to the output's height with black bars
        // at the sides, never stretched across the frame.
        int w = int(std::lround(venc->height * shownWidth / fh / av_q2d(outSar) / 2.0)) * 2;
        w = std::max(2, std::min(w, venc->width));
        std::snprintf(args, sizeof args, "scale=w=%d:h=%d%s,setsar=1,pad=w=%d:h=%d:x=%d:y=0:color=black", w,
                      venc->height, interl, venc->width, venc->height, (venc->width - w) / 2 / 2 * 2);
        add(args);
    }
    std::snprintf(args, sizeof args, "scale=w=%d:h=%d%s", venc->width, venc->height, interl);
    add(args);
    std::snprintf(args, sizeof args, "fps=%d/%d", venc->framerate.num, venc->framerate.den);
    add(args);
    if (outputInterlaced) {
        add(outputFieldOrder == 1 ? "fieldorder=tff" : "fieldorder=bff");
        add(outputFieldOrder == 1 ? "setfield=tff" : "setfield=bff");
    }
    std::snprintf(args, sizeof args, "format=pix_fmts=%s", av_get_pix_fmt_name(venc->pix_fmt));
    add(args);
    std::snprintf(args, sizeof args, "setsar=%d/%d", venc->sample_aspect_ratio.num, venc->sample_aspect_ratio.den);
    add(args);
    mcp::logLine("video filters: " + chain);

    vgraph = avfilter_graph_alloc();
    if (!vgraph)
        fail("avfilter_graph_alloc", AVERROR(ENOMEM));
    vInWidth = f->width;
    vInHeight = f->height;
    vInFormat = f->format;
    AVStream* st = in->streams[vIdx];
    AVRational sar = f->sample_aspect_ratio.num > 0 ? f->sample_aspect_ratio : AVRational{1, 1};
    AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                  f->width, f->height, f->format, st->time_base.num, st->time_base.den, sar.num, sar.den);
    std::string srcArgs = args;
    if (rate.num > 0 && rate.den > 0) {
        std::snprintf(args, sizeof args, ":frame_rate=%d/%d", rate.num, rate.den);
        srcArgs += args;
    }
    check("avfilter_graph_create_filter(buffer)",
          avfilter_graph_create_filter(&vsrc, avfilter_get_by_name("buffer"), "in", srcArgs.c_str(), nullptr, vgraph));
    check("avfilter_graph_create_filter(buffersink)",
          avfilter_graph_create_filter(&vsink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, vgraph));
    linkFilterChain(vgraph, chain.c_str(), vsrc, vsink);
    check("avfilter_graph_config", avfilter_graph_config(vgraph, nullptr));
}

void Run::buildAudioGraph(const AVFrame* f)
{
    agraph = avfilter_graph_alloc();
    if (!agraph)
        fail("avfilter_graph_alloc", AVERROR(ENOMEM));
    char layout[128] = {0}, outLayout[128] = {0}, args[512];
    AVChannelLayout in_layout = {};
    if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&in_layout, f->ch_layout.nb_channels);
    else
        av_channel_layout_copy(&in_layout, &f->ch_layout);
    av_channel_layout_describe(&in_layout, layout, sizeof layout);
    av_channel_layout_uninit(&in_layout);
    aInRate = f->sample_rate;
    aInFormat = f->format;
    av_channel_layout_uninit(&aInLayout);
    check("av_channel_layout_copy", av_channel_layout_copy(&aInLayout, &f->ch_layout));
    av_channel_layout_describe(&aenc->ch_layout, outLayout, sizeof outLayout);
    AVRational tb = adec->pkt_timebase.num > 0 ? adec->pkt_timebase : AVRational{1, f->sample_rate};
    std::snprintf(args, sizeof args, "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s", tb.num, tb.den,
                  f->sample_rate, av_get_sample_fmt_name(AVSampleFormat(f->format)), layout);
    check("avfilter_graph_create_filter(abuffer)",
          avfilter_graph_create_filter(&asrc, avfilter_get_by_name("abuffer"), "in", args, nullptr, agraph));
    check("avfilter_graph_create_filter(abuffersink)",
          avfilter_graph_create_filter(&asink, avfilter_get_by_name("abuffersink"), "out", nullptr, nullptr, agraph));
    std::snprintf(args, sizeof args, "aresample=%d,aformat=sample_fmts=%s:sample_rates=%d:channel_layouts=%s",
                  aenc->sample_rate, av_get_sample_fmt_name(aenc->sample_fmt), aenc->sample_rate, outLayout);
    linkFilterChain(agraph, args, asrc, asink);
    check("avfilter_graph_config", avfilter_graph_config(agraph, nullptr));
    if (!(aenc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) && aenc->frame_size > 0)
        av_buffersink_set_frame_size(asink, unsigned(aenc->frame_size));
}

void Run::report(double seconds)
{
    double p = duration > 0 ? seconds / duration : 0.0;
    p = p < 0 ? 0 : p > 1 ? 1 : p;
    if (p > t.progress) {
        t.progress = p;
        t.owner->cbProgress(p);
    }
}

void Run::encode(AVCodecContext* enc, AVStream* st, const AVFrame* f)
{
    int err = avcodec_send_frame(enc, f);
    if (err < 0 && err != AVERROR_EOF)
        fail("avcodec_send_frame", err);
    for (;;) {
        err = avcodec_receive_packet(enc, outPkt);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return;
        check("avcodec_receive_packet", err);
        av_packet_rescale_ts(outPkt, enc->time_base, st->time_base);
        outPkt->stream_index = st->index;
        err = av_interleaved_write_frame(mux, outPkt);
        av_packet_unref(outPkt);
        if (err < 0)
            writeFailed("av_interleaved_write_frame", err);
        ++packetsWritten;
        t.touch();
        t.owner->cbProcess();
    }
}

void Run::pullVideo()
{
    for (;;) {
        int err = av_buffersink_get_frame(vsink, filtered);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return;
        check("av_buffersink_get_frame", err);
        AVRational tb = av_buffersink_get_time_base(vsink);
        if (filtered->pts != AV_NOPTS_VALUE) {
            filtered->pts = av_rescale_q(filtered->pts, tb, venc->time_base);
            // Where a new filter graph takes over, a picture may repeat a time
            // already given to the encoder.
            if (lastEncodedVideoPts != AV_NOPTS_VALUE && filtered->pts <= lastEncodedVideoPts) {
                av_frame_unref(filtered);
                continue;
            }
            lastEncodedVideoPts = filtered->pts;
            report(filtered->pts * av_q2d(venc->time_base));
        }
        filtered->pict_type = AV_PICTURE_TYPE_NONE;
        encode(venc, vst, filtered);
        ++picturesEncoded;
        av_frame_unref(filtered);
    }
}

void Run::pullAudio()
{
    for (;;) {
        int err = av_buffersink_get_frame(asink, filtered);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return;
        check("av_buffersink_get_frame", err);
        AVRational tb = av_buffersink_get_time_base(asink);
        if (filtered->pts != AV_NOPTS_VALUE) {
            filtered->pts = av_rescale_q(filtered->pts, tb, aenc->time_base);
            if (vIdx < 0)
                report(filtered->pts * av_q2d(aenc->time_base));
        }
        encode(aenc, ast, filtered);
        av_frame_unref(filtered);
    }
}

void Run::filterVideo(AVFrame* f)
{
    AVStream* st = in->streams[vIdx];
    int64_t pts = f->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) {
        AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : AVRational{25, 1};
        pts = lastVideoPts == AV_NOPTS_VALUE ? 0 : lastVideoPts + av_rescale_q(1, av_inv_q(rate), st->time_base);
    } else {
        pts -= av_rescale_q(startTime, AV_TIME_BASE_Q, st->time_base);
    }
    lastVideoPts = pts;
    f->pts = pts;
    int64_t length = f->pkt_duration;
    if (length <= 0) {
        AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : AVRational{25, 1};
        length = av_rescale_q(1, av_inv_q(rate), st->time_base);
    }
    if (vgraph && (f->width != vInWidth || f->height != vInHeight || f->format != vInFormat)) {
        // The filters would read pictures of another size past their end:
        // end the old graph at this picture's time and set up a new one.
        mcp::logLine("picture changes from " + std::to_string(vInWidth) + "x" + std::to_string(vInHeight) + " to "
                     + std::to_string(f->width) + "x" + std::to_string(f->height) + ": new video filters");
        check("av_buffersrc_close", av_buffersrc_close(vsrc, pts, AV_BUFFERSRC_FLAG_PUSH));
        pullVideo();
        avfilter_graph_free(&vgraph);
        vsrc = vsink = nullptr;
    }
    if (videoEnd == AV_NOPTS_VALUE || pts + length > videoEnd)
        videoEnd = pts + length;
    if (!vgraph)
        buildVideoGraph(f);
    check("av_buffersrc_add_frame_flags", av_buffersrc_add_frame_flags(vsrc, f, AV_BUFFERSRC_FLAG_KEEP_REF));
    pullVideo();
}

void Run::filterAudio(AVFrame* f)
{
    AVStream* st = in->streams[aIdx];
    int64_t pts = f->best_effort_timestamp;
    if (pts != AV_NOPTS_VALUE)
        pts -= av_rescale_q(startTime, AV_TIME_BASE_Q, st->time_base);
    f->pts = pts;
    if (agraph && (f->sample_rate != aInRate || f->format != aInFormat
                   || av_channel_layout_compare(&f->ch_layout, &aInLayout) != 0)) {
        // The audio source takes no change of rate, format or channels: set up
        // new filters (what the old ones still hold, under one frame, is dropped).
        mcp::logLine("sound changes its rate, format or channels: new audio filters");
        avfilter_graph_free(&agraph);
        asrc = asink = nullptr;
    }
    if (pts != AV_NOPTS_VALUE && f->sample_rate > 0)
        audioEnd = pts + av_rescale_q(f->nb_samples, AVRational{1, f->sample_rate}, st->time_base);
    if (!agraph)
        buildAudioGraph(f);
    check("av_buffersrc_add_frame_flags", av_buffersrc_add_frame_flags(asrc, f, AV_BUFFERSRC_FLAG_KEEP_REF));
    pullAudio();
}

void Run::decode(AVCodecContext* dec, const AVPacket* p, bool isVideo)
{
    // Damaged input is skipped and logged, as the ffmpeg program does; only
    // running out of memory ends the work.
    int err = avcodec_send_packet(dec, p);
    if (err < 0 && err != AVERROR_EOF) {
        if (err == AVERROR(ENOMEM))
            fail("avcodec_send_packet", err);
        mcp::logLine(ffError("avcodec_send_packet", err) + " (packet skipped)");
        if (p)
            return;
    }
    for (int errors = 0;;) {
        err = avcodec_receive_frame(dec, frame);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return;
        if (err < 0) {
            if (err == AVERROR(ENOMEM))
                fail("avcodec_receive_frame", err);
            mcp::logLine(ffError("avcodec_receive_frame", err) + " (picture skipped)");
            // While draining the decoder moves on to its next held frame.
            if (p || ++errors > 64)
                return;
            continue;
        }
        if (isVideo)
            filterVideo(frame);
        else
            filterAudio(frame);
        av_frame_unref(frame);
    }
}

void Run::waitWhilePaused()
{
    if (!t.paused)
        return;
    t.owner->cbPaused(true);
    {
        std::unique_lock<std::mutex> lock(t.pauseLock);
        t.pauseWake.wait(lock, [this] { return !t.paused || t.stopFlag; });
    }
    t.touch();
    t.owner->cbPaused(false);
}

void Run::chooseWriteName()
{
    finalName = out->filename;
    struct stat st;
    // A link at the output's name is followed only when it is the operator's
    // own: one that someone else placed is replaced, not written through.
    if (::lstat(finalName.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && st.st_uid == ::geteuid()) {
        if (char* real = ::realpath(finalName.c_str(), nullptr)) {
            finalName = real;
            std::free(real);
        }
    }
    // Written in place: a device, or a FIFO or socket of the operator's own.
    // Another user's FIFO or socket is replaced as a file would be.
    if (::lstat(finalName.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)
        && ((!S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode)) || st.st_uid == ::geteuid())) {
        writeName = finalName;
        inPlaceFifo = S_ISFIFO(st.st_mode);
        return;
    }
    viaTemporary = true;
    // Hidden and without the output's extension: no list of outputs shows it.
    temporary.reset(new exclusivefile::TemporaryFile(finalName));
    if (temporary->fd() < 0)
        writeFailed("open", AVERROR(temporary->error()));
    writeName = temporary->path();
}

int Run::writeOutput(void* opaque, uint8_t* buf, int size)
{
    Run* run = static_cast<Run*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(run->outFd, buf + done, size_t(size - done));
        if (n >= 0) {
            done += int(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return AVERROR(errno);
        // A reader that does not read keeps the run here only until a stop,
        // or the stall limit's stop, comes.
        pollfd room{run->outFd, POLLOUT, 0};
        if (::poll(&room, 1, 100) == 0 && run->t.stopFlag)
            return AVERROR_EXIT;
    }
    return done;
}

int64_t Run::seekOutput(void* opaque, int64_t offset, int whence)
{
    Run* run = static_cast<Run*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat st;
        return ::fstat(run->outFd, &st) == 0 ? int64_t(st.st_size) : AVERROR(errno);
    }
    const off_t at = ::lseek(run->outFd, off_t(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : int64_t(at);
}

void Run::openInPlace()
{
    // Never blocking: a FIFO nobody reads yet keeps the run waiting only
    // until a stop, or the stall limit's stop, comes.
    for (;;) {
        inPlaceFd = ::open(writeName.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (inPlaceFd >= 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != ENXIO || !inPlaceFifo)
            writeFailed("open", AVERROR(errno));
        if (t.stopFlag)
            writeFailed("open", AVERROR_EXIT);
        McUtil::sleep(50);
    }
    // What was opened is still what was chosen: not a file put in its place.
    struct stat st;
    if (::fstat(inPlaceFd, &st) != 0 || S_ISREG(st.st_mode) || (S_ISFIFO(st.st_mode) && st.st_uid != ::geteuid()))
        writeFailed("open", AVERROR(ESTALE));
    outFd = inPlaceFd;
}

void Run::openOutput()
{
    if (viaTemporary)
        outFd = temporary->fd();
    else
        openInPlace();
    const int size = 1 << 18;
    auto* buffer = static_cast<unsigned char*>(av_malloc(size));
    if (!buffer)
        fail("av_malloc", AVERROR(ENOMEM));
    mux->pb = avio_alloc_context(buffer, size, 1, this, nullptr, &Run::writeOutput, &Run::seekOutput);
    if (!mux->pb) {
        av_free(buffer);
        fail("avio_alloc_context", AVERROR(ENOMEM));
    }
    if (inPlaceFifo)
        mux->pb->seekable = 0;
}

// Flushes and closes the output's I/O context; the first write error, or 0.
int Run::closeOutput()
{
    int err = 0;
    if (mux && mux->pb) {
        avio_flush(mux->pb);
        err = mux->pb->error;
        av_freep(&mux->pb->buffer);
        avio_context_free(&mux->pb);
    }
    if (inPlaceFd >= 0 && ::close(inPlaceFd) != 0 && err == 0 && errno != EINTR)
        err = AVERROR(errno);
    inPlaceFd = -1;
    return err;
}

void Run::writeFailed(const char* call, int err)
{
    mcp::logLine(ffError(call, err));
    throw Failure{err, "writing " + finalName + ": " + ffError(call, err).substr(std::strlen(call) + 2)};
}

void Run::checkPicturesWritten()
{
    if (vIdx >= 0 && picturesEncoded == 0)
        throw Failure{AVERROR_INVALIDDATA, "no picture of the input could be decoded"};
    // Sound that decodes to nothing would give an empty output as well.
    if (packetsWritten == 0)
        throw Failure{AVERROR_INVALIDDATA, "nothing of the input could be decoded"};
}

void Run::checkInputCoverage()
{
    // How far a stream should reach from the input's start: its own length
    // where the file gives one (Matroska keeps it only in a DURATION tag),
    // else the whole file's.
    auto expectedEnd = [this](int idx) {
        AVStream* st = in->streams[idx];
        if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
            double start = st->start_time != AV_NOPTS_VALUE
                ? st->start_time * av_q2d(st->time_base) - startTime / double(AV_TIME_BASE)
                : 0.0;
            return std::max(0.0, start) + st->duration * av_q2d(st->time_base);
        }
        if (const AVDictionaryEntry* tag = av_dict_get(st->metadata, "DURATION", nullptr, 0)) {
            int h = 0, m = 0;
            double sec = 0.0;
            if (std::sscanf(tag->value, "%d:%d:%lf", &h, &m, &sec) == 3 && (h > 0 || m > 0 || sec > 0.0))
                return h * 3600.0 + m * 60.0 + sec;
        }
        return duration;
    };
    // Cut only when the demuxer met damage, or when every stream read stops
    // short of where it should end: streams of different lengths are no damage.
    double reached = 0.0, expected = 0.0;
    int read = 0, shortOnes = 0;
    auto measure = [&](int idx, int64_t end) {
        if (idx < 0)
            return;
        const double want = expectedEnd(idx);
        const double got = end == AV_NOPTS_VALUE ? 0.0 : end * av_q2d(in->streams[idx]->time_base);
        // A few skipped packets at the end are no damage worth failing for.
        const double allowed = std::max(1.0, 0.02 * want);
        ++read;
        if (want > 0.0 && want - got > allowed)
            ++shortOnes;
        reached = std::max(reached, got);
        expected = std::max(expected, want);
    };
    measure(vIdx, videoEnd);
    measure(aIdx, audioEnd);
    if (expected <= 0.0 || (!inputCutOff && (read == 0 || shortOnes < read)))
        return;
    char text[160];
    std::snprintf(text, sizeof text, "input ends at %.1f s of %.1f s: the file is damaged or incomplete",
                  std::max(0.0, reached), expected);
    throw Failure{AVERROR_INVALIDDATA, text};
}

void Run::commit()
{
    if (!viaTemporary)
        return;
    if (!temporary->publish()) {
        const int err = errno;
        const std::string why = err == ESTALE ? "someone else's file was put in its place" : std::strerror(err);
        throw Failure{AVERROR(err), "rename " + writeName + " to " + finalName + ": " + why};
    }
}

void Run::execute()
{
    try {
        setUp();
        t.owner->cbStatus(1);
        while (!t.stopFlag) {
            waitWhilePaused();
            int err = av_read_frame(in, pkt);
            if (err == AVERROR_EOF)
                break;
            if (err < 0 && in->pb && avio_feof(in->pb)) {
                // The demuxer wanted more than the file holds: it is cut off.
                mcp::logLine(ffError("av_read_frame", err) + " (the file ends early)");
                inputCutOff = true;
                break;
            }
            if (err == AVERROR(EAGAIN)) {
                McUtil::sleep(10);
                continue;
            }
            if (err == AVERROR_INVALIDDATA) {
                mcp::logLine(ffError("av_read_frame", err) + " (input ends here)");
                inputCutOff = true;
                break;
            }
            check("av_read_frame", err);
            t.touch();
            if (pkt->stream_index == vIdx)
                decode(vdec, pkt, true);
            else if (pkt->stream_index == aIdx)
                decode(adec, pkt, false);
            av_packet_unref(pkt);
        }
        av_packet_unref(pkt);
        // Drain everything still held, also after a stop, so the file ends cleanly.
        if (vdec) {
            decode(vdec, nullptr, true);
            if (vgraph) {
                // Ending at the last picture's end keeps it in the frame-rate conversion.
                check("av_buffersrc_close", videoEnd != AV_NOPTS_VALUE
                                                ? av_buffersrc_close(vsrc, videoEnd, AV_BUFFERSRC_FLAG_PUSH)
                                                : av_buffersrc_add_frame(vsrc, nullptr));
                pullVideo();
            }
            encode(venc, vst, nullptr);
        }
        if (adec) {
            decode(adec, nullptr, false);
            if (agraph) {
                check("av_buffersrc_close", audioEnd != AV_NOPTS_VALUE
                                                ? av_buffersrc_close(asrc, audioEnd, AV_BUFFERSRC_FLAG_PUSH)
                                                : av_buffersrc_add_frame(asrc, nullptr));
                pullAudio();
            }
            encode(aenc, ast, nullptr);
        }
        int trailer = av_write_trailer(mux);
        headerWritten = false;
        if (trailer < 0)
            writeFailed("av_write_trailer", trailer);
        int closed = closeOutput();
        if (closed < 0)
            writeFailed("avio_closep", closed);
        t.owner->cbMuxClose(nullptr);
        // A stopped run keeps nothing under the output's name.
        if (!t.stopFlag) {
            checkPicturesWritten();
            checkInputCoverage();
            commit();
        }
        if (!t.stopFlag) {
            t.progress = 1.0;
            t.owner->cbProgress(1.0);
        }
        t.owner->cbStatus(0);
    } catch (const Failure& f) {
        // Outputs written in place (a FIFO) end their stream for the reader;
        // a temporary file is removed when the run goes.
        if (headerWritten && mux && !viaTemporary)
            av_write_trailer(mux);
        t.error = f.text;
        mcp::logLine("transcode failed: " + f.text);
        t.result = f.code ? f.code : -1;
        t.owner->cbStatus(t.result);
    }
}

} // namespace

int McTranscoderImpl::work()
{
    result = 0;
    error.clear();
    progress = 0.0;
    touch();
    Run run(*this);
    run.execute();
    return result;
}

void McTranscoderImpl::shutdown()
{
    stopFlag = true;
    {
        std::lock_guard<std::mutex> lock(pauseLock);
        paused = false;
    }
    pauseWake.notify_all();
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id())
        worker.join();
}

McTranscoder::McTranscoder(McTask*) : m_impl(new McTranscoderImpl(this)) {}

McTranscoder::~McTranscoder()
{
    m_impl->shutdown();
}

int McTranscoder::transcode(McTask*, bool wait)
{
    return transcode(wait);
}

int McTranscoder::transcode(bool wait)
{
    McTranscoderImpl& d = *m_impl;
    if (d.running)
        return AVERROR(EBUSY);
    if (d.worker.joinable())
        d.worker.join();
    d.stopFlag = false;
    d.paused = false;
    d.running = true;
    d.touch();
    if (wait) {
        int r = d.work();
        d.running = false;
        return r;
    }
    try {
        d.worker = std::thread([&d] {
            d.work();
            d.running = false;
        });
    } catch (const std::system_error&) {
        d.running = false;
        d.error = "std::thread: cannot start the worker";
        d.result = AVERROR(EAGAIN);
        return d.result;
    }
    return 0;
}

int McTranscoder::stop()
{
    m_impl->shutdown();
    return 0;
}

int McTranscoder::pause()
{
    m_impl->paused = true;
    return 0;
}

int McTranscoder::unpause()
{
    {
        std::lock_guard<std::mutex> lock(m_impl->pauseLock);
        m_impl->paused = false;
    }
    m_impl->pauseWake.notify_all();
    return 0;
}

int McTranscoder::setParam(const char* name, const Any& value)
{
    if (std::strcmp(name, "deadLockTimeout") == 0) {
        m_impl->deadLockTimeoutMs = value.asInt32();
        return 0;
    }
    return 1;
}

int McTranscoder::getParam(const char* name, Any& value)
{
    McTranscoderImpl& d = *m_impl;
    if (std::strcmp(name, "deadLock") == 0) {
        bool stalled = d.running && !d.paused && nowMs() - d.lastActivity > d.deadLockTimeoutMs;
        value = Any(stalled ? 1 : 0);
    } else if (std::strcmp(name, "result") == 0) {
        value = Any(d.running ? 0 : int(d.result));
    } else if (std::strcmp(name, "transcoding") == 0) {
        value = Any(d.running ? 1 : 0);
    } else if (std::strcmp(name, "progress") == 0) {
        value = Any(double(d.progress));
    } else {
        value = Any();
        return 1;
    }
    return 0;
}

int McTranscoder::cbStatus(int32_t) { return 0; }
int McTranscoder::cbProgress(double) { return 0; }
int McTranscoder::cbPaused(bool) { return 0; }
int McTranscoder::cbProcess() { return 0; }
int McTranscoder::cbPostprocess(const Any&) { return 0; }
int McTranscoder::cbMuxClose(McMuxer*) { return 0; }

void McTranscoder::setEncoder(McEncodePipe* pipe)
{
    m_impl->encoder = pipe;
    if (pipe) {
        pipe->impl()->videoLinked = m_impl->video.pipe != nullptr;
        pipe->impl()->audioLinked = m_impl->audio.pipe != nullptr;
    }
}

int McTranscoder::link(McDecodePipe* pipe, int kind, int, int, const ProcessParams& params)
{
    auto* ff = dynamic_cast<FFDecodePipe*>(pipe);
    if (!ff || (kind != MC_KIND_VIDEO && kind != MC_KIND_AUDIO))
        return 1;
    int idx = ff->streamIndex(kind, ff->selected(kind));
    if (idx < 0)
        return 1;
    McTranscoderImpl::Link& l = kind == MC_KIND_VIDEO ? m_impl->video : m_impl->audio;
    l.pipe = ff;
    l.stream = idx;
    l.params = params;
    if (m_impl->encoder)
        (kind == MC_KIND_VIDEO ? m_impl->encoder->impl()->videoLinked : m_impl->encoder->impl()->audioLinked) = true;
    return 0;
}

bool McTranscoder::isTranscoding() const
{
    return m_impl->running;
}

const char* McTranscoder::errorDesc() const
{
    return m_impl->error.c_str();
}
