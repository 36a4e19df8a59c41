#include "opcua/client/clientinternal.h"
#include "opcua/nodeid.h"

#include <array>

namespace opcua {

namespace {

// Data types of namespace 0 that are not built-in but always encode as one.
struct DerivedType
{
    uint32_t id;
    BuiltinType builtin;
};
constexpr std::array kDerivedTypes{
    DerivedType{ids::Enumeration, BuiltinType::Int32},
    DerivedType{ids::IntegerId, BuiltinType::UInt32},
    DerivedType{ids::Counter, BuiltinType::UInt32},
    DerivedType{ids::Duration, BuiltinType::Double},
    DerivedType{ids::UtcTime, BuiltinType::DateTime},
    DerivedType{ids::LocaleId, BuiltinType::String},
};

// The built-in type a DataType node id names, or nullopt for abstract and structured types.
// i=24 is the abstract BaseDataType, not the Variant encoding that shares its number.
std::optional<BuiltinType> builtinTypeOf(const NodeId& dataType)
{
    if (dataType.namespaceIndex != 0 || dataType.identifierType() != IdentifierType::Numeric)
        return std::nullopt;
    const uint32_t id = dataType.numeric();
    if (id >= 1 && id <= 25 && id != ids::BaseDataType)
        return BuiltinType(id);
    for (const auto& derived : kDerivedTypes) {
        if (derived.id == id)
            return derived.builtin;
    }
    return std::nullopt;
}

} // namespace

int Client::addItem(ExpandedNodeId node)
{
    Item item;
    item.node = std::move(node);
    m_items.push_back(std::move(item));
    if (m_state == State::Running)
        bindItems();
    return int(m_items.size()) - 1;
}

std::optional<BuiltinType> Client::itemType(int item) const
{
    if (item < 0 || item >= int(m_items.size()))
        return std::nullopt;
    const Item& it = m_items[size_t(item)];
    if (it.dataType) {
        if (auto declared = builtinTypeOf(*it.dataType))
            return declared;
    }
    return it.valueType;
}

std::optional<NodeId> Client::itemDataType(int item) const
{
    if (item < 0 || item >= int(m_items.size()))
        return std::nullopt;
    return m_items[size_t(item)].dataType;
}

bool Client::write(int item, Variant value, const WriteDone& done)
{
    if (m_state != State::Running || item < 0 || item >= int(m_items.size()) ||
        m_items[size_t(item)].state != ItemState::Monitored)
        return false;
    WriteRequest request;
    WriteValue target;
    target.nodeId = m_items[size_t(item)].resolved;
    target.attributeId = uint32_t(AttributeId::Value);
    target.value.value = std::move(value);
    request.nodesToWrite.push_back(std::move(target));
    auto onOk = [done](WriteResponse& response) {
        const StatusCode result =
            response.results.size() == 1 ? response.results[0] : status::BadUnknownResponse;
        if (done)
            done(result, result.isBad() ? statusName(result) : std::string());
    };
    auto onFailure = [done](StatusCode status, const std::string& reason) {
        if (done)
            done(status, reason);
    };
    send(std::move(request), expect<WriteResponse>(onOk, onFailure), onFailure,
         m_settings.requestTimeout, RequestKind::Write);
    return true;
}

void Client::bindItems()
{
    std::vector<int> toRead;
    for (int i = 0; i < int(m_items.size()); ++i) {
        Item& item = m_items[size_t(i)];
        if (item.state != ItemState::Unbound)
            continue;
        try {
            item.resolved = resolve(item.node, m_namespaces);
        } catch (const NodeIdError& error) {
            rejectItem(i, error.status(), error.what());
            continue;
        }
        item.state = ItemState::Binding;
        toRead.push_back(i);
    }
    if (toRead.empty())
        return;

    ReadRequest request;
    request.timestampsToReturn = TimestampsToReturn::Neither;
    for (int i : toRead) {
        ReadValueId id;
        id.nodeId = m_items[size_t(i)].resolved;
        id.attributeId = uint32_t(AttributeId::DataType);
        request.nodesToRead.push_back(std::move(id));
    }
    auto onFailure = [this, toRead](StatusCode status, const std::string& reason) {
        for (int i : toRead)
            rejectItem(i, status, "reading its data type failed: " + reason);
    };
    send(std::move(request),
         expect<ReadResponse>(
             [this, toRead](ReadResponse& response) { onItemTypesRead(toRead, response); },
             onFailure),
         onFailure, m_settings.requestTimeout);
}

void Client::onItemTypesRead(const std::vector<int>& items, const ReadResponse& response)
{
    if (response.results.size() != items.size()) {
        for (int i : items)
            rejectItem(i, status::BadUnknownResponse,
                       "the server's Read answer has " + std::to_string(response.results.size()) +
                           " results for " + std::to_string(items.size()) + " items");
        return;
    }
    std::vector<int> toMonitor;
    for (size_t k = 0; k < items.size(); ++k) {
        const int i = items[k];
        const DataValue& result = response.results[k];
        const StatusCode status = result.statusOrGood();
        if (status.isBad()) {
            rejectItem(i, status, "reading its data type: " + statusName(status));
            continue;
        }
        Item& item = m_items[size_t(i)];
        item.dataType.reset();
        if (result.value) {
            if (auto dataType = result.value->scalar<NodeId>())
                item.dataType = *dataType;
        }
        toMonitor.push_back(i);
    }
    if (!toMonitor.empty())
        monitorItems(toMonitor);
}

void Client::monitorItems(const std::vector<int>& items)
{
    CreateMonitoredItemsRequest request;
    request.subscriptionId = m_subscriptionId;
    request.timestampsToReturn = m_settings.monitoredTimestamps;
    for (int i : items) {
        MonitoredItemCreateRequest create;
        create.itemToMonitor.nodeId = m_items[size_t(i)].resolved;
        create.itemToMonitor.attributeId = uint32_t(AttributeId::Value);
        create.monitoringMode = MonitoringMode::Reporting;
        create.requestedParameters.clientHandle = uint32_t(i);
        create.requestedParameters.samplingInterval = m_settings.samplingIntervalMs;
        create.requestedParameters.queueSize = 1;
        create.requestedParameters.discardOldest = true;
        request.itemsToCreate.push_back(std::move(create));
    }
    auto onFailure = [this, items](StatusCode status, const std::string& reason) {
        for (int i : items)
            rejectItem(i, status, "CreateMonitoredItems failed: " + reason);
    };
    send(std::move(request),
         expect<CreateMonitoredItemsResponse>(
             [this, items](CreateMonitoredItemsResponse& response) {
                 onItemsMonitored(items, response);
             },
             onFailure),
         onFailure, m_settings.requestTimeout);
}

void Client::onItemsMonitored(const std::vector<int>& items,
                              const CreateMonitoredItemsResponse& response)
{
    if (response.results.size() != items.size()) {
        for (int i : items)
            rejectItem(i, status::BadUnknownResponse,
                       "the server's CreateMonitoredItems answer does not match the request");
        return;
    }
    for (size_t k = 0; k < items.size(); ++k) {
        const int i = items[k];
        const auto& result = response.results[k];
        if (result.statusCode.isBad()) {
            rejectItem(i, result.statusCode,
                       "the server would not monitor it: " + statusName(result.statusCode));
            continue;
        }
        Item& item = m_items[size_t(i)];
        if (item.state == ItemState::Binding)
            item.state = ItemState::Monitored;
        item.monitoredItemId = result.monitoredItemId;
    }
}

void Client::rejectItem(int item, StatusCode status, const std::string& reason)
{
    Item& it = m_items[size_t(item)];
    if (it.state == ItemState::Rejected)
        return;
    it.state = ItemState::Rejected;
    lcClient.warning("item " + toString(it.node) + ": " + reason);
    m_listener.itemRejected(item, status, reason);
}

} // namespace opcua
