#include "processdata/opcua/opcuafield.h"

#include "processdata/failure.h"
#include "processdata/opcua/opcuadataconnection.h"
#include "processdata/settings.h"

namespace servo {

OpcUaField::OpcUaField(int number) : m_number(number), m_name("ZqNumber" + std::to_string(number))
{}

OpcUaField::~OpcUaField()
{
    if (m_connection)
        m_connection->unbindField(*this);
}

void OpcUaField::throwUnshowable() const
{
    throw Failure(FailureCode::TypeMismatch, m_name + ": " + m_reading.unshowable);
}

void OpcUaField::setValue(const FieldValue& value)
{
    if (!m_connection)
        throw Failure(FailureCode::FieldNotBound, m_name + " has no process item");
    m_connection->write(*this, value);
}

std::string OpcUaField::writeTarget() const
{
    return m_connection ? m_connection->writeTarget(*this) : std::string();
}

void OpcUaField::findConnection(const ElementLookup& elements)
{
    if (m_connection)
        return;
    auto* connection =
        dynamic_cast<OpcUaDataConnection*>(elements.dataConnection(kDataConnectionName));
    if (connection && connection->bindField(*this))
        m_connection = connection;
}

void OpcUaField::deliver(FieldReading reading)
{
    if (reading == m_reading)
        return;
    m_reading = std::move(reading);
    if (m_listener)
        m_listener->fieldChanged();
}

} // namespace servo
