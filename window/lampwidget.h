#pragma once

#include "panel/lamp.h"

#include <QWidget>

namespace servo {

// A lamp of the window: a filled circle inscribed in the widget's square, with a border of a
// fixed width drawn wholly inside the square. It shows the panel's saved colours until the
// panel sets others. Setting a colour the lamp already has costs nothing: the panel sets both
// colours of every lamp on every tick, and only a real change schedules a repaint.
class LampWidget final : public QWidget, public Lamp
{
    Q_OBJECT
public:
    LampWidget(int borderPixels, QWidget* parent = nullptr);

    void setFillColour(Colour colour) override;
    void setBorderColour(Colour colour) override;

    Colour fillColour() const { return m_colours.fill; }
    Colour borderColour() const { return m_colours.border; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int m_borderPixels;
    LampColours m_colours = kSavedLampColours;
};

} // namespace servo
