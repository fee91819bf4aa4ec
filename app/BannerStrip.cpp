#include "app/BannerStrip.h"

#include "platform/AppFont.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>

namespace qp {

BannerStrip::BannerStrip(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    // The strip's bitmap (397 x 65 in the design): a night-blue band.
    m_background = QPixmap(397, 65);
    QPainter painter(&m_background);
    QLinearGradient g(0, 0, 0, 20);
    g.setColorAt(0, QColor(24, 32, 72));
    g.setColorAt(1, QColor(8, 10, 30));
    painter.fillRect(m_background.rect(), g);
}

void BannerStrip::setCaption(const QString& caption)
{
    if (caption == m_caption && !m_text.isNull())
        return;
    m_caption = caption;
    const QFont font = gothicFont(11.25, true);
    const QFontMetrics fm(font);
    const qreal dpr = devicePixelRatioF();
    QPixmap pm(QSize(std::max(1, fm.horizontalAdvance(caption) + 2), height()) * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setFont(font);
    p.setPen(Qt::yellow);
    p.drawText(QRect(0, 0, pm.width(), height()), Qt::AlignLeft | Qt::AlignVCenter, caption);
    p.end();
    m_text = pm;
    update();
}

void BannerStrip::setCaptionLeft(int left)
{
    if (left == m_left)
        return;
    const int width = m_text.isNull() ? 0 : int(m_text.width() / m_text.devicePixelRatio());
    const QRect before(m_left, 0, width, height());
    m_left = left;
    // Only the old and new places of the caption need painting again.
    update(before.united(QRect(m_left, 0, width, height())).intersected(rect()));
}

void BannerStrip::paintEvent(QPaintEvent* event)
{
    QPainter p(this);
    p.drawPixmap(event->rect(), m_background, event->rect());
    if (!m_text.isNull())
        p.drawPixmap(m_left, 0, m_text);
}

} // namespace qp
