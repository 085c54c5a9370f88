// Start-up shared by Quorvel and quorvelc.
#include "programstart.h"

#include <QByteArray>
#include <QGuiApplication>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "elevatedrun.h"

namespace {

const char kOffscreen[] = "offscreen";

} // namespace

bool ProgramStart::opensWindow(Program program, int argc, char** argv)
{
    if (argc < 2)
        return program == Windowed;
    if (std::strcmp(argv[1], "-ucconvert") == 0)
        return true;
    // With a drive, quorvelc prints the result where Quorvel shows a box.
    if (std::strcmp(argv[1], "-ucindex") == 0)
        return argc < 3 || argv[2][0] == '\0' || program == Windowed;
    return false;
}

void ProgramStart::choosePlatform(bool window)
{
    if (!window) {
        qputenv("QT_QPA_PLATFORM", kOffscreen);
        return;
    }
    QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
    if (chosen.isEmpty())
        chosen = "xcb";
    // Without a fallback Qt aborts when the display does not answer.
    if (!chosen.split(';').contains(kOffscreen))
        qputenv("QT_QPA_PLATFORM", chosen + ';' + kOffscreen);
}

bool ProgramStart::displayAnswered()
{
    if (QGuiApplication::platformName() != QLatin1String(kOffscreen))
        return true;
    return qgetenv("QT_QPA_PLATFORM").split(';').value(0) == kOffscreen;
}

void ProgramStart::settleProcess()
{
    // The QApplication took the user's locale for everything, numbers too.
    std::setlocale(LC_NUMERIC, "C");
    std::signal(SIGPIPE, SIG_IGN);
}

void ProgramStart::reopenClosedStandardStreams()
{
    // A descriptor left closed would be the next file opened, and printed
    // lines would land in it.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

ProgramStart::ProgramStart(Program program, int& argc, char** argv)
{
    reopenClosedStandardStreams();
    elevatedrun::noteCaller();
    elevatedrun::useCallerDisplayCookie();
    const bool window = opensWindow(program, argc, argv);
    const QByteArray what = argc < 2 ? QByteArray("Quorvel") : "'" + QByteArray(argv[1]) + "'";
    choosePlatform(window);
    m_app.reset(new QApplication(argc, argv));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    // The codec layer is chatty on standard error; the programs report what matters.
    if (!std::freopen("/dev/null", "w", stderr)) {
        // Keep the original stream if /dev/null cannot be opened.
    }
    settleProcess();
    if (window && !displayAnswered()) {
        std::printf("ERROR: %s opens a window, but no display is available (DISPLAY is not set or does "
                    "not answer).\r\n",
                    what.constData());
        std::fflush(stdout);
        m_ready = false;
    }
}

ProgramStart::~ProgramStart() = default;
