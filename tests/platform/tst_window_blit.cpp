// The window blit on a real X server (a private Xvfb): what it puts is what
// Qt would paint, and an expose that brings back Qt's older copy of the
// window is painted over again.
#include "platform/WindowBlit.h"

#include <QApplication>
#include <QPainter>
#include <QScreen>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using qp::WindowBlit;

namespace {

QByteArray g_display; // empty when no Xvfb could be started

// Paints `image` at `at` over a blue ground; the blit must put the same.
class Picture : public QWidget {
public:
    using QWidget::QWidget;
    QImage image;
    QPoint at;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), Qt::blue);
        if (!image.isNull())
            p.drawImage(at, image);
    }
};

QImage pattern(const QSize& size, int shift)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, qRgb((x * 4 + shift) & 0xFF, (y * 8) & 0xFF, (x * y + shift) & 0xFF));
    return image;
}

// The window's pixels as the X server holds them. (QWidget::winId() keeps
// the first native window's id when Qt makes a new one; the QWindow knows.)
QImage onServer(QWidget& window)
{
    return window.screen()->grabWindow(window.windowHandle()->winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

class WindowBlitTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        if (g_display.isEmpty())
            QSKIP("needs Xvfb (tools/install-deps.sh)");
    }

    void putsWhatQtPaintsAlsoAfterAnExpose()
    {
        QWidget window;
        window.setGeometry(40, 40, 160, 80);
        auto* picture = new Picture(&window);
        picture->setAttribute(Qt::WA_OpaquePaintEvent);
        picture->setGeometry(20, 10, 100, 40);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(100);

        // Qt's copy of the window keeps the blue ground: the blit goes past it.
        WindowBlit blit;
        const QImage first = pattern(QSize(60, 30), 0);
        picture->image = first;
        picture->at = QPoint(5, 4);
        QVERIFY(blit.put(picture, first, picture->at));
        const QRect place(QPoint(25, 14), first.size());
        QCOMPARE(onServer(window).copy(place), first);

        // A window over it goes away: the server asks for those pixels again
        // and Qt puts back its old copy; the blit has the picture repainted.
        QWidget cover;
        cover.setWindowFlag(Qt::X11BypassWindowManagerHint);
        cover.setGeometry(40, 40, 160, 80);
        cover.show();
        QVERIFY(QTest::qWaitForWindowExposed(&cover));
        QTest::qWait(100);
        const QImage second = pattern(QSize(60, 30), 77);
        picture->image = second;
        blit.put(picture, second, picture->at); // under the cover nothing of it stays
        cover.hide();
        QTRY_COMPARE(onServer(window).copy(place), second);

        // What Qt paints itself is the same.
        const QImage viaBlit = onServer(window);
        picture->repaint();
        QTest::qWait(100);
        QCOMPARE(onServer(window), viaBlit);

        // Switching always-on-top makes a new native window, both ways: what
        // is put afterwards lands in the one on screen.
        picture->image = first;
        for (const bool on : {true, false}) {
            window.setWindowFlag(Qt::WindowStaysOnTopHint, on);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QTest::qWait(100);
            QVERIFY(blit.put(picture, first, picture->at));
            QTRY_COMPARE(onServer(window).copy(place), first);
        }
    }

    void refusesWhatItCannotShow()
    {
        QWidget window;
        window.setGeometry(40, 40, 160, 80);
        auto* picture = new Picture(&window);
        picture->setAttribute(Qt::WA_OpaquePaintEvent);
        picture->setGeometry(0, 0, 100, 40);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        WindowBlit blit;
        const QImage image = pattern(QSize(20, 20), 3);
        QVERIFY(blit.put(picture, image, QPoint(0, 0)));
        // Not 32-bit.
        QVERIFY(!blit.put(picture, image.convertToFormat(QImage::Format_RGB16), QPoint(0, 0)));
        // A see-through widget above it.
        auto* label = new QWidget(&window);
        label->setGeometry(10, 10, 30, 10);
        label->show();
        QVERIFY(!blit.put(picture, image, QPoint(0, 0)));
        // Hidden.
        label->hide();
        picture->hide();
        QVERIFY(!blit.put(picture, image, QPoint(0, 0)));
    }
};

// A private X server for the whole run; the application connects to it.
int main(int argc, char** argv)
{
    pid_t xvfb = 0;
    const QByteArray exe = QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("Xvfb")));
    int fds[2];
    if (!exe.isEmpty() && ::pipe(fds) == 0) {
        const QByteArray fd = QByteArray::number(fds[1]);
        const char* args[] = {exe.constData(), "-displayfd", fd.constData(), "-screen", "0", "640x480x24",
                              "-nolisten", "tcp", nullptr};
        if (posix_spawn(&xvfb, exe.constData(), nullptr, nullptr, const_cast<char**>(args), environ) == 0) {
            ::close(fds[1]);
            char buffer[32] = {};
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer - 1);
            if (n > 0)
                g_display = ':' + QByteArray(buffer, int(n)).trimmed();
        }
        ::close(fds[0]);
    }
    if (!g_display.isEmpty()) {
        qputenv("DISPLAY", g_display);
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    int result;
    {
        QApplication app(argc, argv);
        WindowBlitTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    if (xvfb > 0) {
        ::kill(xvfb, SIGTERM);
        ::waitpid(xvfb, nullptr, 0);
    }
    return result;
}

#include "tst_window_blit.moc"
