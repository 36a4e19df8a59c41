#pragma once

#include "opcua/binary.h"
#include "opcua/types.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// The service messages and the structures they carry, each with its binary encoding id
// (`kBinaryEncodingId`, a numeric node id in namespace 0) and a free encode/decode pair.
// Members are listed in wire order. Arrays whose wire length is -1 (null) decode as empty.
namespace opcua {

// ---------------------------------------------------------------------------------------------
// Enumerations (Int32 on the wire). Decoding accepts any value; the services check ranges.

enum class MessageSecurityMode : int32_t {
    Invalid = 0, // not a usable mode
    None = 1,    // no signing, no encryption: the only mode this system offers
    Sign = 2,
    SignAndEncrypt = 3,
};

enum class SecurityTokenRequestType : int32_t {
    Issue = 0, // a new channel
    Renew = 1, // a new token for an open channel
};

enum class ApplicationType : int32_t {
    Server = 0,
    Client = 1,
    ClientAndServer = 2,
    DiscoveryServer = 3,
};

enum class UserTokenType : int32_t {
    Anonymous = 0,
    UserName = 1,    // user name and password
    Certificate = 2, // an X.509 certificate
    IssuedToken = 3, // a token from an external issuer
};

enum class TimestampsToReturn : int32_t {
    Source = 0,
    Server = 1,
    Both = 2,
    Neither = 3,
    Invalid = 4, // not a valid choice; the server answers BadTimestampsToReturnInvalid
};

enum class BrowseDirection : int32_t {
    Forward = 0, // references from the node
    Inverse = 1, // references to the node
    Both = 2,
    Invalid = 3, // not a valid choice; the server answers BadBrowseDirectionInvalid
};

enum class NodeClass : int32_t {
    Unspecified = 0, // no class given (also "all classes" in a mask)
    Object = 1,
    Variable = 2,
    Method = 4,
    ObjectType = 8,
    VariableType = 16,
    ReferenceType = 32,
    DataType = 64,
    View = 128,
};

enum class MonitoringMode : int32_t {
    Disabled = 0,  // neither sampled nor reported
    Sampling = 1,  // sampled, not reported
    Reporting = 2, // sampled and reported
};

enum class DataChangeTrigger : int32_t {
    Status = 0,               // report status changes only
    StatusValue = 1,          // report status or value changes (the default)
    StatusValueTimestamp = 2, // report any change, timestamps included
};

// The attributes a Read or Write names by number.
enum class AttributeId : uint32_t {
    NodeId = 1,
    NodeClass = 2,
    BrowseName = 3,
    DisplayName = 4,
    Description = 5,
    WriteMask = 6,     // which attributes are writable
    UserWriteMask = 7, // which attributes this user may write
    IsAbstract = 8,
    Symmetric = 9,
    InverseName = 10,
    ContainsNoLoops = 11,
    EventNotifier = 12,
    Value = 13,
    DataType = 14,  // the node id of the value's data type
    ValueRank = 15, // scalar (-1), array (1) ...
    ArrayDimensions = 16,
    AccessLevel = 17,     // readable/writable bits
    UserAccessLevel = 18, // the same for this user
    MinimumSamplingInterval = 19,
    Historizing = 20, // whether history is collected
    Executable = 21,
    UserExecutable = 22,
};

// AccessLevel bits.
inline constexpr uint8_t kAccessLevelCurrentRead = 0x01;
inline constexpr uint8_t kAccessLevelCurrentWrite = 0x02;

// The protocol version both sides speak in OpenSecureChannel and Hello.
inline constexpr uint32_t kProtocolVersion = 0;

// ---------------------------------------------------------------------------------------------
// Headers

struct RequestHeader
{
    static constexpr uint32_t kBinaryEncodingId = 391;
    NodeId authenticationToken;
    DateTime timestamp;
    uint32_t requestHandle = 0;
    uint32_t returnDiagnostics = 0;
    String auditEntryId;
    uint32_t timeoutHint = 0; // ms; 0 means none
    ExtensionObject additionalHeader;
    friend bool operator==(const RequestHeader&, const RequestHeader&) = default;
};

struct ResponseHeader
{
    static constexpr uint32_t kBinaryEncodingId = 394;
    DateTime timestamp;
    uint32_t requestHandle = 0;
    StatusCode serviceResult;
    DiagnosticInfo serviceDiagnostics;
    std::vector<String> stringTable;
    ExtensionObject additionalHeader;
    friend bool operator==(const ResponseHeader&, const ResponseHeader&) = default;
};

// The answer to any request the server could not process; serviceResult says why.
struct ServiceFault
{
    static constexpr uint32_t kBinaryEncodingId = 397;
    ResponseHeader responseHeader;
    friend bool operator==(const ServiceFault&, const ServiceFault&) = default;
};

// ---------------------------------------------------------------------------------------------
// Secure channel

struct ChannelSecurityToken
{
    uint32_t channelId = 0;
    uint32_t tokenId = 0;
    DateTime createdAt;
    uint32_t revisedLifetime = 0; // ms
    friend bool operator==(const ChannelSecurityToken&, const ChannelSecurityToken&) = default;
};

struct OpenSecureChannelRequest
{
    static constexpr uint32_t kBinaryEncodingId = 446;
    RequestHeader requestHeader;
    uint32_t clientProtocolVersion = kProtocolVersion;
    SecurityTokenRequestType requestType = SecurityTokenRequestType::Issue;
    MessageSecurityMode securityMode = MessageSecurityMode::None;
    ByteString clientNonce;
    uint32_t requestedLifetime = 0; // ms
    friend bool operator==(const OpenSecureChannelRequest&,
                           const OpenSecureChannelRequest&) = default;
};

struct OpenSecureChannelResponse
{
    static constexpr uint32_t kBinaryEncodingId = 449;
    ResponseHeader responseHeader;
    uint32_t serverProtocolVersion = kProtocolVersion;
    ChannelSecurityToken securityToken;
    ByteString serverNonce;
    friend bool operator==(const OpenSecureChannelResponse&,
                           const OpenSecureChannelResponse&) = default;
};

struct CloseSecureChannelRequest
{
    static constexpr uint32_t kBinaryEncodingId = 452;
    RequestHeader requestHeader;
    friend bool operator==(const CloseSecureChannelRequest&,
                           const CloseSecureChannelRequest&) = default;
};

struct CloseSecureChannelResponse
{
    static constexpr uint32_t kBinaryEncodingId = 455;
    ResponseHeader responseHeader;
    friend bool operator==(const CloseSecureChannelResponse&,
                           const CloseSecureChannelResponse&) = default;
};

// ---------------------------------------------------------------------------------------------
// Discovery

struct ApplicationDescription
{
    String applicationUri;
    String productUri;
    LocalizedText applicationName;
    ApplicationType applicationType = ApplicationType::Server;
    String gatewayServerUri;
    String discoveryProfileUri;
    std::vector<String> discoveryUrls;
    friend bool operator==(const ApplicationDescription&, const ApplicationDescription&) = default;
};

struct UserTokenPolicy
{
    String policyId;
    UserTokenType tokenType = UserTokenType::Anonymous;
    String issuedTokenType;
    String issuerEndpointUrl;
    String securityPolicyUri;
    friend bool operator==(const UserTokenPolicy&, const UserTokenPolicy&) = default;
};

// The transport profile of UA-TCP with the binary encoding.
inline constexpr std::string_view kTransportProfileUaTcp =
    "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";

struct EndpointDescription
{
    String endpointUrl;
    ApplicationDescription server;
    ByteString serverCertificate;
    MessageSecurityMode securityMode = MessageSecurityMode::None;
    String securityPolicyUri;
    std::vector<UserTokenPolicy> userIdentityTokens;
    String transportProfileUri;
    uint8_t securityLevel = 0;
    friend bool operator==(const EndpointDescription&, const EndpointDescription&) = default;
};

struct GetEndpointsRequest
{
    static constexpr uint32_t kBinaryEncodingId = 428;
    RequestHeader requestHeader;
    String endpointUrl;
    std::vector<String> localeIds;
    std::vector<String> profileUris;
    friend bool operator==(const GetEndpointsRequest&, const GetEndpointsRequest&) = default;
};

struct GetEndpointsResponse
{
    static constexpr uint32_t kBinaryEncodingId = 431;
    ResponseHeader responseHeader;
    std::vector<EndpointDescription> endpoints;
    friend bool operator==(const GetEndpointsResponse&, const GetEndpointsResponse&) = default;
};

struct FindServersRequest
{
    static constexpr uint32_t kBinaryEncodingId = 422;
    RequestHeader requestHeader;
    String endpointUrl;
    std::vector<String> localeIds;
    std::vector<String> serverUris;
    friend bool operator==(const FindServersRequest&, const FindServersRequest&) = default;
};

struct FindServersResponse
{
    static constexpr uint32_t kBinaryEncodingId = 425;
    ResponseHeader responseHeader;
    std::vector<ApplicationDescription> servers;
    friend bool operator==(const FindServersResponse&, const FindServersResponse&) = default;
};

// ---------------------------------------------------------------------------------------------
// Session

struct SignatureData
{
    String algorithm;
    ByteString signature;
    friend bool operator==(const SignatureData&, const SignatureData&) = default;
};

struct SignedSoftwareCertificate
{
    ByteString certificateData;
    ByteString signature;
    friend bool operator==(const SignedSoftwareCertificate&,
                           const SignedSoftwareCertificate&) = default;
};

struct CreateSessionRequest
{
    static constexpr uint32_t kBinaryEncodingId = 461;
    RequestHeader requestHeader;
    ApplicationDescription clientDescription;
    String serverUri;
    String endpointUrl;
    String sessionName;
    ByteString clientNonce;
    ByteString clientCertificate;
    double requestedSessionTimeout = 0; // ms
    uint32_t maxResponseMessageSize = 0;
    friend bool operator==(const CreateSessionRequest&, const CreateSessionRequest&) = default;
};

struct CreateSessionResponse
{
    static constexpr uint32_t kBinaryEncodingId = 464;
    ResponseHeader responseHeader;
    NodeId sessionId;
    NodeId authenticationToken;
    double revisedSessionTimeout = 0; // ms
    ByteString serverNonce;
    ByteString serverCertificate;
    std::vector<EndpointDescription> serverEndpoints;
    std::vector<SignedSoftwareCertificate> serverSoftwareCertificates;
    SignatureData serverSignature;
    uint32_t maxRequestMessageSize = 0;
    friend bool operator==(const CreateSessionResponse&, const CreateSessionResponse&) = default;
};

// Carried in ActivateSessionRequest::userIdentityToken via packBody.
struct AnonymousIdentityToken
{
    static constexpr uint32_t kBinaryEncodingId = 321;
    String policyId;
    friend bool operator==(const AnonymousIdentityToken&, const AnonymousIdentityToken&) = default;
};

struct UserNameIdentityToken
{
    static constexpr uint32_t kBinaryEncodingId = 324;
    String policyId;
    String userName;
    ByteString password;
    String encryptionAlgorithm;
    friend bool operator==(const UserNameIdentityToken&, const UserNameIdentityToken&) = default;
};

struct ActivateSessionRequest
{
    static constexpr uint32_t kBinaryEncodingId = 467;
    RequestHeader requestHeader;
    SignatureData clientSignature;
    std::vector<SignedSoftwareCertificate> clientSoftwareCertificates;
    std::vector<String> localeIds;
    ExtensionObject userIdentityToken; // AnonymousIdentityToken, UserNameIdentityToken ...
    SignatureData userTokenSignature;
    friend bool operator==(const ActivateSessionRequest&, const ActivateSessionRequest&) = default;
};

struct ActivateSessionResponse
{
    static constexpr uint32_t kBinaryEncodingId = 470;
    ResponseHeader responseHeader;
    ByteString serverNonce;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const ActivateSessionResponse&,
                           const ActivateSessionResponse&) = default;
};

