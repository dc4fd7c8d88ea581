#include "Artwork.h"

#include <QIcon>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace updater::res {
namespace {

const QColor kBlue(30, 90, 200);
const QColor kDarkBlue(15, 50, 130);

void drawBackground(QPainter &p, int width, int height)
{
    QLinearGradient g(0, 0, 0, height);
    g.setColorAt(0.0, QColor(236, 250, 228));
    g.setColorAt(1.0, QColor(176, 226, 150));
    p.fillRect(0, 0, width, height, g);
}

// A folder with a tab, its front flap lighter than the back.
void drawFolder(QPainter &p)
{
    p.setPen(QPen(kDarkBlue, 1));
    QPainterPath back;
    back.moveTo(12, 5);
    back.lineTo(19, 5);
    back.lineTo(21, 7);
    back.lineTo(33, 7);
    back.lineTo(33, 20);
    back.lineTo(12, 20);
    back.closeSubpath();
    p.setBrush(kBlue);
    p.drawPath(back);
    QPainterPath front;
    front.moveTo(13, 10);
    front.lineTo(35, 10);
    front.lineTo(32, 20);
    front.lineTo(11, 20);
    front.closeSubpath();
    p.setBrush(QColor(90, 150, 240));
    p.drawPath(front);
}

// A D-shaped serial connector with pins, its cable leaving to the right.
void drawPlug(QPainter &p)
{
    const int x0 = kToolbarImageWidth;
    p.setPen(QPen(QColor(60, 60, 60), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(x0 + 30, 12, x0 + 41, 12);
    p.setPen(QPen(QColor(70, 70, 70), 1));
    p.setBrush(QColor(180, 180, 190));
    p.drawRect(x0 + 22, 7, 8, 11);
    QPainterPath shell;
    shell.moveTo(x0 + 5, 6);
    shell.lineTo(x0 + 22, 6);
    shell.lineTo(x0 + 22, 19);
    shell.lineTo(x0 + 5, 19);
    shell.closeSubpath();
    p.setBrush(QColor(120, 130, 150));
    p.drawPath(shell);
    p.setBrush(QColor(230, 200, 80));
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 3; ++i) {
        p.drawEllipse(QPointF(x0 + 9.5 + 5 * i, 10.5), 1.5, 1.5);
        p.drawEllipse(QPointF(x0 + 9.5 + 5 * i, 15.0), 1.5, 1.5);
    }
}

// A thick arrow pointing down, centred in the third image.
void drawArrow(QPainter &p, QPointF origin, qreal scale, const QColor &fill)
{
    QPainterPath arrow;
    arrow.moveTo(-4, -10);
    arrow.lineTo(4, -10);
    arrow.lineTo(4, 0);
    arrow.lineTo(10, 0);
    arrow.lineTo(0, 10);
    arrow.lineTo(-10, 0);
    arrow.lineTo(-4, 0);
    arrow.closeSubpath();
    p.save();
    p.translate(origin);
    p.scale(scale, scale);
    p.setPen(QPen(kDarkBlue, 1.0 / scale));
    p.setBrush(fill);
    p.drawPath(arrow);
    p.restore();
}

} // namespace

QImage toolbarStrip()
{
    const int width = kToolbarImageWidth * kToolbarImageCount;
    QImage strip(width, kToolbarImageHeight, QImage::Format_RGB32);
    QPainter p(&strip);
    p.setRenderHint(QPainter::Antialiasing);
    drawBackground(p, width, kToolbarImageHeight);
    drawFolder(p);
    drawPlug(p);
    drawArrow(p, QPointF(2 * kToolbarImageWidth + 22.5, 12.5), 1.0, kBlue);
    return strip;
}

QImage toolbarImage(int index)
{
    return toolbarStrip().copy(index * kToolbarImageWidth, 0, kToolbarImageWidth,
                               kToolbarImageHeight);
}

void paintApplicationIcon(QPainter &p)
{
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, 32);
    g.setColorAt(0.0, QColor(120, 200, 90));
    g.setColorAt(1.0, QColor(40, 130, 60));
    p.setPen(QPen(QColor(20, 80, 30), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(1.5, 1.5, 29, 29), 5, 5);
    // A sun in the corner stands for the solar side of the inverter.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 215, 60));
    p.drawEllipse(QPointF(24, 8), 4, 4);
    drawArrow(p, QPointF(14, 17), 1.05, QColor(235, 245, 255));
    p.setPen(QPen(QColor(235, 245, 255), 2));
    p.drawLine(QPointF(5, 28), QPointF(23, 28));
}

QImage applicationIcon(int size)
{
    QImage icon(size, size, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    p.scale(size / qreal(kIconUnits), size / qreal(kIconUnits));
    paintApplicationIcon(p);
    return icon;
}

QIcon applicationIconSet()
{
    QIcon icon;
    for (const int size : kIconSizes)
        icon.addPixmap(QPixmap::fromImage(applicationIcon(size)));
    return icon;
}

} // namespace updater::res
