#pragma once

#include "panel/lamp.h"
#include "panel/tables.h"
#include "processdata/dataconnection.h"
#include "processdata/processfield.h"

#include <array>

namespace servo {

// The elements the panel's handlers work on, owned by the window. Index 0 is element 1.
struct PanelElements
{
    DataConnection* DatCon1 = nullptr;
    std::array<ProcessField*, kFieldCount> ZqNumber{};
    std::array<Lamp*, kLampCount> Shape{};
};

// The elements of one drive that the handlers touch.
struct DriveChannel
{
    ProcessField* commandWord;
    ProcessField* lampWord;
    std::array<Lamp*, kLampRows.size()> lamps; // in row order, bit-0 row first
};

// The panel's logic: the three handlers and the lookup of elements by name. It keeps no state
// of its own between events. Handlers throw Failure and stop at the failing step; the caller
// (the event dispatch) catches and reports it.
class Panel final : public ElementLookup
{
public:
    // Every pointer in elements must be set and outlive the panel.
    explicit Panel(const PanelElements& elements);

    void Timer1_Timer();
    // A click's handler; written, when given, receives the word it writes before the write is
    // tried, so that a record of the click can say what it tried.
    void Command1_Click(FieldValue* written = nullptr);
    void Command2_Click(FieldValue* written = nullptr);

    DataConnection* dataConnection(std::string_view name) const override;
    ProcessField* field(std::string_view name) const;
    Lamp* lamp(std::string_view name) const;

    const std::array<DriveChannel, 2>& channels() const { return m_channels; }

private:
    PanelElements m_elements;
    std::array<DriveChannel, 2> m_channels;
};

// The lamp refresh of one channel and the start/stop of one command-word field, as the handlers
// run them.
void refreshLamps(const DriveChannel& channel);
void toggleCommandWord(ProcessField& commandWord, FieldValue* written = nullptr);

} // namespace servo
