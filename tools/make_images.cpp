// Draws the pictures compiled into the programs (resources/images/*.png).
// Build and run through tools/make_images.sh; the output is committed.
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStringList>
#include <cmath>
#include <cstdio>

namespace {

QString outDir;

const QColor kInk(0x2b, 0x2f, 0x36);
const QColor kAccent(0x1f, 0x6f, 0xb5);
const QColor kAccentLight(0x5b, 0xa4, 0xe6);
const QColor kWarm(0xe0, 0x7a, 0x1f);

QImage blank(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void save(const QImage& img, const QString& name)
{
    const QString path = outDir + "/" + name + ".png";
    if (!img.save(path, "PNG", 0)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
}

QFont font(int px, int weight = QFont::Normal, const QString& family = "DejaVu Sans")
{
    QFont f(family);
    f.setPixelSize(px);
    f.setWeight(weight);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

// Stylised "Q" with a play triangle inside: the program's mark.
void drawMark(QPainter& p, const QRectF& r)
{
    p.save();
    const qreal w = r.width();
    QPen ring(kAccent, w * 0.13);
    ring.setCapStyle(Qt::RoundCap);
    p.setPen(ring);
    p.setBrush(Qt::NoBrush);
    const QRectF circle = r.adjusted(w * 0.1, w * 0.1, -w * 0.1, -w * 0.1);
    p.drawEllipse(circle);
    p.drawLine(QPointF(r.left() + w * 0.66, r.top() + w * 0.66),
               QPointF(r.left() + w * 0.92, r.top() + w * 0.92));
    QPainterPath tri;
    const QPointF c = circle.center();
    const qreal s = w * 0.2;
    tri.moveTo(c.x() - s * 0.6, c.y() - s);
    tri.lineTo(c.x() + s, c.y());
    tri.lineTo(c.x() - s * 0.6, c.y() + s);
    tri.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kWarm);
    p.drawPath(tri);
    p.restore();
}

void makeIcon()
{
    QImage img = blank(64, 64);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf4, 0xf6, 0xf8));
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    drawMark(p, QRectF(6, 6, 52, 52));
    p.end();
    save(img, "icon");
}

void makeQuorvelLogo()
{
    QImage img = blank(291, 41);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    drawMark(p, QRectF(2, 2, 37, 37));
    p.setPen(kInk);
    p.setFont(font(26, QFont::Bold));
    p.drawText(QRectF(46, 0, 150, 41), Qt::AlignVCenter | Qt::AlignLeft, "Quorvel");
    p.setPen(QColor(0x55, 0x5b, 0x66));
    p.setFont(font(10));
    p.drawText(QRectF(170, 4, 121, 36), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextWordWrap,
               "content preparation\nfor Ostrand Kelvane players");
    p.end();
    save(img, "quorvellogo");
}

void makeOstrandLogo()
{
    QImage img = blank(51, 41);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setPen(QPen(kInk, 2.5));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(3, 3, 45, 35), 8, 8);
    p.setFont(font(18, QFont::Black));
    p.drawText(QRectF(3, 3, 45, 35), Qt::AlignCenter, "OK");
    p.end();
    save(img, "ostrandlogotransparent");
}

// One step strip per wizard page: the current step is highlighted.
void makeNav(int current, const QString& name)
{
    const int w = 571, h = 35;
    QImage img = blank(w, h);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QStringList steps = {"1  Target Device", "2  Input Files", "3  Output Settings",
                               "4  Encode"};
    const qreal slot = (w - 20) / 4.0;
    for (int i = 0; i < steps.size(); ++i) {
        const QRectF r(10 + i * slot + 3, 6, slot - 6, h - 12);
        if (i == current) {
            p.setPen(Qt::NoPen);
            p.setBrush(kAccent);
            p.drawRoundedRect(r, 11, 11);
            p.setPen(Qt::white);
            p.setFont(font(12, QFont::Bold));
        } else {
            p.setPen(QPen(QColor(0x8a, 0x8f, 0x97), 1));
            p.setBrush(QColor(255, 255, 255, 90));
            p.drawRoundedRect(r, 11, 11);
            p.setPen(i < current ? kInk : QColor(0x6a, 0x6f, 0x78));
            p.setFont(font(12));
        }
        p.drawText(r, Qt::AlignCenter, steps[i]);
        if (i + 1 < steps.size()) {
            // small chevron between the steps
            const qreal x = 10 + (i + 1) * slot;
            p.setPen(QPen(QColor(0x6a, 0x6f, 0x78), 1.5));
            p.drawLine(QPointF(x - 2, h / 2.0 - 4), QPointF(x + 1.5, h / 2.0));
            p.drawLine(QPointF(x + 1.5, h / 2.0), QPointF(x - 2, h / 2.0 + 4));
        }
    }
    p.end();
    save(img, name);
}

