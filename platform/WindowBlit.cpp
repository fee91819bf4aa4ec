#include "platform/WindowBlit.h"

#include <QEvent>
#include <QGuiApplication>
#include <QWindow>

#include <algorithm>
#include <cstdlib>

#if defined(QP_HAVE_XCB)
#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>
#endif

namespace qp {

// The top-level window's X11 window and what drawing into it needs, looked
// up once per native window (Qt makes a new one when always-on-top is
// switched).
struct WindowBlit::Target {
#if defined(QP_HAVE_XCB)
    xcb_connection_t* connection = nullptr;
    xcb_window_t window = 0;
    xcb_gcontext_t gc = 0;
    quint8 depth = 0;
    quint32 maxRequestBytes = 0;
    bool usable = false;

    ~Target() { release(); }

    // The display connection when the program runs on X11, else null.
    static xcb_connection_t* displayConnection()
    {
        static xcb_connection_t* const connection = [] {
            auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
            return x11 ? x11->connection() : nullptr;
        }();
        return connection;
    }

    void release()
    {
        if (gc && qGuiApp)
            xcb_free_gc(connection, gc);
        gc = 0;
        usable = false;
    }

    bool attach(xcb_connection_t* c, xcb_window_t w)
    {
        if (c == connection && w == window)
            return usable;
        release();
        connection = c;
        window = w;
        const auto geometryCookie = xcb_get_geometry(c, w);
        const auto attributesCookie = xcb_get_window_attributes(c, w);
        xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(c, geometryCookie, nullptr);
        xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(c, attributesCookie, nullptr);
        const bool ok = geometry && attributes && plainTrueColour(c, geometry->depth, attributes->visual);
        if (ok)
            depth = geometry->depth;
        std::free(geometry);
        std::free(attributes);
        if (!ok)
            return false;
        // The request header takes 24 bytes.
        maxRequestBytes = xcb_get_maximum_request_length(c) * 4 - 24;
        gc = xcb_generate_id(c);
        const quint32 noExposures = 0;
        xcb_create_gc(c, gc, w, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
        usable = true;
        return true;
    }

    // Pixels the server takes as they lie in a 32-bit QImage.
    static bool plainTrueColour(xcb_connection_t* c, quint8 depth, xcb_visualid_t visual)
    {
        const xcb_setup_t* setup = xcb_get_setup(c);
        if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
            return false;
        bool formatOk = false;
        for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
            if (f.data->depth == depth)
                formatOk = f.data->bits_per_pixel == 32 && f.data->scanline_pad == 32;
        }
        if (!formatOk)
            return false;
        for (auto s = xcb_setup_roots_iterator(setup); s.rem; xcb_screen_next(&s)) {
            for (auto d = xcb_screen_allowed_depths_iterator(s.data); d.rem; xcb_depth_next(&d)) {
                for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
                    if (v.data->visual_id == visual)
                        return v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR && v.data->red_mask == 0xff0000
                            && v.data->green_mask == 0xff00 && v.data->blue_mask == 0xff;
                }
            }
        }
        return false;
    }
#endif
};

WindowBlit::WindowBlit(QObject* parent)
    : QObject(parent)
{
}

WindowBlit::~WindowBlit() = default;

bool WindowBlit::visibleRegion(const QWidget* widget, QRegion* region)
{
    QRegion visible(widget->rect());
    // Its own children are drawn over it.
    for (const QObject* child : widget->children()) {
        if (!child->isWidgetType())
            continue;
        const auto* inner = static_cast<const QWidget*>(child);
        if (inner->isWindow() || !inner->isVisible() || !visible.intersects(inner->geometry()))
            continue;
        if (!inner->testAttribute(Qt::WA_OpaquePaintEvent) && !inner->autoFillBackground())
            return false;
        visible -= inner->geometry();
    }
    QPoint offset; // widget's origin in the coordinates of w's parent
    for (const QWidget* w = widget; !w->isWindow(); w = w->parentWidget()) {
        offset += w->pos();
        const QWidget* parent = w->parentWidget();
        visible &= parent->rect().translated(-offset);
        // Siblings after w in the list are stacked above it.
        bool above = false;
        for (const QObject* child : parent->children()) {
            if (child == w) {
                above = true;
                continue;
            }
            if (!above || !child->isWidgetType())
                continue;
            const auto* sibling = static_cast<const QWidget*>(child);
            if (sibling->isWindow() || !sibling->isVisible())
                continue;
            const QRect place = sibling->geometry().translated(-offset);
            if (!visible.intersects(place))
                continue;
            if (!sibling->testAttribute(Qt::WA_OpaquePaintEvent) && !sibling->autoFillBackground())
                return false;
            visible -= place;
        }
    }
    *region = visible;
    return true;
}

bool WindowBlit::put(QWidget* widget, const QImage& image, const QPoint& at)
{
#if defined(QP_HAVE_XCB)
    xcb_connection_t* connection = Target::displayConnection();
    if (!connection || image.isNull() || image.depth() != 32 || image.devicePixelRatio() != 1.0)
        return false;
    QWidget* top = widget->window();
    QWindow* handle = top->windowHandle();
    if (!handle || !handle->handle() || !handle->isExposed() || !widget->isVisible() || !widget->updatesEnabled()
        || top->isMinimized() || widget->devicePixelRatioF() != 1.0)
        return false;
    if (!m_target)
        m_target = std::make_unique<Target>();
    // The QWindow's id, not QWidget::winId(): switching always-on-top makes
    // Qt create a new native window, and the widget keeps the old one's id.
    if (!m_target->attach(connection, xcb_window_t(handle->winId())))
        return false;
    QRegion visible;
    if (!visibleRegion(widget, &visible))
        return false;
    const QRect imageRect(at, image.size());
    visible &= imageRect;
    for (const QRect& r : visible) {
        if (quint64(r.width()) * quint64(r.height()) * 4 > m_target->maxRequestBytes)
            return false;
    }

    if (m_watched != handle) {
        if (m_watched)
            m_watched->removeEventFilter(this);
        m_watched = handle;
        handle->installEventFilter(this);
    }
    if (!m_widgets.contains(widget))
        m_widgets.append(widget);

    const QPoint origin = widget->mapTo(top, QPoint(0, 0));
    for (const QRect& r : visible) {
        const quint8* data;
        if (r.left() == imageRect.left() && r.width() == image.width()) {
            data = image.constScanLine(r.top() - at.y()); // whole rows lie one after another
        } else {
            m_rows.resize(std::size_t(r.width()) * std::size_t(r.height()));
            for (int y = 0; y < r.height(); ++y) {
                const auto* source = reinterpret_cast<const quint32*>(image.constScanLine(r.top() - at.y() + y))
                    + (r.left() - at.x());
                std::copy(source, source + r.width(), m_rows.begin() + std::ptrdiff_t(y) * r.width());
            }
            data = reinterpret_cast<const quint8*>(m_rows.data());
        }
        const QPoint to = origin + r.topLeft();
        xcb_put_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_target->window, m_target->gc, quint16(r.width()),
                      quint16(r.height()), qint16(to.x()), qint16(to.y()), 0, m_target->depth,
                      quint32(r.width() * r.height() * 4), data);
    }
    xcb_flush(connection);
    return true;
#else
    Q_UNUSED(widget);
    Q_UNUSED(image);
    Q_UNUSED(at);
    return false;
#endif
}

bool WindowBlit::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_watched && event->type() == QEvent::Expose) {
        for (const QPointer<QWidget>& w : std::as_const(m_widgets)) {
            if (w)
                w->update();
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace qp
