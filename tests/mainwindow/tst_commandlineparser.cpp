// The option parser as a plain function: every option and its variants, every
// error with its message, the warnings and where "-sa" cuts them, label and
// mount-point destinations over a given list of volumes (one label on two
// volumes warns), options recognised only at the start of an argument so
// that Linux paths keep their meaning, the documented examples, and the
// checks that follow the parse.
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include "commandlineparser.h"

namespace {

using Parse = CommandLineParse;

const QList<CommandLineVolume> kVolumes{
    {"/", ""},
    {"/boot/efi/", "EFI"},
    {"/media/op/T9PW_Slot10/", "T9PW_Slot10"},
    {"/media/op/T9PW_Slot1/", "T9PW_Slot1"},
    {"/media/op/T9PW_Slot2/", "T9PW_Slot2"},
    {"/media/op/T9PW_Slot3/", "T9PW_Slot3"},
    {"/media/op/T9PW_Slot4/", "T9PW_Slot4"},
    {"/media/other/T9PW01/", "T9PW01"},
    {"/media/op/T9PW01/", "T9PW01"},
    {"/media/h/", "H_DRIVE"},
};

// What a parse must give; unset fields keep the job's defaults.
struct Expect {
    Parse::Action action = Parse::RunBatch;
    QStringList sources, destinations, slotTexts, volumes;
    int inputRate = 5, outputRate = 5, totalFrames = 0;
    bool force = false, silent = false, silenceAll = false;
    int outputType = Parse::Targa;
    QByteArray errorLine;
    QList<QByteArray> warnings; // those that reach the console
    QList<QByteArray> volumeWarnings;

    Expect& src(const QString& s) { sources << s; return *this; }
    Expect& dst(const QString& d, const QString& slot = "0", const QString& volume = "")
    {
        destinations << d;
        slotTexts << slot;
        volumes << volume;
        return *this;
    }
    // A slot taken before its target failed to resolve.
    Expect& slotOnly(const QString& slot) { slotTexts << slot; return *this; }
    Expect& in(int rate) { inputRate = rate; return *this; }
    Expect& out(int rate) { outputRate = rate; return *this; }
    Expect& frames(int n) { totalFrames = n; return *this; }
    Expect& forced() { force = true; return *this; }
    Expect& quiet() { silent = true; return *this; }
    Expect& mute() { silent = silenceAll = true; return *this; }
    Expect& type(int t) { outputType = t; return *this; }
    Expect& error(const QByteArray& line) { errorLine = line; return *this; }
    Expect& warn(const QByteArray& line) { warnings << line; return *this; }
    Expect& volumeWarn(const QByteArray& line) { volumeWarnings << line; return *this; }
    Expect& help() { action = Parse::ShowHelp; return *this; }
    Expect& examples() { action = Parse::ShowExamples; return *this; }
};

QList<QByteArray> bytes(const QStringList& args)
{
    QList<QByteArray> out;
    for (const QString& a : args)
        out << a.toUtf8();
    return out;
}

// A command line as a shell hands it over: split at blanks, quotes removed.
QStringList shellWords(const QString& line)
{
    QStringList words = QString(line).remove('"').split(' ', Qt::SkipEmptyParts);
    words.removeFirst(); // the program
    return words;
}

const QByteArray kLabelMissing = "ERROR: Unable to find volume '";

} // namespace

Q_DECLARE_METATYPE(Expect)

class CommandLineParserTest : public QObject {
    Q_OBJECT

    static void row(const char* name, const QStringList& args, const Expect& expect)
    {
        QTest::newRow(name) << args << expect;
    }

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<Expect>("expect");

        // Nothing at all: an empty job.
        row("no arguments", {}, Expect());

        // "-p": skipped without a word, only at the start.
        row("-p", {"-p"}, Expect());
        row("-p with more", {"-pics=/data/x", "-p7"}, Expect());

