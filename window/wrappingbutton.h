#pragma once

#include "window/fonts.h"

#include <QPushButton>

namespace servo {

// A push button whose caption breaks between words onto as many centred lines as its width
// needs, in a font shrunk where the caption would not fit otherwise. text() stays the caption as
// given; only the drawing breaks it. Everything else (focus, the space bar, clicks) is the
// QPushButton's own.
class WrappingButton final : public QPushButton
{
    Q_OBJECT
public:
    explicit WrappingButton(const QString& text, QWidget* parent = nullptr);

    // The caption as drawn at the button's present size and font, with a line break where a
    // line ends.
    FittedText drawnCaption() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace servo
