#pragma once

#include "processdata/dataconnection.h"
#include "processdata/processfield.h"

#include <array>
#include <memory>

namespace servo {

// The data components of the panel that are not drawn: the data connection DatCon1 and the
// eight fields ZqNumber1 ... ZqNumber8 bound through it. Whoever creates the window hands them
// over; the window owns them for its whole life.
struct ProcessData
{
    std::unique_ptr<DataConnection> DatCon1;
    std::array<std::unique_ptr<ProcessField>, 8> ZqNumber; // ZqNumber[0] is ZqNumber1

    ProcessField& field(int number) const { return *ZqNumber.at(std::size_t(number - 1)); }
};

// Components with no server behind them: every field starts empty and holds what is written.
ProcessData makeMemoryProcessData();

} // namespace servo
