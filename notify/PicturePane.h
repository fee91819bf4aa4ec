#pragma once
#include <QHash>
#include <QString>
#include <QWidget>

#include <functional>

class QMovie;

namespace qp {

// The main window's picture pane (100 x 103 pixels). Navigate takes the
// address the program builds, "file://" followed directly by {P} and a tail
// written with backslashes ("file:///opt/quillpost\画像データ\X.gif"), maps
// it to the file below the program folder (components matched without
// regard to case) and plays it; an animated GIF keeps animating. An address
// that names no readable picture leaves the pane empty, without a message.
// The animation rests while the pane is hidden (the window is in the tray)
// or its window cannot be seen (setResting).
class PicturePane : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 100;
    static constexpr int kHeight = 103;

    explicit PicturePane(QWidget* parent = nullptr);
    ~PicturePane() override;

    void Navigate(const QString& address);

    // The last address navigated to, and the local file it shows (empty when
    // the pane is empty).
    QString address() const { return m_address; }
    QString shownFile() const { return m_shownFile; }
    bool isAnimating() const;

    // A resting pane keeps its picture but does not animate (its window
    // cannot be seen); the animation goes on from where it stood.
    void setResting(bool resting);

    // The local file an address names; empty for anything but "file://".
    static QString localFileFor(const QString& address);

    // Shows an opaque frame of an animation, its top-left at `at` in the
    // pane's coordinates, some cheaper way than a repaint; false when it
    // could not, and the pane repaints.
    using FramePresenter = std::function<bool(const QImage& frame, const QPoint& at)>;
    void setFramePresenter(FramePresenter presenter) { m_presenter = std::move(presenter); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void clearPicture();
    void showFrame();
    QRect frameRect() const;
    bool frameIsOpaque();

    void updatePaused();

    QMovie* m_movie = nullptr;
    bool m_resting = false;
    QString m_address;
    QString m_shownFile;
    FramePresenter m_presenter;
    QHash<qint64, bool> m_opaqueFrames; // by the frame pixmap's cache key
};

} // namespace qp
