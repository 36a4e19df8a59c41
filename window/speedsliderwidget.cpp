#include "window/speedsliderwidget.h"

#include <algorithm>
#include <cmath>

namespace servo {

namespace {

int toSteps(double units)
{
    return int(std::lround(units * SpeedSliderWidget::kStepsPerUnit));
}

} // namespace

SpeedSliderWidget::SpeedSliderWidget(const SliderSettings& settings, Qt::Orientation orientation,
                                     double singleStep, double pageStep, QWidget* parent)
    : QSlider(orientation, parent)
{
    setRange(toSteps(settings.min), toSteps(settings.max));
    setSingleStep(toSteps(singleStep));
    setPageStep(toSteps(pageStep));
    setInvertedAppearance(settings.direction != 1);
    setInvertedControls(settings.direction != 1);
    setFocusPolicy(Qt::StrongFocus);
    setPosition(settings.currentPos);
}

double SpeedSliderWidget::position() const
{
    return double(value()) / kStepsPerUnit;
}

void SpeedSliderWidget::setPosition(double position)
{
    if (std::isnan(position))
        return;
    const double clamped =
        std::clamp(position, double(minimum()) / kStepsPerUnit, double(maximum()) / kStepsPerUnit);
    setValue(toSteps(clamped));
}

} // namespace servo
