#include "opcua/services.h"

#include "opcua/nodeid.h"
#include "text/printable.h"

#include <algorithm>
#include <array>
#include <type_traits>
#include <utility>

namespace opcua {

namespace {

// Members of a structure are written and read through put/get, which pick the right encoding
// for built-in values, structures, enumerations (Int32 on the wire) and arrays.
template <class T> void put(Encoder& e, const T& v)
{
    if constexpr (std::is_enum_v<T>)
        e.encode(std::underlying_type_t<T>(v));
    else
        encode(e, v);
}

template <class T> void put(Encoder& e, const std::vector<T>& v)
{
    if constexpr (std::is_enum_v<T>) {
        e.writeLength(v.size());
        for (const T& x : v)
            put(e, x);
    } else {
        encodeArray(e, v);
    }
}

template <class T> void get(Decoder& d, T& v)
{
    if constexpr (std::is_enum_v<T>)
        v = T(d.read<std::underlying_type_t<T>>());
    else
        decode(d, v);
}

template <class T> void get(Decoder& d, std::vector<T>& v)
{
    decodeArray(d, v);
}

// Notifications travel as ExtensionObjects; the kinds this system reads are decoded in place so
// that the client need not unpack them, and any other kind is kept as it came.
void put(Encoder& e, const std::vector<Notification>& v);
void get(Decoder& d, std::vector<Notification>& v);

template <class... Members> void putAll(Encoder& e, const Members&... members)
{
    (put(e, members), ...);
}

template <class... Members> void getAll(Decoder& d, Members&... members)
{
    (get(d, members), ...);
}

template <class T> struct IsVector : std::false_type
{
};
template <class T> struct IsVector<std::vector<T>> : std::true_type
{
};

// Collects memberEncodings(): each member's bytes under its path, and the members of a member
// that is a structure (or an array of them) after it.
class MemberLister
{
public:
    explicit MemberLister(MemberEncodings& out) : m_out(out) {}

    // `names` is a codec's member list as written ("v.subscriptionId, v.results"), which names
    // the members in the order they come.
    template <class... Members> void all(std::string_view names, const Members&... members)
    {
        (add(m_prefix + std::string(takeName(names)), members), ...);
    }

private:
    static std::string_view takeName(std::string_view& names)
    {
        const size_t comma = std::min(names.find(','), names.size());
        std::string_view name = names.substr(0, comma);
        names.remove_prefix(std::min(comma + 1, names.size()));
        name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
        if (name.starts_with("v."))
            name.remove_prefix(2);
        return name;
    }

    template <class T> void add(const std::string& path, const T& value)
    {
        Encoder e;
        put(e, value);
        m_out.emplace_back(path, e.take());
        if constexpr (requires { listMembers(*this, value); }) {
            const std::string outer = std::exchange(m_prefix, path + ".");
            listMembers(*this, value);
            m_prefix = outer;
        } else if constexpr (IsVector<T>::value) {
            if constexpr (requires { listMembers(*this, value.front()); }) {
                for (size_t i = 0; i < value.size(); ++i)
                    add(path + "[" + std::to_string(i) + "]", value[i]);
            }
        }
    }