        // "-src".
        row("-src=", {"-src=/data/shots", "-src=/data/more"}, Expect().src("/data/shots").src("/data/more"));
        row("-src keeps backslashes", {"-src=C:\\src_1080"}, Expect().src("C:\\src_1080"));
        row("-src without = is ignored", {"-srcX", "-src"}, Expect());
        row("-src= with nothing", {"-src=", "-f"},
            Expect().error("ERROR: Invalid syntax '-src='\r\n"));

        // "-dst": paths, mount points and labels.
        row("-dst= path on no volume", {"-dst=/data/out"}, Expect().dst("/data/out"));
        row("-dst= a mount point shows its label", {"-dst=/media/op/T9PW_Slot2", "-dst=/media/op/T9PW_Slot3/"},
            Expect().dst("/media/op/T9PW_Slot2", "0", "T9PW_Slot2").dst("/media/op/T9PW_Slot3/", "0", "T9PW_Slot3"));
        row("-dst= a folder below a mount point", {"-dst=/media/op/T9PW_Slot2/show"},
            Expect().dst("/media/op/T9PW_Slot2/show"));
        row("-dst= paths keep their case", {"-dst=/Media/Op/T9PW_Slot2"}, Expect().dst("/Media/Op/T9PW_Slot2"));
        row("-dst= label", {"-dst=T9PW_Slot3"}, Expect().dst("/media/op/T9PW_Slot3/", "0", "T9PW_Slot3"));
        row("-dst= exact label before a longer one", {"-dst=T9PW_Slot1"},
            Expect().dst("/media/op/T9PW_Slot1/", "0", "T9PW_Slot1"));
        row("-dst= part of a label", {"-dst=Slot4"}, Expect().dst("/media/op/T9PW_Slot4/", "0", "T9PW_Slot4"));
        row("-dst= label on two volumes", {"-dst=T9PW01", "-si"},
            Expect().dst("/media/other/T9PW01/", "0", "T9PW01").quiet().volumeWarn(
                "WARNING: Volume label 'T9PW01' matches 2 mounted volumes; using /media/other/T9PW01/\r\n"));
        row("-dst= part of two labels", {"-dst4k3=W_Slot1"},
            Expect().dst("/media/op/T9PW_Slot10/", "3", "T9PW_Slot10").volumeWarn(
                "WARNING: Volume label 'W_Slot1' matches 2 mounted volumes; using /media/op/T9PW_Slot10/\r\n"));
        row("-dst= label is case-sensitive", {"-dst=t9pw_slot3", "-f"},
            Expect().slotOnly("0").error(kLabelMissing + "t9pw_slot3'\r\n"));
        row("-dst= with nothing", {"-dst="}, Expect().slotOnly("0").error("ERROR: Invalid syntax '-dst='\r\n"));
        row("-dst4k1..4=", {"-dst4k1=/q/1", "-dst4k2=T9PW_Slot2", "-dst4k3=/q/3", "-dst4k4=/media/op/T9PW_Slot4/"},
            Expect()
                .dst("/q/1", "1")
                .dst("/media/op/T9PW_Slot2/", "2", "T9PW_Slot2")
                .dst("/q/3", "3")
                .dst("/media/op/T9PW_Slot4/", "4", "T9PW_Slot4"));
        row("-dst4k5", {"-dst4k5=X", "-ifr=60", "plain"},
            Expect().error("ERROR: Invalid slot number in '-dst4k5=X'\r\n"));
        row("-dst4k0", {"-dst4k0=/x"}, Expect().error("ERROR: Invalid slot number in '-dst4k0=/x'\r\n"));
        row("-dst4k1 without =", {"-dst4k1X", "-vo=BMP"}, Expect().error("ERROR: Invalid syntax '-dst4k1X'\r\n"));
        row("-dst4k2= with nothing", {"-dst4k2="}, Expect().slotOnly("2").error("ERROR: Invalid syntax '-dst4k2='\r\n"));
        row("-dst4K1 and -dstX are ignored", {"-dst4K1=X", "-dstX", "-dst"}, Expect());

