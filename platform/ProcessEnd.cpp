#include "platform/ProcessEnd.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qp {

void disableCoreDumps()
{
    // The hard limit stays: the mail program started from here inherits the
    // limits and may want its own core files.
    rlimit limit{};
    if (::getrlimit(RLIMIT_CORE, &limit) == 0) {
        limit.rlim_cur = 0;
        ::setrlimit(RLIMIT_CORE, &limit);
    }
    // Also for core handlers fed through a pipe, which the limit does not
    // bind. Reset by exec, so the mail program is not affected.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

namespace {

int g_signalWriteEnd = -1;

extern "C" void onTerminationSignal(int signalNumber)
{
    // Only async-signal-safe calls here.
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(g_signalWriteEnd, &byte, 1);
    errno = saved;
}

std::function<void(int)>& currentHandler()
{
    static std::function<void(int)> handler;
    return handler;
}

} // namespace

void deliverTerminationSignals(std::function<void(int)> handler)
{
    currentHandler() = std::move(handler);
    if (g_signalWriteEnd >= 0)
        return;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0)
        return;
    g_signalWriteEnd = ends[0];
    const int readEnd = ends[1];
    auto* notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [readEnd] {
        unsigned char byte = 0;
        while (::read(readEnd, &byte, 1) == 1) {
            if (currentHandler())
                currentHandler()(byte);
        }
    });

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int s : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(s, &action, nullptr);
}

} // namespace qp
