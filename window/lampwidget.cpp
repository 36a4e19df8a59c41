#include "window/lampwidget.h"

#include <QPainter>
#include <QPen>
#include <algorithm>

namespace servo {

namespace {

QColor toQColor(Colour colour)
{
    return QColor(colour.red, colour.green, colour.blue);
}

} // namespace

LampWidget::LampWidget(int borderPixels, QWidget* parent)
    : QWidget(parent), m_borderPixels(borderPixels)
{
    // The corners outside the circle show the window behind, as the widget fills no background.
    setFocusPolicy(Qt::NoFocus);
}

void LampWidget::setFillColour(Colour colour)
{
    if (colour == m_colours.fill)
        return;
    m_colours.fill = colour;
    update();
}

void LampWidget::setBorderColour(Colour colour)
{
    if (colour == m_colours.border)
        return;
    m_colours.border = colour;
    update();
}

void LampWidget::paintEvent(QPaintEvent* event)
{
    (void)event;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(toQColor(m_colours.border));
    pen.setWidthF(m_borderPixels);
    painter.setPen(pen);
    painter.setBrush(toQColor(m_colours.fill));
    // The pen is centred on the outline, so inset the outline by half the pen to keep the whole
    // border inside the square.
    const qreal inset = m_borderPixels / 2.0;
    const QRectF square(0, 0, std::min(width(), height()), std::min(width(), height()));
    painter.drawEllipse(square.adjusted(inset, inset, -inset, -inset));
}

} // namespace servo
