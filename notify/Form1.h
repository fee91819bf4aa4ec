#pragma once
#include <QImage>
#include <QPointer>
#include <QRandomGenerator>
#include <QRect>
#include <QVector>
#include <QWidget>

#include <array>
#include <cstdint>

class QTimer;

namespace qp {

// The shaped window of the alert: a bamboo branch hung with paper
// decorations that sways once a second, cut out along its outline so only
// the branch shows. Frameless, above other windows, kept out of the task
// bar. Left button drags it, right button alone ends the program at once
// (no shutdown steps run), other buttons do nothing.
//
// Constructing it is loading it (Form_Load); the alert creates, shows and
// unloads it through a FormInstance, and unloading (closing) deletes it.
class Form1 : public QWidget {
    Q_OBJECT
public:
    static constexpr int kFrameSize = 100;
    static constexpr int kFrameCount = 8;
    using Frames = std::array<QImage, kFrameCount>;

    // "\画像データ\Sasa<k>.bmp" below the program folder.
    static QString frameTail(int k);
    // The delivered frames; a missing or unreadable one is replaced by a
    // picture of key colour only, so that frame shows nothing.
    static Frames loadFrames();

    // mainWindow places the window at load (it may be null: the screen's
    // top-left corner then stands in for it).
    explicit Form1(QWidget* mainWindow, Frames frames = loadFrames());
    ~Form1() override;

    // Handlers.
    void Form_Load();
    void BuildFrameRegions();
    void Timer1_Timer();
    void Form_MouseDown(int button); // 1 left, 2 right, 4 middle, or-ed

    QTimer* Timer1 = nullptr;

    // State, for whoever needs to look (tests).
    std::int16_t walkSteps() const { return m_walkSteps; }
    int shownFrame() const { return m_shownFrame; }
    const QVector<QRect>& frameRegion(int k) const { return m_frameRegionData[size_t(k)]; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QRect screenArea() const;

    QPointer<QWidget> m_mainWindow;
    Frames m_frames;
    std::array<QVector<QRect>, kFrameCount> m_frameRegionData;
    std::int16_t m_walkSteps = 0;
    int m_shownFrame = 0;
    QRandomGenerator m_random;
    // Dragging by hand where the window system cannot move the window.
    bool m_dragging = false;
    QPoint m_pressAt;
    QPoint m_dragOffset;
};

} // namespace qp
