#include "app/FlatFaceButton.h"

#include <QPainter>

namespace
{
// The classic 3-D colours, fixed so that no platform theme changes the edge.
const QColor highlightColor(0xFF, 0xFF, 0xFF);
const QColor shadowColor(0x80, 0x80, 0x80);
const QColor darkShadowColor(0x00, 0x00, 0x00);

// One pixel wide lines along the four sides of rect: topLeft on the top and
// left sides, bottomRight on the bottom and right sides, which own the corners
// they share with the others.
void drawEdge(QPainter &painter, const QRect &rect, const QColor &topLeft,
              const QColor &bottomRight)
{
    painter.fillRect(rect.left(), rect.top(), rect.width() - 1, 1, topLeft);
    painter.fillRect(rect.left(), rect.top(), 1, rect.height() - 1, topLeft);
    painter.fillRect(rect.left(), rect.bottom(), rect.width(), 1, bottomRight);
    painter.fillRect(rect.right(), rect.top(), 1, rect.height(), bottomRight);
}

// Every other pixel of the rectangle's outline, as a focus frame is drawn.
void drawFocusFrame(QPainter &painter, const QRect &rect, const QColor &color)
{
    const QBrush dots(color, Qt::Dense4Pattern);
    painter.fillRect(rect.left(), rect.top(), rect.width(), 1, dots);
    painter.fillRect(rect.left(), rect.bottom(), rect.width(), 1, dots);
    painter.fillRect(rect.left(), rect.top(), 1, rect.height(), dots);
    painter.fillRect(rect.right(), rect.top(), 1, rect.height(), dots);
}
} // namespace

FlatFaceButton::FlatFaceButton(const QString &text, QWidget *parent) : QPushButton(text, parent)
{
    // The whole rectangle is painted below, so nothing behind it need be.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void FlatFaceButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect outer = rect();
    const QRect inner = outer.adjusted(1, 1, -1, -1);
    const bool sunken = isDown() || isChecked();

    painter.fillRect(outer, palette().color(QPalette::Button));
    if (sunken) {
        drawEdge(painter, outer, shadowColor, highlightColor);
        drawEdge(painter, inner, darkShadowColor, palette().color(QPalette::Button));
    } else {
        drawEdge(painter, outer, highlightColor, darkShadowColor);
        drawEdge(painter, inner, palette().color(QPalette::Button), shadowColor);
    }

    // A held-down button's text moves one pixel down and right, as if pressed in.
    const QRect label = sunken ? outer.translated(1, 1) : outer;
    const int flags = Qt::AlignCenter | Qt::TextShowMnemonic | Qt::TextSingleLine;
    painter.setFont(font());
    if (isEnabled()) {
        painter.setPen(palette().color(QPalette::Active, QPalette::ButtonText));
        painter.drawText(label, flags, text());
    } else {
        painter.setPen(highlightColor);
        painter.drawText(label.translated(1, 1), flags, text());
        painter.setPen(shadowColor);
        painter.drawText(label, flags, text());
    }

    if (hasFocus())
        drawFocusFrame(painter, outer.adjusted(3, 3, -3, -3),
                       palette().color(QPalette::Active, QPalette::ButtonText));
}
