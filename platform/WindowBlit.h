#pragma once
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRegion>
#include <QWidget>

#include <memory>
#include <vector>

class QWindow;

namespace qp {

// Puts a widget's pixels straight into its place in the top-level window on
// X11, without Qt's repaint and flush. Those cost several times more per
// frame than the drawing itself, which matters for pictures that change many
// times a second for as long as the program runs. Only opaque 32-bit images
// are put, and only where the widget can be seen; anything else (another
// platform, a scaled screen, a window whose pixels are not 32-bit 0x00RRGGBB,
// a see-through widget above) is refused, and the caller asks Qt to repaint.
// After an expose Qt puts back its own copy of the window, which may hold
// older pixels: every widget put to is then repainted by Qt.
class WindowBlit : public QObject {
    Q_OBJECT
public:
    explicit WindowBlit(QObject* parent = nullptr);
    ~WindowBlit() override;

    // Shows `image`, its top-left at `at` in `widget`'s coordinates. The
    // widget's paint event must paint the same pixels.
    bool put(QWidget* widget, const QImage& image, const QPoint& at);

    // The part of `widget` (its coordinates) not hidden by its parents'
    // edges or by opaque widgets above it; false when a see-through widget
    // lies above it.
    static bool visibleRegion(const QWidget* widget, QRegion* region);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Target;

    std::unique_ptr<Target> m_target;
    QPointer<QWindow> m_watched;
    QList<QPointer<QWidget>> m_widgets;
    std::vector<quint32> m_rows;
};

} // namespace qp
