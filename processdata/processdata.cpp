#include "processdata/processdata.h"

#include "processdata/memoryfield.h"

namespace servo {

namespace {

class NoConnection final : public DataConnection
{
};

} // namespace

ProcessData makeMemoryProcessData()
{
    ProcessData data;
    data.DatCon1 = std::make_unique<NoConnection>();
    for (auto& field : data.ZqNumber)
        field = std::make_unique<MemoryField>();
    return data;
}

} // namespace servo
