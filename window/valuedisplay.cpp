#include "window/valuedisplay.h"

#include "processdata/failure.h"
#include "window/fonts.h"

#include <QPainter>
#include <QResizeEvent>
#include <qdrawutil.h>

namespace servo {

namespace {

// Room between the sunken frame and the text.
constexpr int kTextMargin = 3;
constexpr QColor kHatchColour(0x80, 0x80, 0x80);
constexpr QColor kNoDataTextColour(0x40, 0x40, 0x40);

QColor toQColor(Colour colour)
{
    return QColor(colour.red, colour.green, colour.blue);
}

} // namespace

DisplayText displayText(const FieldValue& value, int decimals)
{
    switch (value.type()) {
    case FieldValue::Type::Empty:
        return {DisplayState::Blank, {}};
    case FieldValue::Type::Null:
        return {DisplayState::NoData, QStringLiteral("----")};
    case FieldValue::Type::Int16:
        return {DisplayState::Value, QString::number(value.int16())};
    case FieldValue::Type::Int32:
        return {DisplayState::Value, QString::number(value.int32())};
    case FieldValue::Type::Float:
        return {DisplayState::Value, QString::number(double(value.float32()), 'f', decimals)};
    case FieldValue::Type::Double:
        return {DisplayState::Value, QString::number(value.float64(), 'f', decimals)};
    case FieldValue::Type::Boolean:
        return {DisplayState::Value,
                value.boolean() ? QStringLiteral("True") : QStringLiteral("False")};
    case FieldValue::Type::Text:
        return {DisplayState::Value, QString::fromStdString(value.text())};
    }
    return {DisplayState::NoData, QStringLiteral("----")};
}

ValueDisplay::ValueDisplay(ProcessField& field, const FieldSettings& settings, int decimals,
                           QWidget* parent)
    : QWidget(parent), m_field(&field), m_settings(settings), m_decimals(decimals),
      m_designFont(substituteFont({settings.font.family, settings.font.pointSize, false}))
{
    setObjectName(QStringLiteral("ZqNumber%1").arg(settings.number));
    setFocusPolicy(Qt::NoFocus);
    setFont(m_designFont);
    if (!settings.visible)
        hide();
    m_field->setListener(this);
    fieldChanged();
}

ValueDisplay::~ValueDisplay()
{
    detach();
}

void ValueDisplay::detach()
{
    if (!m_field)
        return;
    m_field->setListener(nullptr);
    m_field = nullptr;
}

void ValueDisplay::fieldChanged()
{
    if (!m_field)
        return;
    if (!m_settings.visible && isHidden()) {
        m_stale = true;
        return;
    }
    m_stale = false;
    DisplayText next;
    try {
        next = displayText(m_field->value(), m_decimals);
    } catch (const Failure&) {
        // A value that cannot be read is shown as no data; the handlers that read the field
        // report the failure itself.
        next = displayText(FieldValue::null(), m_decimals);
    }
    if (next == m_shown)
        return;
    m_shown = std::move(next);
    fitFont();
    update();
}

void ValueDisplay::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitFont();
}

void ValueDisplay::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_stale)
        fieldChanged();
}

void ValueDisplay::fitFont()
{
    const QSize room(width() - 2 * kTextMargin, height());
    setFont(fitText(m_designFont, m_shown.text, room, Wrap::SingleLine).font);
}

void ValueDisplay::paintEvent(QPaintEvent* event)
{
    (void)event;
    QPainter painter(this);
    painter.fillRect(rect(), toQColor(m_settings.background));
    const QRect textRoom = rect().adjusted(kTextMargin, 0, -kTextMargin, 0);
    const bool noData = m_shown.state == DisplayState::NoData;
    if (noData) {
        // Hatched, with the dashes on a clear patch in the middle.
        painter.fillRect(rect(), QBrush(kHatchColour, Qt::BDiagPattern));
        const QRect dashes = painter.fontMetrics().boundingRect(m_shown.text);
        QRect patch(0, 0, dashes.width() + 2 * kTextMargin, dashes.height());
        patch.moveCenter(rect().center());
        painter.fillRect(patch, toQColor(m_settings.background));
    }
    qDrawShadePanel(&painter, rect(), palette(), true, 1);
    painter.setPen(noData ? kNoDataTextColour : toQColor(m_settings.textColour));
    const Qt::Alignment alignment = (noData ? Qt::AlignHCenter : Qt::AlignRight) | Qt::AlignVCenter;
    painter.drawText(textRoom, int(alignment), m_shown.text);
}

} // namespace servo
