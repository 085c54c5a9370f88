// Codec layer over FFmpeg: probing (decode pipes), presets, filter settings and
// the threaded transcoder that decodes, filters, encodes and multiplexes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Stream kinds used by pipes and links.
enum McStreamKind { MC_KIND_VIDEO = 1, MC_KIND_AUDIO = 2 };
// Codec list kinds of a preset.
enum McPresetList { MC_PRESET_AUDIO = 6, MC_PRESET_VIDEO = 7 };
// Deinterlacing methods; Bob makes one frame per field.
enum McDeinterlaceMethod { McDeintNone = 0, McDeintBob = 4 };

class McBitrate {
public:
    // mode 0: constant target; avg, max, min and buffer size in bits (per second).
    McBitrate(int mode = 0, int64_t avg = 0, int64_t max = 0, int64_t min = 0, int64_t bufsize = 0)
        : mode(mode), avg(avg), max(max), min(min), bufsize(bufsize) {}
    int mode;
    int64_t avg, max, min, bufsize;
};

class McFramerate {
public:
    // interlaced: 0 progressive, 1 top field first, 2 bottom field first.
    McFramerate(int num = 0, int den = 1, int interlaced = 0) : m_num(num), m_den(den), m_interlaced(interlaced) {}
    int num() const { return m_num; }
    int den() const { return m_den; }
    int interlaced() const { return m_interlaced; }
    double fps() const { return m_den ? double(m_num) / m_den : 0.0; }
private:
    int m_num, m_den, m_interlaced;
};

class McRect {
public:
    McRect(int left = 0, int top = 0, int right = 0, int bottom = 0)
        : left(left), top(top), right(right), bottom(bottom) {}
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool isNull() const { return left == 0 && top == 0 && right == 0 && bottom == 0; }
    int left, top, right, bottom;
};

// A value of one of a few kinds; an unset value is invalid.
class Any {
public:
    enum Type { Invalid, Int, Double, String, Bitrate, Framerate };
    Any() = default;
    Any(const char* text, size_t len = 0); // len 0: up to the terminating zero
    Any(const std::string& text);
    Any(int v);
    Any(int64_t v);
    Any(double v);
    Any(const McBitrate& v);
    Any(const McFramerate& v);

    static const Any& invalid();

    Type type() const { return m_type; }
    bool isValid() const { return m_type != Invalid; }
    // The text of a string value ("" for anything else); valid while this value lives.
    const char* asString() const;
    int32_t asInt32() const;
    int64_t asInt64() const;
    double asDouble() const;
    McBitrate asBitrate() const;
    McFramerate asFramerate() const;
    operator int() const { return asInt32(); }
    operator double() const { return asDouble(); }
    operator McFramerate() const { return asFramerate(); }
    // Any value as text ("" when invalid).
    std::string toString() const;

private:
    Type m_type = Invalid;
    int64_t m_int = 0;
    double m_double = 0.0;
    std::string m_text;
    McBitrate m_bitrate;
    McFramerate m_framerate;
};

class AnyDict {
public:
    AnyDict() = default;
    ~AnyDict() = default;
    void set(const char* key, const Any& value);
    // Invalid when the key is absent.
    Any get(const char* key) const;
    bool has(const char* key) const;
    const std::map<std::string, Any>& items() const { return m_items; }
private:
    std::map<std::string, Any> m_items;
};

class AnyVector {
public:
    size_t size() const { return m_items.size(); }
    const Any& at(size_t i) const { return m_items.at(i); }
    void push_back(const Any& v) { m_items.push_back(v); }
    void clear() { m_items.clear(); }
private:
    std::vector<Any> m_items;
};

// Library start and end; counted, so several users may hold it at once.
// Dictionary keys: "logfile" (text), "disable_exceptions" (int).
int init_wrapper(const AnyDict* dict);
void cleanup_wrapper();
void debug_trace(const char* text);