        // "-ifr" and "-ofr": every rate, then what is no rate.
        const char* const rates[] = {"23.976", "25", "29.97", "47.952", "50", "59.94", "100", "119.88"};
        for (int i = 0; i < 8; ++i) {
            const QString rate = QString::fromLatin1(rates[i]);
            QTest::newRow(qPrintable("-ifr=" + rate)) << QStringList{"-ifr=" + rate} << Expect().in(i);
            QTest::newRow(qPrintable("-ofr=" + rate)) << QStringList{"-ofr=" + rate} << Expect().out(i);
        }
        row("-ifr=60", {"-ifr=60"}, Expect().in(8).error("ERROR: Invalid input framerate specified.\r\n"));
        row("-ifr=25.0", {"-ifr=25.0"}, Expect().in(8).error("ERROR: Invalid input framerate specified.\r\n"));
        row("-ofr=24", {"-ofr=24"}, Expect().out(8).error("ERROR: Invalid output framerate specified.\r\n"));
        row("-ifr, -ofr without =", {"-ifr25", "-ofr"}, Expect());

        // "-vo".
        row("-vo=KRX", {"-vo=KRX"}, Expect().type(Parse::Krx));
        row("-vo=krx", {"-vo=krx"}, Expect().type(Parse::Krx));
        row("-vo=tga", {"-vo=KRX", "-vo=tga"}, Expect());
        row("-vo=TARGA", {"-vo=KRX", "-vo=TARGA"}, Expect());
        row("-vo=targa", {"-vo=KRX", "-vo=targa"}, Expect());
        row("-vo=BMP", {"-vo=BMP"}, Expect().type(Parse::InvalidOutput).error("ERROR: Invalid output type specified.\r\n"));
        row("-vo without =", {"-voKRX"}, Expect());

        // "-tf".
        row("-tf=100", {"-tf=100"}, Expect().frames(100));
        row("-tf=abc is every frame", {"-tf=9", "-tf=abc"}, Expect());
        row("-tf=-1", {"-tf=-1"},
            Expect().error("ERROR: Invalid total frames (must be a positive number).\r\n"));
        row("-tf without =", {"-tf100"}, Expect());

        // "-f", "-?", "-h", "-e", "-si", "-sa".
        row("-f", {"-f"}, Expect().forced());
        row("-force", {"-force"}, Expect().forced());
        row("-? ends the loop", {"-?", "-src=C:\\a", "plain"}, Expect().help());
        row("-h ends the loop", {"-f", "-h", "-ifr=60"}, Expect().forced().help());
        row("-h after an error", {"-ifr=60", "-h"},
            Expect().in(8).help().error("ERROR: Invalid input framerate specified.\r\n"));
        row("-e ends the loop", {"-e", "-vo=BMP"}, Expect().examples());
        row("-si", {"-si"}, Expect().quiet());
        row("-sa first", {"-sa", "plain", "-x"}, Expect().mute());
        row("-sa between", {"plain", "-sa", "-x"},
            Expect().mute().warn("WARNING: Ignoring unrecognized argument 'plain', possibly missing '-'\r\n"));

        // Unrecognised arguments: a warning each, the loop goes on.
        row("unrecognized", {"plain", "-x", "-ifr=25"},
            Expect()
                .in(1)
                .warn("WARNING: Ignoring unrecognized argument 'plain', possibly missing '-'\r\n")
                .warn("WARNING: Ignoring unrecognized argument '-x'\r\n"));
        row("a path alone", {"/data/my-pics"},
            Expect().warn("WARNING: Ignoring unrecognized argument '/data/my-pics', possibly missing '-'\r\n"));

