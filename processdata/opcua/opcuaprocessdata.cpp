#include "processdata/opcua/opcuaprocessdata.h"

#include "processdata/opcua/opcuadataconnection.h"
#include "processdata/opcua/opcuafield.h"

namespace servo {

namespace {

void addFields(ProcessData& data)
{
    for (std::size_t i = 0; i < data.ZqNumber.size(); ++i)
        data.ZqNumber[i] = std::make_unique<OpcUaField>(int(i) + 1);
}

} // namespace

ProcessData makeOpcUaProcessData(const DataConnectionConfig& config)
{
    ProcessData data;
    data.DatCon1 = std::make_unique<OpcUaDataConnection>(config);
    addFields(data);
    return data;
}

ProcessData makeOpcUaProcessData(const QString& settingsPath)
{
    ProcessData data;
    auto connection = std::make_unique<OpcUaDataConnection>(loadDataConnectionConfig(settingsPath));
    connection->watchSettings(settingsPath);
    data.DatCon1 = std::move(connection);
    addFields(data);
    return data;
}

ProcessData makeOpcUaProcessData(const DataConnectionConfig& config, opcua::StreamFactory streams,
                                 opcua::Clock& clock)
{
    ProcessData data;
    data.DatCon1 = std::make_unique<OpcUaDataConnection>(config, std::move(streams), clock);
    addFields(data);
    return data;
}

} // namespace servo
