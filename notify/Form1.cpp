#include "notify/Form1.h"

#include "notify/ShapeOutline.h"
#include "platform/ProgramFolder.h"
#include "platform/Twips.h"

#include <QDateTime>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <unistd.h>

namespace qp {

namespace {
constexpr QRgb kKeyGrey = qRgb(192, 192, 192);
} // namespace

QString Form1::frameTail(int k)
{
    return QStringLiteral("\\画像データ\\Sasa%1.bmp").arg(k);
}

Form1::Frames Form1::loadFrames()
{
    Frames frames;
    for (int k = 0; k < kFrameCount; ++k) {
        QImage image(programPath(frameTail(k)));
        if (image.isNull()) {
            image = QImage(kFrameSize, kFrameSize, QImage::Format_RGB32);
            image.fill(kKeyGrey);
        }
        frames[size_t(k)] = image.convertToFormat(QImage::Format_RGB32);
    }
    return frames;
}

Form1::Form1(QWidget* mainWindow, Frames frames)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
    , m_mainWindow(mainWindow)
    , m_frames(std::move(frames))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Form1"));
    // The title stays the class name; screen readers get words.
    setAccessibleName(QStringLiteral("新着メールの知らせ"));
    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    Form_Load();
}

Form1::~Form1() = default;

void Form1::Form_Load()
{
    BuildFrameRegions();
    setFixedSize(kFrameSize, kFrameSize);
    // Topmost comes from the window flags set at construction.
    m_random = QRandomGenerator(quint32(QDateTime::currentMSecsSinceEpoch()));
    const QPoint anchor = m_mainWindow ? m_mainWindow->pos() : screenArea().topLeft();
    move(anchor.x() + twips(2000), anchor.y() + twips(2400));
    Timer1->start();
}

void Form1::BuildFrameRegions()
{
    for (int k = 0; k < kFrameCount; ++k)
        m_frameRegionData[size_t(k)] = frameOutline(m_frames[size_t(k)], kFrameSize);
}

void Form1::Timer1_Timer()
{
    // The window walks in place: each walk only decides how long the
    // swaying keeps its rhythm before the phase may repeat an image.
    if (m_walkSteps < 1)
        m_walkSteps = std::int16_t(walkLength(m_random.generateDouble()));
    --m_walkSteps;

    move(clampToScreen(pos(), QSize(kFrameSize, kFrameSize), screenArea()));

    const int k = m_walkSteps % 2;
    m_shownFrame = k;
    const QVector<QRect>& rects = m_frameRegionData[size_t(k)];
    QRegion region;
    region.setRects(rects.constData(), int(rects.size()));
    setMask(region);
    update();
}

void Form1::Form_MouseDown(int button)
{
    if (button & 1) {
        QWindow* window = windowHandle();
        if (!window || !window->startSystemMove()) {
            m_dragging = true;
            m_dragOffset = m_pressAt - pos();
        }
    } else if (button == 2) {
        // The program ends here and now; no window's unload work runs.
        ::_exit(0);
    }
}

QRect Form1::screenArea() const
{
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    return s ? s->virtualGeometry() : QRect(0, 0, 1024, 768);
}

void Form1::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawImage(0, 0, m_frames[size_t(m_shownFrame)]);
}

void Form1::mousePressEvent(QMouseEvent* event)
{
    const Qt::MouseButtons pressed = event->buttons() | event->button();
    int value = 0;
    if (pressed & Qt::LeftButton)
        value |= 1;
    if (pressed & Qt::RightButton)
        value |= 2;
    if (pressed & Qt::MiddleButton)
        value |= 4;
    if (value == 0)
        return;
    m_pressAt = event->globalPosition().toPoint();
    Form_MouseDown(value);
}

void Form1::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - m_dragOffset);
}

void Form1::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        m_dragging = false;
}

} // namespace qp
