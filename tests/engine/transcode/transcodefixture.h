// What the transcode test programs share: inputs made by the ffmpeg program
// (each program makes only those it uses), a home of their own for the log,
// and one transcode on a fresh engine.
#pragma once

#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>

#include <string>

#include "mediautil.h"
#include "transcodeengine.h"

namespace transcodetest {

const QColor kRed(255, 0, 0), kGreen(0, 255, 0), kBlue(0, 0, 255), kWhite(255, 255, 255), kBlack(0, 0, 0);

inline std::string s(const QString& q)
{
    return q.toStdString();
}

// The test class of each program derives from this one.
class Fixture : public QObject {
protected:
    QTemporaryDir m_dir;
    QTemporaryDir m_home;

    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString preset(const QString& name) const { return QDir::currentPath() + "/Presets/" + name + ".mps"; }
    QString plugins() const { return QDir::currentPath() + "/Plugins"; }
    QString logText() const
    {
        QFile f(m_home.filePath("Documents/Ostrand Kelvane Inc/Quorvel/QuorvelLog.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    // Keeps the log inside the test and makes the named inputs; false (with
    // ffmpeg's complaint in the test log) when one cannot be made.
    bool prepare(const QStringList& inputs)
    {
        if (!m_dir.isValid() || !m_home.isValid())
            return false;
        // The log lives in the documents folder.
        qputenv("HOME", m_home.path().toUtf8());
        qunsetenv("XDG_CONFIG_HOME");
        qunsetenv("XDG_DOCUMENTS_DIR");
        QCoreApplication::setOrganizationName("Ostrand Kelvane Inc");
        QCoreApplication::setApplicationName("Quorvel");
        QList<QStringList> commands;
        for (const QString& name : inputs) {
            if (name == "notes.txt") {
                if (!writeOld(path(name), "Show running order\n1. Opening\n2. Finale\n"))
                    return false;
                continue;
            }
            const QStringList command = recipe(name);
            if (command.isEmpty())
                return false;
            commands << command;
        }
        return media::ffmpegAll(commands);
    }

    // One transcode on a fresh engine; what it printed goes to *printed / *errors.
    int transcode(const QString& in, const QString& out, const QString& presetName, bool noDeint = false,
                  int quadrant = 0, int tallPart = 0, bool pillarbox = false, bool noAudio = false, int kbps = 0,
                  QByteArray* printed = nullptr, QByteArray* errors = nullptr)
    {
        TranscodeEngine engine(plugins().toUtf8().constData());
        int result = -100;
        QByteArray err;
        QByteArray printedText = media::capture(stdout, [&] {
            err = media::capture(stderr, [&] {
                result = engine.transcode(in.toUtf8().constData(), out.toUtf8().constData(),
                                          presetName.toUtf8().constData(), noDeint, quadrant, tallPart, pillarbox,
                                          noAudio, kbps);
            });
        });
        if (printed)
            *printed = printedText;
        if (errors)
            *errors = err;
        if (engine.progress() != 0.0)
            return -200; // progress must read 0.0 after every transcode
        return result;
    }

    // Files of folder other than the given names (temporary or lock files left behind).
    static QStringList leftovers(const QString& folder, const QStringList& expected)
    {
        QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
        for (const QString& e : expected)
            names.removeAll(e);
        return names;
    }
    static bool writeOld(const QString& file, const QByteArray& data)
    {
        QFile f(file);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
    }
    static QByteArray read(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    // The ffmpeg arguments that make the input name: short inputs of few
    // frames, so that a loaded machine gets through them. Empty when there is
    // none of that name.
    QStringList recipe(const QString& name)
    {
        const QString tone = "sine=frequency=440:sample_rate=48000";
        auto quads = [&](int w, int h) {
            const QString size = QString("%1x%2").arg(w / 2).arg(h / 2);
            return QStringList{"-f", "lavfi", "-i", "color=0xFF0000:size=" + size + ":rate=25", "-f", "lavfi", "-i",
                               "color=0x00FF00:size=" + size + ":rate=25", "-f", "lavfi", "-i",
                               "color=0x0000FF:size=" + size + ":rate=25", "-f", "lavfi", "-i",
                               "color=0xFFFFFF:size=" + size + ":rate=25", "-filter_complex",
                               "[0][1]hstack[t];[2][3]hstack[b];[t][b]vstack,format=yuv420p", "-frames:v", "2",
                               "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0"};
        };
        const QHash<QString, QStringList> recipes{
            {"p1080.mp4",
             {"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30000/1001", "-f", "lavfi", "-i", tone, "-t", "0.5",
              "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-ac", "2"}},
            // Fields of alternating brightness: frame 2k is dark, 2k+1 bright,
            // then woven top field first.
            {"i1080.ts",
             {"-f", "lavfi", "-i",
              "color=black:size=64x36:rate=60000/1001,geq=lum='if(mod(N\\,2)\\,235\\,16)':cb=128:cr=128,"
              "scale=1920:1080:flags=neighbor",
              "-f", "lavfi", "-i", tone, "-t", "0.5", "-vf", "tinterlace=interleave_top,fieldorder=tff", "-flags",
              "+ildct+ilme", "-c:v", "libx264", "-preset", "ultrafast", "-x264-params", "tff=1", "-c:a", "ac3", "-ac",
              "2", "-f", "mpegts"}},
            {"q3840.mp4", quads(3840, 2160)},
            {"q4096.mp4", quads(4096, 2160)},
            {"q3840x1600.mp4", quads(3840, 1600)},
            {"tall.mp4",
             {"-f", "lavfi", "-i", "color=0xFF0000:size=1920x1080:rate=25", "-f", "lavfi", "-i",
              "color=0x00FF00:size=1920x1080:rate=25", "-f", "lavfi", "-i", "color=0x0000FF:size=1920x294:rate=25",
              "-filter_complex", "[0][1][2]vstack=inputs=3,format=yuv420p", "-frames:v", "2", "-c:v", "libx264",
              "-preset", "ultrafast", "-qp", "0"}},
            {"white.mp4",
             {"-f", "lavfi", "-i", "color=white:size=1920x1080:rate=25", "-frames:v", "2", "-c:v", "libx264",
              "-preset", "ultrafast"}},
            {"tone.ac3", {"-f", "lavfi", "-i", tone, "-t", "1", "-ac", "2", "-c:a", "ac3"}},
            {"prores.mov",
             {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t", "0.5", "-c:v",
              "prores_ks", "-c:a", "pcm_s16le"}},
            {"ps.mpg",
             {"-f", "lavfi", "-i", "testsrc2=size=720x576:rate=25", "-f", "lavfi", "-i", tone, "-t", "0.5", "-c:v",
              "mpeg2video", "-c:a", "mp2", "-f", "vob"}},
            {"long.mp4",
             {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", tone, "-t", "20", "-c:v",
              "libx264", "-preset", "ultrafast", "-c:a", "aac"}},
        };
        if (!recipes.contains(name))
            qWarning("no recipe for the input %s", qPrintable(name));
        return recipes.contains(name) ? recipes.value(name) + QStringList{path(name)} : QStringList();
    }
};

} // namespace transcodetest
