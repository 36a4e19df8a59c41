#pragma once

#include "processdata/settings.h"
#include "processdata/speedslider.h"

#include <QSlider>

namespace servo {

// A speed slider of the window. Its range and starting position come from the design-time
// settings; positions are held in half units so that 2107.5 is exact. With "direction" 1 the
// maximum is at the top of a vertical slider (at the right of a horizontal one); any other
// direction turns it round. The operator moves it with the mouse, the arrow keys (single step)
// and Page Up / Page Down (page step); nothing in the panel reads it.
class SpeedSliderWidget final : public QSlider, public SpeedSlider
{
    Q_OBJECT
public:
    static constexpr int kStepsPerUnit = 2;

    SpeedSliderWidget(const SliderSettings& settings, Qt::Orientation orientation,
                      double singleStep, double pageStep, QWidget* parent = nullptr);

    double position() const override;
    // Clamped to the range, to the nearest half unit.
    void setPosition(double position) override;
};

} // namespace servo