        // Errors 3 to 6: the last one is reported; 0 to 2 end the loop.
        row("the last error is reported", {"-ifr=60", "-vo=BMP"},
            Expect().in(8).type(Parse::InvalidOutput).error("ERROR: Invalid output type specified.\r\n"));
        row("a volume error ends the loop", {"-dst=NoSuchLabel", "-ifr=60", "-x"},
            Expect().slotOnly("0").error(kLabelMissing + "NoSuchLabel'\r\n"));

        // Linux paths: an option is recognised by its start only.
        row("-src with -p in its path", {"-src=/data/my-pics"}, Expect().src("/data/my-pics"));
        row("-dst with -src in its path", {"-dst=/data/a-src"}, Expect().dst("/data/a-src"));
        row("-dst with -f in its path", {"-dst=/shows/x-f/out"}, Expect().dst("/shows/x-f/out"));
        row("a loose path with -f in it", {"-dst=/shows/x", "/shows/x-f/out"},
            Expect().dst("/shows/x").warn(
                "WARNING: Ignoring unrecognized argument '/shows/x-f/out', possibly missing '-'\r\n"));
        const QString all = "/data/x-p-src-dst-dst4k1-ifr-ofr-vo-tf-f-?-h-e-si-sa";
        row("every option text in every path",
            {"-src=" + all + "/in", "-dst=" + all + "/a", "-dst4k1=" + all + "/1", "-dst4k2=" + all + "/2",
             "-dst4k3=" + all + "/3", "-dst4k4=" + all + "/4", "-ifr=25", "-vo=KRX"},
            Expect()
                .src(all + "/in")
                .dst(all + "/a")
                .dst(all + "/1", "1")
                .dst(all + "/2", "2")
                .dst(all + "/3", "3")
                .dst(all + "/4", "4")
                .in(1)
                .type(Parse::Krx));

        // The examples that "-e" prints, typed into a shell. Windows paths are
        // relative here, so "C:\dst" and "H:" are volume labels.
        const QString missingDst = "ERROR: Unable to find volume 'C:\\dst'\r\n";
        QTest::newRow("example 1")
            << shellWords(R"(quorvelc -src="C:\src_1080" -dst="C:\dst" -vo=KRX)")
            << Expect().src("C:\\src_1080").slotOnly("0").error(missingDst.toUtf8());
        QTest::newRow("example 2")
            << shellWords(R"(quorvelc -src="C:\src_1080" -dst="C:\dst" -vo=TGA -f -tf=100)")
            << Expect().src("C:\\src_1080").slotOnly("0").error(missingDst.toUtf8());
        QTest::newRow("example 3")
            << shellWords(R"(quorvelc -src="C:\src_4k" -dst4k1="T9PW_Slot1" -dst4k2="H:" -ifr=47.952)")
            << Expect()
                   .src("C:\\src_4k")
                   .dst("/media/op/T9PW_Slot1/", "1", "T9PW_Slot1")
                   .slotOnly("2")
                   .error(kLabelMissing + "H:'\r\n");
        QTest::newRow("example 4")
            << shellWords(R"(quorvelc -src="C:\src_4k" -dst4k1="T9PW_Slot1" -dst4k2="T9PW_Slot2" )"
                          R"(-dst4k3="T9PW_Slot3" -dst4k4="T9PW_Slot4" -f -vo=KRX)")
            << Expect()
                   .src("C:\\src_4k")
                   .dst("/media/op/T9PW_Slot1/", "1", "T9PW_Slot1")
                   .dst("/media/op/T9PW_Slot2/", "2", "T9PW_Slot2")
                   .dst("/media/op/T9PW_Slot3/", "3", "T9PW_Slot3")
                   .dst("/media/op/T9PW_Slot4/", "4", "T9PW_Slot4")
                   .forced()
                   .type(Parse::Krx);
        QTest::newRow("example 5") << shellWords(R"(quorvelc -src="C:\src_1080" -dst="C:\dst" -vo=KRX -si)")
                                   << Expect().src("C:\\src_1080").slotOnly("0").error(missingDst.toUtf8());
        QTest::newRow("example 6") << shellWords(R"(quorvelc -sa -src="C:\src_1080" -dst="C:\dst" -vo=KRX)")
                                   << Expect().mute().src("C:\\src_1080").slotOnly("0").error(missingDst.toUtf8());
        QTest::newRow("example 7") << shellWords(R"(quorvelc -src="C:\src_1080" -dst="C:\dst" -vo=KRX -sa)")
                                   << Expect().src("C:\\src_1080").slotOnly("0").error(missingDst.toUtf8());

