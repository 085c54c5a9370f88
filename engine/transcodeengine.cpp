// Probing and transcoding through the codec layer.
#include "transcodeengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QScopeGuard>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "exclusivefile.h"
#include "fileitemkeys.h"

namespace {

// Decode pipes kept alive on purpose until the process ends; held here so
// that they stay reachable instead of dropped.
void keepUntilExit(McDecodePipe* pipe)
{
    static QMutex lock;
    static auto* kept = new std::vector<McDecodePipe*>;
    QMutexLocker guard(&lock);
    kept->push_back(pipe);
}

// An advisory lock on one output name, held in a hidden file beside it while
// the output is written, so that two encoders never write one file at once.
// The file is made by us, exclusively and without following links: one
// another user placed under its name is taken over only when it is a plain
// file no writer holds, and otherwise removed or refused.
class OutputLock {
public:
    OutputLock() = default;
    ~OutputLock() { release(); }
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;

    enum Result { Locked, Busy, Failed };
    Result acquire(const std::string& output)
    {
        std::string folder, name;
        exclusivefile::splitPath(output, &folder, &name);
        m_name = "." + name + ".lock";
        m_folder = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_folder < 0)
            return Failed;
        for (int attempt = 0; attempt < 16; ++attempt) {
            m_fd = exclusivefile::createNew(m_folder, m_name, 0644);
            if (m_fd >= 0) {
                if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
                    return Locked;
                // Opened by another writer in the instant since we made it.
                const int err = errno;
                closeLock();
                errno = err;
                return err == EWOULDBLOCK ? Busy : Failed;
            }
            if (errno != EEXIST)
                return inPlaceOutput(output) ? Locked : Failed;
            // Somebody's lock, or a leftover: a running writer holds it.
            const int old = ::openat(m_folder, m_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (old >= 0) {
                struct stat st;
                const bool plain = ::fstat(old, &st) == 0 && S_ISREG(st.st_mode);
                if (plain && ::flock(old, LOCK_EX | LOCK_NB) != 0) {
                    const int err = errno;
                    ::close(old);
                    errno = err;
                    return err == EWOULDBLOCK ? Busy : Failed;
                }
                ::close(old);
            } else if (errno != ELOOP && errno != ENOENT && errno != ENXIO) {
                return Failed;
            }
            // Not held, or a link: removed, and ours made in its place.
            if (::unlinkat(m_folder, m_name.c_str(), 0) != 0 && errno != ENOENT)
                return Failed;
        }
        errno = EEXIST;
        return Failed;
    }
    void release()
    {
        if (m_fd >= 0 && exclusivefile::namesFile(m_folder, m_name, m_fd))
            ::unlinkat(m_folder, m_name.c_str(), 0);
        closeLock();
        if (m_folder >= 0)
            ::close(m_folder);
        m_folder = -1;
    }

private:
    void closeLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    // A device such as /dev/null is written in place and needs no lock, in
    // a folder where none could be made.
    static bool inPlaceOutput(const std::string& output)
    {
        const int err = errno;
        struct stat st;
        const bool device = ::stat(output.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode);
        errno = err;
        return device;
    }

    std::string m_name;
    int m_folder = -1;
    int m_fd = -1;
};

// Whether name is one of the files a writer of ours keeps beside an output
// while it runs: ".<output>.<six characters>.part" (".<output>.part" from
// older versions) or ".<output>.lock", for outputs ending in ".mpg" or the
// output being written now.
bool isWriterFile(const std::string& name, const std::string& current)
{
    if (name.size() < 2 || name[0] != '.')
        return false;
    auto endsWith = [](const std::string& text, const std::string& end) {
        return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
    };
    std::string output;
    if (endsWith(name, ".lock")) {
        output = name.substr(1, name.size() - 6);
    } else if (endsWith(name, ".part")) {
        output = name.substr(1, name.size() - 6);
        const size_t dot = output.find_last_of('.');
        if (dot != std::string::npos && output.size() - dot == 7 && !endsWith(output, ".mpg"))
            output.erase(dot);
    } else {
        return false;
    }
    return !output.empty() && (endsWith(output, ".mpg") || output == current);
}

// Removes what writers that ended without cleaning up (killed, switched off)
// left in folder: temporary outputs and locks no running writer holds.
void removeLeftovers(const std::string& folder, const std::string& current)
{
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    const int listFd = ::dup(dirFd);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        ::close(dirFd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!isWriterFile(name, current))
            continue;
        exclusivefile::removeUnheld(dirFd, name);
    }
    ::closedir(dir);
    ::close(dirFd);
}

