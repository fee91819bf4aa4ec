#include "notify/PicturePane.h"

#include "platform/PathResolver.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMovie>

namespace qp {

PicturePane::PicturePane(QWidget* parent)
    : QWidget(parent)
    , m_label(new QLabel(this))
{
    setFixedSize(kWidth, kHeight);
    m_label->setGeometry(0, 0, kWidth, kHeight);
    m_label->setAlignment(Qt::AlignCenter);
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
    m_label->clear();
    if (m_movie) {
        m_movie->stop();
        delete m_movie;
        m_movie = nullptr;
    }
    m_shownFile.clear();
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
    m_label->setMovie(m_movie);
    m_movie->start();
    if (!isVisible())
        m_movie->setPaused(true);
}

bool PicturePane::isAnimating() const
{
    return m_movie && m_movie->state() == QMovie::Running;
}

void PicturePane::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_movie && m_movie->state() == QMovie::Paused)
        m_movie->setPaused(false);
}

void PicturePane::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (m_movie && m_movie->state() == QMovie::Running)
        m_movie->setPaused(true);
}

} // namespace qp
