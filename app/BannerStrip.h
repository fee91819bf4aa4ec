#pragma once
#include "platform/WindowBlit.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <vector>

namespace qp {

// The strip at the bottom of the main window (Picture5) with its scrolling
// yellow caption (Label1) and the status lamp (Image1), drawn above the
// caption at the strip's left.
//
// The caption moves many times a second for as long as the program runs, so
// a step must cost next to nothing. The caption is rendered once, over the
// strip's background, when it changes; the background is the same in every
// column, so any column of the strip is either a column of that band or the
// plain background. A step copies the columns the caption leaves and enters
// into a small buffer, lays the lamp over them where it stands, and hands
// the buffer to the window blit; where that refuses, it asks Qt to repaint
// those columns, which paints the same pixels.
class BannerStrip : public QWidget {
    Q_OBJECT
public:
    explicit BannerStrip(QWidget* parent = nullptr);
    ~BannerStrip() override;

    // The blit that steps go through; none means every step goes through Qt.
    void setBlit(WindowBlit* blit) { m_blit = blit; }

    QString caption() const { return m_caption; }
    void setCaption(const QString& caption);
    // Left edge of the caption, in pixels from the strip's left.
    int captionLeft() const { return m_left; }
    void setCaptionLeft(int left);

    // The status lamp at (2, 2), at most 16 x 16; a null pixmap leaves the
    // place empty.
    QPixmap lamp() const { return m_lamp; }
    void setLamp(const QPixmap& lamp);

    // The pixels of `area` (strip coordinates) as the strip shows them.
    QImage render(const QRect& area) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void renderCaption();
    QRect captionRect(int left) const;
    QRect visibleRect() const;
    void renderInto(quint32* pixels, const QRect& area) const;
    void showArea(const QRect& area);

    QPointer<WindowBlit> m_blit;
    std::vector<QRgb> m_rowColour; // the background, one colour per row
    QImage m_band;                 // the caption over the background
    QImage m_lampImage;            // premultiplied
    QPixmap m_lamp;
    QString m_caption;
    int m_left = 0;
    std::vector<quint32> m_frame; // the pixels of a step, rows packed
};

} // namespace qp
