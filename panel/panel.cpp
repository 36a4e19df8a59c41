#include "panel/panel.h"

#include "processdata/failure.h"
#include "processdata/settings.h"

#include <charconv>

namespace servo {

namespace {

DriveChannel makeChannel(const PanelElements& elements, const DriveChannelNames& names,
                         int LampRow::*lampOfChannel)
{
    DriveChannel channel{elements.ZqNumber[names.commandWordField - 1],
                         elements.ZqNumber[names.lampWordField - 1],
                         {}};
    for (std::size_t i = 0; i < kLampRows.size(); ++i)
        channel.lamps[i] = elements.Shape[kLampRows[i].*lampOfChannel - 1];
    return channel;
}

// The number after prefix in name, when it lies within 1..count: "Shape26" -> 26.
int elementNumber(std::string_view name, std::string_view prefix, int count)
{
    if (!name.starts_with(prefix))
        return 0;
    name.remove_prefix(prefix.size());
    int number = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (error != std::errc() || end != name.data() + name.size() || name.starts_with('0'))
        return 0;
    return number >= 1 && number <= count ? number : 0;
}

bool bitIsSet(const FieldValue& word, std::uint16_t mask)
{
    const auto value = toInt32ForAnd(word);
    return value && equalsInteger(FieldValue(std::int32_t(*value & mask)), mask);
}

} // namespace

Panel::Panel(const PanelElements& elements)
    : m_elements(elements), m_channels{
                                makeChannel(elements, kDriveChannels[0], &LampRow::servo2Lamp),
                                makeChannel(elements, kDriveChannels[1], &LampRow::servo3Lamp)}
{}

void refreshLamps(const DriveChannel& channel)
{
    for (std::size_t i = 0; i < kLampRows.size(); ++i) {
        const LampColours& colours = bitIsSet(channel.lampWord->value(), kLampRows[i].mask)
                                         ? kBitSetColours
                                         : kBitClearColours;
        channel.lamps[i]->setFillColour(colours.fill);
        channel.lamps[i]->setBorderColour(colours.border);
    }
}

void toggleCommandWord(ProcessField& commandWord, FieldValue* written)
{
    const bool running = equalsInteger(commandWord.value(), kRunWord);
    const FieldValue word(running ? kStopWord : kRunWord);
    if (written)
        *written = word;
    commandWord.setValue(word);
}

void Panel::Timer1_Timer()
{
    for (const DriveChannel& channel : m_channels)
        refreshLamps(channel);
}

void Panel::Command1_Click(FieldValue* written)
{
    toggleCommandWord(*m_channels[0].commandWord, written);
}

void Panel::Command2_Click(FieldValue* written)
{
    toggleCommandWord(*m_channels[1].commandWord, written);
}

DataConnection* Panel::dataConnection(std::string_view name) const
{
    return name == kDataConnectionName ? m_elements.DatCon1 : nullptr;
}

ProcessField* Panel::field(std::string_view name) const
{
    const int number = elementNumber(name, "ZqNumber", kFieldCount);
    return number ? m_elements.ZqNumber[number - 1] : nullptr;
}

Lamp* Panel::lamp(std::string_view name) const
{
    const int number = elementNumber(name, "Shape", kLampCount);
    return number ? m_elements.Shape[number - 1] : nullptr;
}

} // namespace servo
