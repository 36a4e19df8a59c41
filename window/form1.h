#pragma once

#include "panel/failurereports.h"
#include "panel/tables.h"
#include "processdata/processdata.h"
#include "window/reportbox.h"

#include <QWidget>
#include <array>
#include <memory>

namespace servo {

class EventCycle;
class LampWidget;
class Panel;
class SpeedSliderWidget;
class ValueDisplay;
class WrappingButton;

// The window Form1: the whole panel as the operator sees it. It owns every element for its
// whole life: the process data handed in (DatCon1 and ZqNumber1 ... ZqNumber8), the lamps
// Shape1 ... Shape26, the labels Label1 ... Label33, the buttons Command1 and Command2, the
// sliders ZqvbSlid1 and ZqvbSlid2, the displays of ZqNumber1 ... ZqNumber8 (the first four
// hidden), the panel logic, its failure reports and the event cycle with Timer1. Every widget's
// objectName is its element name. The layout follows the tables in layout.h and never follows
// the window's size.
//
// Creating the window creates every element, then lets each field find its data connection by
// name, and starts Timer1; no panel logic runs before the first tick or click. Closing the
// window stops Timer1, so no tick runs after it.
class Form1 final : public QWidget
{
    Q_OBJECT
public:
    // data must hold a data connection and all eight fields. Needs a QApplication.
    explicit Form1(ProcessData data, QWidget* parent = nullptr);
    ~Form1() override;

    Panel& panel() { return *m_panel; }
    EventCycle& eventCycle() { return *m_cycle; }
    const FailureReports& failureReports() const { return m_reports; }
    const ReportBox& reportBox() const { return m_reportBox; }
    const ProcessData& processData() const { return m_data; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createElements();
    void setFocusOrder();

    // Declared before the process data, so that a data connection reporting a failure while
    // it is being released still finds the reports in place.
    ReportBox m_reportBox;
    FailureReports m_reports;
    ProcessData m_data;
    std::array<LampWidget*, kLampCount> m_lamps{};
    std::array<ValueDisplay*, kFieldCount> m_displays{};
    std::array<WrappingButton*, kDriveChannels.size()> m_buttons{};
    std::array<SpeedSliderWidget*, kDriveChannels.size()> m_sliders{};
    std::unique_ptr<Panel> m_panel;
    std::unique_ptr<EventCycle> m_cycle;
};

} // namespace servo