struct CloseSessionRequest
{
    static constexpr uint32_t kBinaryEncodingId = 473;
    RequestHeader requestHeader;
    bool deleteSubscriptions = true;
    friend bool operator==(const CloseSessionRequest&, const CloseSessionRequest&) = default;
};

struct CloseSessionResponse
{
    static constexpr uint32_t kBinaryEncodingId = 476;
    ResponseHeader responseHeader;
    friend bool operator==(const CloseSessionResponse&, const CloseSessionResponse&) = default;
};

// ---------------------------------------------------------------------------------------------
// Attribute services

struct ReadValueId
{
    NodeId nodeId;
    uint32_t attributeId = uint32_t(AttributeId::Value);
    String indexRange;
    QualifiedName dataEncoding;
    friend bool operator==(const ReadValueId&, const ReadValueId&) = default;
};

struct ReadRequest
{
    static constexpr uint32_t kBinaryEncodingId = 631;
    RequestHeader requestHeader;
    double maxAge = 0; // ms
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Both;
    std::vector<ReadValueId> nodesToRead;
    friend bool operator==(const ReadRequest&, const ReadRequest&) = default;
};

struct ReadResponse
{
    static constexpr uint32_t kBinaryEncodingId = 634;
    ResponseHeader responseHeader;
    std::vector<DataValue> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const ReadResponse&, const ReadResponse&) = default;
};

