#include "notify/Form1.h"
#include "notify/ShapeOutline.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QTimer>

using qp::Form1;

namespace {

QImage keyOnly(QRgb key = qRgb(192, 192, 192))
{
    QImage image(100, 100, QImage::Format_RGB32);
    image.fill(key);
    return image;
}

// Key white; a 10 x 10 block at (20, 30) and a 5-pixel bar at (50..54, 35).
QImage knownShape()
{
    QImage image = keyOnly(qRgb(255, 255, 255));
    QPainter p(&image);
    p.fillRect(20, 30, 10, 10, QColor(10, 120, 30));
    p.fillRect(50, 35, 5, 1, QColor(200, 0, 0));
    return image;
}

Form1::Frames syntheticFrames()
{
    Form1::Frames frames;
    for (int k = 0; k < Form1::kFrameCount; ++k) {
        QImage image = keyOnly();
        QPainter p(&image);
        // The two images differ: a tall block for the first, a wide one for the second.
        const bool first = (k == 0 || k == 3 || k == 4 || k == 7);
        p.fillRect(first ? QRect(40, 10, 20, 80) : QRect(10, 40, 80, 20), Qt::darkGreen);
        frames[size_t(k)] = image;
    }
    return frames;
}

QRegion regionOf(const QVector<QRect>& rects)
{
    QRegion r;
    for (const QRect& rect : rects)
        r += rect;
    return r;
}

QRect screenArea()
{
    return QGuiApplication::primaryScreen()->virtualGeometry();
}

} // namespace

class Form1Test : public QObject {
    Q_OBJECT
private slots:
    void outlineOfAKeyColourFrameLiesOutsideTheWindow()
    {
        const QVector<QRect> rects = qp::frameOutline(keyOnly(), 100);
        const QVector<QRect> expected{QRect(100, 0, 1, 100), QRect(0, 100, 101, 1)};
        QCOMPARE(rects, expected);
        QVERIFY(!regionOf(rects).intersects(QRect(0, 0, 100, 100)));
    }

    void outlineOfAKnownShape()
    {
        const QVector<QRect> rects = qp::frameOutline(knownShape(), 100);
        const QVector<QRect> expected{
            QRect(100, 0, 1, 30),
            QRect(20, 30, 10, 5), QRect(100, 30, 1, 5),
            QRect(20, 35, 10, 1), QRect(50, 35, 5, 1), QRect(100, 35, 1, 1),
            QRect(20, 36, 10, 4), QRect(100, 36, 1, 4),
            QRect(100, 40, 1, 60),
            QRect(0, 100, 101, 1),
        };
        QCOMPARE(rects, expected);
        // The rectangles never overlap and cover exactly the differing pixels.
        int area = 0;
        for (const QRect& r : rects)
            area += r.width() * r.height();
        QCOMPARE(area, 100 + 5 + 100 + 101);
    }

    // Outlines are not limited in length: a checkerboard has thousands of rectangles.
    void outlineOfAnyLength()
    {
        QImage board = keyOnly();
        for (int y = 0; y < 100; ++y)
            for (int x = 0; x < 100; ++x)
                if ((x + y) % 2)
                    board.setPixel(x, y, qRgb(0, 0, 0));
        const QVector<QRect> rects = qp::frameOutline(board, 100);
        QVERIFY(rects.size() > 5000);
        QRegion region;
        region.setRects(rects.constData(), int(rects.size()));
        QVERIFY(region.contains(QPoint(1, 0)));
        QVERIFY(!region.contains(QPoint(0, 0)));
        QVERIFY(region.contains(QPoint(99, 98)));
    }

    void walkLengths()
    {
        int shortest = 100, longest = 0;
        for (int i = 0; i < 100000; ++i) {
            const int n = qp::walkLength(i / 100000.0);
            shortest = qMin(shortest, n);
            longest = qMax(longest, n);
        }
        QCOMPARE(shortest, 6);
        QCOMPARE(longest, 26);
        QCOMPARE(qp::walkLength(0.9999999), 26);
        // Halves go to the even neighbour: 8.5 -> 8, 13.5 -> 14, 18.5 -> 18.
        QCOMPARE(qp::walkLength(0.125), 8);
        QCOMPARE(qp::walkLength(0.375), 14);
        QCOMPARE(qp::walkLength(0.625), 18);
    }

    void clampingAtEachEdge_data()
    {
        QTest::addColumn<QRect>("screen");
        QTest::addColumn<QPoint>("in");
        QTest::addColumn<QPoint>("out");
        const QRect s(0, 0, 800, 600);
        QTest::newRow("inside") << s << QPoint(300, 200) << QPoint(300, 200);
        QTest::newRow("left") << s << QPoint(-40, 200) << QPoint(0, 200);
        QTest::newRow("top") << s << QPoint(300, -1) << QPoint(300, 0);
        QTest::newRow("right") << s << QPoint(750, 200) << QPoint(700, 200);
        QTest::newRow("bottom") << s << QPoint(300, 501) << QPoint(300, 500);
        QTest::newRow("exactly fits") << s << QPoint(700, 500) << QPoint(700, 500);
        QTest::newRow("far corner") << s << QPoint(5000, 5000) << QPoint(700, 500);
        QTest::newRow("offset screen") << QRect(-1024, 0, 2048, 768) << QPoint(-2000, 700)
                                       << QPoint(-1024, 668);
    }

