#pragma once

#include "processdata/fieldvalue.h"

#include <string>

namespace servo {

class ElementLookup;

// Told when a field's value has changed, on the user-interface thread, between handlers.
class FieldListener
{
public:
    virtual ~FieldListener() = default;
    virtual void fieldChanged() = 0;
};

// A process-value field: one property, Value, bound to one process item.
class ProcessField
{
public:
    virtual ~ProcessField() = default;

    // The current value of the bound item, as last delivered. Never waits on the network.
    // Throws Failure when no value can be produced.
    virtual FieldValue value() const = 0;

    // Passes the value on to the bound item. Throws Failure when it cannot be passed on.
    virtual void setValue(const FieldValue& value) = 0;

    // Called once all elements exist and before the first event: the field finds its data
    // connection by name here. Fields that need no connection ignore it.
    virtual void findConnection(const ElementLookup& elements) { (void)elements; }

    // Where a write goes and on whose behalf, for the record of the operator's actions: the
    // process item and the user the connection works as, when it has one. Empty for a field
    // that is bound to nothing outside the program.
    virtual std::string writeTarget() const { return {}; }

    // At most one listener; nullptr removes it. The listener must outlive the field or be
    // removed first.
    virtual void setListener(FieldListener* listener) { (void)listener; }
};

} // namespace servo