struct WriteValue
{
    NodeId nodeId;
    uint32_t attributeId = uint32_t(AttributeId::Value);
    String indexRange;
    DataValue value;
    friend bool operator==(const WriteValue&, const WriteValue&) = default;
};

struct WriteRequest
{
    static constexpr uint32_t kBinaryEncodingId = 673;
    RequestHeader requestHeader;
    std::vector<WriteValue> nodesToWrite;
    friend bool operator==(const WriteRequest&, const WriteRequest&) = default;
};

struct WriteResponse
{
    static constexpr uint32_t kBinaryEncodingId = 676;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const WriteResponse&, const WriteResponse&) = default;
};

// ---------------------------------------------------------------------------------------------
// View services

struct ViewDescription
{
    NodeId viewId;
    DateTime timestamp;
    uint32_t viewVersion = 0;
    friend bool operator==(const ViewDescription&, const ViewDescription&) = default;
};

// ReferenceDescription members a browse asks for (resultMask bits).
inline constexpr uint32_t kBrowseResultMaskAll = 0x3F;

struct BrowseDescription
{
    NodeId nodeId;
    BrowseDirection browseDirection = BrowseDirection::Forward;
    NodeId referenceTypeId;
    bool includeSubtypes = true;
    uint32_t nodeClassMask = 0;
    uint32_t resultMask = kBrowseResultMaskAll;
    friend bool operator==(const BrowseDescription&, const BrowseDescription&) = default;
};

