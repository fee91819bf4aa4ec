#include "app/BannerStrip.h"

#include "platform/AppFont.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

namespace qp {

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
