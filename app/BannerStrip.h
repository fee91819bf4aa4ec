#pragma once
#include <QPixmap>
#include <QWidget>

namespace qp {

// The strip at the bottom of the main window (Picture5) with its scrolling
// yellow caption (Label1). The caption is rendered once into a pixmap when
// it changes; each 20 ms step only blits it at the new offset, which keeps
// the idle program's cost low.
class BannerStrip : public QWidget {
    Q_OBJECT
public:
    explicit BannerStrip(QWidget* parent = nullptr);

    QString caption() const { return m_caption; }
    void setCaption(const QString& caption);
    // Left edge of the caption, in pixels from the strip's left.
    int captionLeft() const { return m_left; }
    void setCaptionLeft(int left);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_background;
    QPixmap m_text;
    QString m_caption;
    int m_left = 0;
};

} // namespace qp