struct ReferenceDescription
{
    NodeId referenceTypeId;
    bool isForward = true;
    ExpandedNodeId nodeId;
    QualifiedName browseName;
    LocalizedText displayName;
    NodeClass nodeClass = NodeClass::Unspecified;
    ExpandedNodeId typeDefinition;
    friend bool operator==(const ReferenceDescription&, const ReferenceDescription&) = default;
};

struct BrowseResult
{
    StatusCode statusCode;
    ByteString continuationPoint;
    std::vector<ReferenceDescription> references;
    friend bool operator==(const BrowseResult&, const BrowseResult&) = default;
};

struct BrowseRequest
{
    static constexpr uint32_t kBinaryEncodingId = 527;
    RequestHeader requestHeader;
    ViewDescription view;
    uint32_t requestedMaxReferencesPerNode = 0;
    std::vector<BrowseDescription> nodesToBrowse;
    friend bool operator==(const BrowseRequest&, const BrowseRequest&) = default;
};

struct BrowseResponse
{
    static constexpr uint32_t kBinaryEncodingId = 530;
    ResponseHeader responseHeader;
    std::vector<BrowseResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const BrowseResponse&, const BrowseResponse&) = default;
};

struct BrowseNextRequest
{
    static constexpr uint32_t kBinaryEncodingId = 533;
    RequestHeader requestHeader;
    bool releaseContinuationPoints = false;
    std::vector<ByteString> continuationPoints;
    friend bool operator==(const BrowseNextRequest&, const BrowseNextRequest&) = default;
};