// Video stream 0 has a picture size and a first picture that decodes.
bool pictureReadable(McDecodePipe* pipe)
{
    Any v;
    pipe->getStreamParam(MC_KIND_VIDEO, 0, "width", v);
    const int width = v.asInt32();
    pipe->getStreamParam(MC_KIND_VIDEO, 0, "height", v);
    const int height = v.asInt32();
    if (width <= 0 || height <= 0)
        return false;
    pipe->getStreamParam(MC_KIND_VIDEO, 0, "decodesPicture", v);
    return v.asInt32() == 1;
}

// A failure line without its lead and line end, for the window.
std::string reasonOf(const char* text)
{
    std::string r = text;
    for (const char* lead : {"*** ", "Failed: "})
        if (r.compare(0, std::strlen(lead), lead) == 0)
            r.erase(0, std::strlen(lead));
    while (!r.empty() && (r.back() == '\n' || r.back() == ' '))
        r.pop_back();
    return r;
}

} // namespace

QSETrans::QSETrans() : McTranscoder(nullptr) {}

QSETrans::~QSETrans()
{
    // The worker calls back into this object: end it before this part goes.
    stop();
}

int QSETrans::cbStatus(int32_t)
{
    return 0;
}

int QSETrans::cbProgress(double value)
{
    m_progress = value;
    return 0;
}

TranscodeEngine::TranscodeEngine(const char* pluginFolder)
{
    // COM start-up has no counterpart here.
    m_decodePipeKept = false;
    init(pluginFolder);
}

TranscodeEngine::~TranscodeEngine()
{
    cleanup_wrapper();
    QSETrans* transcoder;
    {
        QMutexLocker guard(&m_transcoderLock);
        transcoder = m_transcoder;
        m_transcoder = nullptr;
    }
    delete transcoder; // stops and joins a worker that still runs
    delete m_encodePipe;
    delete m_decodePipe;
}

bool TranscodeEngine::init(const char* pluginFolder)
{
    AnyDict dict;
    dict.set("logfile", Any(logFilePath().c_str(), 0));
    dict.set("disable_exceptions", Any(1));
    m_busy = false;
    m_probePipe = nullptr;
    m_encodePipe = nullptr;
    m_decodePipe = nullptr;
    m_transcoder = nullptr;
    Any folder = McFile::osFname(Any(pluginFolder ? pluginFolder : "", 0));
    init_wrapper(&dict);
    m_pluginsFound = mc_registry()->scanFolder(folder) == 0;
    if (!m_pluginsFound) {
        std::fputs("No Plugins Found!", stderr);
        debug_trace("No Plugins Found!");
    }
    return true;
}

std::string TranscodeEngine::logFilePath()
{
    QString docs = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QString path = QDir::toNativeSeparators(docs + "/" + QCoreApplication::organizationName() + "/"
                                            + QCoreApplication::applicationName() + "/QuorvelLog.log");
    QString folder = QFileInfo(path).path();
    if (!QDir(folder).exists())
        QDir().mkpath(folder);
    return path.toStdString();
}

