#include "window/form1.h"

#include "panel/eventcycle.h"
#include "panel/panel.h"
#include "window/fonts.h"
#include "window/lampwidget.h"
#include "window/layout.h"
#include "window/speedsliderwidget.h"
#include "window/valuedisplay.h"
#include "window/wrappingbutton.h"

#include <QCloseEvent>
#include <QLabel>
#include <cassert>

namespace servo {

namespace {

using namespace layout;

// Which lamp and which caption label of a row belong to each drive, in kDriveChannels' order.
struct RowElements
{
    int LampRow::*lamp;
    int LampRow::*caption;
};

constexpr std::array<RowElements, kDriveChannels.size()> kRowElements{{
    {&LampRow::servo2Lamp, &LampRow::servo2Label},
    {&LampRow::servo3Lamp, &LampRow::servo3Label},
}};

QRect toPixels(const TwipRect& r)
{
    return QRect(r.left / kTwipsPerPixel, r.top / kTwipsPerPixel, r.width / kTwipsPerPixel,
                 r.height / kTwipsPerPixel);
}

QString toQString(std::string_view s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

QColor toQColor(Colour colour)
{
    return QColor(colour.red, colour.green, colour.blue);
}

QLabel* addLabel(QWidget* form, int number, std::string_view text, const TwipRect& place,
                 const TextStyle& style)
{
    auto* label = new QLabel(toQString(text), form);
    label->setObjectName(QStringLiteral("Label%1").arg(number));
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setFocusPolicy(Qt::NoFocus);
    label->setAutoFillBackground(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, toQColor(kLabelBackground));
    palette.setColor(QPalette::WindowText, toQColor(style.colour));
    label->setPalette(palette);
    label->setGeometry(toPixels(place));
    // A substitute font wider than the one asked for shrinks until the text fits its label.
    label->setFont(
        fitText(substituteFont(style.font), label->text(), label->size(), Wrap::SingleLine).font);
    return label;
}

} // namespace

Form1::Form1(ProcessData data, QWidget* parent)
    : QWidget(parent), m_reportBox(this, toQString(kForm1.title)), m_reports(m_reportBox),
      m_data(std::move(data))
{
    assert(m_data.DatCon1);
    loadSubstituteFonts();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(toQString(kForm1.title));
    resize(kForm1.clientWidth / kTwipsPerPixel, kForm1.clientHeight / kTwipsPerPixel);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, toQColor(kForm1.background));
    setPalette(palette);
    setAutoFillBackground(true);
    setFont(substituteFont(kForm1.font));

    createElements();

    PanelElements elements;
    elements.DatCon1 = m_data.DatCon1.get();
    for (std::size_t i = 0; i < m_data.ZqNumber.size(); ++i)
        elements.ZqNumber[i] = m_data.ZqNumber[i].get();
    for (std::size_t i = 0; i < m_lamps.size(); ++i)
        elements.Shape[i] = m_lamps[i];
    m_panel = std::make_unique<Panel>(elements);

    m_reportBox.onDismissed([this] { m_reports.dismissed(); });
    m_data.DatCon1->setFailureSink([this](const Failure& failure) { m_reports.report(failure); });
    m_data.DatCon1->setReportChangeSink([this](const Failure& previous, const Failure& current) {
        m_reports.change(previous, current);
    });
    // All elements exist: now the fields can find their connection by name.
    for (const auto& field : m_data.ZqNumber)
        dispatch(m_reports, [&] { field->findConnection(*m_panel); });

