#pragma once

#include "opcua/io.h"
#include "processdata/opcua/dataconnectionconfig.h"
#include "processdata/processdata.h"

namespace servo {

// DatCon1 as an OPC UA client with the given settings, and ZqNumber1 ... ZqNumber8 bound through
// it. The fields find DatCon1 through the panel's lookup (ProcessField::findConnection); the
// connection starts connecting from the event loop. Typical use:
//   Form1 form(makeOpcUaProcessData(loadDataConnectionConfig()));
ProcessData makeOpcUaProcessData(const DataConnectionConfig& config);

// The same with the settings read from the file at path, read again whenever it changes (see
// OpcUaDataConnection::watchSettings):
//   Form1 form(makeOpcUaProcessData(dataConnectionConfigPath()));
ProcessData makeOpcUaProcessData(const QString& settingsPath);

// The same over the given streams and clock, for tests. The clock must outlive the result.
ProcessData makeOpcUaProcessData(const DataConnectionConfig& config, opcua::StreamFactory streams,
                                 opcua::Clock& clock);

} // namespace servo