class McDbgLog {
public:
    void info(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
};
McDbgLog* mc_dbg();

class McRegistry {
public:
    // Registers the components named by the descriptors (*.mcp) in folder that
    // this build of FFmpeg provides; nonzero when none was registered.
    int scanFolder(const Any& folder);
    bool has(const std::string& component) const;
    size_t count() const;
    void clear();
private:
    std::vector<std::string> m_components;
};
McRegistry* mc_registry();

class McFile {
public:
    static Any osFname(const Any& path);
    static bool isFile(const Any& path); // regular files only
    static bool isDir(const Any& path);
    static Any getPath(const Any& path); // the folder part ("." when none)
};

class McUtil {
public:
    static void sleep(int ms);
};

// Parameters and the last error of a codec object.
class McCodec {
public:
    virtual ~McCodec() = default;
    virtual int getParam(const char* name, Any& value);
    virtual int setParam(const char* name, const Any& value);
    const char* errorDesc() const { return m_error.c_str(); }
    void setError(const std::string& text) { m_error = text; }
protected:
    AnyDict m_params;
    std::string m_error;
};

class McPreset {
public:
    // MC_PRESET_VIDEO or MC_PRESET_AUDIO: the codec names of that kind (empty when none).
    const AnyVector& codecs(int kind) const;
    // All keys of a section ("preset", "video", "audio").
    const AnyDict& section(const std::string& name) const;
    std::string name() const { return section("preset").get("name").toString(); }
    std::string container() const { return section("preset").get("container").toString(); }
private:
    friend class McUserPresets;
    std::map<std::string, AnyDict> m_sections;
    AnyVector m_video, m_audio, m_none;
};

class McUserPresets {
public:
    McUserPresets() = default;
    ~McUserPresets() = default;
    // 0 when the file was read and is well formed.
    int load(const Any& file, int flags, void* reserved);
    size_t size() const { return m_presets.size(); }
    McPreset* at(size_t i) { return i < m_presets.size() ? m_presets[i].get() : nullptr; }
    const std::string& errorText() const { return m_error; }
private:
    std::vector<std::unique_ptr<McPreset>> m_presets;
    std::string m_error;
};

// Reading side of a transcode: an opened input.
class McDecodePipe {
public:
    virtual ~McDecodePipe() = default;
    // "program_stream_flag": 2 MPEG program stream, 3 transport stream, 0 else.
    virtual int getPipeParam(const char* name, Any& value) = 0;
    virtual int streamCount(int kind) = 0;
    // Per stream: "codec", "width", "height", "framerate", "vBitrate", "vbr", "pal",
    // "frames", "duration", "frameAspect", "pixelAspect"; audio "codec",
    // "samplerate", "bytesPerSample", "channels", "aBitrate", "samples", "duration".
    virtual int getStreamParam(int kind, int index, const char* name, Any& value) = 0;
    virtual int selectStream(int kind, int index) = 0;
};

class McDecFactory {
public:
    // Null when the input cannot be opened, no plug-in is registered or the
    // input has neither audio nor video.
    static McDecodePipe* decodePipe(const Any& file, const Any& options, void* reserved1, void* reserved2);
};

class FiltersState {
public:
    AnyDict values;
};

class McFilterSetup {
public:
    virtual ~McFilterSetup() = default;
    virtual void store(FiltersState& state, int flags) const = 0;
};

class McVFilterSetup : public McFilterSetup {
public:
    McVFilterSetup() = default;
    ~McVFilterSetup() override = default;
    void setDeinterlace(McDeinterlaceMethod method) { m_deint = method; }
    // Cuts rect out of a picture of width x height, then pads it with black.
    // A null rect cuts nothing.
    void setCrop(int enable, int width, int height, const McRect& rect,
                 int padTop, int padBottom, int padLeft, int padRight);
    void store(FiltersState& state, int flags) const override;
private:
    McDeinterlaceMethod m_deint = McDeintNone;
    bool m_crop = false;
    int m_width = 0, m_height = 0;
    McRect m_rect;
    int m_padTop = 0, m_padBottom = 0, m_padLeft = 0, m_padRight = 0;
};

class ProcessParams {
public:
    void setFilters(const FiltersState& state) { m_filters = state; }
    const FiltersState& filters() const { return m_filters; }
private:
    FiltersState m_filters;
};

class McPreset;
class McEncodePipeImpl;

// Writing side: encoders and the multiplexer of one output file.
class McEncodePipe : public McCodec {
public:
    static McEncodePipe* create();
    ~McEncodePipe() override;
    // "filename": the output file.
    int setParam(const char* name, const Any& value) override;
    // 0 when the preset can be encoded with this build.
    virtual int applyPreset(const McPreset* preset, int flags, int reserved);
    virtual int enableStream(int kind, const Any& options);
    // Number of streams that can be written (0: none); mask selects the kinds.
    virtual int open(int mask);
    // 0: the video encoder, 1: the audio encoder (null when not enabled).
    virtual McCodec* codec(int index);
    McEncodePipeImpl* impl() { return m_impl.get(); }
private:
    McEncodePipe();
    std::unique_ptr<McEncodePipeImpl> m_impl;
};

class McTask;
class McMuxer;
class McTranscoderImpl;

class McTranscoder {
public:
    explicit McTranscoder(McTask* task);
    // Stops and joins a running worker before anything goes away.
    virtual ~McTranscoder();
    virtual int transcode(McTask* task, bool wait);
    // wait false: start the work on a worker thread and return 0 once it runs.
    // wait true: do the work on this thread and return its result.
    virtual int transcode(bool wait);
    // Ends the work, closes the output properly and joins the worker.
    virtual int stop();
    virtual int pause();
    virtual int unpause();
    // "deadLockTimeout" (ms without a packet moved before "deadLock" reads 1).
    virtual int setParam(const char* name, const Any& value);
    // "deadLock" (1 when stalled), "result" (the worker's result), "transcoding".
    virtual int getParam(const char* name, Any& value);
    virtual int cbStatus(int32_t code);
    virtual int cbProgress(double value);
    virtual int cbPaused(bool paused);
    virtual int cbProcess();
    virtual int cbPostprocess(const Any& value);
    virtual int cbMuxClose(McMuxer* muxer);

    void setEncoder(McEncodePipe* pipe);
    int link(McDecodePipe* pipe, int kind, int index, int flags, const ProcessParams& params);
    bool isTranscoding() const;
    const char* errorDesc() const;

private:
    std::unique_ptr<McTranscoderImpl> m_impl;
};
