#include "app/BannerStrip.h"

#include "platform/AppFont.h"

#include <QEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QWindow>

#include <algorithm>
#include <cstdlib>

#if defined(QP_HAVE_XCB)
#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>
#endif

namespace qp {

// ------------------------------------------------------------ window blit

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
    if (!handle || !handle->isExposed() || !widget->isVisible() || !widget->updatesEnabled() || top->isMinimized()
        || widget->devicePixelRatioF() != 1.0 || !top->internalWinId())
        return false;
    if (!m_target)
        m_target = std::make_unique<Target>();
    if (!m_target->attach(connection, xcb_window_t(top->internalWinId())))
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

// ----------------------------------------------------------- banner strip

namespace {

const QRect kLampRect(2, 2, 16, 16);

// Source over destination, both premultiplied; the destination is opaque.
inline quint32 over(QRgb source, quint32 destination)
{
    const quint32 alpha = qAlpha(source);
    if (alpha == 255)
        return source;
    if (alpha == 0)
        return destination;
    const quint32 keep = 255 - alpha;
    auto channel = [keep](quint32 s, quint32 d) {
        const quint32 t = d * keep + 0x80;
        return std::min<quint32>(255, s + ((t + (t >> 8)) >> 8));
    };
    return qRgb(int(channel(qRed(source), qRed(destination))), int(channel(qGreen(source), qGreen(destination))),
                int(channel(qBlue(source), qBlue(destination))));
}

} // namespace

BannerStrip::BannerStrip(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    // The strip's bitmap: a night-blue band, darker towards the bottom.
    QImage column(1, 65, QImage::Format_RGB32);
    QPainter painter(&column);
    QLinearGradient g(0, 0, 0, 20);
    g.setColorAt(0, QColor(24, 32, 72));
    g.setColorAt(1, QColor(8, 10, 30));
    painter.fillRect(column.rect(), g);
    painter.end();
    for (int y = 0; y < column.height(); ++y)
        m_rowColour.push_back(column.pixel(0, y));
}

BannerStrip::~BannerStrip() = default;

void BannerStrip::setCaption(const QString& caption)
{
    if (caption == m_caption && !m_band.isNull())
        return;
    m_caption = caption;
    renderCaption();
    update();
}

void BannerStrip::renderCaption()
{
    const QFont font = gothicFont(11.25, true);
    const QFontMetrics fm(font);
    const int h = std::max(1, std::min(height(), int(m_rowColour.size())));
    const QSize size(std::max(1, fm.horizontalAdvance(m_caption) + 2), h);
    const qreal dpr = devicePixelRatioF();
    QImage band(size * dpr, QImage::Format_RGB32);
    for (int y = 0; y < band.height(); ++y) {
        auto* row = reinterpret_cast<quint32*>(band.scanLine(y));
        std::fill(row, row + band.width(), m_rowColour[std::size_t(std::min(int(y / dpr), h - 1))]);
    }
    band.setDevicePixelRatio(dpr);
    QPainter p(&band);
    p.setFont(font);
    p.setPen(Qt::yellow);
    p.drawText(QRect(QPoint(0, 0), size), Qt::AlignLeft | Qt::AlignVCenter, m_caption);
    p.end();
    m_band = band;
}

void BannerStrip::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (!m_band.isNull())
        renderCaption();
}

QRect BannerStrip::captionRect(int left) const
{
    if (m_band.isNull())
        return QRect();
    return QRect(QPoint(left, 0), m_band.deviceIndependentSize().toSize());
}

void BannerStrip::setCaptionLeft(int left)
{
    if (left == m_left)
        return;
    // Only the columns the caption leaves and enters change.
    const QRect area = captionRect(m_left) | captionRect(left);
    m_left = left;
    showArea(area);
}

void BannerStrip::setLamp(const QPixmap& lamp)
{
    if (lamp.cacheKey() == m_lamp.cacheKey())
        return;
    m_lamp = lamp;
    m_lampImage = lamp.isNull() ? QImage() : lamp.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    showArea(kLampRect);
}

void BannerStrip::showArea(const QRect& area)
{
    // Columns that cannot be seen cost nothing.
    const QRect visible = area & visibleRect();
    if (visible.isEmpty())
        return;
    if (m_blit && devicePixelRatioF() == 1.0) {
        m_frame.resize(std::size_t(visible.width()) * std::size_t(visible.height()));
        renderInto(m_frame.data(), visible);
        const QImage image(reinterpret_cast<const uchar*>(m_frame.data()), visible.width(), visible.height(),
                           visible.width() * 4, QImage::Format_RGB32);
        if (m_blit->put(this, image, visible.topLeft()))
            return;
    }
    update(visible);
}

QRect BannerStrip::visibleRect() const
{
    // The strip reaches past the client area's right and bottom edges.
    QRect r = rect();
    QPoint offset; // this widget's origin in the coordinates of w's parent
    for (const QWidget* w = this; !w->isWindow(); w = w->parentWidget()) {
        offset += w->pos();
        r &= w->parentWidget()->rect().translated(-offset);
    }
    return r;
}

QImage BannerStrip::render(const QRect& area) const
{
    QImage image(area.size(), QImage::Format_RGB32);
    if (!area.isEmpty())
        renderInto(reinterpret_cast<quint32*>(image.bits()), area);
    return image;
}

void BannerStrip::renderInto(quint32* pixels, const QRect& area) const
{
    const int w = area.width();
    const QRect band = captionRect(m_left) & area;
    const QRect lamp = m_lampImage.isNull() ? QRect() : area & kLampRect & QRect(kLampRect.topLeft(), m_lampImage.size());
    const int lastRow = int(m_rowColour.size()) - 1;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        quint32* row = pixels + std::size_t(y - area.top()) * std::size_t(w);
        const quint32 background = m_rowColour[std::size_t(std::clamp(y, 0, lastRow))];
        if (band.isEmpty() || y > band.bottom()) {
            std::fill(row, row + w, background);
        } else {
            const int from = band.left() - area.left();
            std::fill(row, row + from, background);
            const auto* source = reinterpret_cast<const quint32*>(m_band.constScanLine(y)) + (band.left() - m_left);
            std::copy(source, source + band.width(), row + from);
            std::fill(row + from + band.width(), row + w, background);
        }
        if (!lamp.isEmpty() && y >= lamp.top() && y <= lamp.bottom()) {
            const auto* source = reinterpret_cast<const QRgb*>(m_lampImage.constScanLine(y - kLampRect.top()))
                + (lamp.left() - kLampRect.left());
            quint32* target = row + (lamp.left() - area.left());
            for (int i = 0; i < lamp.width(); ++i)
                target[i] = over(source[i], target[i]);
        }
    }
}

void BannerStrip::paintEvent(QPaintEvent* event)
{
    QPainter p(this);
    const QRect area = event->rect() & rect();
    if (devicePixelRatioF() == 1.0) {
        p.drawImage(area.topLeft(), render(area));
        return;
    }
    // A scaled screen: the same parts, drawn at the screen's resolution.
    const int lastRow = int(m_rowColour.size()) - 1;
    for (int y = area.top(); y <= area.bottom(); ++y)
        p.fillRect(QRect(area.left(), y, area.width(), 1), QColor::fromRgb(m_rowColour[std::size_t(std::clamp(y, 0, lastRow))]));
    if (!m_band.isNull())
        p.drawImage(QPoint(m_left, 0), m_band);
    if (!m_lampImage.isNull())
        p.drawImage(kLampRect.topLeft(), m_lampImage, QRect(QPoint(0, 0), kLampRect.size()));
}

} // namespace qp