    MemberEncodings& m_out;
    std::string m_prefix;
};

} // namespace

// One encode and one decode per structure, listing its members in wire order once for both, and
// the same list with its names for memberEncodings().
#define OPCUA_CODEC(T, ...)                                                                        \
    void encode(Encoder& e, const T& v)                                                            \
    {                                                                                              \
        putAll(e, __VA_ARGS__);                                                                    \
    }                                                                                              \
    void decode(Decoder& d, T& v)                                                                  \
    {                                                                                              \
        getAll(d, __VA_ARGS__);                                                                    \
    }                                                                                              \
    [[maybe_unused]] static void listMembers(MemberLister& lister, const T& v)                     \
    {                                                                                              \
        lister.all(#__VA_ARGS__, __VA_ARGS__);                                                     \
    }

OPCUA_CODEC(RequestHeader, v.authenticationToken, v.timestamp, v.requestHandle, v.returnDiagnostics,
            v.auditEntryId, v.timeoutHint, v.additionalHeader)
OPCUA_CODEC(ResponseHeader, v.timestamp, v.requestHandle, v.serviceResult, v.serviceDiagnostics,
            v.stringTable, v.additionalHeader)
OPCUA_CODEC(ServiceFault, v.responseHeader)

OPCUA_CODEC(ChannelSecurityToken, v.channelId, v.tokenId, v.createdAt, v.revisedLifetime)
OPCUA_CODEC(OpenSecureChannelRequest, v.requestHeader, v.clientProtocolVersion, v.requestType,
            v.securityMode, v.clientNonce, v.requestedLifetime)
OPCUA_CODEC(OpenSecureChannelResponse, v.responseHeader, v.serverProtocolVersion, v.securityToken,
            v.serverNonce)
OPCUA_CODEC(CloseSecureChannelRequest, v.requestHeader)
OPCUA_CODEC(CloseSecureChannelResponse, v.responseHeader)

OPCUA_CODEC(ApplicationDescription, v.applicationUri, v.productUri, v.applicationName,
            v.applicationType, v.gatewayServerUri, v.discoveryProfileUri, v.discoveryUrls)
OPCUA_CODEC(UserTokenPolicy, v.policyId, v.tokenType, v.issuedTokenType, v.issuerEndpointUrl,
            v.securityPolicyUri)
OPCUA_CODEC(EndpointDescription, v.endpointUrl, v.server, v.serverCertificate, v.securityMode,
            v.securityPolicyUri, v.userIdentityTokens, v.transportProfileUri, v.securityLevel)
OPCUA_CODEC(GetEndpointsRequest, v.requestHeader, v.endpointUrl, v.localeIds, v.profileUris)
OPCUA_CODEC(GetEndpointsResponse, v.responseHeader, v.endpoints)
OPCUA_CODEC(FindServersRequest, v.requestHeader, v.endpointUrl, v.localeIds, v.serverUris)
OPCUA_CODEC(FindServersResponse, v.responseHeader, v.servers)

OPCUA_CODEC(SignatureData, v.algorithm, v.signature)
OPCUA_CODEC(SignedSoftwareCertificate, v.certificateData, v.signature)
OPCUA_CODEC(CreateSessionRequest, v.requestHeader, v.clientDescription, v.serverUri, v.endpointUrl,
            v.sessionName, v.clientNonce, v.clientCertificate, v.requestedSessionTimeout,
            v.maxResponseMessageSize)
OPCUA_CODEC(CreateSessionResponse, v.responseHeader, v.sessionId, v.authenticationToken,
            v.revisedSessionTimeout, v.serverNonce, v.serverCertificate, v.serverEndpoints,
            v.serverSoftwareCertificates, v.serverSignature, v.maxRequestMessageSize)
OPCUA_CODEC(AnonymousIdentityToken, v.policyId)
OPCUA_CODEC(UserNameIdentityToken, v.policyId, v.userName, v.password, v.encryptionAlgorithm)
OPCUA_CODEC(ActivateSessionRequest, v.requestHeader, v.clientSignature,
            v.clientSoftwareCertificates, v.localeIds, v.userIdentityToken, v.userTokenSignature)
OPCUA_CODEC(ActivateSessionResponse, v.responseHeader, v.serverNonce, v.results, v.diagnosticInfos)
OPCUA_CODEC(CloseSessionRequest, v.requestHeader, v.deleteSubscriptions)
OPCUA_CODEC(CloseSessionResponse, v.responseHeader)

OPCUA_CODEC(ReadValueId, v.nodeId, v.attributeId, v.indexRange, v.dataEncoding)
OPCUA_CODEC(ReadRequest, v.requestHeader, v.maxAge, v.timestampsToReturn, v.nodesToRead)
OPCUA_CODEC(ReadResponse, v.responseHeader, v.results, v.diagnosticInfos)
OPCUA_CODEC(WriteValue, v.nodeId, v.attributeId, v.indexRange, v.value)
OPCUA_CODEC(WriteRequest, v.requestHeader, v.nodesToWrite)
OPCUA_CODEC(WriteResponse, v.responseHeader, v.results, v.diagnosticInfos)

OPCUA_CODEC(ViewDescription, v.viewId, v.timestamp, v.viewVersion)
OPCUA_CODEC(BrowseDescription, v.nodeId, v.browseDirection, v.referenceTypeId, v.includeSubtypes,
            v.nodeClassMask, v.resultMask)
OPCUA_CODEC(ReferenceDescription, v.referenceTypeId, v.isForward, v.nodeId, v.browseName,
            v.displayName, v.nodeClass, v.typeDefinition)
OPCUA_CODEC(BrowseResult, v.statusCode, v.continuationPoint, v.references)
OPCUA_CODEC(BrowseRequest, v.requestHeader, v.view, v.requestedMaxReferencesPerNode,
            v.nodesToBrowse)
OPCUA_CODEC(BrowseResponse, v.responseHeader, v.results, v.diagnosticInfos)
OPCUA_CODEC(BrowseNextRequest, v.requestHeader, v.releaseContinuationPoints, v.continuationPoints)
OPCUA_CODEC(BrowseNextResponse, v.responseHeader, v.results, v.diagnosticInfos)
OPCUA_CODEC(RelativePathElement, v.referenceTypeId, v.isInverse, v.includeSubtypes, v.targetName)
OPCUA_CODEC(RelativePath, v.elements)
OPCUA_CODEC(BrowsePath, v.startingNode, v.relativePath)
OPCUA_CODEC(BrowsePathTarget, v.targetId, v.remainingPathIndex)
OPCUA_CODEC(BrowsePathResult, v.statusCode, v.targets)
OPCUA_CODEC(TranslateBrowsePathsToNodeIdsRequest, v.requestHeader, v.browsePaths)
OPCUA_CODEC(TranslateBrowsePathsToNodeIdsResponse, v.responseHeader, v.results, v.diagnosticInfos)

OPCUA_CODEC(CreateSubscriptionRequest, v.requestHeader, v.requestedPublishingInterval,
            v.requestedLifetimeCount, v.requestedMaxKeepAliveCount, v.maxNotificationsPerPublish,
            v.publishingEnabled, v.priority)
OPCUA_CODEC(CreateSubscriptionResponse, v.responseHeader, v.subscriptionId,
            v.revisedPublishingInterval, v.revisedLifetimeCount, v.revisedMaxKeepAliveCount)
OPCUA_CODEC(ModifySubscriptionRequest, v.requestHeader, v.subscriptionId,
            v.requestedPublishingInterval, v.requestedLifetimeCount, v.requestedMaxKeepAliveCount,
            v.maxNotificationsPerPublish, v.priority)
OPCUA_CODEC(ModifySubscriptionResponse, v.responseHeader, v.revisedPublishingInterval,
            v.revisedLifetimeCount, v.revisedMaxKeepAliveCount)
OPCUA_CODEC(DeleteSubscriptionsRequest, v.requestHeader, v.subscriptionIds)
OPCUA_CODEC(DeleteSubscriptionsResponse, v.responseHeader, v.results, v.diagnosticInfos)
OPCUA_CODEC(SetPublishingModeRequest, v.requestHeader, v.publishingEnabled, v.subscriptionIds)
OPCUA_CODEC(SetPublishingModeResponse, v.responseHeader, v.results, v.diagnosticInfos)

OPCUA_CODEC(DataChangeFilter, v.trigger, v.deadbandType, v.deadbandValue)
OPCUA_CODEC(MonitoringParameters, v.clientHandle, v.samplingInterval, v.filter, v.queueSize,
            v.discardOldest)
OPCUA_CODEC(MonitoredItemCreateRequest, v.itemToMonitor, v.monitoringMode, v.requestedParameters)
OPCUA_CODEC(MonitoredItemCreateResult, v.statusCode, v.monitoredItemId, v.revisedSamplingInterval,
            v.revisedQueueSize, v.filterResult)
OPCUA_CODEC(CreateMonitoredItemsRequest, v.requestHeader, v.subscriptionId, v.timestampsToReturn,
            v.itemsToCreate)
OPCUA_CODEC(CreateMonitoredItemsResponse, v.responseHeader, v.results, v.diagnosticInfos)
OPCUA_CODEC(DeleteMonitoredItemsRequest, v.requestHeader, v.subscriptionId, v.monitoredItemIds)
OPCUA_CODEC(DeleteMonitoredItemsResponse, v.responseHeader, v.results, v.diagnosticInfos)

OPCUA_CODEC(SubscriptionAcknowledgement, v.subscriptionId, v.sequenceNumber)
OPCUA_CODEC(MonitoredItemNotification, v.clientHandle, v.value)
OPCUA_CODEC(DataChangeNotification, v.monitoredItems, v.diagnosticInfos)
OPCUA_CODEC(StatusChangeNotification, v.status, v.diagnosticInfo)
OPCUA_CODEC(NotificationMessage, v.sequenceNumber, v.publishTime, v.notificationData)
OPCUA_CODEC(PublishRequest, v.requestHeader, v.subscriptionAcknowledgements)
OPCUA_CODEC(PublishResponse, v.responseHeader, v.subscriptionId, v.availableSequenceNumbers,
            v.moreNotifications, v.notificationMessage, v.results, v.diagnosticInfos)
OPCUA_CODEC(RepublishRequest, v.requestHeader, v.subscriptionId, v.retransmitSequenceNumber)
OPCUA_CODEC(RepublishResponse, v.responseHeader, v.notificationMessage)

#undef OPCUA_CODEC

namespace {

void put(Encoder& e, const std::vector<Notification>& v)
{
    e.writeLength(v.size());
    for (const Notification& n : v) {
        std::visit(
            [&e](const auto& body) {
                using T = std::decay_t<decltype(body)>;
                if constexpr (std::is_same_v<T, ExtensionObject>) {
                    e.encode(body);
                } else {
                    // Written in place rather than through packBody to spare a copy.
                    e.encode(NodeId(0, T::kBinaryEncodingId));
                    e.encode(uint8_t(ExtensionObjectEncoding::ByteString));
                    const size_t lengthAt = e.size();
                    e.encode(int32_t(0));
                    encode(e, body);
                    e.patchUInt32(lengthAt, uint32_t(e.size() - lengthAt - 4));
                }
            },
            n);
    }
}

template <class T> T decodeNotificationBody(const ExtensionObject& object, const Decoder& outer)
{
    Decoder d(object.body, outer.limits());
    T value{};
    decode(d, value);
    d.expectEnd("notification body");
    return value;
}

void get(Decoder& d, std::vector<Notification>& v)
{
    const size_t n = d.readArrayLength();
    v.clear();
    v.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        auto object = d.read<ExtensionObject>();
        const bool binary = object.encoding == ExtensionObjectEncoding::ByteString &&
                            object.typeId.namespaceIndex == 0 &&
                            object.typeId.identifierType() == IdentifierType::Numeric;
        const uint32_t typeId = binary ? object.typeId.numeric() : 0;
        if (typeId == DataChangeNotification::kBinaryEncodingId)
            v.emplace_back(decodeNotificationBody<DataChangeNotification>(object, d));
        else if (typeId == StatusChangeNotification::kBinaryEncodingId)
            v.emplace_back(decodeNotificationBody<StatusChangeNotification>(object, d));
        else
            v.emplace_back(std::move(object));
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The service table

namespace {

constexpr std::string_view kServiceNames[] = {
    "ServiceFault",
    "OpenSecureChannelRequest",
    "OpenSecureChannelResponse",
    "CloseSecureChannelRequest",
    "CloseSecureChannelResponse",
    "GetEndpointsRequest",
    "GetEndpointsResponse",
    "FindServersRequest",
    "FindServersResponse",
    "CreateSessionRequest",
    "CreateSessionResponse",
    "ActivateSessionRequest",
    "ActivateSessionResponse",
    "CloseSessionRequest",
    "CloseSessionResponse",
    "ReadRequest",
    "ReadResponse",
    "WriteRequest",
    "WriteResponse",
    "BrowseRequest",
    "BrowseResponse",
    "BrowseNextRequest",
    "BrowseNextResponse",
    "TranslateBrowsePathsToNodeIdsRequest",
    "TranslateBrowsePathsToNodeIdsResponse",
    "CreateSubscriptionRequest",
    "CreateSubscriptionResponse",
    "ModifySubscriptionRequest",
    "ModifySubscriptionResponse",
    "DeleteSubscriptionsRequest",
    "DeleteSubscriptionsResponse",
    "SetPublishingModeRequest",
    "SetPublishingModeResponse",
    "CreateMonitoredItemsRequest",
    "CreateMonitoredItemsResponse",
    "DeleteMonitoredItemsRequest",
    "DeleteMonitoredItemsResponse",
    "PublishRequest",
    "PublishResponse",
    "RepublishRequest",
    "RepublishResponse",
};
constexpr size_t kServiceCount = std::variant_size_v<ServiceMessage>;
static_assert(std::size(kServiceNames) == kServiceCount);

template <class T> constexpr bool kIsRequest = requires(const T& t)
{
    t.requestHeader;
};

template <size_t... I> constexpr auto makeServiceTable(std::index_sequence<I...>)
{
    return std::array<ServiceInfo, kServiceCount>{ServiceInfo{
        std::variant_alternative_t<I, ServiceMessage>::kBinaryEncodingId, kServiceNames[I],
        kIsRequest<std::variant_alternative_t<I, ServiceMessage>>}...};
}
constexpr auto kServiceTable = makeServiceTable(std::make_index_sequence<kServiceCount>());

using DecodeFunction = ServiceMessage (*)(Decoder&);

template <size_t I> ServiceMessage decodeAlternative(Decoder& d)
{
    std::variant_alternative_t<I, ServiceMessage> message{};
    decode(d, message);
    return ServiceMessage(std::in_place_index<I>, std::move(message));
}

template <size_t... I> constexpr auto makeDecoders(std::index_sequence<I...>)
{
    return std::array<DecodeFunction, kServiceCount>{&decodeAlternative<I>...};
}
constexpr auto kDecoders = makeDecoders(std::make_index_sequence<kServiceCount>());

// The position of an encoding id in the table, or kServiceCount.
size_t serviceIndex(uint32_t encodingId)
{
    for (size_t i = 0; i < kServiceCount; ++i) {
        if (kServiceTable[i].encodingId == encodingId)
            return i;
    }
    return kServiceCount;
}

} // namespace

std::span<const ServiceInfo> serviceTable()
{
    return kServiceTable;
}

const ServiceInfo* findService(uint32_t encodingId)
{
    const size_t i = serviceIndex(encodingId);
    return i < kServiceCount ? &kServiceTable[i] : nullptr;
}

uint32_t encodingIdOf(const ServiceMessage& message)
{
    return kServiceTable[message.index()].encodingId;
}

std::string_view serviceName(const ServiceMessage& message)
{
    return kServiceTable[message.index()].name;
}

void encodeServiceMessage(Encoder& e, const ServiceMessage& message)
{
    e.encode(NodeId(0, encodingIdOf(message)));
    std::visit([&e](const auto& m) { encode(e, m); }, message);
}

ByteBuffer encodeServiceMessage(const ServiceMessage& message)
{
    Encoder e;
    encodeServiceMessage(e, message);
    return e.take();
}

ServiceMessage decodeServiceMessage(ByteView bytes, DecodeLimits limits)
{
    Decoder d(bytes, limits);
    const auto typeId = d.read<NodeId>();
    const size_t index =
        typeId.namespaceIndex == 0 && typeId.identifierType() == IdentifierType::Numeric
            ? serviceIndex(typeId.numeric())
            : kServiceCount;
    if (index == kServiceCount)
        throw UnsupportedServiceError(typeId, "unsupported service message type " +
                                                  text::printable(toString(typeId)));
    ServiceMessage message = kDecoders[index](d);
    d.expectEnd(kServiceNames[index].data());
    return message;
}

std::optional<RequestPrefix> peekRequestHeader(ByteView bytes)
{
    try {
        Decoder d(bytes);
        RequestPrefix prefix;
        d.decode(prefix.typeId);
        decode(d, prefix.requestHeader);
        return prefix;
    } catch (const DecodeError&) {
        return std::nullopt;
    }
}

const RequestHeader* requestHeaderOf(const ServiceMessage& message)
{
    return std::visit(
        [](const auto& m) -> const RequestHeader* {
            if constexpr (kIsRequest<std::decay_t<decltype(m)>>)
                return &m.requestHeader;
            else
                return nullptr;
        },
        message);
}

RequestHeader* requestHeaderOf(ServiceMessage& message)
{
    return const_cast<RequestHeader*>(requestHeaderOf(std::as_const(message)));
}

const ResponseHeader* responseHeaderOf(const ServiceMessage& message)
{
    return std::visit(
        [](const auto& m) -> const ResponseHeader* {
            if constexpr (kIsRequest<std::decay_t<decltype(m)>>)
                return nullptr;
            else
                return &m.responseHeader;
        },
        message);
}

MemberEncodings memberEncodings(const ServiceMessage& message)
{
    MemberEncodings out;
    MemberLister lister(out);
    std::visit([&lister](const auto& m) { listMembers(lister, m); }, message);
    return out;
}

ResponseHeader* responseHeaderOf(ServiceMessage& message)
{
    return const_cast<ResponseHeader*>(responseHeaderOf(std::as_const(message)));
}

StatusCode serviceResultOf(const ServiceMessage& message)
{
    const ResponseHeader* header = responseHeaderOf(message);
    return header ? header->serviceResult : status::Good;
}

} // namespace opcua