void drawArrow(QPainter& p, const QRectF& r, const QColor& c)
{
    QPainterPath a;
    const qreal w = r.width(), h = r.height();
    a.moveTo(r.left() + w * 0.1, r.top() + h * 0.38);
    a.lineTo(r.left() + w * 0.55, r.top() + h * 0.38);
    a.lineTo(r.left() + w * 0.55, r.top() + h * 0.15);
    a.lineTo(r.left() + w * 0.92, r.top() + h * 0.5);
    a.lineTo(r.left() + w * 0.55, r.top() + h * 0.85);
    a.lineTo(r.left() + w * 0.55, r.top() + h * 0.62);
    a.lineTo(r.left() + w * 0.1, r.top() + h * 0.62);
    a.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPath(a);
}

void makeRightArrow()
{
    QImage img = blank(24, 24);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    drawArrow(p, QRectF(1.5, 2.0, 22, 22), QColor(0, 0, 0, 70));
    drawArrow(p, QRectF(0, 0.5, 22, 22), QColor(0x2e, 0x9a, 0x3e));
    p.end();
    save(img, "rightarrowshadow");
}

void makePlusMinus(bool plus)
{
    QImage img = blank(16, 16);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(plus ? QColor(0x2e, 0x9a, 0x3e) : QColor(0xc6, 0x32, 0x2b));
    p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(3.5, 6.75, 9, 2.5));
    if (plus)
        p.drawRect(QRectF(6.75, 3.5, 2.5, 9));
    p.end();
    save(img, plus ? "plusicon" : "minusicon");
}

void makeTransparentBG()
{
    QImage img(570, 351, QImage::Format_ARGB32);
    img.fill(QColor(0, 0, 0, 120));
    save(img, "transparentBG");
}

void makeHammer()
{
    QImage img = blank(49, 45);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(24.5, 22.5);
    p.rotate(-40);
    // handle
    p.setPen(QPen(QColor(0x5a, 0x3a, 0x1e), 1));
    p.setBrush(QColor(0xb0, 0x7a, 0x45));
    p.drawRoundedRect(QRectF(-3, -8, 6, 30), 2, 2);
    // head
    p.setPen(QPen(QColor(0x30, 0x33, 0x38), 1));
    p.setBrush(QColor(0x7d, 0x84, 0x8e));
    p.drawRoundedRect(QRectF(-15, -17, 30, 11), 2, 2);
    p.setBrush(QColor(0xa9, 0xb0, 0xb9));
    p.drawRect(QRectF(-15, -17, 30, 3));
    p.end();
    save(img, "hammer");
}

