#pragma once

#include "processdata/processfield.h"
#include "processdata/settings.h"

#include <QString>
#include <QWidget>

namespace servo {

// How a display shows a field's value.
enum class DisplayState {
    Value,  // a number, a Boolean or a text, written out
    Blank,  // the field is empty: nothing is written
    NoData, // the field is null, or its value could not be read
};

struct DisplayText
{
    DisplayState state = DisplayState::Blank;
    QString text;

    friend bool operator==(const DisplayText&, const DisplayText&) = default;
};

// The text a display writes for a value: integers as integers, floating-point numbers with the
// given number of decimals (rounded, "." as the decimal point whatever the locale), Booleans as
// "True" / "False", a text as it stands, empty as nothing, null as "----".
DisplayText displayText(const FieldValue& value, int decimals);

// A visible process-value field: shows the value of the field it is given in its design-time
// colours and font, right-aligned in a sunken box, and refreshes when the field says its value
// changed. A field with no data (null, or a value that cannot be read) shows "----" in dark grey
// on a hatched background, so it cannot be taken for a value. The number pairs of the settings have
// no effect on what is shown. The display takes no keyboard focus. A hidden display (the fields
// of the command and lamp words) does no work when its field changes.
class ValueDisplay final : public QWidget, public FieldListener
{
    Q_OBJECT
public:
    // The field must outlive the display, or detach() must be called first.
    ValueDisplay(ProcessField& field, const FieldSettings& settings, int decimals,
                 QWidget* parent = nullptr);
    ~ValueDisplay() override;

    // Stops listening to the field and never touches it again.
    void detach();

    const DisplayText& shown() const { return m_shown; }

    void fieldChanged() override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void fitFont();

    ProcessField* m_field;
    FieldSettings m_settings;
    bool m_stale = false; // the field changed while the display was hidden
    int m_decimals;
    QFont m_designFont;
    DisplayText m_shown;
};

} // namespace servo
