// Preset files: "[section]" headers and "key=value" lines, "#" comments.
#include "mcplugcore_p.h"

#include <fstream>

namespace {

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool positiveInt(const AnyDict& d, const char* key)
{
    std::string v = d.get(key).toString();
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return std::strtoll(v.c_str(), nullptr, 10) > 0;
}

} // namespace

const AnyVector& McPreset::codecs(int kind) const
{
    if (kind == MC_PRESET_VIDEO)
        return m_video;
    if (kind == MC_PRESET_AUDIO)
        return m_audio;
    return m_none;
}

const AnyDict& McPreset::section(const std::string& name) const
{
    static const AnyDict empty;
    auto it = m_sections.find(name);
    return it == m_sections.end() ? empty : it->second;
}

int McUserPresets::load(const Any& file, int, void*)
{
    m_presets.clear();
    m_error.clear();
    std::ifstream in(file.toString(), std::ios::binary);
    if (!in) {
        m_error = "cannot read " + file.toString();
        return 1;
    }
    auto preset = std::make_unique<McPreset>();
    std::string line, section;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']') {
                m_error = "line " + std::to_string(lineNo) + ": bad section header";
                return 2;
            }
            section = trim(line.substr(1, line.size() - 2));
            if (section != "preset" && section != "video" && section != "audio") {
                m_error = "line " + std::to_string(lineNo) + ": unknown section " + section;
                return 2;
            }
            preset->m_sections[section];
            continue;
        }
        size_t eq = line.find('=');
        if (section.empty() || eq == std::string::npos || eq == 0) {
            m_error = "line " + std::to_string(lineNo) + ": expected key=value in a section";
            return 2;
        }
        preset->m_sections[section].set(trim(line.substr(0, eq)).c_str(), Any(trim(line.substr(eq + 1))));
    }
    const AnyDict& head = preset->section("preset");
    std::string container = head.get("container").toString();
    if (container != "mpegts" && container != "mpeg") {
        m_error = "unknown container '" + container + "'";
        return 3;
    }
    if (preset->m_sections.count("video")) {
        const AnyDict& v = preset->section("video");
        if (v.get("codec").toString().empty() || !positiveInt(v, "width") || !positiveInt(v, "height")
            || v.get("framerate").asFramerate().num() <= 0 || !positiveInt(v, "bitrate")) {
            m_error = "incomplete [video] section";
            return 3;
        }
        std::string scan = v.get("scan").toString();
        if (!scan.empty() && scan != "progressive" && scan != "tff" && scan != "bff") {
            m_error = "unknown scan '" + scan + "'";
            return 3;
        }
        preset->m_video.push_back(v.get("codec"));
    }
    if (preset->m_sections.count("audio")) {
        const AnyDict& a = preset->section("audio");
        if (a.get("codec").toString().empty() || !positiveInt(a, "rate") || !positiveInt(a, "channels")
            || !positiveInt(a, "bitrate")) {
            m_error = "incomplete [audio] section";
            return 3;
        }
        preset->m_audio.push_back(a.get("codec"));
    }
    m_presets.push_back(std::move(preset));
    return 0;
}
