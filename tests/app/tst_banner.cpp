// The banner strip composes its steps itself (the same pixels go to the
// window directly or through a repaint): the caption where it stands, the
// lamp above it.
#include "app/BannerStrip.h"

#include <QPainter>
#include <QtTest>

using namespace qp;

class BannerTest : public QObject {
    Q_OBJECT
private slots:
    void stepsShowTheCaptionUnderTheLamp_data()
    {
        QTest::addColumn<int>("left");
        QTest::newRow("inside") << 60;
        QTest::newRow("under the lamp") << 0;
        QTest::newRow("partly out on the left") << -40;
        QTest::newRow("partly out on the right") << 200;
        QTest::newRow("wholly out") << 400;
    }
    void stepsShowTheCaptionUnderTheLamp()
    {
        QFETCH(int, left);
        QWidget window;
        window.resize(240, 40);
        BannerStrip strip(&window);
        strip.setGeometry(0, 10, 233, 20);
        strip.setCaption(QStringLiteral("メーラー.exe"));
        QPixmap lamp(16, 16);
        lamp.fill(Qt::transparent);
        {
            QPainter p(&lamp);
            p.setBrush(Qt::red);
            p.drawEllipse(1, 1, 14, 14);
        }
        strip.setLamp(lamp);
        strip.setCaptionLeft(left);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const QImage sent = strip.render(strip.rect()).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(sent.size(), QSize(233, 20));
        // The lamp's middle is red whatever lies under it; its see-through
        // corner is not.
        QCOMPARE(sent.pixelColor(2 + 8, 2 + 8), QColor(Qt::red));
        QVERIFY(sent.pixelColor(2, 2) != QColor(Qt::red));
        // A part of the strip equals the same part of the whole.
        QCOMPARE(strip.render(QRect(50, 3, 60, 12)), sent.copy(50, 3, 60, 12));
        // The yellow caption is there when it is in view, and only then.
        bool yellow = false;
        for (int y = 0; y < sent.height(); ++y)
            for (int x = 20; x < sent.width(); ++x) {
                const QColor c = sent.pixelColor(x, y);
                yellow = yellow || (c.red() > 200 && c.green() > 200 && c.blue() < 80);
            }
        QCOMPARE(yellow, left > -100 && left < 228);
    }
};

QTEST_MAIN(BannerTest)
#include "tst_banner.moc"
