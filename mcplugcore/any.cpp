// Values, dictionaries and vectors of the codec layer.
#include "mcplugcore.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

Any::Any(const char* text, size_t len) : m_type(String)
{
    if (!text)
        m_type = Invalid;
    else
        m_text = len ? std::string(text, len) : std::string(text);
}
Any::Any(const std::string& text) : m_type(String), m_text(text) {}
Any::Any(int v) : m_type(Int), m_int(v) {}
Any::Any(int64_t v) : m_type(Int), m_int(v) {}
Any::Any(double v) : m_type(Double), m_double(v) {}
Any::Any(const McBitrate& v) : m_type(Bitrate), m_bitrate(v) {}
Any::Any(const McFramerate& v) : m_type(Framerate), m_framerate(v) {}

const Any& Any::invalid()
{
    static const Any none;
    return none;
}

const char* Any::asString() const
{
    return m_type == String ? m_text.c_str() : "";
}

int64_t Any::asInt64() const
{
    switch (m_type) {
    case Int: return m_int;
    case Double: return int64_t(m_double);
    case String: return std::strtoll(m_text.c_str(), nullptr, 10);
    case Bitrate: return m_bitrate.avg;
    case Framerate: return int64_t(m_framerate.fps());
    default: return 0;
    }
}

int32_t Any::asInt32() const
{
    return int32_t(asInt64());
}

double Any::asDouble() const
{
    switch (m_type) {
    case Int: return double(m_int);
    case Double: return m_double;
    case String: return std::strtod(m_text.c_str(), nullptr);
    case Bitrate: return double(m_bitrate.avg);
    case Framerate: return m_framerate.fps();
    default: return 0.0;
    }
}

McBitrate Any::asBitrate() const
{
    if (m_type == Bitrate)
        return m_bitrate;
    if (m_type == Int || m_type == Double || m_type == String)
        return McBitrate(0, asInt64(), 0, 0, 0);
    return McBitrate();
}

McFramerate Any::asFramerate() const
{
    if (m_type == Framerate)
        return m_framerate;
    if (m_type == String) {
        int num = 0, den = 1;
        if (std::sscanf(m_text.c_str(), "%d/%d", &num, &den) >= 1 && den > 0)
            return McFramerate(num, den, 0);
    }
    if (m_type == Int)
        return McFramerate(int(m_int), 1, 0);
    return McFramerate();
}

std::string Any::toString() const
{
    char buf[64];
    switch (m_type) {
    case Int:
        std::snprintf(buf, sizeof buf, "%" PRId64, m_int);
        return buf;
    case Double:
        std::snprintf(buf, sizeof buf, "%g", m_double);
        return buf;
    case String:
        return m_text;
    case Bitrate:
        std::snprintf(buf, sizeof buf, "%" PRId64, m_bitrate.avg);
        return buf;
    case Framerate:
        std::snprintf(buf, sizeof buf, "%d/%d", m_framerate.num(), m_framerate.den());
        return buf;
    default:
        return std::string();
    }
}

void AnyDict::set(const char* key, const Any& value)
{
    m_items[key] = value;
}

Any AnyDict::get(const char* key) const
{
    auto it = m_items.find(key);
    return it == m_items.end() ? Any() : it->second;
}

bool AnyDict::has(const char* key) const
{
    return m_items.count(key) != 0;
}
