#pragma once

#include <string_view>

namespace servo {

// The link to the process data server. The panel calls nothing on it; the fields bound through
// it do. It opens and keeps its link on its own, from its design-time settings.
class DataConnection
{
public:
    virtual ~DataConnection() = default;
};

// Lookup of an element by its name, offered by the panel. Fields use it to find their data
// connection ("DatCon1") once all elements exist.
class ElementLookup
{
public:
    virtual ~ElementLookup() = default;
    // nullptr when no data connection has that name.
    virtual DataConnection* dataConnection(std::string_view name) const = 0;
};

} // namespace servo
