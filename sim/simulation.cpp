#include "sim/simulation.h"

#include "opcua/nodeid.h"

namespace servo::sim {

using opcua::NodeId;
using opcua::Variant;

Simulation::Simulation(opcua::AddressSpace& space, opcua::Clock& clock,
                       const DriveSettings& settings)
    : m_space(space), m_clock(clock), m_namespace(space.addNamespace(std::string(kNamespaceUri))),
      m_drives{Drive{DriveModel(settings, clock.now().count()), 0, 0, 0.0, 0.0, {}},
               Drive{DriveModel(settings, clock.now().count()), 0, 0, 0.0, 0.0, {}}}
{
    for (size_t servo = 0; servo < m_drives.size(); ++servo) {
        Drive& drive = m_drives[servo];
        drive.commandWord = drive.model.commandWord();
        drive.lampWord = drive.model.lampWord();
        drive.setSpeed = drive.model.setSpeed();
        drive.actualSpeed = drive.model.actualSpeed();
        for (size_t v = 0; v < kVariableNames.size(); ++v) {
            std::string id(kServoNames[servo]);
            id += '.';
            id += kVariableNames[v];
            drive.nodes[v] = NodeId(m_namespace, opcua::String(std::move(id)));
        }

        opcua::ObjectDefinition object;
        object.id = NodeId(m_namespace, opcua::String(kServoNames[servo]));
        object.browseName = {m_namespace, opcua::String(kServoNames[servo])};
        object.parent = NodeId(0, opcua::ids::ObjectsFolder);
        object.referenceType = NodeId(0, opcua::ids::Organizes);
        object.typeDefinition = NodeId(0, opcua::ids::BaseObjectType);
        m_space.addObject(object);

        struct Row
        {
            DriveVariable variable;
            uint32_t dataType;
            bool writable;
            Variant value;
        };
        const Row rows[] = {
            {DriveVariable::CommandWord, opcua::ids::Int16, true,
             Variant::fromScalar(drive.commandWord)},
            {DriveVariable::LampWord, opcua::ids::Int16, false,
             Variant::fromScalar(drive.lampWord)},
            {DriveVariable::SetSpeed, opcua::ids::Double, true,
             Variant::fromScalar(drive.setSpeed)},
            {DriveVariable::ActualSpeed, opcua::ids::Double, false,
             Variant::fromScalar(drive.actualSpeed)},
        };
        for (const Row& row : rows) {
            opcua::VariableDefinition definition;
            definition.id = nodeId(servo, row.variable);
            definition.browseName = {m_namespace,
                                     opcua::String(kVariableNames[size_t(row.variable)])};
            definition.parent = object.id;
            definition.referenceType = NodeId(0, opcua::ids::HasComponent);
            definition.typeDefinition = NodeId(0, opcua::ids::BaseDataVariableType);
            definition.dataType = NodeId(0, row.dataType);
            definition.accessLevel = opcua::kAccessLevelCurrentRead |
                                     (row.writable ? opcua::kAccessLevelCurrentWrite : 0);
            definition.value = row.value;
            m_space.addVariable(definition);
        }

        // The address space has checked type and access; the model decides on the value. The
        // node itself takes the written value once the handler says Good.
        m_space.setWriteHandler(nodeId(servo, DriveVariable::CommandWord),
                                [this, servo](const Variant& value) {
                                    Drive& d = m_drives[servo];
                                    const auto word = *value.scalar<std::int16_t>();
                                    d.model.writeCommandWord(word, nowMs());
                                    d.commandWord = word;
                                    publish(servo);
                                    schedule();
                                    return opcua::status::Good;
                                });
        m_space.setWriteHandler(nodeId(servo, DriveVariable::SetSpeed),
                                [this, servo](const Variant& value) {
                                    Drive& d = m_drives[servo];
                                    const double percent = *value.scalar<double>();
                                    if (!d.model.writeSetSpeed(percent, nowMs()))
                                        return opcua::status::BadOutOfRange;
                                    d.setSpeed = percent;
                                    publish(servo);
                                    schedule();
                                    return opcua::status::Good;
                                });
    }
    schedule();
}

Simulation::~Simulation()
{
    if (m_timer)
        m_clock.cancel(m_timer);
    for (size_t servo = 0; servo < m_drives.size(); ++servo) {
        m_space.setWriteHandler(nodeId(servo, DriveVariable::CommandWord), {});
        m_space.setWriteHandler(nodeId(servo, DriveVariable::SetSpeed), {});
    }
}

NodeId Simulation::nodeId(size_t servo, DriveVariable variable) const
{
    return m_drives[servo].nodes[size_t(variable)];
}

std::int64_t Simulation::nowMs() const
{
    return m_clock.now().count();
}

void Simulation::step()
{
    const std::int64_t now = nowMs();
    for (size_t servo = 0; servo < m_drives.size(); ++servo) {
        m_drives[servo].model.advanceTo(now);
        publish(servo);
    }
    schedule();
}

// Sets the nodes whose model value differs from what they hold. Only the lamp word and the
// actual speed change by themselves; a client's write of the command word or the set speed is
// stored by the address space.
void Simulation::publish(size_t servo)
{
    Drive& d = m_drives[servo];
    const DriveModel& m = d.model;
    if (m.lampWord() != d.lampWord) {
        d.lampWord = m.lampWord();
        m_space.setValue(d.nodes[size_t(DriveVariable::LampWord)], Variant::fromScalar(d.lampWord));
    }
    if (m.actualSpeed() != d.actualSpeed) {
        d.actualSpeed = m.actualSpeed();
        m_space.setValue(d.nodes[size_t(DriveVariable::ActualSpeed)],
                         Variant::fromScalar(d.actualSpeed));
    }
}

void Simulation::schedule()
{
    std::int64_t due = m_drives[0].model.nextDueMs();
    for (const Drive& d : m_drives)
        due = std::min(due, d.model.nextDueMs());
    if (m_timer && m_timerDueMs == due)
        return;
    if (m_timer)
        m_clock.cancel(m_timer);
    m_timerDueMs = due;
    m_timer = m_clock.start(std::chrono::milliseconds(due - nowMs()), [this] {
        m_timer = 0;
        step();
    });
}

} // namespace servo::sim
