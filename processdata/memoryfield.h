#pragma once

#include "processdata/processfield.h"

namespace servo {

// A field that holds its value in memory: what the panel uses when no process data link is
// configured, and what tests use. A write is read back at once.
class MemoryField final : public ProcessField
{
public:
    MemoryField() = default;
    explicit MemoryField(FieldValue initial) : m_value(std::move(initial)) {}

    FieldValue value() const override { return m_value; }
    void setValue(const FieldValue& value) override;
    void setListener(FieldListener* listener) override { m_listener = listener; }

private:
    FieldValue m_value;
    FieldListener* m_listener = nullptr;
};

} // namespace servo
