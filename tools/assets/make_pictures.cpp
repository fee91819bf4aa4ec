// Draws the delivered pictures of the alert into an output folder:
//   Sasa0.bmp ... Sasa7.bmp   the shaped window's frames: 100 x 100, 24-bit,
//                             a bamboo branch with paper decorations on the
//                             key grey (192, 192, 192); frames 0, 3, 4, 7 show
//                             the first image, 1, 2, 5, 6 the second
//   tanabata-NN.png           frames of the idle picture (night of the star
//                             festival), 100 x 103
//   shintyaku-NN.png          frames of the new-mail picture, 100 x 103
//   lamp-green.png, lamp-red.png   the 16 x 16 status lamp
// make-assets.sh turns the PNG frames into the GIFs. Deterministic: every
// random choice comes from fixed start values.
//
// Usage: make_pictures <output folder>

#include <QColor>
#include <QDir>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <QTransform>

#include <cmath>
#include <cstdio>

namespace {

constexpr int kScale = 4; // drawn four times larger, then scaled down smoothly
constexpr double kPi = 3.14159265358979;
const QColor kKeyGrey(192, 192, 192);

QString g_out;

bool save(const QImage& image, const QString& name)
{
    const QString path = QDir(g_out).filePath(name);
    if (!image.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// A painter on a transparent canvas kScale times the final size, using
// final-pixel coordinates.
struct Canvas {
    QImage image;
    QPainter painter;
    Canvas(int w, int h)
        : image(w * kScale, h * kScale, QImage::Format_ARGB32_Premultiplied)
    {
        image.fill(Qt::transparent);
        painter.begin(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.scale(kScale, kScale);
    }
    QImage finish(int w, int h)
    {
        painter.end();
        return image.scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
};

// ---------------------------------------------------------------- leaves --

// A drooping bamboo-grass leaf from base along angle (degrees, 0 = right,
// 90 = down) with the given length and width.
void drawLeaf(QPainter& p, QPointF base, double angleDeg, double length, double width,
              const QColor& dark, const QColor& light)
{
    p.save();
    p.translate(base);
    p.rotate(angleDeg);
    QPainterPath leaf;
    leaf.moveTo(0, 0);
    leaf.cubicTo(length * 0.25, -width * 0.75, length * 0.7, -width * 0.55, length, 0);
    leaf.cubicTo(length * 0.7, width * 0.45, length * 0.25, width * 0.65, 0, 0);
    QLinearGradient g(0, -width / 2, 0, width / 2);
    g.setColorAt(0, light);
    g.setColorAt(1, dark);
    p.setPen(QPen(dark.darker(170), 0.45));
    p.setBrush(g);
    p.drawPath(leaf);
    p.setPen(QPen(light.lighter(125), 0.35));
    p.drawLine(QPointF(length * 0.08, 0), QPointF(length * 0.8, 0));
    p.restore();
}

// A paper strip (tanzaku) hanging from a point by a short thread, swinging
// by swingDeg, with a few brush strokes of writing on it.
void drawTanzaku(QPainter& p, QPointF hook, double thread, double w, double h, const QColor& paper,
                 double swingDeg, int variant)
{
    p.save();
    p.translate(hook);
    p.rotate(swingDeg);
    p.setPen(QPen(QColor(250, 245, 230), 0.5));
    p.drawLine(QPointF(0, 0), QPointF(0, thread));
    const QRectF strip(-w / 2, thread, w, h);
    QLinearGradient g(strip.topLeft(), strip.topRight());
    g.setColorAt(0, paper.lighter(118));
    g.setColorAt(1, paper.darker(112));
    p.setPen(QPen(QColor(40, 30, 40), 0.7));
    p.setBrush(g);
    p.drawRect(strip);
    // Brush writing: short dark strokes down the middle.
    QRandomGenerator rng{quint32(variant)};
    p.setPen(QPen(QColor(30, 20, 30, 200), 0.6, Qt::SolidLine, Qt::RoundCap));
    double y = thread + 2.2;
    while (y < thread + h - 2.5) {
        const double len = 1.0 + rng.bounded(1.6);
        const double dx = (rng.bounded(1.0) - 0.5) * 1.2;
        p.drawLine(QPointF(dx - 0.4, y), QPointF(dx + 0.5, y + len));
        y += len + 1.0;
    }
    // The hole and its knot.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(250, 245, 230));
    p.drawEllipse(QPointF(0, thread + 0.9), 0.55, 0.55);
    p.restore();
}

// A five-pointed paper star ornament.
void drawStar(QPainter& p, QPointF c, double r, double rotationDeg, const QColor& fill)
{
    QPainterPath star;
    for (int i = 0; i < 10; ++i) {
        const double a = (rotationDeg - 90 + i * 36) * kPi / 180;
        const double rr = (i % 2) ? r * 0.45 : r;
        const QPointF pt(c.x() + rr * std::cos(a), c.y() + rr * std::sin(a));
        if (i == 0)
            star.moveTo(pt);
        else
            star.lineTo(pt);
    }
    star.closeSubpath();
    QRadialGradient g(c - QPointF(r * 0.3, r * 0.3), r * 1.4);
    g.setColorAt(0, fill.lighter(150));
    g.setColorAt(1, fill.darker(115));
    p.setPen(QPen(QColor(70, 45, 10), 0.6));
    p.setBrush(g);
    p.drawPath(star);
}

// A bamboo culm segment from a to b with a node ring at b.
void drawCulm(QPainter& p, const QPainterPath& path, double width, const QColor& colour)
{
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(colour.darker(160), width + 1.0, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(path);
    p.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(path);
    p.setPen(QPen(colour.lighter(140), width * 0.3, Qt::SolidLine, Qt::RoundCap));
    p.translate(-width * 0.2, -width * 0.2);
    p.drawPath(path);
    p.translate(width * 0.2, width * 0.2);
}

// --------------------------------------------------------- shaped window --

const QColor kLeafDark(28, 96, 40);
const QColor kLeafLight(104, 176, 84);
const QColor kStem(82, 150, 60);

// The branch hangs from the top-right corner; sway turns it about that
// corner, the paper strips lag behind and swing the other way.
void drawSasaBranch(QPainter& p, double swayDeg)
{
    const QPointF pivot(97, 2);
    QTransform t;
    t.translate(pivot.x(), pivot.y());
    t.rotate(swayDeg);
    t.translate(-pivot.x(), -pivot.y());

    // Main stem and side twigs, in branch coordinates.
    QPainterPath stem;
    stem.moveTo(99, -1);
    stem.cubicTo(80, 12, 56, 26, 24, 46);
    QPainterPath twig1;
    twig1.moveTo(74, 17);
    twig1.quadTo(66, 30, 62, 44);
    QPainterPath twig2;
    twig2.moveTo(47, 32);
    twig2.quadTo(38, 44, 36, 58);
    QPainterPath twig3;
    twig3.moveTo(87, 8);
    twig3.quadTo(90, 22, 86, 34);

    p.save();
    p.setTransform(t, true);
    for (const QPainterPath* twig : {&twig1, &twig2, &twig3})
        drawCulm(p, *twig, 1.3, kStem);
    drawCulm(p, stem, 2.6, kStem);
    // Nodes along the stem.
    p.setPen(QPen(kStem.darker(190), 1.0));
    for (double s : {0.22, 0.45, 0.68, 0.9}) {
        const QPointF at = stem.pointAtPercent(s);
        const double a = stem.angleAtPercent(s) + 90;
        const QPointF d(1.9 * std::cos(a * kPi / 180), -1.9 * std::sin(a * kPi / 180));
        p.drawLine(at - d, at + d);
    }
    // Leaf clusters at the tips and along the stem.
    struct LeafSpec { double x, y, angle, length, width; };
    const LeafSpec leaves[] = {
        {24, 46, 108, 22, 5.6}, {24, 46, 152, 20, 5.2}, {24, 46, 72, 18, 5.0}, {24, 46, 190, 14, 4.4},
        {62, 44, 98, 20, 5.4}, {62, 44, 132, 17, 4.8}, {62, 44, 62, 16, 4.6},
        {36, 58, 82, 19, 5.2}, {36, 58, 120, 17, 5.0}, {36, 58, 50, 14, 4.4},
        {86, 34, 102, 18, 5.0}, {86, 34, 64, 15, 4.6}, {86, 34, 140, 14, 4.2},
        {56, 26, 145, 15, 4.4}, {78, 13, 155, 14, 4.2}, {40, 36, 165, 14, 4.2},
    };
    for (const LeafSpec& l : leaves)
        drawLeaf(p, QPointF(l.x, l.y), l.angle, l.length, l.width, kLeafDark, kLeafLight);
    p.restore();

    // Decorations hang straight down from points on the branch.
    struct Strip { double x, y, thread, w, h; QColor colour; int variant; };
    const Strip strips[] = {
        {70, 21, 5, 7, 21, QColor(226, 52, 48), 1},
        {53, 29, 4, 6.5, 19, QColor(250, 208, 40), 2},
        {88, 24, 4, 6.5, 18, QColor(40, 120, 220), 3},
        {40, 38, 5, 6, 17, QColor(150, 60, 180), 4},
        {62, 40, 3, 6, 15, QColor(240, 120, 170), 5},
    };
    for (const Strip& s : strips)
        drawTanzaku(p, t.map(QPointF(s.x, s.y)), s.thread, s.w, s.h, s.colour, swayDeg * 1.6, s.variant);
    const QPointF starHook = t.map(QPointF(29, 44));
    p.setPen(QPen(QColor(250, 245, 230), 0.5));
    p.drawLine(starHook, starHook + QPointF(0, 6));
    drawStar(p, starHook + QPointF(0, 11), 5.5, swayDeg * 3, QColor(255, 200, 40));
}

// Transparent background becomes the key grey with crisp edges: a pixel is
// either the branch (opaque) or the key, never a blend that would show as a
// grey fringe around the cut-out window.
QImage onKeyGrey(const QImage& drawn)
{
    QImage frame(drawn.size(), QImage::Format_RGB888);
    for (int y = 0; y < drawn.height(); ++y) {
        for (int x = 0; x < drawn.width(); ++x) {
            const QColor c = QColor::fromRgba(drawn.pixel(x, y));
            if (c.alpha() < 110) {
                frame.setPixelColor(x, y, kKeyGrey);
            } else {
                QColor solid(c.red(), c.green(), c.blue());
                // Never the key colour itself inside the branch.
                if (solid == kKeyGrey)
                    solid = QColor(190, 190, 190);
                frame.setPixelColor(x, y, solid);
            }
        }
    }
    frame.setPixelColor(0, 0, kKeyGrey);
    return frame;
}

QImage sasaFrame(double swayDeg)
{
    Canvas c(100, 100);
    drawSasaBranch(c.painter, swayDeg);
    QImage drawn = c.finish(100, 100);
    // Un-premultiply before thresholding.
    return onKeyGrey(drawn.convertToFormat(QImage::Format_ARGB32));
}

// ------------------------------------------------------------- idle picture --

void drawNightSky(QPainter& p, int frame, int frames)
{
    QLinearGradient sky(0, 0, 0, 103);
    sky.setColorAt(0, QColor(6, 10, 40));
    sky.setColorAt(0.55, QColor(28, 26, 84));
    sky.setColorAt(1, QColor(64, 40, 100));
    p.fillRect(QRectF(0, 0, 100, 103), sky);

    // The Milky Way: a soft diagonal band of haze, dense with small stars.
    p.save();
    p.translate(50, 48);
    p.rotate(-58);
    for (int i = 0; i < 5; ++i) {
        QRadialGradient haze(QPointF(-40 + i * 20, (i % 2) * 3 - 1.5), 22);
        haze.setColorAt(0, QColor(190, 200, 255, 46));
        haze.setColorAt(1, QColor(190, 200, 255, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(haze);
        p.drawEllipse(QPointF(-40 + i * 20, (i % 2) * 3 - 1.5), 26, 12);
    }
    QRandomGenerator band(11);
    for (int i = 0; i < 170; ++i) {
        const double x = band.bounded(150.0) - 75;
        const double y = (band.bounded(1.0) + band.bounded(1.0) + band.bounded(1.0) - 1.5) * 9;
        const int a = 90 + band.bounded(140);
        p.setBrush(QColor(235, 235, 255, a));
        p.drawEllipse(QPointF(x, y), 0.32, 0.32);
    }
    p.restore();

    // Scattered stars that twinkle, each in its own phase.
    QRandomGenerator field(23);
    for (int i = 0; i < 38; ++i) {
        const QPointF at(field.bounded(100.0), field.bounded(78.0));
        const double phase = field.bounded(2 * kPi);
        const double base = 0.45 + field.bounded(0.35);
        const double twinkle = base + 0.35 * std::sin(phase + 2 * kPi * frame / frames);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 250, 220, int(qBound(0.1, twinkle, 1.0) * 255)));
        p.drawEllipse(at, 0.55, 0.55);
    }

    // Vega and Altair, the weaver and the herdsman, on either side of the river.
    auto brightStar = [&](QPointF at, const QColor& colour, double phase) {
        const double pulse = 0.75 + 0.25 * std::sin(phase + 2 * kPi * frame / frames);
        QRadialGradient glow(at, 6 * pulse);
        glow.setColorAt(0, QColor(colour.red(), colour.green(), colour.blue(), 220));
        glow.setColorAt(0.25, QColor(colour.red(), colour.green(), colour.blue(), 90));
        glow.setColorAt(1, QColor(colour.red(), colour.green(), colour.blue(), 0));
        p.setPen(Qt::NoPen);
        p.setBrush(glow);
        p.drawEllipse(at, 6 * pulse, 6 * pulse);
        p.setPen(QPen(QColor(255, 255, 255, int(200 * pulse)), 0.45));
        p.drawLine(at - QPointF(5 * pulse, 0), at + QPointF(5 * pulse, 0));
        p.drawLine(at - QPointF(0, 5 * pulse), at + QPointF(0, 5 * pulse));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(at, 1.1, 1.1);
    };
    brightStar(QPointF(28, 18), QColor(200, 220, 255), 0.0);
    brightStar(QPointF(76, 62), QColor(255, 235, 200), kPi);
}

void drawIdleBamboo(QPainter& p, int frame, int frames)
{
    const double sway = 2.2 * std::sin(2 * kPi * frame / frames);
    // Ground: a low dark hill with a few fireflies above the grass.
    QPainterPath hill;
    hill.moveTo(0, 92);
    hill.cubicTo(30, 84, 65, 90, 100, 86);
    hill.lineTo(100, 103);
    hill.lineTo(0, 103);
    hill.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(8, 16, 24));
    p.drawPath(hill);
    for (int i = 0; i < 3; ++i) {
        const double a = 2 * kPi * frame / frames + i * 2.1;
        const QPointF at(42 + i * 20 + 2 * std::cos(a), 88 - i * 2 + 1.5 * std::sin(a * 2));
        QRadialGradient fly(at, 2.4);
        fly.setColorAt(0, QColor(220, 255, 140, int(150 + 100 * std::sin(a))));
        fly.setColorAt(1, QColor(220, 255, 140, 0));
        p.setBrush(fly);
        p.drawEllipse(at, 2.4, 2.4);
    }

    // A bamboo pole on the left, leaning into the picture, with decorations.
    p.save();
    p.translate(14, 100);
    p.rotate(sway * 0.5);
    QPainterPath culm;
    culm.moveTo(0, 0);
    culm.cubicTo(1, -30, 4, -60, 14, -90);
    drawCulm(p, culm, 2.6, QColor(60, 130, 52));
    p.setPen(QPen(QColor(30, 70, 26), 1.0));
    for (double s : {0.25, 0.5, 0.75}) {
        const QPointF at = culm.pointAtPercent(s);
        p.drawLine(at - QPointF(2, 0.2), at + QPointF(2, -0.2));
    }
    const QColor dark(22, 74, 34), light(84, 150, 70);
    struct LeafSpec { double s, angle, length; };
    const LeafSpec leaves[] = {
        {0.95, -20, 15}, {0.95, 30, 16}, {0.9, 70, 13}, {0.85, -50, 13}, {0.78, 15, 15},
        {0.7, 55, 13}, {0.62, 20, 14}, {0.55, -40, 11}, {0.45, 35, 13},
    };
    for (const LeafSpec& l : leaves)
        drawLeaf(p, culm.pointAtPercent(l.s), l.angle + sway * 3, l.length, 4.0, dark, light);
    p.restore();

    // The strips hang from points of the pole and swing in the breeze.
    QTransform poleT;
    poleT.translate(14, 100);
    poleT.rotate(sway * 0.5);
    struct Strip { double s, offset; QColor colour; int variant; double phase; };
    const Strip strips[] = {
        {0.82, 9, QColor(226, 52, 48), 1, 0.0},
        {0.64, 12, QColor(250, 208, 40), 2, 1.3},
        {0.48, 8, QColor(40, 120, 220), 3, 2.4},
        {0.9, 20, QColor(240, 120, 170), 5, 3.6},
    };
    for (const Strip& s : strips) {
        const QPointF hook = poleT.map(culm.pointAtPercent(s.s)) + QPointF(s.offset, 0);
        const double swing = 9 * std::sin(2 * kPi * frame / frames + s.phase);
        p.setPen(QPen(QColor(60, 130, 52), 0.8));
        p.drawLine(poleT.map(culm.pointAtPercent(s.s)), hook);
        drawTanzaku(p, hook, 3, 6, 17, s.colour, swing, s.variant);
    }
}

QImage tanabataFrame(int frame, int frames)
{
    Canvas c(100, 103);
    drawNightSky(c.painter, frame, frames);
    drawIdleBamboo(c.painter, frame, frames);
    return c.finish(100, 103).convertToFormat(QImage::Format_RGB32);
}

// ------------------------------------------------------- new-mail picture --

QFont gothic(double pixelSize, bool bold)
{
    QFont f(QStringLiteral("IPAPGothic"));
    f.setPixelSize(qMax(1, int(std::round(pixelSize))));
    f.setBold(bold);
    return f;
}

void drawSparkle(QPainter& p, QPointF at, double r, const QColor& colour)
{
    QPainterPath s;
    s.moveTo(at.x(), at.y() - r);
    s.quadTo(at.x(), at.y(), at.x() + r, at.y());
    s.quadTo(at.x(), at.y(), at.x(), at.y() + r);
    s.quadTo(at.x(), at.y(), at.x() - r, at.y());
    s.quadTo(at.x(), at.y(), at.x(), at.y() - r);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(s);
}

// The envelope bobs, its flap opens, a letter rises out of it, and the words
// "新着メール" pulse above while sparkles wink around it.
QImage shintyakuFrame(int frame, int frames)
{
    Canvas c(100, 103);
    QPainter& p = c.painter;
    const double t = double(frame) / frames;

    // A warm background with slowly turning rays.
    QRadialGradient bg(QPointF(50, 58), 70);
    bg.setColorAt(0, QColor(255, 246, 214));
    bg.setColorAt(1, QColor(255, 196, 140));
    p.fillRect(QRectF(0, 0, 100, 103), bg);
    p.save();
    p.translate(50, 60);
    p.rotate(t * 30);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 70));
    for (int i = 0; i < 12; ++i) {
        QPainterPath ray;
        ray.moveTo(0, 0);
        ray.lineTo(90 * std::cos(i * kPi / 6 - 0.09), 90 * std::sin(i * kPi / 6 - 0.09));
        ray.lineTo(90 * std::cos(i * kPi / 6 + 0.09), 90 * std::sin(i * kPi / 6 + 0.09));
        ray.closeSubpath();
        p.drawPath(ray);
    }
    p.restore();

    // Phase of the story: 0..0.3 bob, 0.3..0.5 flap opens, 0.5..1 letter up.
    const double bob = 2.0 * std::sin(2 * kPi * t * 2);
    const double open = qBound(0.0, (t - 0.25) / 0.25, 1.0);
    const double rise = qBound(0.0, (t - 0.45) / 0.35, 1.0);
    const QRectF env(22, 52 + bob, 56, 36);

    // Shadow.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 60, 20, 60));
    p.drawEllipse(QPointF(50, 94), 26 - bob, 3.2);

    // Back of the envelope and the open flap behind the letter.
    const QColor paper(255, 255, 250), edge(150, 90, 60);
    p.setPen(QPen(edge, 0.9));
    p.setBrush(QColor(236, 226, 210));
    p.drawRect(env);
    if (open > 0) {
        QPainterPath flap;
        flap.moveTo(env.topLeft());
        flap.lineTo(env.center().x(), env.top() - 20 * open + 18 * (1 - open));
        flap.lineTo(env.topRight());
        flap.closeSubpath();
        p.setBrush(QColor(244, 234, 218));
        p.drawPath(flap);
    }

    // The letter, rising.
    if (open > 0.5) {
        const QRectF letter(29, env.top() + 4 - 28 * rise, 42, 30);
        p.setPen(QPen(QColor(170, 140, 110), 0.7));
        p.setBrush(paper);
        p.drawRect(letter);
        p.setPen(QPen(QColor(120, 130, 160), 0.8));
        for (int i = 0; i < 3; ++i)
            p.drawLine(QPointF(letter.left() + 5, letter.top() + 7 + i * 5),
                       QPointF(letter.right() - 5 - (i == 2 ? 10 : 0), letter.top() + 7 + i * 5));
        // A small heart seal on the letter.
        QPainterPath heart;
        const QPointF h(letter.right() - 8, letter.top() + 20);
        heart.moveTo(h.x(), h.y() + 3);
        heart.cubicTo(h.x() - 5, h.y() - 1, h.x() - 2, h.y() - 4.5, h.x(), h.y() - 1.5);
        heart.cubicTo(h.x() + 2, h.y() - 4.5, h.x() + 5, h.y() - 1, h.x(), h.y() + 3);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(230, 40, 70));
        p.drawPath(heart);
    }

    // Front pocket of the envelope over the lower part of the letter.
    QPainterPath pocket;
    pocket.moveTo(env.left(), env.top() + 6);
    pocket.lineTo(env.center().x(), env.top() + 22);
    pocket.lineTo(env.right(), env.top() + 6);
    pocket.lineTo(env.bottomRight());
    pocket.lineTo(env.bottomLeft());
    pocket.closeSubpath();
    QLinearGradient pg(env.topLeft(), env.bottomLeft());
    pg.setColorAt(0, paper);
    pg.setColorAt(1, QColor(244, 236, 224));
    p.setPen(QPen(edge, 0.9));
    p.setBrush(pg);
    p.drawPath(pocket);
    if (open <= 0) { // closed flap, with a red seal
        QPainterPath flap;
        flap.moveTo(env.topLeft());
        flap.lineTo(env.center().x(), env.top() + 20);
        flap.lineTo(env.topRight());
        flap.closeSubpath();
        p.setBrush(QColor(250, 244, 234));
        p.drawPath(flap);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(210, 40, 50));
        p.drawEllipse(QPointF(env.center().x(), env.top() + 19), 3.2, 3.2);
    }

    // The words, pulsing: bigger and brighter on the beat.
    const double pulse = 0.5 + 0.5 * std::cos(2 * kPi * t * 2);
    QFont font = gothic(15 + pulse * 1.5, true);
    QPainterPath text;
    const QString words = QStringLiteral("新着メール");
    const double width = QFontMetricsF(font).horizontalAdvance(words);
    text.addText(QPointF(50 - width / 2, 19), font, words);
    p.setPen(QPen(QColor(255, 255, 255), 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(text);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(int(200 + 40 * pulse), 20, 40));
    p.drawPath(text);
    // "!" marks bouncing at the sides.
    p.setBrush(QColor(255, 140, 0));
    QFont bang = gothic(12, true);
    QPainterPath marks;
    marks.addText(QPointF(6, 40 - 3 * pulse), bang, QStringLiteral("!"));
    marks.addText(QPointF(89, 40 - 3 * (1 - pulse)), bang, QStringLiteral("!"));
    p.drawPath(marks);

    // Sparkles around the envelope, winking in turn.
    const QPointF spots[] = {{14, 52}, {86, 50}, {18, 82}, {84, 80}, {50, 30}};
    for (int i = 0; i < 5; ++i) {
        const double s = std::sin(2 * kPi * (t * 2 + i * 0.2));
        if (s > 0)
            drawSparkle(p, spots[i], 2 + 3 * s, QColor(255, 255, 255, 230));
    }
    return c.finish(100, 103).convertToFormat(QImage::Format_RGB32);
}

// ------------------------------------------------------------------- lamp --

QImage lamp(const QColor& colour)
{
    Canvas c(16, 16);
    QPainter& p = c.painter;
    p.setPen(QPen(QColor(40, 40, 40), 1.0));
    QRadialGradient body(QPointF(6, 6), 9);
    body.setColorAt(0, colour.lighter(160));
    body.setColorAt(0.6, colour);
    body.setColorAt(1, colour.darker(170));
    p.setBrush(body);
    p.drawEllipse(QPointF(8, 8), 6.5, 6.5);
    QRadialGradient shine(QPointF(6, 5.2), 3);
    shine.setColorAt(0, QColor(255, 255, 255, 230));
    shine.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shine);
    p.drawEllipse(QPointF(6, 5.2), 3, 2.4);
    QImage image = c.finish(16, 16).convertToFormat(QImage::Format_ARGB32);
    // GIF transparency is all or nothing: settle each edge pixel.
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            QColor px = QColor::fromRgba(image.pixel(x, y));
            px.setAlpha(px.alpha() < 100 ? 0 : 255);
            image.setPixelColor(x, y, px);
        }
    return image;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv); // fonts need it
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_pictures <output folder>\n");
        return 2;
    }
    g_out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(g_out);
    bool ok = true;

    const QImage first = sasaFrame(-2.0);
    const QImage second = sasaFrame(2.0);
    for (int k = 0; k < 8; ++k) {
        const bool isFirst = (k == 0 || k == 3 || k == 4 || k == 7);
        ok &= save(isFirst ? first : second, QStringLiteral("Sasa%1.bmp").arg(k));
    }

    const int idleFrames = 12;
    for (int f = 0; f < idleFrames; ++f)
        ok &= save(tanabataFrame(f, idleFrames), QStringLiteral("tanabata-%1.png").arg(f, 2, 10, QLatin1Char('0')));
    const int alertFrames = 16;
    for (int f = 0; f < alertFrames; ++f)
        ok &= save(shintyakuFrame(f, alertFrames), QStringLiteral("shintyaku-%1.png").arg(f, 2, 10, QLatin1Char('0')));

    ok &= save(lamp(QColor(40, 200, 60)), QStringLiteral("lamp-green.png"));
    ok &= save(lamp(QColor(220, 40, 40)), QStringLiteral("lamp-red.png"));
    return ok ? 0 : 1;
}