        // The same examples with the paths of this system.
        QTest::newRow("example 1 here") << shellWords("quorvelc -src=/data/src_1080 -dst=/data/dst -vo=KRX")
                                        << Expect().src("/data/src_1080").dst("/data/dst").type(Parse::Krx);
        QTest::newRow("example 2 here")
            << shellWords("quorvelc -src=/data/src_1080 -dst=/data/dst -vo=TGA -f -tf=100")
            << Expect().src("/data/src_1080").dst("/data/dst").forced().frames(100);
        QTest::newRow("example 3 here")
            << shellWords("quorvelc -src=/data/src_4k -dst4k1=T9PW_Slot1 -dst4k2=/media/h -ifr=47.952")
            << Expect()
                   .src("/data/src_4k")
                   .dst("/media/op/T9PW_Slot1/", "1", "T9PW_Slot1")
                   .dst("/media/h", "2", "H_DRIVE")
                   .in(3);
        QTest::newRow("example 5 here") << shellWords("quorvelc -src=/data/src_1080 -dst=/data/dst -vo=KRX -si")
                                        << Expect().src("/data/src_1080").dst("/data/dst").type(Parse::Krx).quiet();
        QTest::newRow("example 6 here") << shellWords("quorvelc -sa -src=/data/src_1080 -dst=/data/dst -vo=KRX")
                                        << Expect().mute().src("/data/src_1080").dst("/data/dst").type(Parse::Krx);
        QTest::newRow("example 7 here") << shellWords("quorvelc -src=/data/src_1080 -dst=/data/dst -vo=KRX -sa")
                                        << Expect().src("/data/src_1080").dst("/data/dst").type(Parse::Krx).mute();
    }

    void parse()
    {
        QFETCH(QStringList, args);
        QFETCH(Expect, expect);
        const Parse p = parseCommandLine(bytes(args), kVolumes);
        QCOMPARE(int(p.action), int(expect.action));
        QCOMPARE(p.job.sources, expect.sources);
        QCOMPARE(p.job.destinations, expect.destinations);
        QCOMPARE(p.job.destinationSlots, expect.slotTexts);
        QCOMPARE(p.job.volumeNames, expect.volumes);
        QCOMPARE(p.job.inputFrameRate, expect.inputRate);
        QCOMPARE(p.job.outputFrameRate, expect.outputRate);
        QCOMPARE(p.job.totalFrames, expect.totalFrames);
        QCOMPARE(p.job.force, expect.force);
        QCOMPARE(p.job.silent, expect.silent);
        QCOMPARE(p.silenceAll, expect.silenceAll);
        QCOMPARE(p.outputType, expect.outputType);
        QCOMPARE(p.errorLine(), expect.errorLine);
        QCOMPARE(p.valid(), expect.errorLine.isEmpty());
        QCOMPARE(p.argumentWarnings.mid(0, p.audibleArgumentWarnings), expect.warnings);
        QCOMPARE(p.volumeWarnings, expect.volumeWarnings);
    }

    // Every code of the error table has its message; the parse above reaches each.
    void errorMessages_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("0") << 0 << QByteArray("T9PW_Slot7") << QByteArray("ERROR: Unable to find volume 'T9PW_Slot7'\r\n");
        QTest::newRow("1") << 1 << QByteArray("-dst4k1X") << QByteArray("ERROR: Invalid syntax '-dst4k1X'\r\n");
        QTest::newRow("2") << 2 << QByteArray("-dst4k5=X") << QByteArray("ERROR: Invalid slot number in '-dst4k5=X'\r\n");
        QTest::newRow("3") << 3 << QByteArray() << QByteArray("ERROR: Invalid input framerate specified.\r\n");
        QTest::newRow("4") << 4 << QByteArray() << QByteArray("ERROR: Invalid output framerate specified.\r\n");
        QTest::newRow("5") << 5 << QByteArray() << QByteArray("ERROR: Invalid output type specified.\r\n");
        QTest::newRow("6") << 6 << QByteArray()
                           << QByteArray("ERROR: Invalid total frames (must be a positive number).\r\n");
        QTest::newRow("none") << -1 << QByteArray() << QByteArray();
    }

    void errorMessages()
    {
        QFETCH(int, code);
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, line);
        Parse p;
        p.error = Parse::Error(code);
        p.errorText = text;
        QCOMPARE(p.errorLine(), line);
    }

    // Fault: a path that is no text in the locale's encoding became another
    // path (its bytes replaced). It is refused, naming the option.
    void undecodablePaths_data()
    {
        QTest::addColumn<QByteArray>("arg");
        QTest::addColumn<QByteArray>("option");
        QTest::newRow("-dst=") << QByteArray("-dst=/tmp/caf\xe9") << QByteArray("-dst");
        QTest::newRow("-dst4k2=") << QByteArray("-dst4k2=/tmp/caf\xe9") << QByteArray("-dst4k2");
        QTest::newRow("-dst= label") << QByteArray("-dst=T9PW\xff") << QByteArray("-dst");
        QTest::newRow("-src=") << QByteArray("-src=/tmp/\xc3(") << QByteArray("-src");
    }

    void undecodablePaths()
    {
        QFETCH(QByteArray, arg);
        QFETCH(QByteArray, option);
        QTextCodec* before = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
        const Parse p = parseCommandLine({"-src=/tmp/src", arg, "-dst=/tmp/b"}, kVolumes);
        const Parse text = parseCommandLine({"-src=/tmp/src", "-dst=/tmp/caf\xc3\xa9"}, kVolumes);
        QTextCodec::setCodecForLocale(before);
        QCOMPARE(int(p.error), int(Parse::UndecodablePath));
        QCOMPARE(p.errorText, option);
        QCOMPARE(p.errorLine(), "ERROR: The path given with '" + option + "' is not valid text in this system's encoding.\r\n");
        QVERIFY(p.job.destinations.size() <= 1);
        QVERIFY(text.valid());
        QCOMPARE(text.job.destinations, QStringList{QString::fromUtf8("/tmp/caf\xc3\xa9")});
    }

    // Also: an unprivileged run that could not read the labels of mounted
    // drives says so instead of only "Unable to find volume".
    void unreadableLabelsSaySo()
    {
        QList<CommandLineVolume> volumes = kVolumes;
        volumes << CommandLineVolume{"/media/op/sdx1/", "", true} << CommandLineVolume{"/media/op/sdy1/", "", true};
        const Parse p = parseCommandLine({"-src=/tmp/src", "-dst4k1=T9PW_Slot7"}, volumes);
        QCOMPARE(int(p.error), int(Parse::VolumeNotFound));
        QCOMPARE(p.errorLine(), QByteArray("ERROR: Unable to find volume 'T9PW_Slot7': the labels of 2 mounted drives "
                                           "can be read only with administrator rights (run as root).\r\n"));
        // Found among the readable ones: nothing to say.
        QVERIFY(parseCommandLine({"-src=/tmp/src", "-dst4k1=T9PW_Slot1"}, volumes).valid());
        QCOMPARE(parseCommandLine({"-src=/tmp/src", "-dst=T9PW_Slot7"}, kVolumes).errorLine(),
                 QByteArray("ERROR: Unable to find volume 'T9PW_Slot7'\r\n"));
    }

    void checks_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QList<QByteArray>>("lines");
        const QByteArray noSrc = "ERROR: Required parameter '-src' missing.\r\n";
        const QByteArray noDst = "ERROR: Required parameter '-dst' missing.\r\n";
        const QByteArray badList = "ERROR: Incorrectly processed destination list.\r\n";
        QTest::newRow("nothing") << QStringList() << QList<QByteArray>{noSrc, noDst, badList};
        QTest::newRow("no destination") << QStringList{"-src=/a"} << QList<QByteArray>{noDst, badList};
        QTest::newRow("no source") << QStringList{"-dst=/b"} << QList<QByteArray>{noSrc};
        QTest::newRow("complete") << QStringList{"-src=/a", "-dst4k2=T9PW_Slot2", "-dst=/c"} << QList<QByteArray>();
    }

    void checks()
    {
        QFETCH(QStringList, args);
        QFETCH(QList<QByteArray>, lines);
        const Parse p = parseCommandLine(bytes(args), kVolumes);
        QVERIFY(p.valid());
        QCOMPARE(checkCommandLineJob(p.job), lines);
        CommandLineBatchJob outOfStep = p.job;
        outOfStep.volumeNames << "extra";
        QVERIFY(checkCommandLineJob(outOfStep).contains("ERROR: Incorrectly processed destination list.\r\n"));
    }

    // The folders: sources must hold something, destinations are made one
    // level deep, also after a source failed.
    void folders()
    {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString full = tmp.filePath("full"), empty = tmp.filePath("empty");
        QVERIFY(QDir().mkpath(full + "/x") && QDir().mkpath(empty));
        auto jobOf = [](const QStringList& sources, const QStringList& destinations) {
            CommandLineBatchJob job;
            job.sources = sources;
            job.destinations = destinations;
            for (int i = 0; i < destinations.size(); ++i) {
                job.destinationSlots << "0";
                job.volumeNames << "";
            }
            return job;
        };
        const QByteArray root = QFile::encodeName(tmp.path());

        FolderCheck c = prepareCommandLineFolders(jobOf({full}, {tmp.filePath("out1"), tmp.filePath("out2")}));
        QCOMPARE(c.errors, QList<QByteArray>());
        QVERIFY(c.destinationsReady);
        QVERIFY(QFileInfo(tmp.filePath("out1")).isDir() && QFileInfo(tmp.filePath("out2")).isDir());

        c = prepareCommandLineFolders(jobOf({tmp.filePath("gone"), empty}, {tmp.filePath("out3")}));
        QCOMPARE(c.errors, QList<QByteArray>{"ERROR: Source directory '" + root + "/gone' doesn't exist!\r\n"});
        QVERIFY(c.destinationsReady);
        QVERIFY(QFileInfo(tmp.filePath("out3")).isDir());

        c = prepareCommandLineFolders(jobOf({full, empty}, {tmp.filePath("a/b"), tmp.filePath("out4")}));
        QCOMPARE(c.errors, (QList<QByteArray>{
                               "ERROR: Source directory '" + root + "/empty' is empty!\r\n",
                               "ERROR: Unable to access resource to verify/create output directory in '" + root
                                   + "/a/b'\r\n"}));
        QVERIFY(!c.destinationsReady);
        QVERIFY(!QFileInfo::exists(tmp.filePath("out4")));

        // Without a destination nothing is looked at.
        c = prepareCommandLineFolders(jobOf({tmp.filePath("gone")}, {}));
        QVERIFY(c.errors.isEmpty() && c.destinationsReady);
    }
};

QTEST_GUILESS_MAIN(CommandLineParserTest)
#include "tst_commandlineparser.moc"