    m_cycle = std::make_unique<EventCycle>(*m_panel, m_reports);
    connect(m_buttons[0], &QPushButton::clicked, m_cycle.get(), &EventCycle::Command1_Click);
    connect(m_buttons[1], &QPushButton::clicked, m_cycle.get(), &EventCycle::Command2_Click);
    setFocusOrder();
}

Form1::~Form1()
{
    m_cycle->stop();
    m_data.DatCon1->setFailureSink([](const Failure&) {});
    m_data.DatCon1->setReportChangeSink([](const Failure&, const Failure&) {});
    // The displays are released with the widgets, after the fields: they let go of them first.
    for (ValueDisplay* display : m_displays)
        display->detach();
}

void Form1::closeEvent(QCloseEvent* event)
{
    m_cycle->stop();
    m_reportBox.hide();
    QWidget::closeEvent(event);
}

// The one routine that walks the layout tables.
void Form1::createElements()
{
    for (std::size_t i = 0; i < kFieldSettings.size(); ++i) {
        const int number = kFieldSettings[i].number;
        assert(m_data.ZqNumber[std::size_t(number - 1)]);
        m_displays[i] = new ValueDisplay(*m_data.ZqNumber[std::size_t(number - 1)],
                                         kFieldSettings[i], kDisplayFormats[i].decimals, this);
    }
    const auto display = [this](int number) { return m_displays[std::size_t(number - 1)]; };

    addLabel(this, kTitle.label, kTitle.text, kTitle.place, kTitle.style);
    for (std::size_t c = 0; c < kDriveChannels.size(); ++c) {
        const DriveChannelNames& names = kDriveChannels[c];
        const ChannelPlaces& places = kChannelPlaces[c];
        addLabel(this, names.captionLabel, names.caption, places.caption,
                 {places.textColour, kChannelCaptionFont});

        auto* button = new WrappingButton(toQString(names.buttonText), this);
        button->setObjectName(QStringLiteral("Command%1").arg(names.button));
        button->setAutoDefault(false);
        button->setDefault(false);
        button->setFocusPolicy(Qt::StrongFocus);
        button->setGeometry(toPixels(places.button));
        m_buttons[c] = button;

        const QRect sliderPlace = toPixels(places.slider);
        auto* slider = new SpeedSliderWidget(
            kSliderSettings,
            sliderPlace.height() >= sliderPlace.width() ? Qt::Vertical : Qt::Horizontal,
            kSliderSingleStep, kSliderPageStep, this);
        slider->setObjectName(QStringLiteral("ZqvbSlid%1").arg(names.slider));
        slider->setGeometry(sliderPlace);
        m_sliders[c] = slider;

        addLabel(this, names.actualSpeedLabel, names.actualSpeedText, places.actualSpeedLabel,
                 {places.textColour, kSpeedLabelFont});
        display(names.actualSpeedField)->setGeometry(toPixels(places.actualSpeedDisplay));
        addLabel(this, names.setSpeedLabel, names.setSpeedText, places.setSpeedLabel,
                 {places.textColour, kSpeedLabelFont});
        display(names.setSpeedField)->setGeometry(toPixels(places.setSpeedDisplay));

        for (std::size_t r = 0; r < kLampRows.size(); ++r) {
            const LampRow& row = kLampRows[r];
            const int top = kLampRowPlaces[r].top;
            const int lampNumber = row.*kRowElements[c].lamp;
            auto* lamp = new LampWidget(kLampBorderPixels, this);
            lamp->setObjectName(QStringLiteral("Shape%1").arg(lampNumber));
            lamp->setGeometry(toPixels({places.lampLeft, top, kLampSize, kLampSize}));
            m_lamps[std::size_t(lampNumber - 1)] = lamp;
            addLabel(
                this, row.*kRowElements[c].caption, row.caption,
                {places.lampCaptionLeft, top, kLampRowPlaces[r].captionWidth, kLampCaptionHeight},
                kLampCaptionStyle);
        }
    }
}

void Form1::setFocusOrder()
{
    QWidget* previous = nullptr;
    for (std::string_view name : kFocusOrder) {
        auto* widget = findChild<QWidget*>(toQString(name), Qt::FindDirectChildrenOnly);
        assert(widget);
        if (previous)
            setTabOrder(previous, widget);
        else
            widget->setFocus();
        previous = widget;
    }
}

} // namespace servo
