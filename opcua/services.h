#pragma once

#include "opcua/binary.h"
#include "opcua/messages.h"
#include "opcua/subscriptionmessages.h"
#include "opcua/types.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// The binary encoding of the service messages (messages.h, subscriptionmessages.h): a free
// encode/decode pair for each structure, and the table of the messages a channel carries.
namespace opcua {

// ---------------------------------------------------------------------------------------------
// Encode/decode of every structure above, members in wire order. Decoders throw DecodeError.

// T names a type, which cannot stand in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define OPCUA_DECLARE_CODEC(T)                                                                     \
    void encode(Encoder& e, const T& v);                                                           \
    void decode(Decoder& d, T& v);
// NOLINTEND(bugprone-macro-parentheses)
OPCUA_DECLARE_CODEC(RequestHeader)
OPCUA_DECLARE_CODEC(ResponseHeader)
OPCUA_DECLARE_CODEC(ServiceFault)
OPCUA_DECLARE_CODEC(ChannelSecurityToken)
OPCUA_DECLARE_CODEC(OpenSecureChannelRequest)
OPCUA_DECLARE_CODEC(OpenSecureChannelResponse)
OPCUA_DECLARE_CODEC(CloseSecureChannelRequest)
OPCUA_DECLARE_CODEC(CloseSecureChannelResponse)
OPCUA_DECLARE_CODEC(ApplicationDescription)
OPCUA_DECLARE_CODEC(UserTokenPolicy)
OPCUA_DECLARE_CODEC(EndpointDescription)
OPCUA_DECLARE_CODEC(GetEndpointsRequest)
OPCUA_DECLARE_CODEC(GetEndpointsResponse)
OPCUA_DECLARE_CODEC(FindServersRequest)
OPCUA_DECLARE_CODEC(FindServersResponse)
OPCUA_DECLARE_CODEC(SignatureData)
OPCUA_DECLARE_CODEC(SignedSoftwareCertificate)
OPCUA_DECLARE_CODEC(CreateSessionRequest)
OPCUA_DECLARE_CODEC(CreateSessionResponse)
OPCUA_DECLARE_CODEC(AnonymousIdentityToken)
OPCUA_DECLARE_CODEC(UserNameIdentityToken)
OPCUA_DECLARE_CODEC(ActivateSessionRequest)
OPCUA_DECLARE_CODEC(ActivateSessionResponse)
OPCUA_DECLARE_CODEC(CloseSessionRequest)
OPCUA_DECLARE_CODEC(CloseSessionResponse)
OPCUA_DECLARE_CODEC(ReadValueId)
OPCUA_DECLARE_CODEC(ReadRequest)
OPCUA_DECLARE_CODEC(ReadResponse)
OPCUA_DECLARE_CODEC(WriteValue)
OPCUA_DECLARE_CODEC(WriteRequest)
OPCUA_DECLARE_CODEC(WriteResponse)
OPCUA_DECLARE_CODEC(ViewDescription)
OPCUA_DECLARE_CODEC(BrowseDescription)
OPCUA_DECLARE_CODEC(ReferenceDescription)
OPCUA_DECLARE_CODEC(BrowseResult)
OPCUA_DECLARE_CODEC(BrowseRequest)
OPCUA_DECLARE_CODEC(BrowseResponse)
OPCUA_DECLARE_CODEC(BrowseNextRequest)
OPCUA_DECLARE_CODEC(BrowseNextResponse)
OPCUA_DECLARE_CODEC(RelativePathElement)
OPCUA_DECLARE_CODEC(RelativePath)
OPCUA_DECLARE_CODEC(BrowsePath)
OPCUA_DECLARE_CODEC(BrowsePathTarget)
OPCUA_DECLARE_CODEC(BrowsePathResult)
OPCUA_DECLARE_CODEC(TranslateBrowsePathsToNodeIdsRequest)
OPCUA_DECLARE_CODEC(TranslateBrowsePathsToNodeIdsResponse)
OPCUA_DECLARE_CODEC(CreateSubscriptionRequest)
OPCUA_DECLARE_CODEC(CreateSubscriptionResponse)
OPCUA_DECLARE_CODEC(ModifySubscriptionRequest)
OPCUA_DECLARE_CODEC(ModifySubscriptionResponse)
OPCUA_DECLARE_CODEC(DeleteSubscriptionsRequest)
OPCUA_DECLARE_CODEC(DeleteSubscriptionsResponse)
OPCUA_DECLARE_CODEC(SetPublishingModeRequest)
OPCUA_DECLARE_CODEC(SetPublishingModeResponse)
OPCUA_DECLARE_CODEC(DataChangeFilter)
OPCUA_DECLARE_CODEC(MonitoringParameters)
OPCUA_DECLARE_CODEC(MonitoredItemCreateRequest)
OPCUA_DECLARE_CODEC(MonitoredItemCreateResult)
OPCUA_DECLARE_CODEC(CreateMonitoredItemsRequest)
OPCUA_DECLARE_CODEC(CreateMonitoredItemsResponse)
OPCUA_DECLARE_CODEC(DeleteMonitoredItemsRequest)
OPCUA_DECLARE_CODEC(DeleteMonitoredItemsResponse)
OPCUA_DECLARE_CODEC(SubscriptionAcknowledgement)
OPCUA_DECLARE_CODEC(MonitoredItemNotification)
OPCUA_DECLARE_CODEC(DataChangeNotification)
OPCUA_DECLARE_CODEC(StatusChangeNotification)
OPCUA_DECLARE_CODEC(NotificationMessage)
OPCUA_DECLARE_CODEC(PublishRequest)
OPCUA_DECLARE_CODEC(PublishResponse)
OPCUA_DECLARE_CODEC(RepublishRequest)
OPCUA_DECLARE_CODEC(RepublishResponse)
#undef OPCUA_DECLARE_CODEC

// Arrays of structures: Int32 length then the elements; -1 decodes as empty.
template <class T> void encodeArray(Encoder& e, const std::vector<T>& values)
{
    e.writeLength(values.size());
    for (const auto& value : values)
        encode(e, static_cast<const T&>(value));
}
template <class T> void decodeArray(Decoder& d, std::vector<T>& values)
{
    const size_t n = d.readArrayLength();
    values.clear();
    values.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        T value{};
        decode(d, value);
        values.push_back(std::move(value));
    }
}

