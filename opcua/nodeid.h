#pragma once

#include "opcua/types.h"

#include <string>
#include <string_view>
#include <vector>

namespace opcua {

// Text that is not a node id (status BadNodeIdInvalid), or an ExpandedNodeId whose namespace
// URI is not in the server's namespace array (status BadNodeIdUnknown). The message quotes the
// text and says what is wrong with it.
class NodeIdError : public Error
{
public:
    using Error::Error;
};

// Parses the standard string form of a NodeId:
//   i=5   ns=2;i=5   ns=1;s=Name   ns=1;g=72962B91-FA75-4AE6-8D28-B404DC7DAF63   ns=1;b=AQID
// The namespace part is optional (0) and must be a decimal below 65536; numeric ids must fit
// 32 bits; the string after "s=" is taken as it stands (it may contain ';' and '='), but must
// not be empty; "b=" takes standard base64. Throws NodeIdError on anything else.
NodeId parseNodeId(std::string_view text);

// As parseNodeId, but also accepts "nsu=URI;" in place of "ns=N;" and an optional leading
// "svr=N;". Throws NodeIdError.
ExpandedNodeId parseExpandedNodeId(std::string_view text);

// The standard string form. Namespace 0 is left out ("i=85"); strings are written as they
// stand; guids in upper case; bytestrings in base64. An ExpandedNodeId writes "svr=N;" when N
// is not 0 and "nsu=URI;" when it has a URI.
std::string toString(const NodeId& id);
std::string toString(const ExpandedNodeId& id);

// The local NodeId an ExpandedNodeId names on a server whose namespace array (index i holds
// the URI of namespace i) is given. Without a URI the NodeId is returned as it stands.
// Throws NodeIdError (BadNodeIdUnknown) when the URI is not in the array, when the index is
// beyond 65535, or when the node lives on another server (serverIndex != 0).
NodeId resolve(const ExpandedNodeId& id, const std::vector<std::string>& namespaceArray);

// The nodes of namespace 0 this system uses, each defined here and nowhere else, with the
// names the OPC UA node set gives them.
namespace ids {
// Data types. Those up to 25 are the built-in types and share their numbers.
inline constexpr uint32_t Boolean = 1;
inline constexpr uint32_t SByte = 2;
inline constexpr uint32_t Byte = 3;
inline constexpr uint32_t Int16 = 4;
inline constexpr uint32_t UInt16 = 5;
inline constexpr uint32_t Int32 = 6;
inline constexpr uint32_t UInt32 = 7;
inline constexpr uint32_t Int64 = 8;
inline constexpr uint32_t UInt64 = 9;
inline constexpr uint32_t Float = 10;
inline constexpr uint32_t Double = 11;
inline constexpr uint32_t String = 12;
inline constexpr uint32_t DateTime = 13;
inline constexpr uint32_t Guid = 14;
inline constexpr uint32_t ByteString = 15;
inline constexpr uint32_t NodeId = 17;
inline constexpr uint32_t StatusCode = 19;
inline constexpr uint32_t QualifiedName = 20;
inline constexpr uint32_t LocalizedText = 21;
inline constexpr uint32_t Structure = 22;
inline constexpr uint32_t BaseDataType = 24;
inline constexpr uint32_t Number = 26;
inline constexpr uint32_t Integer = 27;
inline constexpr uint32_t UInteger = 28;
inline constexpr uint32_t Enumeration = 29;
inline constexpr uint32_t IntegerId = 288;
inline constexpr uint32_t Counter = 289;
inline constexpr uint32_t Duration = 290;
inline constexpr uint32_t UtcTime = 294;
inline constexpr uint32_t LocaleId = 295;
inline constexpr uint32_t BuildInfo = 338;
inline constexpr uint32_t BuildInfo_Encoding_DefaultBinary = 340;
inline constexpr uint32_t ServerState = 852;
inline constexpr uint32_t ServerDiagnosticsSummaryDataType = 859;
inline constexpr uint32_t ServerDiagnosticsSummaryDataType_Encoding_DefaultBinary = 861;
inline constexpr uint32_t ServerStatusDataType = 862;
inline constexpr uint32_t ServerStatusDataType_Encoding_DefaultBinary = 864;

// Reference types.
inline constexpr uint32_t References = 31;
inline constexpr uint32_t NonHierarchicalReferences = 32;
inline constexpr uint32_t HierarchicalReferences = 33;
inline constexpr uint32_t HasChild = 34;
inline constexpr uint32_t Organizes = 35;
inline constexpr uint32_t HasTypeDefinition = 40;
inline constexpr uint32_t Aggregates = 44;
inline constexpr uint32_t HasSubtype = 45;
inline constexpr uint32_t HasProperty = 46;
inline constexpr uint32_t HasComponent = 47;

// Object and variable types.
inline constexpr uint32_t BaseObjectType = 58;
inline constexpr uint32_t FolderType = 61;
inline constexpr uint32_t BaseVariableType = 62;
inline constexpr uint32_t BaseDataVariableType = 63;
inline constexpr uint32_t PropertyType = 68;
inline constexpr uint32_t ServerType = 2004;
inline constexpr uint32_t ServerCapabilitiesType = 2013;
inline constexpr uint32_t ServerStatusType = 2138;
inline constexpr uint32_t BuildInfoType = 3051;
inline constexpr uint32_t OperationLimitsType = 11564;

// Folders.
inline constexpr uint32_t RootFolder = 84;
inline constexpr uint32_t ObjectsFolder = 85;
inline constexpr uint32_t TypesFolder = 86;
inline constexpr uint32_t ViewsFolder = 87;
inline constexpr uint32_t ObjectTypesFolder = 88;
inline constexpr uint32_t VariableTypesFolder = 89;
inline constexpr uint32_t DataTypesFolder = 90;
inline constexpr uint32_t ReferenceTypesFolder = 91;

// The Server object.
inline constexpr uint32_t Server = 2253;
inline constexpr uint32_t Server_ServerArray = 2254;
inline constexpr uint32_t Server_NamespaceArray = 2255;
inline constexpr uint32_t Server_ServerStatus = 2256;
inline constexpr uint32_t Server_ServerStatus_StartTime = 2257;
inline constexpr uint32_t Server_ServerStatus_CurrentTime = 2258;
inline constexpr uint32_t Server_ServerStatus_State = 2259;
inline constexpr uint32_t Server_ServerStatus_BuildInfo = 2260;
inline constexpr uint32_t Server_ServerStatus_BuildInfo_ProductName = 2261;
inline constexpr uint32_t Server_ServerStatus_BuildInfo_ProductUri = 2262;
inline constexpr uint32_t Server_ServerStatus_BuildInfo_ManufacturerName = 2263;
inline constexpr uint32_t Server_ServerStatus_BuildInfo_SoftwareVersion = 2264;
inline constexpr uint32_t Server_ServerStatus_BuildInfo_BuildNumber = 2265;
inline constexpr uint32_t Server_ServerStatus_BuildInfo_BuildDate = 2266;
inline constexpr uint32_t Server_ServerStatus_SecondsTillShutdown = 2992;
inline constexpr uint32_t Server_ServerStatus_ShutdownReason = 2993;
inline constexpr uint32_t Server_ServiceLevel = 2267;
inline constexpr uint32_t Server_ServerCapabilities = 2268;
inline constexpr uint32_t Server_ServerCapabilities_MinSupportedSampleRate = 2272;
inline constexpr uint32_t Server_ServerCapabilities_MaxBrowseContinuationPoints = 2735;
inline constexpr uint32_t Server_ServerCapabilities_OperationLimits = 11704;
inline constexpr uint32_t Server_ServerCapabilities_OperationLimits_MaxNodesPerRead = 11705;
inline constexpr uint32_t Server_ServerCapabilities_OperationLimits_MaxNodesPerWrite = 11707;
inline constexpr uint32_t Server_ServerCapabilities_OperationLimits_MaxNodesPerBrowse = 11710;
inline constexpr uint32_t
    Server_ServerCapabilities_OperationLimits_MaxNodesPerTranslateBrowsePathsToNodeIds = 11712;
inline constexpr uint32_t Server_ServerCapabilities_OperationLimits_MaxMonitoredItemsPerCall =
    11714;
inline constexpr uint32_t Server_ServerDiagnostics = 2274;
inline constexpr uint32_t Server_ServerDiagnostics_ServerDiagnosticsSummary = 2275;
inline constexpr uint32_t Server_ServerDiagnostics_ServerDiagnosticsSummary_ServerViewCount = 2276;
inline constexpr uint32_t Server_ServerDiagnostics_ServerDiagnosticsSummary_CurrentSessionCount =
    2277;
inline constexpr uint32_t Server_ServerDiagnostics_ServerDiagnosticsSummary_CumulatedSessionCount =
    2278;
inline constexpr uint32_t
    Server_ServerDiagnostics_ServerDiagnosticsSummary_SecurityRejectedSessionCount = 2279;
inline constexpr uint32_t Server_ServerDiagnostics_ServerDiagnosticsSummary_RejectedSessionCount =
    3705;
inline constexpr uint32_t Server_ServerDiagnostics_ServerDiagnosticsSummary_SessionTimeoutCount =
    2281;
inline constexpr uint32_t Server_ServerDiagnostics_ServerDiagnosticsSummary_SessionAbortCount =
    2282;
inline constexpr uint32_t
    Server_ServerDiagnostics_ServerDiagnosticsSummary_PublishingIntervalCount = 2284;
inline constexpr uint32_t
    Server_ServerDiagnostics_ServerDiagnosticsSummary_CurrentSubscriptionCount = 2285;
inline constexpr uint32_t
    Server_ServerDiagnostics_ServerDiagnosticsSummary_CumulatedSubscriptionCount = 2286;
inline constexpr uint32_t
    Server_ServerDiagnostics_ServerDiagnosticsSummary_SecurityRejectedRequestsCount = 2287;
inline constexpr uint32_t Server_ServerDiagnostics_ServerDiagnosticsSummary_RejectedRequestsCount =
    2288;
inline constexpr uint32_t Server_ServerDiagnostics_EnabledFlag = 2294;
} // namespace ids

} // namespace opcua
