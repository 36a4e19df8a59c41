#pragma once

#include "processdata/opcua/valuemapping.h"
#include "processdata/processfield.h"

#include <string>

namespace servo {

class OpcUaDataConnection;

// A process-value field ZqNumber<number> bound through DatCon1 to the OPC UA item the data
// connection's settings give it.
//
// A read returns what was last delivered, at once and without allocating for numbers: empty
// before any data; the item's value while its status is Good or Uncertain; null while its
// status is Bad, after the server refused the item, and while the connection is down. A read of
// an item whose value cannot be shown (an array or a structure) throws Failure(TypeMismatch).
// A field that is unbound (no data connection by that name, or no usable item) reads empty.
//
// A write converts the value to the item's own data type and sends it without waiting; the
// value read back changes only when the server reports it. It throws at once when the field is
// unbound (FieldNotBound), the connection is down (ConnectionUnavailable), the item is not
// monitored (FieldWriteFailed) or the value does not convert (Overflow, TypeMismatch). A Bad
// result or a timeout arrives later and goes to the data connection's failure sink.
class OpcUaField final : public ProcessField
{
public:
    // number is the N of ZqNumberN, 1 to 8.
    explicit OpcUaField(int number);
    ~OpcUaField() override;

    OpcUaField(const OpcUaField&) = delete;
    OpcUaField& operator=(const OpcUaField&) = delete;

    FieldValue value() const override
    {
        if (!m_reading.unshowable.empty()) [[unlikely]]
            throwUnshowable();
        return m_reading.value;
    }
    void setValue(const FieldValue& value) override;
    void findConnection(const ElementLookup& elements) override;
    void setListener(FieldListener* listener) override { m_listener = listener; }
    std::string writeTarget() const override;

    int number() const { return m_number; }
    const std::string& name() const { return m_name; }
    bool isBound() const { return m_connection != nullptr; }

    // Called by the data connection: a new reading, or the end of the binding.
    void deliver(FieldReading reading);
    void detach() { m_connection = nullptr; }

private:
    [[noreturn]] void throwUnshowable() const;

    int m_number;
    std::string m_name;
    OpcUaDataConnection* m_connection = nullptr;
    FieldReading m_reading;
    FieldListener* m_listener = nullptr;
};

} // namespace servo
