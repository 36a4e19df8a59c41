#pragma once

#include "processdata/failure.h"

#include <functional>
#include <string_view>

namespace servo {

// The link to the process data server. The panel calls nothing on it; the fields bound through
// it do. It opens and keeps its link on its own, from its design-time settings.
class DataConnection
{
public:
    virtual ~DataConnection() = default;

    using FailureSink = std::function<void(const Failure&)>;
    // Where failures go that arise outside the panel's handlers: a lost connection, a write the
    // server refused after the handler had returned, a setting that could not be used. The
    // window hands over its failure reports here once, at creation.
    // By value, so that a connection keeping the sink can move it in; this one ignores it.
    // NOLINTNEXTLINE(performance-unnecessary-value-param)
    virtual void setFailureSink(FailureSink /*sink*/) {}

    // A report this connection sent earlier has changed: the outage it told of is over, or the
    // outage's latest attempt failed for another reason. A sink that still shows `previous`
    // shows `current` in its place; one that no longer shows it only records the change.
    using ReportChangeSink = std::function<void(const Failure& previous, const Failure& current)>;
    // NOLINTNEXTLINE(performance-unnecessary-value-param)
    virtual void setReportChangeSink(ReportChangeSink /*sink*/) {}
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