void makeArrows()
{
    QImage img = blank(48, 48);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(24, 24);
    QPen pen(kAccent, 5);
    pen.setCapStyle(Qt::FlatCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QRectF arc(8, 8, 32, 32);
    for (int k = 0; k < 2; ++k) {
        const qreal start = 20 + k * 180;
        p.drawArc(arc, int(start * 16), int(140 * 16));
        // arrow head at the end of the arc
        const qreal a = (start + 140) * M_PI / 180.0;
        const QPointF tip(c.x() + 16 * std::cos(a), c.y() - 16 * std::sin(a));
        const QPointF dir(-std::sin(a), -std::cos(a)); // direction of travel
        const QPointF nrm(std::cos(a), -std::sin(a));
        QPainterPath head;
        head.moveTo(tip + dir * 7);
        head.lineTo(tip + nrm * 7);
        head.lineTo(tip - nrm * 7);
        head.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(kAccent);
        p.drawPath(head);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
    }
    p.end();
    save(img, "arrows");
}

// --- FTP setup panel ---

// Title picture of the FTP setup panel: an arrow going up to a player's
// network port, drawn as a small rack unit.
void makeFtpUpload()
{
    QImage img = blank(45, 40);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    // the player, two rack units seen from the front
    for (int i = 0; i < 2; ++i) {
        const QRectF unit(17, 4 + i * 11, 26, 9);
        p.setPen(QPen(kInk, 1));
        p.setBrush(i == 0 ? QColor(0x4a, 0x55, 0x63) : QColor(0x3a, 0x3f, 0x47));
        p.drawRoundedRect(unit, 2, 2);
        p.setPen(Qt::NoPen);
        p.setBrush(i == 0 ? QColor(0x3c, 0xe0, 0x5a) : QColor(0x55, 0x5a, 0x60));
        p.drawEllipse(QRectF(unit.right() - 6, unit.top() + 3, 3, 3));
        p.setBrush(QColor(0x1a, 0x2a, 0x3a));
        p.drawRect(QRectF(unit.left() + 3, unit.top() + 3, 10, 3));
    }
    // network line from the arrow to the player
    p.setPen(QPen(kInk, 1.5));
    p.drawLine(QPointF(30, 24), QPointF(30, 30));
    p.drawLine(QPointF(30, 30), QPointF(16, 30));
    // the upload arrow
    QPainterPath arrow;
    arrow.moveTo(9, 1.5);
    arrow.lineTo(17, 11);
    arrow.lineTo(12, 11);
    arrow.lineTo(12, 25);
    arrow.lineTo(6, 25);
    arrow.lineTo(6, 11);
    arrow.lineTo(1, 11);
    arrow.closeSubpath();
    p.setPen(QPen(kAccent.darker(130), 1));
    p.setBrush(kAccentLight);
    p.drawPath(arrow);
    // the file on its way
    const QRectF file(2, 27, 14, 12);
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    p.setBrush(QColor(0xfa, 0xfa, 0xfa));
    p.drawRect(file);
    p.setPen(Qt::NoPen);
    p.setBrush(kWarm);
    p.drawRect(file.adjusted(3, 3, -3, -5));
    p.end();
    save(img, "ftpupload");
}

// --- device pictures: one 280 x 203 panel per player, in list order ---

void drawLeds(QPainter& p, qreal x, qreal y, int n, const QColor& on)
{
    for (int i = 0; i < n; ++i) {
        p.setPen(Qt::NoPen);
        p.setBrush(i == 0 ? on : QColor(0x55, 0x5a, 0x60));
        p.drawEllipse(QRectF(x + i * 9, y, 5, 5));
    }
}

// A rack-style player seen from the front at a slight angle.
void drawRackPlayer(QPainter& p, const QRectF& r, const QColor& body, const QString& badge,
                    bool display)
{
    // top face
    QPainterPath top;
    top.moveTo(r.left() + 14, r.top());
    top.lineTo(r.right(), r.top());
    top.lineTo(r.right() - 14, r.top() + 14);
    top.lineTo(r.left(), r.top() + 14);
    top.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(body.lighter(135));
    p.drawPath(top);
    // front face
    const QRectF front(r.left(), r.top() + 14, r.width() - 14, r.height() - 14);
    p.setBrush(body);
    p.drawRect(front);
    // side
    QPainterPath side;
    side.moveTo(r.right() - 14, r.top() + 14);
    side.lineTo(r.right(), r.top());
    side.lineTo(r.right(), r.bottom() - 14);
    side.lineTo(r.right() - 14, r.bottom());
    side.closeSubpath();
    p.setBrush(body.darker(140));
    p.drawPath(side);
    if (display) {
        const QRectF lcd(front.left() + 12, front.top() + 10, 70, front.height() - 20);
        p.setBrush(QColor(0x1a, 0x2a, 0x3a));
        p.drawRoundedRect(lcd, 3, 3);
        p.setPen(QColor(0x6f, 0xd3, 0xff));
        p.setFont(font(9, QFont::Bold, "DejaVu Sans Mono"));
        p.drawText(lcd, Qt::AlignCenter, "PLAY 001");
    }
    drawLeds(p, front.right() - 60, front.center().y() - 2, 5, QColor(0x3c, 0xe0, 0x5a));
    p.setPen(QColor(255, 255, 255, 210));
    p.setFont(font(10, QFont::Bold));
    p.drawText(QRectF(front.left() + 86, front.top(), 56, front.height()), Qt::AlignCenter,
               badge);
}

// A small stand-alone box with connectors on the front.
void drawBoxPlayer(QPainter& p, const QRectF& r, const QColor& body, const QString& badge)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawRoundedRect(r.translated(4, 5), 10, 10);
    p.setBrush(body);
    p.drawRoundedRect(r, 10, 10);
    p.setBrush(body.lighter(130));
    p.drawRoundedRect(QRectF(r.left(), r.top(), r.width(), 16), 8, 8);
    // connectors
    for (int i = 0; i < 4; ++i) {
        const QPointF c(r.left() + 22 + i * 22, r.bottom() - 22);
        p.setBrush(QColor(0xd8, 0xb4, 0x4a));
        p.drawEllipse(c, 7, 7);
        p.setBrush(QColor(0x33, 0x33, 0x33));
        p.drawEllipse(c, 2.5, 2.5);
    }
    drawLeds(p, r.right() - 52, r.bottom() - 25, 4, QColor(0x3c, 0xe0, 0x5a));
    p.setPen(QColor(255, 255, 255, 220));
    p.setFont(font(13, QFont::Bold));
    p.drawText(QRectF(r.left(), r.top() + 18, r.width(), 34), Qt::AlignCenter, badge);
}