struct BrowseNextResponse
{
    static constexpr uint32_t kBinaryEncodingId = 536;
    ResponseHeader responseHeader;
    std::vector<BrowseResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const BrowseNextResponse&, const BrowseNextResponse&) = default;
};

struct RelativePathElement
{
    NodeId referenceTypeId;
    bool isInverse = false;
    bool includeSubtypes = true;
    QualifiedName targetName;
    friend bool operator==(const RelativePathElement&, const RelativePathElement&) = default;
};

struct RelativePath
{
    std::vector<RelativePathElement> elements;
    friend bool operator==(const RelativePath&, const RelativePath&) = default;
};

struct BrowsePath
{
    NodeId startingNode;
    RelativePath relativePath;
    friend bool operator==(const BrowsePath&, const BrowsePath&) = default;
};

struct BrowsePathTarget
{
    ExpandedNodeId targetId;
    uint32_t remainingPathIndex = 0xFFFFFFFFu; // all elements followed
    friend bool operator==(const BrowsePathTarget&, const BrowsePathTarget&) = default;
};

struct BrowsePathResult
{
    StatusCode statusCode;
    std::vector<BrowsePathTarget> targets;
    friend bool operator==(const BrowsePathResult&, const BrowsePathResult&) = default;
};

struct TranslateBrowsePathsToNodeIdsRequest
{
    static constexpr uint32_t kBinaryEncodingId = 554;
    RequestHeader requestHeader;
    std::vector<BrowsePath> browsePaths;
    friend bool operator==(const TranslateBrowsePathsToNodeIdsRequest&,
                           const TranslateBrowsePathsToNodeIdsRequest&) = default;
};

struct TranslateBrowsePathsToNodeIdsResponse
{
    static constexpr uint32_t kBinaryEncodingId = 557;
    ResponseHeader responseHeader;
    std::vector<BrowsePathResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const TranslateBrowsePathsToNodeIdsResponse&,
                           const TranslateBrowsePathsToNodeIdsResponse&) = default;
};

// ---------------------------------------------------------------------------------------------
// Subscriptions

struct CreateSubscriptionRequest
{
    static constexpr uint32_t kBinaryEncodingId = 787;
    RequestHeader requestHeader;
    double requestedPublishingInterval = 0; // ms
    uint32_t requestedLifetimeCount = 0;
    uint32_t requestedMaxKeepAliveCount = 0;
    uint32_t maxNotificationsPerPublish = 0;
    bool publishingEnabled = true;
    uint8_t priority = 0;
    friend bool operator==(const CreateSubscriptionRequest&,
                           const CreateSubscriptionRequest&) = default;
};

struct CreateSubscriptionResponse
{
    static constexpr uint32_t kBinaryEncodingId = 790;
    ResponseHeader responseHeader;
    uint32_t subscriptionId = 0;
    double revisedPublishingInterval = 0; // ms
    uint32_t revisedLifetimeCount = 0;
    uint32_t revisedMaxKeepAliveCount = 0;
    friend bool operator==(const CreateSubscriptionResponse&,
                           const CreateSubscriptionResponse&) = default;
};

