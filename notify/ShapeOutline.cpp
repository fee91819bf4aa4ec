#include "notify/ShapeOutline.h"

#include "platform/Numbers.h"

namespace qp {

namespace {

struct Run {
    int left;
    int right; // exclusive
    bool operator==(const Run&) const = default;
};

} // namespace

QVector<QRect> frameOutline(const QImage& frame, int extent)
{
    const QImage image = frame.convertToFormat(QImage::Format_RGB32);
    const bool hasPixels = !image.isNull();
    const QRgb key = hasPixels ? image.pixel(0, 0) : 0;
    auto differs = [&](int x, int y) {
        if (!hasPixels || x >= image.width() || y >= image.height())
            return true;
        return reinterpret_cast<const QRgb*>(image.constScanLine(y))[x] != key;
    };

    QVector<QRect> rects;
    QVector<Run> band;
    int bandTop = 0;
    auto closeBand = [&](int bottom) {
        for (const Run& r : band)
            rects.append(QRect(r.left, bandTop, r.right - r.left, bottom - bandTop));
    };
    for (int y = 0; y <= extent; ++y) {
        QVector<Run> runs;
        for (int x = 0; x <= extent; ++x) {
            if (!differs(x, y))
                continue;
            if (!runs.isEmpty() && runs.last().right == x)
                runs.last().right = x + 1;
            else
                runs.append(Run{x, x + 1});
        }
        if (y > 0 && runs == band)
            continue;
        closeBand(y);
        band = runs;
        bandTop = y;
    }
    closeBand(extent + 1);
    return rects;
}

int walkLength(double r)
{
    return int(roundHalfEven((r * 10 + 3) * 2));
}

QPoint clampToScreen(QPoint topLeft, QSize size, const QRect& screen)
{
    int x = topLeft.x();
    int y = topLeft.y();
    if (x < screen.left())
        x = screen.left();
    if (y < screen.top())
        y = screen.top();
    if (x + size.width() > screen.left() + screen.width())
        x = screen.left() + screen.width() - size.width();
    if (y + size.height() > screen.top() + screen.height())
        y = screen.top() + screen.height() - size.height();
    return QPoint(x, y);
}

} // namespace qp