void drawDevicePanel(QPainter& p, int index, const QRectF& panel)
{
    struct Dev {
        const char* title;
        const char* subtitle;
    };
    static const Dev devs[8] = {
        {"Pellarine HD", "PLN3300"},
        {"Pellarine HD", "PLN3200"},
        {"Pellarine", "PLN3100"},
        {"A/V Verrino", "Uncompressed"},
        {"A/V Verrino HD", "Digital Verrino HD"},
        {"A/V Verrino", "Video Verrino"},
        {"Kadrelo", "KD2000"},
        {"Zephrane 4K", "UltraHD player"},
    };
    const Dev& d = devs[index];
    const QRectF art(panel.left() + 30, panel.top() + 40, 220, 90);
    switch (index) {
    case 0: drawRackPlayer(p, QRectF(art.left(), art.top() + 20, 220, 60), QColor(0x3a, 0x3f, 0x47), "PLN3300", true); break;
    case 1: drawRackPlayer(p, QRectF(art.left(), art.top() + 20, 220, 60), QColor(0x4a, 0x55, 0x63), "PLN3200", true); break;
    case 2: drawRackPlayer(p, QRectF(art.left(), art.top() + 25, 220, 50), QColor(0x6b, 0x70, 0x78), "PLN3100", false); break;
    case 3: {
        // uncompressed: a player with a stack of frame files beside it
        drawBoxPlayer(p, QRectF(art.left() + 10, art.top() + 5, 120, 85), QColor(0x5b, 0x2d, 0x82), "UC");
        for (int i = 3; i >= 0; --i) {
            const QRectF f(art.left() + 150 + i * 9, art.top() + 8 + i * 6, 40, 46);
            p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
            p.setBrush(QColor(0xfa, 0xfa, 0xfa));
            p.drawRect(f);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0x9b, 0xc8, 0xef));
            p.drawRect(f.adjusted(4, 4, -4, -20));
        }
        p.setPen(kInk);
        p.setFont(font(9, QFont::Bold));
        p.drawText(QRectF(art.left() + 145, art.top() + 76, 80, 14), Qt::AlignCenter, ".tga / .krx");
        break;
    }
    case 4: drawBoxPlayer(p, QRectF(art.left() + 40, art.top(), 140, 90), QColor(0x1f, 0x5e, 0x9c), "HD"); break;
    case 5: drawBoxPlayer(p, QRectF(art.left() + 50, art.top() + 10, 120, 80), QColor(0x2f, 0x7a, 0x4c), "SD"); break;
    case 6: drawRackPlayer(p, QRectF(art.left(), art.top() + 15, 220, 70), QColor(0x8a, 0x3b, 0x2a), "KD2000", true); break;
    case 7: {
        drawRackPlayer(p, QRectF(art.left(), art.top() + 15, 220, 70), QColor(0x22, 0x22, 0x26), "", true);
        p.setPen(Qt::NoPen);
        p.setBrush(kWarm);
        const QRectF badge(art.left() + 92, art.top() + 42, 56, 30);
        p.drawRoundedRect(badge, 5, 5);
        p.setPen(Qt::white);
        p.setFont(font(18, QFont::Black));
        p.drawText(badge, Qt::AlignCenter, "4K");
        break;
    }
    }
    p.setPen(kInk);
    p.setFont(font(17, QFont::Bold));
    p.drawText(QRectF(panel.left(), panel.top() + 140, panel.width(), 26), Qt::AlignCenter, d.title);
    p.setPen(QColor(0x4a, 0x4f, 0x58));
    p.setFont(font(13));
    p.drawText(QRectF(panel.left(), panel.top() + 166, panel.width(), 22), Qt::AlignCenter, d.subtitle);
}

void makeProductBanner()
{
    // One 280-pixel picture per device, plus one empty slot at the end.
    const int w = 2520, h = 203;
    QImage img = blank(w, h);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    for (int i = 0; i < 8; ++i) {
        const QRectF panel(i * 280, 0, 280, h);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xe6, 0xe8, 0xeb));
        p.drawRoundedRect(panel.adjusted(4, 4, -4, -4), 10, 10);
        drawDevicePanel(p, i, panel);
    }
    p.end();
    save(img.convertToFormat(QImage::Format_ARGB32), "productbanner");
}


