#pragma once

namespace servo {

// A speed slider. The operator moves it; nothing in the panel reads it.
class SpeedSlider
{
public:
    virtual ~SpeedSlider() = default;
    virtual double position() const = 0;
    virtual void setPosition(double position) = 0;
};

} // namespace servo
