#include "PingProbe.h"

#include <X11/Xlib.h>

#include <chrono>
#include <poll.h>

PingProbe::~PingProbe()
{
    if (m_display)
        XCloseDisplay(static_cast<Display*>(m_display));
}

bool PingProbe::open(const char* display)
{
    Display* d = XOpenDisplay(display);
    if (!d)
        return false;
    m_display = d;
    m_root = DefaultRootWindow(d);
    m_protocols = XInternAtom(d, "WM_PROTOCOLS", False);
    m_ping = XInternAtom(d, "_NET_WM_PING", False);
    m_delete = XInternAtom(d, "WM_DELETE_WINDOW", False);
    // The answer goes to the root window, to those who listen to its
    // structure (Qt sends it with StructureNotify and SubstructureRedirect).
    XSelectInput(d, m_root, StructureNotifyMask | SubstructureNotifyMask);
    XSync(d, False);
    return true;
}

static bool sendProtocol(Display* d, unsigned long window, unsigned long protocols, unsigned long what, long stamp)
{
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = protocols;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = long(what);
    ev.xclient.data.l[1] = stamp;
    ev.xclient.data.l[2] = long(window);
    const bool ok = XSendEvent(d, window, False, NoEventMask, &ev) != 0;
    XFlush(d);
    return ok;
}

double PingProbe::ping(unsigned long window, int timeoutMs)
{
    auto* d = static_cast<Display*>(m_display);
    const long stamp = ++m_serial;
    const auto start = std::chrono::steady_clock::now();
    if (!sendProtocol(d, window, m_protocols, m_ping, stamp))
        return -1;
    for (;;) {
        while (XPending(d)) {
            XEvent ev;
            XNextEvent(d, &ev);
            if (ev.type == ClientMessage && ev.xclient.message_type == m_protocols
                && static_cast<unsigned long>(ev.xclient.data.l[0]) == m_ping && ev.xclient.data.l[1] == stamp)
                return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        }
        const double spent = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (spent >= timeoutMs)
            return -1;
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        ::poll(&p, 1, int(timeoutMs - spent) + 1);
    }
}

bool PingProbe::sendDelete(unsigned long window)
{
    return sendProtocol(static_cast<Display*>(m_display), window, m_protocols, m_delete, 0 /* CurrentTime */);
}