// --- batch conversion window tool bar ---

// A small stack of picture frames: an image sequence.
void drawFrameStack(QPainter& p)
{
    for (int i = 2; i >= 0; --i) {
        const QRectF frame(3 + i * 3, 9 - i * 3, 19, 15);
        p.setPen(QPen(kInk, 1));
        p.setBrush(i == 0 ? QColor(0xfa, 0xfa, 0xfa) : QColor(0xd8, 0xdc, 0xe2));
        p.drawRect(frame);
    }
    // the front frame's picture: sky and a hill
    const QRectF picture(5, 11, 15, 11);
    p.setPen(Qt::NoPen);
    p.setBrush(kAccentLight);
    p.drawRect(picture);
    QPainterPath hill;
    hill.moveTo(picture.bottomLeft());
    hill.quadTo(QPointF(10, 14), QPointF(picture.right(), picture.bottom() - 3));
    hill.lineTo(picture.bottomRight());
    hill.closeSubpath();
    p.setBrush(QColor(0x3e, 0x8e, 0x4a));
    p.drawPath(hill);
}

// A player drive seen from the front, with its activity light.
void drawDrive(QPainter& p)
{
    const QRectF body(2, 8, 24, 15);
    QLinearGradient shade(body.topLeft(), body.bottomLeft());
    shade.setColorAt(0, QColor(0x8c, 0x96, 0xa3));
    shade.setColorAt(1, QColor(0x4a, 0x52, 0x5c));
    p.setPen(QPen(kInk, 1));
    p.setBrush(shade);
    p.drawRoundedRect(body, 3, 3);
    p.setPen(QPen(QColor(0x2b, 0x2f, 0x36, 120), 1));
    p.drawLine(QPointF(5, 17.5), QPointF(16, 17.5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x3c, 0xe0, 0x5a));
    p.drawEllipse(QRectF(20, 16, 3.5, 3.5));
}

// The round badge in the lower right corner: plus (green) or minus (red).
void drawBadge(QPainter& p, bool plus)
{
    p.setPen(QPen(Qt::white, 1.2));
    p.setBrush(plus ? QColor(0x2e, 0x9a, 0x3e) : QColor(0xc6, 0x32, 0x2b));
    p.drawEllipse(QRectF(18, 18, 13, 13));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(21, 23.75, 7, 2.5));
    if (plus)
        p.drawRect(QRectF(23.75, 21, 2.5, 7));
}

void makeBatchIcon(const QString& name, bool drive, bool plus)
{
    QImage img = blank(32, 32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    if (drive)
        drawDrive(p);
    else
        drawFrameStack(p);
    drawBadge(p, plus);
    p.end();
    save(img, name);
}

void makePlayStop(bool play)
{
    QImage img = blank(32, 32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor fill = play ? QColor(0x2e, 0x9a, 0x3e) : QColor(0xc6, 0x32, 0x2b);
    QLinearGradient shade(QPointF(0, 4), QPointF(0, 28));
    shade.setColorAt(0, fill.lighter(130));
    shade.setColorAt(1, fill.darker(110));
    p.setPen(QPen(fill.darker(150), 1.2));
    p.setBrush(shade);
    if (play) {
        QPainterPath tri;
        tri.moveTo(8, 4.5);
        tri.lineTo(27, 16);
        tri.lineTo(8, 27.5);
        tri.closeSubpath();
        p.drawPath(tri);
    } else {
        p.drawRoundedRect(QRectF(6.5, 6.5, 19, 19), 3, 3);
    }
    p.end();
    save(img, play ? "Play" : "Stop");
}

// The six tool-bar pictures of the batch window; "batch" as second argument
// draws only these.
void makeBatchImages()
{
    makeBatchIcon("AddIcon", false, true);
    makeBatchIcon("DeleteIcon", false, false);
    makeBatchIcon("AddDestIcon", true, true);
    makeBatchIcon("DeleteDestIcon", true, false);
    makePlayStop(true);
    makePlayStop(false);
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_images OUTPUT_FOLDER\n");
        return 2;
    }
    outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);
    if (argc > 2 && QByteArray(argv[2]) == "batch") {
        makeBatchImages();
        return 0;
    }
    makeIcon();
    makeQuorvelLogo();
    makeOstrandLogo();
    makeNav(0, "navsettings");
    makeNav(1, "navinput");
    makeNav(2, "navoutput");
    makeRightArrow();
    makePlusMinus(true);
    makePlusMinus(false);
    makeTransparentBG();
    makeHammer();
    makeArrows();
    makeProductBanner();
    makeFtpUpload();
    makeBatchImages();
    return 0;
}
