#include "processdata/memoryfield.h"

namespace servo {

void MemoryField::setValue(const FieldValue& value)
{
    if (value == m_value)
        return;
    m_value = value;
    if (m_listener)
        m_listener->fieldChanged();
}

} // namespace servo