std::string TranscodeEngine::intToString(int value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

std::string TranscodeEngine::doubleToString(double value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

std::map<std::string, std::string> TranscodeEngine::probeFile(const char* path)
{
    QMutexLocker guard(&m_probeLock);
    Any file = McFile::osFname(Any(path ? path : "", 0));
    if (!McFile::isFile(file)) {
        debug_trace("*** Input file not found.\n");
        std::fprintf(stderr, "*** Input file %s not found.\n", file.asString());
        m_probeMap.clear();
        m_probeMap[fileitem::kValidKey] = "false";
        m_probeMap[fileitem::kVideoCodecKey] = "File Not Found";
        return m_probeMap;
    }
    m_probePipe = McDecFactory::decodePipe(file, Any::invalid(), nullptr, nullptr);
    if (!m_probePipe) {
        debug_trace("*** Can not open input file.\n");
        std::fprintf(stderr, "*** Can not open input file '%s'.\n", file.asString());
        m_probeMap.clear();
        m_probeMap[fileitem::kValidKey] = "false";
        m_probeMap[fileitem::kVideoCodecKey] = "Invalid File Type";
        return m_probeMap;
    }
    int videoStreams = m_probePipe->streamCount(MC_KIND_VIDEO);
    int audioStreams = m_probePipe->streamCount(MC_KIND_AUDIO);
    Any v;
    if (videoStreams > 0 && !pictureReadable(m_probePipe)) {
        // A stream FFmpeg guessed from bytes that hold no picture: encoding
        // it would only give an empty output.
        debug_trace("*** Can not open input file.\n");
        std::fprintf(stderr, "*** Input file '%s' holds no picture that decodes.\n", file.asString());
        delete m_probePipe;
        m_probePipe = nullptr;
        m_probeMap.clear();
        m_probeMap[fileitem::kValidKey] = "false";
        m_probeMap[fileitem::kVideoCodecKey] = "Invalid File Type";
        return m_probeMap;
    }
    auto video = [&](const char* name) -> const Any& {
        m_probePipe->getStreamParam(MC_KIND_VIDEO, 0, name, v);
        return v;
    };
    auto audio = [&](const char* name) -> const Any& {
        m_probePipe->getStreamParam(MC_KIND_AUDIO, 0, name, v);
        return v;
    };
    std::map<std::string, std::string>& m = m_probeMap;

    m_videoCodecValue = video("codec");
    m[fileitem::kVideoCodecKey] = m_videoCodecValue.asString();
    m[fileitem::kWidthKey] = m_widthText = intToString(video("width").asInt32());
    m[fileitem::kHeightKey] = m_heightText = intToString(video("height").asInt32());
    m[fileitem::kVBitrateKey] = m_vBitrateText = doubleToString(double(video("vBitrate")) / 1000000.0);
    m["vbr"] = m_vbrText = intToString(video("vbr").asInt32());
    m["pal"] = m_palText = intToString(video("pal").asInt32());
    m[fileitem::kFramesKey] = m_framesText = intToString(video("frames").asInt32());
    if (videoStreams > 0)
        m[fileitem::kDurationKey] = m_durationText = doubleToString(double(video("duration")));
    else
        m[fileitem::kDurationKey] = m_durationText = doubleToString(double(audio("duration")));
    m["frameAspect"] = m_frameAspectText = doubleToString(double(video("frameAspect")));
    m["pixelAspect"] = m_pixelAspectText = doubleToString(double(video("pixelAspect")));

    m_audioCodecValue = audio("codec");
    m[fileitem::kAudioCodecKey] = m_audioCodecValue.asString();
    m[fileitem::kSamplerateKey] = m_samplerateText = intToString(audio("samplerate").asInt32());
    m["bytesPerSample"] = m_bytesPerSampleText = intToString(audio("bytesPerSample").asInt32());
    m["channels"] = m_channelsText = intToString(audio("channels").asInt32());
    m[fileitem::kABitrateKey] = m_aBitrateText = intToString(audio("aBitrate").asInt32());
    m["samples"] = m_samplesText = intToString(audio("samples").asInt32());

    m[fileitem::kNumAudioStreamsKey] = m_numAudioText = intToString(audioStreams);
    m[fileitem::kNumVideoStreamsKey] = m_numVideoText = intToString(videoStreams);
    m_probePipe->getPipeParam("program_stream_flag", v);
    int flag = v.asInt32();
    m["transportStream"] = m_transportText = flag == 3 ? "1" : flag == 2 ? "0" : "-1";
    m[fileitem::kValidKey] = "true";

    delete m_probePipe;
    m_probePipe = nullptr;
    return m_probeMap;
}

double TranscodeEngine::progress()
{
    QMutexLocker guard(&m_transcoderLock);
    if (!m_busy || !m_transcoder)
        return 0.0;
    return m_transcoder->progress();
}

bool TranscodeEngine::releasePipes()
{
    QSETrans* transcoder;
    {
        // Progress reads see null from here on; the delete (which may wait
        // for the worker) happens outside the lock.
        QMutexLocker guard(&m_transcoderLock);
        transcoder = m_transcoder;
        m_transcoder = nullptr;
    }
    delete transcoder;
    delete m_encodePipe;
    m_encodePipe = nullptr;
    if (m_decodePipe) {
        Any codec;
        m_decodePipe->getStreamParam(MC_KIND_VIDEO, 0, "codec", codec);
        if (codec.isValid() && std::strstr(codec.asString(), "ProRes")) {
            // Left alive on purpose: it stays until the process ends.
            keepUntilExit(m_decodePipe);
            m_decodePipeKept = true;
        } else {
            delete m_decodePipe;
        }
    }
    m_decodePipe = nullptr;
    return true;
}

int TranscodeEngine::transcode(const char* input, const char* output, const char* presetFile,
                               bool noDeinterlace, int quadrant, int tallPart, bool pillarbox,
                               bool noAudio, int bitrateKbps)
{
    stopRequest = false;
    m_lastFailure.clear();
    // Prints a failure line on out and keeps its reason for the caller; the
    // result is -1.
    auto failed = [this](FILE* out, const char* format, auto... args) {
        std::string text;
        if constexpr (sizeof...(args) == 0) {
            text = format;
        } else {
            text.resize(size_t(std::max(0, std::snprintf(nullptr, 0, format, args...))));
            std::snprintf(text.data(), text.size() + 1, format, args...);
        }
        std::fputs(text.c_str(), out);
        m_lastFailure = reasonOf(text.c_str());
        return -1;
    };
    // Held until the worker has renamed or removed its file: declared before
    // the clean-up below, so it goes after it.
    OutputLock outputLock;
    // Declared first so that it outlives the pipes made from its preset.
    McUserPresets presets;
    // One way out: the engine is idle again, and once the pipes are set up
    // they are released (after a preset that cannot be applied they stay
    // held until the engine goes).
    bool releaseOnExit = false;
    const auto cleanUp = qScopeGuard([&] {
        m_busy = false;
        if (releaseOnExit)
            releasePipes();
    });
    Any inFile = McFile::osFname(Any(input ? input : "", 0));
    Any outFile = McFile::osFname(Any(output ? output : "", 0));
    Any presetName = McFile::osFname(Any(presetFile ? presetFile : "", 0));

    if (!McFile::isFile(inFile)) {
        debug_trace("*** Input file not found.\n");
        return failed(stderr, "*** Input file %s not found.\n", inFile.asString());
    }
    Any outFolder = McFile::getPath(outFile);
    if (!McFile::isDir(outFolder)) {
        debug_trace("*** Output path not found.\n");
        return failed(stderr, "*** Output path '%s' not found.\n", outFolder.asString());
    }
    switch (outputLock.acquire(outFile.asString())) {
    case OutputLock::Locked:
        break;
    case OutputLock::Busy:
        debug_trace("*** Output file is being written by another Quorvel.\n");
        return failed(stderr, "*** %s is being written by another Quorvel.\n", outFile.asString());
    case OutputLock::Failed: {
        const std::string why = std::strerror(errno);
        debug_trace("*** Cannot write in the output path.\n");
        return failed(stderr, "*** Cannot write in the output path '%s': %s\n", outFolder.asString(), why.c_str());
    }
    }
    {
        std::string folder, name;
        exclusivefile::splitPath(outFile.asString(), &folder, &name);
        removeLeftovers(folder, name);
    }
    if (!McFile::isFile(presetName)) {
        debug_trace("*** Preset file not found.\n");
        return failed(stderr, "*** Preset file %s not found.\n", presetName.asString());
    }

    if (presets.load(presetName, 0, nullptr) != 0) {
        debug_trace("*** Cannot load preset file");
        return failed(stderr, "*** Cannot load preset file '%s'", presetName.asString());
    }
    McPreset* preset = presets.at(0);

    m_decodePipe = McDecFactory::decodePipe(inFile, Any::invalid(), nullptr, nullptr);
    if (!m_decodePipe) {
        debug_trace("*** Can not open input file.\n");
        return failed(stderr, "*** Can not open input file '%s'.\n", inFile.asString());
    }

    m_encodePipe = McEncodePipe::create();
    if (m_encodePipe->applyPreset(preset, 0, 0) != 0) {
        debug_trace("Error appyling Preset");
        return failed(stdout, "*** %s\n", m_encodePipe->errorDesc());
    }
    releaseOnExit = true;

    int videoStreams = m_decodePipe->streamCount(MC_KIND_VIDEO);
    int audioStreams = noAudio ? 0 : m_decodePipe->streamCount(MC_KIND_AUDIO);
    Any value;
    m_decodePipe->getStreamParam(MC_KIND_VIDEO, 0, "width", value);
    int width = value.asInt32();
    m_decodePipe->getStreamParam(MC_KIND_VIDEO, 0, "height", value);
    int height = value.asInt32();

    {
        QMutexLocker guard(&m_transcoderLock);
        m_transcoder = new QSETrans;
    }
    m_transcoder->setEncoder(m_encodePipe);
    if (videoStreams > 0)
        m_encodePipe->enableStream(MC_KIND_VIDEO, Any::invalid());
    if (audioStreams > 0)
        m_encodePipe->enableStream(MC_KIND_AUDIO, Any::invalid());

    ProcessParams videoParams;
    FiltersState state;
    McVFilterSetup filters;

    bool presetHasVideo = preset->codecs(MC_PRESET_VIDEO).size() != 0;
    if (videoStreams > 0 && presetHasVideo) {
        m_decodePipe->getStreamParam(MC_KIND_VIDEO, 0, "framerate", value);
        McFramerate rate = value;
        if (!noDeinterlace && (rate.interlaced() == 1 || rate.interlaced() == 2)) {
            filters.setDeinterlace(McDeintBob);
            mc_dbg()->info("Applying Bob Deinterlace filter");
        }
    }

    if (pillarbox)
        filters.setCrop(1, width, height, McRect(0, 0, 0, 0), 0, 0, width / 6, width / 6);

    if (quadrant >= 1 && quadrant <= 4) {
        // Columns and rows of each quadrant, per source width.
        struct Cut { int width, height, padRows; };
        Cut cut{0, 0, 0};
        if (width == 3840)
            cut = {3840, 2160, 0};
        else if (width == 4096)
            cut = {4096, 2160, 67};
        else if (width == 1920)
            cut = {1920, 1080, 0};
        else if (width == 1280)
            cut = {1280, 720, 0};
        if (cut.width) {
            int halfW = cut.width / 2, halfH = cut.height / 2;
            int left = (quadrant == 2 || quadrant == 4) ? halfW : 0;
            int top = (quadrant == 3 || quadrant == 4) ? halfH : 0;
            bool upper = quadrant <= 2;
            filters.setCrop(1, cut.width, cut.height, McRect(left, top, left + halfW, top + halfH),
                            upper ? cut.padRows : 0, upper ? 0 : cut.padRows, 0, 0);
        }
    }

    if (tallPart >= 1 && tallPart <= 3 && width == 1920) {
        static const int tops[] = {0, 1080, 2160};
        static const int bottoms[] = {1080, 2160, 2454};
        filters.setCrop(1, 1920, 2454, McRect(0, tops[tallPart - 1], 1920, bottoms[tallPart - 1]), 0,
                        tallPart == 3 ? 786 : 0, 0, 0);
    }

    if (bitrateKbps > 0) {
        McCodec* videoCodec = m_encodePipe->codec(0);
        if (videoCodec)
            videoCodec->setParam("bitrate", Any(McBitrate(0, int64_t(bitrateKbps) * 1000, 0, 0, 0)));
    }

    ProcessParams audioParams;
    filters.store(state, 0);
    videoParams.setFilters(state);

    if (videoStreams > 0) {
        McCodec* videoCodec = m_encodePipe->codec(0);
        if (presetHasVideo && videoCodec) {
            Any w, h;
            videoCodec->getParam("width", w);
            videoCodec->getParam("height", h);
            if ((w.asInt32() == 720 && h.asInt32() == 480) || (w.asInt32() == 720 && h.asInt32() == 576)) {
                m_decodePipe->getStreamParam(MC_KIND_VIDEO, 0, "frameAspect", value);
                videoCodec->setParam("frameAspect", Any(value.asDouble()));
            }
        }
        if (presetHasVideo) {
            m_decodePipe->selectStream(MC_KIND_VIDEO, 0);
            m_transcoder->link(m_decodePipe, MC_KIND_VIDEO, 0, 0, videoParams);
        }
    }
    if (audioStreams > 0 && preset->codecs(MC_PRESET_AUDIO).size() != 0) {
        m_decodePipe->selectStream(MC_KIND_AUDIO, 0);
        m_transcoder->link(m_decodePipe, MC_KIND_AUDIO, 0, 0, audioParams);
    }

    if (m_encodePipe->open(255) == 0) {
        // releasePipes deletes the transcoder and the encode pipe first.
        return failed(stdout, "Error - no output streams");
    }

    m_encodePipe->setParam("filename", outFile);
    m_busy = true;
    int result = m_transcoder->transcode(false);

    if (!stopRequest) {
        while (m_transcoder->isTranscoding()) {
            McUtil::sleep(100);
            m_transcoder->getParam("deadLock", value);
            if (value.isValid() && value.asInt32() != 0) {
                std::fflush(stdout);
                std::fputs("\n\n", stderr);
                return failed(stderr, "*** Error: processing deadlock detected... abort.\n");
            }
            if (stopRequest)
                break;
        }
    }
    if (stopRequest) {
        m_transcoder->stop();
    } else if (result == 0) {
        // The start succeeded; a failure met by the worker later is the result.
        m_transcoder->getParam("result", value);
        result = value.asInt32();
    }
    if (result != 0) {
        failed(stdout, "Failed: %s", m_transcoder->errorDesc());
    }
    return result;
}