    void clampingAtEachEdge()
    {
        QFETCH(QRect, screen);
        QFETCH(QPoint, in);
        QFETCH(QPoint, out);
        QCOMPARE(qp::clampToScreen(in, QSize(100, 100), screen), out);
    }

    void loadBuildsOutlinesAndPlacesTheWindow()
    {
        QWidget mainWindow;
        mainWindow.move(40, 30);
        Form1 form(&mainWindow, syntheticFrames());
        QWidget elsewhere;
        elsewhere.move(140, 80);
        QCOMPARE(Form1(&elsewhere, syntheticFrames()).pos() - form.pos(), QPoint(100, 50)); // placed by its main window
        QVERIFY(form.Timer1->isActive());
        QCOMPARE(form.Timer1->interval(), 1000);
        QVERIFY(form.mask().isEmpty()); // a plain square until the first tick
        QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(form.windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(form.windowFlags() & Qt::Tool);
        const Form1::Frames frames = syntheticFrames();
        for (int k = 0; k < Form1::kFrameCount; ++k)
            QCOMPARE(form.frameRegion(k), qp::frameOutline(frames[size_t(k)], 100));
        QVERIFY(form.frameRegion(0) != form.frameRegion(1));
    }

    void ticksSwayAndShapeTheWindow()
    {
        QWidget mainWindow;
        mainWindow.move(10, 10);
        Form1 form(&mainWindow, syntheticFrames());
        const QPoint placed = form.pos();
        int previousSteps = -1;
        int previousFrame = -1;
        for (int tick = 0; tick < 80; ++tick) {
            form.Timer1_Timer();
            const int steps = form.walkSteps();
            QVERIFY2(steps >= 0 && steps <= 25, qPrintable(QString::number(steps)));
            QCOMPARE(form.shownFrame(), steps % 2);
            QCOMPARE(form.mask(), regionOf(form.frameRegion(form.shownFrame())));
            if (previousSteps > 0) { // inside one walk the images alternate
                QCOMPARE(steps, previousSteps - 1);
                QVERIFY(form.shownFrame() != previousFrame);
            }
            previousSteps = steps;
            previousFrame = form.shownFrame();
        }
        QCOMPARE(form.pos(), placed); // it sways in place
    }

    void firstTickPullsTheWindowInsideTheScreen()
    {
        const QRect screen = screenArea();
        QWidget nearBottomRight;
        nearBottomRight.move(screen.right() - 50, screen.bottom() - 50);
        Form1 outside(&nearBottomRight, syntheticFrames());
        QVERIFY(outside.x() + 100 > screen.right());
        outside.Timer1_Timer();
        QCOMPARE(outside.pos(), QPoint(screen.left() + screen.width() - 100, screen.top() + screen.height() - 100));

        QWidget farTopLeft;
        farTopLeft.move(screen.left() - 400, screen.top() - 400);
        Form1 negative(&farTopLeft, syntheticFrames());
        negative.Timer1_Timer();
        QCOMPARE(negative.pos(), screen.topLeft());
    }

    void middleButtonDoesNothingAndLeftButtonDrags()
    {
        Form1 form(nullptr, syntheticFrames());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QPoint start = form.pos();
        QTest::mouseClick(&form, Qt::MiddleButton, {}, QPoint(50, 50));
        QVERIFY(form.isVisible());
        QCOMPARE(form.pos(), start);

        // Where the window system cannot move it (offscreen), the window
        // follows the mouse itself.
        QTest::mousePress(&form, Qt::LeftButton, {}, QPoint(50, 50));
        QMouseEvent move(QEvent::MouseMove, QPointF(50, 50), QPointF(form.mapToGlobal(QPoint(80, 70))),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&form, &move);
        QTest::mouseRelease(&form, Qt::LeftButton, {}, QPoint(80, 70));
        QCOMPARE(form.pos(), start + QPoint(30, 20));
    }

    // A right-button press ends the process at once: run it in a child.
    void rightButtonEndsTheProcessAtOnce()
    {
        for (const char* button : {"right", "middle"}) {
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("QP_FORM1_CHILD"), QLatin1String(button));
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(child.waitForFinished(20000));
            QCOMPARE(child.exitStatus(), QProcess::NormalExit);
            const QByteArray out = child.readAllStandardOutput();
            if (qstrcmp(button, "right") == 0) {
                QCOMPARE(child.exitCode(), 0);
                QVERIFY2(!out.contains("survived"), out.constData());
            } else {
                QCOMPARE(child.exitCode(), 3);
                QVERIFY(out.contains("survived"));
            }
        }
    }
};

// The child of rightButtonEndsTheProcessAtOnce: press the button on a
// loaded Form1; returning from here means the press did not end the process.
static int runChild(int argc, char** argv, const QByteArray& button)
{
    QApplication app(argc, argv);
    Form1 form(nullptr, syntheticFrames());
    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        return 4;
    QTest::mousePress(&form, button == "right" ? Qt::RightButton : Qt::MiddleButton, {}, QPoint(50, 50));
    QTest::qWait(50);
    fputs("survived\n", stdout);
    fflush(stdout);
    return 3;
}

int main(int argc, char** argv)
{
    const QByteArray child = qgetenv("QP_FORM1_CHILD");
    if (!child.isEmpty())
        return runChild(argc, argv, child);
    QApplication app(argc, argv);
    QTEST_DISABLE_KEYPAD_NAVIGATION
    Form1Test test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_form1.moc"
