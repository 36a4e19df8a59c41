#pragma once

#include "opcua/types.h"

#include <cstdint>
#include <vector>

// The service messages and the structures they carry, each with its binary encoding id
// (`kBinaryEncodingId`, a numeric node id in namespace 0); services.h encodes them. Those of
// subscriptions are in subscriptionmessages.h. Members are listed in wire order. Arrays whose
// wire length is -1 (null) decode as empty.
namespace opcua {

// ---------------------------------------------------------------------------------------------
// Enumerations (Int32 on the wire). Decoding accepts any value; the services check ranges.

enum class MessageSecurityMode : int32_t {
    Invalid = 0, // not a usable mode
    None = 1,    // no signing, no encryption
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

} // namespace opcua
