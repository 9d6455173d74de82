#include "HelperOutput.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace HelperOutput {

namespace {

bool lost = false;

bool writeBytes(std::FILE *stream, const QByteArray &bytes)
{
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size())
        && std::fflush(stream) == 0;
}

void writeLine(std::FILE *stream, const QString &line)
{
    if (!writeBytes(stream, line.simplified().toUtf8() + '\n'))
        lost = true;
}

} // namespace

void say(const QString &line)
{
    writeLine(stdout, line);
}

void complain(const QString &text)
{
    for (const QString &line : text.split(QLatin1Char('\n')))
        writeLine(stderr, line);
}

bool writeText(const QString &text)
{
    return writeBytes(stdout, text.toUtf8());
}

bool outputLost()
{
    return lost;
}

void endAbnormally()
{
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef Q_OS_WIN
    // abort() of the older C runtime exits with code 3, which counts as a
    // normal exit; this status is what a fail-fast abort reports.
    TerminateProcess(GetCurrentProcess(), 0xC0000409u);
    std::_Exit(3);
#else
#ifdef Q_OS_LINUX
    // A deliberate stop, not a fault to debug: leave no core file behind.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    std::signal(SIGABRT, SIG_DFL);
    std::abort();
#endif
}

} // namespace HelperOutput