// Wraps a structure with a kBinaryEncodingId into an ExtensionObject with a binary body.
template <class T> ExtensionObject packBody(const T& value)
{
    Encoder e;
    encode(e, value);
    return ExtensionObject{NodeId(0, T::kBinaryEncodingId), ExtensionObjectEncoding::ByteString,
                           e.take()};
}

// The structure in an ExtensionObject when its type id is T's binary encoding id; nullopt for
// another type id or a non-binary body. A body that does not decode completely throws
// DecodeError.
template <class T> std::optional<T> unpackBody(const ExtensionObject& object)
{
    if (object.encoding != ExtensionObjectEncoding::ByteString ||
        object.typeId != NodeId(0, T::kBinaryEncodingId))
        return std::nullopt;
    Decoder d(object.body);
    T value{};
    decode(d, value);
    d.expectEnd("extension object body");
    return value;
}

// ---------------------------------------------------------------------------------------------
// Any service message, by its encoding id.

using ServiceMessage = std::variant<
    ServiceFault, OpenSecureChannelRequest, OpenSecureChannelResponse, CloseSecureChannelRequest,
    CloseSecureChannelResponse, GetEndpointsRequest, GetEndpointsResponse, FindServersRequest,
    FindServersResponse, CreateSessionRequest, CreateSessionResponse, ActivateSessionRequest,
    ActivateSessionResponse, CloseSessionRequest, CloseSessionResponse, ReadRequest, ReadResponse,
    WriteRequest, WriteResponse, BrowseRequest, BrowseResponse, BrowseNextRequest,
    BrowseNextResponse, TranslateBrowsePathsToNodeIdsRequest, TranslateBrowsePathsToNodeIdsResponse,
    CreateSubscriptionRequest, CreateSubscriptionResponse, ModifySubscriptionRequest,
    ModifySubscriptionResponse, DeleteSubscriptionsRequest, DeleteSubscriptionsResponse,
    SetPublishingModeRequest, SetPublishingModeResponse, CreateMonitoredItemsRequest,
    CreateMonitoredItemsResponse, DeleteMonitoredItemsRequest, DeleteMonitoredItemsResponse,
    PublishRequest, PublishResponse, RepublishRequest, RepublishResponse>;

// A message whose type id is not in the table (status BadServiceUnsupported). `typeId()` is
// what was received, so a server can say which service it does not offer.
class UnsupportedServiceError : public DecodeError
{
public:
    UnsupportedServiceError(NodeId typeId, const std::string& message)
        : DecodeError(status::BadServiceUnsupported, message), m_typeId(std::move(typeId))
    {}
    const NodeId& typeId() const { return m_typeId; }

private:
    NodeId m_typeId;
};

struct ServiceInfo
{
    uint32_t encodingId;
    std::string_view name; // "ReadRequest"
    bool isRequest;
};

// The table of every service message this library encodes and decodes, in ServiceMessage
// order; and one row by encoding id (nullptr when unknown).
std::span<const ServiceInfo> serviceTable();
const ServiceInfo* findService(uint32_t encodingId);

uint32_t encodingIdOf(const ServiceMessage& message);
std::string_view serviceName(const ServiceMessage& message);

// The type id (a NodeId in namespace 0) followed by the message's encoding.
void encodeServiceMessage(Encoder& e, const ServiceMessage& message);
ByteBuffer encodeServiceMessage(const ServiceMessage& message);

// Decodes a type id and the message it names, and requires the bytes to end there. Throws
// UnsupportedServiceError for a type id outside the table and DecodeError for bad bytes.
ServiceMessage decodeServiceMessage(ByteView bytes, DecodeLimits limits = {});

// The bytes each member of a message encodes to, by its path from the message
// ("responseHeader.requestHandle", "results[0].statusCode"): a structure whole, then member by
// member. The names come from the codec's own member lists, so that comparing them with another
// implementation's names the member a codec reads or writes in the wrong place.
using MemberEncodings = std::vector<std::pair<std::string, ByteBuffer>>;
MemberEncodings memberEncodings(const ServiceMessage& message);

// For requests: the type id and the RequestHeader that follows it, decoded without the rest,
// so that a server can answer a request it cannot decode (or does not support) with a
// ServiceFault carrying the right requestHandle. nullopt when even that much does not decode.
struct RequestPrefix
{
    NodeId typeId;
    RequestHeader requestHeader;
};
std::optional<RequestPrefix> peekRequestHeader(ByteView bytes);

// The headers of a message: nullptr when the message is not a request (a response).
const RequestHeader* requestHeaderOf(const ServiceMessage& message);
RequestHeader* requestHeaderOf(ServiceMessage& message);
const ResponseHeader* responseHeaderOf(const ServiceMessage& message);
ResponseHeader* responseHeaderOf(ServiceMessage& message);
// The service result of a response; Good for a request.
StatusCode serviceResultOf(const ServiceMessage& message);

} // namespace opcua
