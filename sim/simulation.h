#pragma once

#include "opcua/io.h"
#include "opcua/server/addressspace.h"
#include "sim/drivemodel.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace servo::sim {

// The namespace of the drives' nodes.
inline constexpr std::string_view kNamespaceUri = "urn:servo-panel:sim";

// The drives, in node-id order: their objects are "Servo2" and "Servo3".
inline constexpr std::array<std::string_view, 2> kServoNames{"Servo2", "Servo3"};

// The variables of one drive: node ids "<servo>.<name>".
enum class DriveVariable {
    CommandWord, // Int16, read/write: the word the panel writes
    LampWord,    // Int16, read-only: the command word as the drive has taken it over
    SetSpeed,    // Double, read/write, percent 0..100
    ActualSpeed, // Double, read-only, rpm
};
inline constexpr std::array<std::string_view, 4> kVariableNames{"CommandWord", "LampWord",
                                                                "SetSpeed", "ActualSpeed"};

// The two simulated drives on an OPC UA address space. Construction adds the namespace
// kNamespaceUri and, under Objects, an object per drive with its four variables; from then on
// the drives step on the clock's timers (at every tick and lamp take-over, no more often)
// and every value that changes is set on its node, so monitored items see it at once.
// Writes by clients go to the models: a set speed outside 0..100 is refused with
// BadOutOfRange; wrong types and writes to the read-only variables are refused by the address
// space (BadTypeMismatch, BadNotWritable).
class Simulation
{
public:
    Simulation(opcua::AddressSpace& space, opcua::Clock& clock, const DriveSettings& settings);
    ~Simulation();

    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    uint16_t namespaceIndex() const { return m_namespace; }
    // The node of a drive's variable; servo is 0 for Servo2, 1 for Servo3.
    opcua::NodeId nodeId(size_t servo, DriveVariable variable) const;
    const DriveModel& drive(size_t servo) const { return m_drives[servo].model; }

    // Brings the models up to the clock's time and the nodes up to the models. The timers do
    // this by themselves; tests call it after moving a manual clock.
    void step();

private:
    struct Drive
    {
        DriveModel model;
        std::int16_t commandWord;
        std::int16_t lampWord;
        double setSpeed;
        double actualSpeed;
        std::array<opcua::NodeId, 4> nodes; // by DriveVariable
    };

    std::int64_t nowMs() const;
    void publish(size_t servo);
    void schedule();

    opcua::AddressSpace& m_space;
    opcua::Clock& m_clock;
    uint16_t m_namespace;
    std::array<Drive, 2> m_drives;
    opcua::TimerId m_timer = 0;
    std::int64_t m_timerDueMs = 0;
};

} // namespace servo::sim
