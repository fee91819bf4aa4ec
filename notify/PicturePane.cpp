#include "notify/PicturePane.h"

#include "platform/PathResolver.h"

#include <QDir>
#include <QFileInfo>
#include <QMovie>
#include <QPainter>
#include <QPaintEvent>

namespace qp {

PicturePane::PicturePane(QWidget* parent)
    : QWidget(parent)
{
    setFixedSize(kWidth, kHeight);
}

PicturePane::~PicturePane() = default;

QString PicturePane::localFileFor(const QString& address)
{
    static const QString scheme = QStringLiteral("file://");
    if (!address.startsWith(scheme, Qt::CaseInsensitive))
        return QString();
    QString path = address.mid(scheme.size());
    if (path.isEmpty())
        return QString();
    if (QFileInfo(path).isFile())
        return path;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!path.startsWith(QLatin1Char('/')))
        return QString(); // a relative address names nothing we can trust
    return resolvePath(QStringLiteral("/"), path);
}

void PicturePane::clearPicture()
{
    if (m_movie) {
        m_movie->stop();
        delete m_movie;
        m_movie = nullptr;
    }
    m_opaqueFrames.clear();
    m_shownFile.clear();
    update();
}

void PicturePane::Navigate(const QString& address)
{
    clearPicture();
    m_address = address;
    const QString file = localFileFor(address);
    if (file.isEmpty() || !QFileInfo(file).isFile())
        return;
    auto* movie = new QMovie(file, QByteArray(), this);
    if (!movie->isValid()) {
        delete movie;
        return;
    }
    // The pictures are small; keeping decoded frames saves decoding them
    // again on every loop of an animation that may run all day.
    movie->setCacheMode(QMovie::CacheAll);
    m_movie = movie;
    m_shownFile = file;
    connect(m_movie, &QMovie::frameChanged, this, [this] { showFrame(); });
    m_movie->start();
    updatePaused();
}

void PicturePane::setResting(bool resting)
{
    m_resting = resting;
    updatePaused();
}

void PicturePane::updatePaused()
{
    if (!m_movie || m_movie->state() == QMovie::NotRunning)
        return;
    const bool rest = m_resting || !isVisible();
    if (rest != (m_movie->state() == QMovie::Paused))
        m_movie->setPaused(rest);
}

bool PicturePane::isAnimating() const
{
    return m_movie && m_movie->state() == QMovie::Running;
}

QRect PicturePane::frameRect() const
{
    // Centred, as a label shows a picture.
    const QSize size = m_movie ? m_movie->currentPixmap().deviceIndependentSize().toSize() : QSize();
    return QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
}

bool PicturePane::frameIsOpaque()
{
    const QPixmap frame = m_movie->currentPixmap();
    const auto known = m_opaqueFrames.constFind(frame.cacheKey());
    if (known != m_opaqueFrames.cend())
        return *known;
    bool opaque = !frame.hasAlphaChannel();
    if (!opaque) {
        const QImage image = frame.toImage();
        opaque = true;
        for (int y = 0; y < image.height() && opaque; ++y) {
            const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                if (qAlpha(row[x]) != 255) {
                    opaque = false;
                    break;
                }
            }
        }
    }
    m_opaqueFrames.insert(frame.cacheKey(), opaque);
    return opaque;
}

void PicturePane::showFrame()
{
    // An animation changes its frame several times a second all day long;
    // an opaque frame that covers the pane can skip the repaint.
    const QRect r = frameRect();
    if (m_presenter && r == rect() && isVisible() && frameIsOpaque()) {
        const QImage frame = m_movie->currentImage();
        if ((frame.format() == QImage::Format_RGB32 || frame.format() == QImage::Format_ARGB32
             || frame.format() == QImage::Format_ARGB32_Premultiplied)
            && m_presenter(frame, r.topLeft()))
            return;
    }
    update();
}

void PicturePane::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event);
    if (!m_movie)
        return;
    QPainter p(this);
    p.drawPixmap(frameRect().topLeft(), m_movie->currentPixmap());
}

void PicturePane::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    updatePaused();
}

void PicturePane::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    // isVisible() still holds during a spontaneous hide (minimised).
    if (m_movie && m_movie->state() == QMovie::Running)
        m_movie->setPaused(true);
}

} // namespace qp
