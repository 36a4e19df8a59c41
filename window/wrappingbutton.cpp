#include "window/wrappingbutton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace servo {

WrappingButton::WrappingButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {}

FittedText WrappingButton::drawnCaption() const
{
    QStyleOptionButton option;
    initStyleOption(&option);
    // The room the style leaves for the label inside the bevel.
    const QRect room = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    return fitText(font(), text(), room.size(), Wrap::WordWrap);
}

void WrappingButton::paintEvent(QPaintEvent* event)
{
    (void)event;
    const FittedText caption = drawnCaption();
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text = caption.text;
    option.fontMetrics = QFontMetrics(caption.font);
    painter.setFont(caption.font);
    painter.drawControl(QStyle::CE_PushButton, option);
}

} // namespace servo
