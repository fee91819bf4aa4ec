#include "X11Probe.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

#include <cstring>

namespace qp::test {

namespace {

// A failed request must not end the test process (Xlib's default handler
// exits); it is reported through the result instead.
int g_lastError = 0;
int recordError(Display*, XErrorEvent* e)
{
    g_lastError = e->error_code;
    return 0;
}

struct Connection {
    explicit Connection(const QByteArray& name) : display(XOpenDisplay(name.constData()))
    {
        previous = XSetErrorHandler(recordError);
        g_lastError = 0;
    }
    ~Connection()
    {
        if (display)
            XCloseDisplay(display);
        XSetErrorHandler(previous);
    }
    Display* display;
    int (*previous)(Display*, XErrorEvent*) = nullptr;
};

} // namespace

bool sendDeleteWindow(const QByteArray& display, unsigned long window, QString* error)
{
    Connection c(display);
    if (!c.display) {
        *error = QStringLiteral("cannot open display ") + QString::fromLatin1(display);
        return false;
    }
    XEvent ev;
    std::memset(&ev, 0, sizeof ev);
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = XInternAtom(c.display, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = long(XInternAtom(c.display, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(c.display, window, False, NoEventMask, &ev);
    XSync(c.display, False);
    if (g_lastError != 0) {
        *error = QStringLiteral("X error %1 sending WM_DELETE_WINDOW").arg(g_lastError);
        return false;
    }
    return true;
}

int boundingShapeRectangles(const QByteArray& display, unsigned long window)
{
    Connection c(display);
    if (!c.display)
        return -1;
    int eventBase = 0, errorBase = 0;
    if (!XShapeQueryExtension(c.display, &eventBase, &errorBase))
        return -1;
    Bool bShaped = False, cShaped = False;
    int bx, by, cx, cy;
    unsigned bw, bh, cw, ch;
    if (!XShapeQueryExtents(c.display, window, &bShaped, &bx, &by, &bw, &bh, &cShaped, &cx, &cy, &cw, &ch)
        || g_lastError != 0)
        return -1;
    if (!bShaped)
        return 0;
    int count = 0, ordering = 0;
    XRectangle* rects = XShapeGetRectangles(c.display, window, ShapeBounding, &count, &ordering);
    if (rects)
        XFree(rects);
    XSync(c.display, False);
    return g_lastError != 0 ? -1 : count;
}

} // namespace qp::test
