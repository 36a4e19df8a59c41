#pragma once

#include "processdata/dataconnection.h"
#include "processdata/processdata.h"

#include <string_view>

namespace servo::test {

// Answers a field's look-up of DatCon1 the way the panel does, with the connection given
// (nullptr stands for a panel without one).
class ConnectionLookup final : public ElementLookup
{
public:
    explicit ConnectionLookup(DataConnection* connection) : m_connection(connection) {}
    DataConnection* dataConnection(std::string_view name) const override
    {
        return name == "DatCon1" ? m_connection : nullptr;
    }

private:
    DataConnection* m_connection;
};

// Binds the eight fields to the data's own connection, as the window does at start.
inline void bindFields(ProcessData& data)
{
    const ConnectionLookup lookup(data.DatCon1.get());
    for (auto& field : data.ZqNumber)
        field->findConnection(lookup);
}

} // namespace servo::test