struct ModifySubscriptionRequest
{
    static constexpr uint32_t kBinaryEncodingId = 793;
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    double requestedPublishingInterval = 0;
    uint32_t requestedLifetimeCount = 0;
    uint32_t requestedMaxKeepAliveCount = 0;
    uint32_t maxNotificationsPerPublish = 0;
    uint8_t priority = 0;
    friend bool operator==(const ModifySubscriptionRequest&,
                           const ModifySubscriptionRequest&) = default;
};

struct ModifySubscriptionResponse
{
    static constexpr uint32_t kBinaryEncodingId = 796;
    ResponseHeader responseHeader;
    double revisedPublishingInterval = 0;
    uint32_t revisedLifetimeCount = 0;
    uint32_t revisedMaxKeepAliveCount = 0;
    friend bool operator==(const ModifySubscriptionResponse&,
                           const ModifySubscriptionResponse&) = default;
};

struct DeleteSubscriptionsRequest
{
    static constexpr uint32_t kBinaryEncodingId = 847;
    RequestHeader requestHeader;
    std::vector<uint32_t> subscriptionIds;
    friend bool operator==(const DeleteSubscriptionsRequest&,
                           const DeleteSubscriptionsRequest&) = default;
};

struct DeleteSubscriptionsResponse
{
    static constexpr uint32_t kBinaryEncodingId = 850;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const DeleteSubscriptionsResponse&,
                           const DeleteSubscriptionsResponse&) = default;
};

struct SetPublishingModeRequest
{
    static constexpr uint32_t kBinaryEncodingId = 799;
    RequestHeader requestHeader;
    bool publishingEnabled = true;
    std::vector<uint32_t> subscriptionIds;
    friend bool operator==(const SetPublishingModeRequest&,
                           const SetPublishingModeRequest&) = default;
};

struct SetPublishingModeResponse
{
    static constexpr uint32_t kBinaryEncodingId = 802;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const SetPublishingModeResponse&,
                           const SetPublishingModeResponse&) = default;
};

// ---------------------------------------------------------------------------------------------
// Monitored items

// Carried in MonitoringParameters::filter via packBody.
struct DataChangeFilter
{
    static constexpr uint32_t kBinaryEncodingId = 724;
    DataChangeTrigger trigger = DataChangeTrigger::StatusValue;
    uint32_t deadbandType = 0; // 0 none, 1 absolute, 2 percent
    double deadbandValue = 0;
    friend bool operator==(const DataChangeFilter&, const DataChangeFilter&) = default;
};

struct MonitoringParameters
{
    uint32_t clientHandle = 0;
    double samplingInterval = 0; // ms; -1 means the publishing interval
    ExtensionObject filter;      // null for none, or a DataChangeFilter
    uint32_t queueSize = 1;
    bool discardOldest = true;
    friend bool operator==(const MonitoringParameters&, const MonitoringParameters&) = default;
};

struct MonitoredItemCreateRequest
{
    ReadValueId itemToMonitor;
    MonitoringMode monitoringMode = MonitoringMode::Reporting;
    MonitoringParameters requestedParameters;
    friend bool operator==(const MonitoredItemCreateRequest&,
                           const MonitoredItemCreateRequest&) = default;
};

struct MonitoredItemCreateResult
{
    StatusCode statusCode;
    uint32_t monitoredItemId = 0;
    double revisedSamplingInterval = 0;
    uint32_t revisedQueueSize = 0;
    ExtensionObject filterResult;
    friend bool operator==(const MonitoredItemCreateResult&,
                           const MonitoredItemCreateResult&) = default;
};

struct CreateMonitoredItemsRequest
{
    static constexpr uint32_t kBinaryEncodingId = 751;
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Both;
    std::vector<MonitoredItemCreateRequest> itemsToCreate;
    friend bool operator==(const CreateMonitoredItemsRequest&,
                           const CreateMonitoredItemsRequest&) = default;
};

