// Library start and end, the log, the plug-in registry and file helpers.
#include "mcplugcore_p.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <sys/stat.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace {

std::recursive_mutex g_lock; // start count, log file, registry
int g_initCount = 0;
FILE* g_log = nullptr;

void writeLog(const char* text)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    if (!g_log)
        return;
    std::string stamp = QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz ").toStdString();
    std::fputs(stamp.c_str(), g_log);
    std::fputs(text, g_log);
    size_t n = std::strlen(text);
    if (n == 0 || text[n - 1] != '\n')
        std::fputc('\n', g_log);
    std::fflush(g_log);
}

void ffmpegLog(void* avcl, int level, const char* fmt, va_list vl)
{
    if (level > AV_LOG_INFO)
        return;
    char line[1024];
    int printPrefix = 1;
    av_log_format_line2(avcl, level, fmt, vl, line, sizeof line, &printPrefix);
    const char* tag = level <= AV_LOG_ERROR ? "[error] " : level <= AV_LOG_WARNING ? "[warning] " : "[info] ";
    std::string text = std::string(tag) + line;
    writeLog(text.c_str());
}

bool componentExists(const std::string& kind, const std::string& name)
{
    if (kind == "demuxer") {
        if (name == "*") {
            void* it = nullptr;
            return av_demuxer_iterate(&it) != nullptr;
        }
        return av_find_input_format(name.c_str()) != nullptr;
    }
    if (kind == "encoder")
        return avcodec_find_encoder_by_name(name.c_str()) != nullptr;
    if (kind == "muxer")
        return av_guess_format(name.c_str(), nullptr, nullptr) != nullptr;
    return false;
}

struct Registration {
    std::string kind, codec, component;
};
std::vector<Registration> g_registered;

} // namespace

namespace mcp {

std::string ffError(const char* call, int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, text, sizeof text);
    return std::string(call) + ": " + text;
}

void logLine(const std::string& text)
{
    writeLog(text.c_str());
}

std::string component(const std::string& kind, const std::string& name)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    for (const Registration& r : g_registered)
        if (r.kind == kind && (r.codec == name || (kind == "demuxer" && r.codec == "*")))
            return r.component;
    return std::string();
}

} // namespace mcp

int init_wrapper(const AnyDict* dict)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    if (g_initCount++ > 0)
        return 0;
    if (dict) {
        std::string path = dict->get("logfile").toString();
        if (!path.empty())
            g_log = std::fopen(path.c_str(), "a");
    }
    av_log_set_level(AV_LOG_INFO);
    av_log_set_callback(ffmpegLog);
    writeLog("codec layer started");
    return g_log || !dict || dict->get("logfile").toString().empty() ? 0 : 1;
}

void cleanup_wrapper()
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    if (g_initCount == 0 || --g_initCount > 0)
        return;
    writeLog("codec layer stopped");
    av_log_set_callback(av_log_default_callback);
    if (g_log)
        std::fclose(g_log);
    g_log = nullptr;
    g_registered.clear();
    mc_registry()->clear();
}

void debug_trace(const char* text)
{
    if (text)
        writeLog(text);
}

void McDbgLog::info(const char* format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    writeLog(text);
}

McDbgLog* mc_dbg()
{
    static McDbgLog log;
    return &log;
}

McRegistry* mc_registry()
{
    static McRegistry registry;
    return &registry;
}

int McRegistry::scanFolder(const Any& folder)
{
    QDir dir(QString::fromStdString(folder.toString()));
    int added = 0;
    const QStringList files = dir.entryList({"*.mcp"}, QDir::Files, QDir::Name);
    for (const QString& name : files) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            continue;
        Registration r;
        QTextStream in(&file);
        while (!in.atEnd()) {
            QString line = in.readLine().trimmed();
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            int eq = line.indexOf('=');
            if (eq < 0)
                continue;
            QString key = line.left(eq).trimmed(), value = line.mid(eq + 1).trimmed();
            if (key == "kind")
                r.kind = value.toStdString();
            else if (key == "codec")
                r.codec = value.toStdString();
            else if (key == "component")
                r.component = value.toStdString();
        }
        if (r.kind.empty() || r.codec.empty() || r.component.empty()) {
            writeLog(("plug-in descriptor " + name.toStdString() + " is incomplete").c_str());
            continue;
        }
        if (!componentExists(r.kind, r.component)) {
            writeLog(("plug-in " + name.toStdString() + ": FFmpeg has no " + r.kind + " '" + r.component + "'").c_str());
            continue;
        }
        std::lock_guard<std::recursive_mutex> guard(g_lock);
        bool known = false;
        for (const Registration& old : g_registered)
            known = known || (old.kind == r.kind && old.codec == r.codec);
        if (!known)
            g_registered.push_back(r);
        std::string id = r.kind + ":" + r.codec;
        bool listed = false;
        for (const std::string& c : m_components)
            listed = listed || c == id;
        if (!listed)
            m_components.push_back(id);
        ++added;
    }
    return added > 0 ? 0 : 1;
}

bool McRegistry::has(const std::string& component) const
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    for (const std::string& c : m_components)
        if (c == component)
            return true;
    return false;
}

size_t McRegistry::count() const
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return m_components.size();
}

void McRegistry::clear()
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    m_components.clear();
}

Any McFile::osFname(const Any& path)
{
    return Any(QDir::cleanPath(QString::fromStdString(path.toString())).toStdString());
}

bool McFile::isFile(const Any& path)
{
    std::string p = path.toString();
    struct stat st;
    // Only regular files: a FIFO or device would block or never end.
    return !p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool McFile::isDir(const Any& path)
{
    std::string p = path.toString();
    return !p.empty() && QFileInfo(QString::fromStdString(p)).isDir();
}

Any McFile::getPath(const Any& path)
{
    QFileInfo info(QString::fromStdString(path.toString()));
    return Any(info.path().toStdString());
}

void McUtil::sleep(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int McCodec::getParam(const char* name, Any& value)
{
    if (!m_params.has(name)) {
        value = Any();
        return 1;
    }
    value = m_params.get(name);
    return 0;
}

int McCodec::setParam(const char* name, const Any& value)
{
    m_params.set(name, value);
    return 0;
}
