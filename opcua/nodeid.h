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

// Well-known nodes of namespace 0 that this system uses.
namespace ids {
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
inline constexpr uint32_t LocalizedText = 21;
inline constexpr uint32_t BaseDataType = 24;
inline constexpr uint32_t References = 31;
inline constexpr uint32_t HierarchicalReferences = 33;
inline constexpr uint32_t Organizes = 35;
inline constexpr uint32_t HasTypeDefinition = 40;
inline constexpr uint32_t HasProperty = 46;
inline constexpr uint32_t HasComponent = 47;
inline constexpr uint32_t BaseObjectType = 58;
inline constexpr uint32_t FolderType = 61;
inline constexpr uint32_t BaseDataVariableType = 63;
inline constexpr uint32_t PropertyType = 68;
inline constexpr uint32_t RootFolder = 84;
inline constexpr uint32_t ObjectsFolder = 85;
inline constexpr uint32_t TypesFolder = 86;
inline constexpr uint32_t ViewsFolder = 87;
inline constexpr uint32_t Server = 2253;
inline constexpr uint32_t Server_ServerArray = 2254;
inline constexpr uint32_t Server_NamespaceArray = 2255;
inline constexpr uint32_t Server_ServerStatus = 2256;
inline constexpr uint32_t Server_ServerStatus_StartTime = 2257;
inline constexpr uint32_t Server_ServerStatus_CurrentTime = 2258;
inline constexpr uint32_t Server_ServerStatus_State = 2259;
} // namespace ids

} // namespace opcua
