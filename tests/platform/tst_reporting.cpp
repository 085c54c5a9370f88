// The reporting seam: the installed reporter receives each report whole, the
// one replaced comes back, reports made while one is handled get through, the
// default writes the printed line on standard error, and the printed line's
// bytes for every level and form.
#include <QTemporaryFile>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

#include "reporting.h"

using reporting::Level;
using reporting::Printed;
using reporting::Report;

Q_DECLARE_METATYPE(reporting::Level)
Q_DECLARE_METATYPE(reporting::Printed)

namespace {

QList<Report> g_received;

void record(const Report& report)
{
    g_received << report;
}

// What one file descriptor receives while it lives.
class FdCapture {
public:
    explicit FdCapture(int fd)
        : m_fd(fd)
    {
        m_file.open();
        std::fflush(nullptr);
        m_saved = ::dup(fd);
        ::dup2(m_file.handle(), fd);
    }
    ~FdCapture() { stop(); }
    QByteArray stop()
    {
        if (m_saved >= 0) {
            std::fflush(nullptr);
            ::dup2(m_saved, m_fd);
            ::close(m_saved);
            m_saved = -1;
        }
        QFile file(m_file.fileName());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    int m_fd;
    int m_saved = -1;
    QTemporaryFile m_file;
};

} // namespace

class TestReporting : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        g_received.clear();
        reporting::install(record);
    }
    void cleanupTestCase() { reporting::install({}); }

    void installedReporterReceivesTheReport_data()
    {
        QTest::addColumn<Level>("level");
        QTest::addColumn<Printed>("printed");
        QTest::newRow("information") << Level::Information << Printed::ByLevel;
        QTest::newRow("warning printed as an error") << Level::Warning << Printed::AsError;
        QTest::newRow("error, cursor left open") << Level::Error << Printed::AsErrorOpen;
    }

    void installedReporterReceivesTheReport()
    {
        QFETCH(Level, level);
        QFETCH(Printed, printed);
        QObject window;
        FdCapture out(1), err(2);
        reporting::report(level, "Unable to write /data/out/shot0003.tga", &window, printed);
        QCOMPARE(out.stop(), QByteArray());
        QCOMPARE(err.stop(), QByteArray());
        QCOMPARE(g_received.size(), 1);
        QCOMPARE(g_received[0].level, level);
        QCOMPARE(g_received[0].text, QString("Unable to write /data/out/shot0003.tga"));
        QCOMPARE(g_received[0].parent, &window);
        QCOMPARE(g_received[0].printed, printed);
    }

    void aReportWithoutParentOrForm()
    {
        reporting::report(Level::Warning, "no window");
        QCOMPARE(g_received.size(), 1);
        QVERIFY(!g_received[0].parent);
        QCOMPARE(g_received[0].printed, Printed::ByLevel);
    }

    void theReplacedReporterComesBack()
    {
        QStringList other;
        const reporting::Reporter previous =
            reporting::install([&other](const Report& report) { other << report.text; });
        QVERIFY(previous);
        reporting::report(Level::Error, "to the other");
        QVERIFY(reporting::installed());
        const reporting::Reporter replaced = reporting::install(previous);
        reporting::report(Level::Error, "back to the first");
        QCOMPARE(other, QStringList{"to the other"});
        QCOMPARE(g_received.size(), 1);
        QCOMPARE(g_received[0].text, QString("back to the first"));
        // The one handed back is the other reporter itself.
        replaced(Report{Level::Error, "handed back", nullptr, Printed::ByLevel});
        QCOMPARE(other, (QStringList{"to the other", "handed back"}));
    }

    // A box's event loop may report again, or install another reporter,
    // before the first report returns.
    void reportsWhileOneIsHandled()
    {
        QStringList seen;
        reporting::install([&seen](const Report& report) {
            seen << report.text;
            if (report.text == "outer") {
                reporting::report(Level::Error, "inner");
                reporting::install(record);
            }
        });
        reporting::report(Level::Error, "outer");
        reporting::report(Level::Error, "after");
        QCOMPARE(seen, (QStringList{"outer", "inner"}));
        QCOMPARE(g_received.size(), 1);
        QCOMPARE(g_received[0].text, QString("after"));
    }

    void defaultWritesOnStandardError()
    {
        const reporting::Reporter previous = reporting::install({});
        QVERIFY(!reporting::installed());
        FdCapture out(1), err(2);
        reporting::report(Level::Warning, "Q4 out/ is no longer mounted.", nullptr, Printed::AsError);
        reporting::report(Level::Information, "Drive indexed successfully.");
        // Ended even when the printed form leaves the cursor on its line.
        reporting::report(Level::Error, "Error indexing /media/x (unable to open device).", nullptr,
                          Printed::AsErrorOpen);
        const QByteArray printed = out.stop();
        const QByteArray written = err.stop();
        reporting::install(previous);
        QCOMPARE(printed, QByteArray());
        QCOMPARE(written, QByteArray("ERROR: Q4 out/ is no longer mounted.\n"
                                     "Drive indexed successfully.\n"
                                     "ERROR: Error indexing /media/x (unable to open device).\n"));
        QVERIFY(g_received.isEmpty());
    }

    void printedLine_data()
    {
        QTest::addColumn<Level>("level");
        QTest::addColumn<Printed>("printed");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("line");
        const QString t = "Unable to open source frame 6.";
        QTest::newRow("information by level") << Level::Information << Printed::ByLevel << t
                                              << QByteArray("Unable to open source frame 6.\n");
        QTest::newRow("warning by level") << Level::Warning << Printed::ByLevel << t
                                          << QByteArray("Warning: Unable to open source frame 6.\n");
        QTest::newRow("error by level") << Level::Error << Printed::ByLevel << t
                                        << QByteArray("ERROR: Unable to open source frame 6.\n");
        QTest::newRow("information as error") << Level::Information << Printed::AsError << t
                                              << QByteArray("ERROR: Unable to open source frame 6.\n");
        QTest::newRow("warning as error") << Level::Warning << Printed::AsError << t
                                          << QByteArray("ERROR: Unable to open source frame 6.\n");
        QTest::newRow("error as error") << Level::Error << Printed::AsError << t
                                        << QByteArray("ERROR: Unable to open source frame 6.\n");
        QTest::newRow("error left open") << Level::Error << Printed::AsErrorOpen << t
                                         << QByteArray("ERROR: Unable to open source frame 6.");
        QTest::newRow("warning left open") << Level::Warning << Printed::AsErrorOpen << t
                                           << QByteArray("ERROR: Unable to open source frame 6.");
        QTest::newRow("format characters as they are") << Level::Error << Printed::AsError
                                                       << QString("100% of %s done %n")
                                                       << QByteArray("ERROR: 100% of %s done %n\n");
        QTest::newRow("lines inside kept") << Level::Warning << Printed::AsError
                                           << QString("Cannot export.\n\nPlease select another.")
                                           << QByteArray("ERROR: Cannot export.\n\nPlease select another.\n");
        QTest::newRow("each line an error") << Level::Error << Printed::AsErrorLines
                                            << QString("Error indexing /media/a/ (invalid file name).\n"
                                                       "Error indexing /media/b/ (unable to open device).")
                                            << QByteArray("ERROR: Error indexing /media/a/ (invalid file name).\n"
                                                          "ERROR: Error indexing /media/b/ (unable to open device).\n");
        QTest::newRow("one line an error") << Level::Warning << Printed::AsErrorLines << t
                                           << QByteArray("ERROR: Unable to open source frame 6.\n");
        QTest::newRow("empty text") << Level::Warning << Printed::ByLevel << QString()
                                    << QByteArray("Warning: \n");
        QTest::newRow("cut at a NUL") << Level::Error << Printed::ByLevel << QString::fromLatin1("before\0after", 12)
                                      << QByteArray("ERROR: before\n");
    }

    void printedLine()
    {
        QFETCH(Level, level);
        QFETCH(Printed, printed);
        QFETCH(QString, text);
        QFETCH(QByteArray, line);
        const Report report{level, text, nullptr, printed};
        QCOMPARE(reporting::printedLine(report), line);
        // Line by line, the same bytes: one piece unless each line is one.
        const QList<QByteArray> lines = reporting::printedLines(report);
        QCOMPARE(lines.join(), line);
        QCOMPARE(lines.size(), printed == Printed::AsErrorLines ? text.count('\n') + 1 : 1);
    }

    // The reporter says whether it can ask the user; that goes with it when
    // it is handed back and installed again.
    void reporterSaysWhetherItCanAsk()
    {
        QVERIFY(!reporting::canAsk());
        reporting::install(reporting::Reporter(record, true));
        QVERIFY(reporting::canAsk());
        const reporting::Reporter asking = reporting::install([](const Report&) {});
        QVERIFY(asking.canAsk());
        QVERIFY(!reporting::canAsk());
        reporting::Reporter copy = asking;
        reporting::install(copy);
        QVERIFY(reporting::canAsk());
        reporting::report(Level::Error, "to the asking one");
        QCOMPARE(g_received.size(), 1);
        // Nothing to ask with: the default cannot.
        reporting::install(reporting::Reporter(std::function<void(const Report&)>(), true));
        QVERIFY(!reporting::canAsk());
        reporting::install({});
        QVERIFY(!reporting::canAsk());
    }

    void messageLevels_data()
    {
        QTest::addColumn<int>("message");
        QTest::addColumn<Level>("level");
        QTest::newRow("information") << int(reporting::InformationMessage) << Level::Information;
        QTest::newRow("warning") << int(reporting::WarningMessage) << Level::Warning;
        QTest::newRow("error") << int(reporting::ErrorMessage) << Level::Error;
        QTest::newRow("no icon") << 0 << Level::Warning;
        QTest::newRow("question icon") << 4 << Level::Warning;
    }

    void messageLevels()
    {
        QFETCH(int, message);
        QFETCH(Level, level);
        QCOMPARE(reporting::levelOf(message), level);
    }
};

QTEST_GUILESS_MAIN(TestReporting)
#include "tst_reporting.moc"