struct CreateMonitoredItemsResponse
{
    static constexpr uint32_t kBinaryEncodingId = 754;
    ResponseHeader responseHeader;
    std::vector<MonitoredItemCreateResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const CreateMonitoredItemsResponse&,
                           const CreateMonitoredItemsResponse&) = default;
};

struct DeleteMonitoredItemsRequest
{
    static constexpr uint32_t kBinaryEncodingId = 781;
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    std::vector<uint32_t> monitoredItemIds;
    friend bool operator==(const DeleteMonitoredItemsRequest&,
                           const DeleteMonitoredItemsRequest&) = default;
};

struct DeleteMonitoredItemsResponse
{
    static constexpr uint32_t kBinaryEncodingId = 784;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const DeleteMonitoredItemsResponse&,
                           const DeleteMonitoredItemsResponse&) = default;
};

// ---------------------------------------------------------------------------------------------
// Publish

struct SubscriptionAcknowledgement
{
    uint32_t subscriptionId = 0;
    uint32_t sequenceNumber = 0;
    friend bool operator==(const SubscriptionAcknowledgement&,
                           const SubscriptionAcknowledgement&) = default;
};

struct MonitoredItemNotification
{
    uint32_t clientHandle = 0;
    DataValue value;
    friend bool operator==(const MonitoredItemNotification&,
                           const MonitoredItemNotification&) = default;
};

struct DataChangeNotification
{
    static constexpr uint32_t kBinaryEncodingId = 811;
    std::vector<MonitoredItemNotification> monitoredItems;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const DataChangeNotification&, const DataChangeNotification&) = default;
};

struct StatusChangeNotification
{
    static constexpr uint32_t kBinaryEncodingId = 820;
    StatusCode status;
    DiagnosticInfo diagnosticInfo;
    friend bool operator==(const StatusChangeNotification&,
                           const StatusChangeNotification&) = default;
};

// The encoding id of an event notification list, which this system keeps undecoded.
inline constexpr uint32_t kEventNotificationListEncodingId = 916;

// One entry of a NotificationMessage: the two kinds this system reads are decoded; any other
// (event lists, unknown types) stays an ExtensionObject with its body bytes.
using Notification =
    std::variant<DataChangeNotification, StatusChangeNotification, ExtensionObject>;

struct NotificationMessage
{
    uint32_t sequenceNumber = 0;
    DateTime publishTime;
    std::vector<Notification> notificationData; // empty for a keep-alive
    friend bool operator==(const NotificationMessage&, const NotificationMessage&) = default;
};

struct PublishRequest
{
    static constexpr uint32_t kBinaryEncodingId = 826;
    RequestHeader requestHeader;
    std::vector<SubscriptionAcknowledgement> subscriptionAcknowledgements;
    friend bool operator==(const PublishRequest&, const PublishRequest&) = default;
};

struct PublishResponse
{
    static constexpr uint32_t kBinaryEncodingId = 829;
    ResponseHeader responseHeader;
    uint32_t subscriptionId = 0;
    std::vector<uint32_t> availableSequenceNumbers;
    bool moreNotifications = false;
    NotificationMessage notificationMessage;
    std::vector<StatusCode> results; // one per acknowledgement, in order
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const PublishResponse&, const PublishResponse&) = default;
};

struct RepublishRequest
{
    static constexpr uint32_t kBinaryEncodingId = 832;
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    uint32_t retransmitSequenceNumber = 0;
    friend bool operator==(const RepublishRequest&, const RepublishRequest&) = default;
};

struct RepublishResponse
{
    static constexpr uint32_t kBinaryEncodingId = 835;
    ResponseHeader responseHeader;
    NotificationMessage notificationMessage;
    friend bool operator==(const RepublishResponse&, const RepublishResponse&) = default;
};

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

} // namespace opcua
