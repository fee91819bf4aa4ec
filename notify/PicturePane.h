#pragma once
#include <QString>
#include <QWidget>

class QLabel;
class QMovie;

namespace qp {

// The main window's picture pane (100 x 103 pixels). Navigate takes the
// address the program builds, "file://" followed directly by {P} and a tail
// written with backslashes ("file:///opt/quillpost\画像データ\X.gif"), maps
// it to the file below the program folder (components matched without
// regard to case) and plays it; an animated GIF keeps animating. An address
// that names no readable picture leaves the pane empty, without a message.
// The animation rests while the pane is hidden (the window is in the tray).
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

    // The local file an address names; empty for anything but "file://".
    static QString localFileFor(const QString& address);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void clearPicture();

    QLabel* m_label;
    QMovie* m_movie = nullptr;
    QString m_address;
    QString m_shownFile;
};

} // namespace qp
