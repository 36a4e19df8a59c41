// The standard part of every server's address space: the folders, the types they hold, the
// Server object with its status, and the capabilities and diagnostics a running server adds.

#include "opcua/binary.h"
#include "opcua/nodeid.h"
#include "opcua/server/addressspace.h"
#include "opcua/server/servercore.h"

#include <array>
#include <tuple>
#include <utility>

namespace opcua {

namespace {

constexpr std::string_view kProductUri = "urn:servo-panel";
constexpr std::string_view kManufacturer = "servo-panel";
constexpr std::string_view kProductName = "servo-panel OPC UA server";
constexpr std::string_view kSoftwareVersion = "0.1.0";
constexpr std::string_view kBuildNumber = "1";

NodeId ns0(uint32_t id)
{
    return NodeId(0, id);
}

// The standard types, each under its supertype (or, for the roots, organised in its folder).
struct TypeRow
{
    uint32_t id;
    NodeClass nodeClass;
    std::string_view name;
    uint32_t parent;
    bool parentIsFolder; // Organizes from a folder rather than HasSubtype from a supertype
    bool isAbstract;
    std::string_view inverseName; // reference types only
};

constexpr TypeRow kTypes[] = {
    // Reference types.
    {ids::References, NodeClass::ReferenceType, "References", ids::ReferenceTypesFolder, true, true,
     ""},
    {ids::HierarchicalReferences, NodeClass::ReferenceType, "HierarchicalReferences",
     ids::References, false, true, ""},
    {ids::NonHierarchicalReferences, NodeClass::ReferenceType, "NonHierarchicalReferences",
     ids::References, false, true, ""},
    {ids::HasChild, NodeClass::ReferenceType, "HasChild", ids::HierarchicalReferences, false, true,
     "ChildOf"},
    {ids::Organizes, NodeClass::ReferenceType, "Organizes", ids::HierarchicalReferences, false,
     false, "OrganizedBy"},
    {ids::Aggregates, NodeClass::ReferenceType, "Aggregates", ids::HasChild, false, true,
     "AggregatedBy"},
    {ids::HasSubtype, NodeClass::ReferenceType, "HasSubtype", ids::HasChild, false, false,
     "HasSupertype"},
    {ids::HasComponent, NodeClass::ReferenceType, "HasComponent", ids::Aggregates, false, false,
     "ComponentOf"},
    {ids::HasProperty, NodeClass::ReferenceType, "HasProperty", ids::Aggregates, false, false,
     "PropertyOf"},
    {ids::HasTypeDefinition, NodeClass::ReferenceType, "HasTypeDefinition",
     ids::NonHierarchicalReferences, false, false, "TypeDefinitionOf"},
    // Object types.
    {ids::BaseObjectType, NodeClass::ObjectType, "BaseObjectType", ids::ObjectTypesFolder, true,
     false, ""},
    {ids::FolderType, NodeClass::ObjectType, "FolderType", ids::BaseObjectType, false, false, ""},
    {ids::ServerType, NodeClass::ObjectType, "ServerType", ids::BaseObjectType, false, false, ""},
    {ids::ServerCapabilitiesType, NodeClass::ObjectType, "ServerCapabilitiesType",
     ids::BaseObjectType, false, false, ""},
    {ids::OperationLimitsType, NodeClass::ObjectType, "OperationLimitsType", ids::FolderType, false,
     false, ""},
    // Variable types.
    {ids::BaseVariableType, NodeClass::VariableType, "BaseVariableType", ids::VariableTypesFolder,
     true, true, ""},
    {ids::BaseDataVariableType, NodeClass::VariableType, "BaseDataVariableType",
     ids::BaseVariableType, false, false, ""},
    {ids::PropertyType, NodeClass::VariableType, "PropertyType", ids::BaseVariableType, false,
     false, ""},
    {ids::ServerStatusType, NodeClass::VariableType, "ServerStatusType", ids::BaseDataVariableType,
     false, false, ""},
    {ids::BuildInfoType, NodeClass::VariableType, "BuildInfoType", ids::BaseDataVariableType, false,
     false, ""},
    // Data types.
    {ids::BaseDataType, NodeClass::DataType, "BaseDataType", ids::DataTypesFolder, true, true, ""},
    {ids::Boolean, NodeClass::DataType, "Boolean", ids::BaseDataType, false, false, ""},
    {ids::Number, NodeClass::DataType, "Number", ids::BaseDataType, false, true, ""},
    {ids::Integer, NodeClass::DataType, "Integer", ids::Number, false, true, ""},
    {ids::UInteger, NodeClass::DataType, "UInteger", ids::Number, false, true, ""},
    {ids::SByte, NodeClass::DataType, "SByte", ids::Integer, false, false, ""},
    {ids::Int16, NodeClass::DataType, "Int16", ids::Integer, false, false, ""},
    {ids::Int32, NodeClass::DataType, "Int32", ids::Integer, false, false, ""},
    {ids::Int64, NodeClass::DataType, "Int64", ids::Integer, false, false, ""},
    {ids::Byte, NodeClass::DataType, "Byte", ids::UInteger, false, false, ""},
    {ids::UInt16, NodeClass::DataType, "UInt16", ids::UInteger, false, false, ""},
    {ids::UInt32, NodeClass::DataType, "UInt32", ids::UInteger, false, false, ""},
    {ids::UInt64, NodeClass::DataType, "UInt64", ids::UInteger, false, false, ""},
    {ids::Float, NodeClass::DataType, "Float", ids::Number, false, false, ""},
    {ids::Double, NodeClass::DataType, "Double", ids::Number, false, false, ""},
    {ids::Duration, NodeClass::DataType, "Duration", ids::Double, false, false, ""},
    {ids::String, NodeClass::DataType, "String", ids::BaseDataType, false, false, ""},
    {ids::DateTime, NodeClass::DataType, "DateTime", ids::BaseDataType, false, false, ""},
    {ids::UtcTime, NodeClass::DataType, "UtcTime", ids::DateTime, false, false, ""},
    {ids::Guid, NodeClass::DataType, "Guid", ids::BaseDataType, false, false, ""},
    {ids::ByteString, NodeClass::DataType, "ByteString", ids::BaseDataType, false, false, ""},
    {ids::NodeId, NodeClass::DataType, "NodeId", ids::BaseDataType, false, false, ""},
    {ids::StatusCode, NodeClass::DataType, "StatusCode", ids::BaseDataType, false, false, ""},
    {ids::QualifiedName, NodeClass::DataType, "QualifiedName", ids::BaseDataType, false, false, ""},
    {ids::LocalizedText, NodeClass::DataType, "LocalizedText", ids::BaseDataType, false, false, ""},
    {ids::Structure, NodeClass::DataType, "Structure", ids::BaseDataType, false, true, ""},
    {ids::Enumeration, NodeClass::DataType, "Enumeration", ids::BaseDataType, false, true, ""},
    {ids::ServerState, NodeClass::DataType, "ServerState", ids::Enumeration, false, false, ""},
    {ids::ServerStatusDataType, NodeClass::DataType, "ServerStatusDataType", ids::Structure, false,
     false, ""},
    {ids::BuildInfo, NodeClass::DataType, "BuildInfo", ids::Structure, false, false, ""},
};

// What the standard variables show of the server they describe.
struct ServerFacts
{
    String applicationUri;
    DateTime startTime;
};

String text(std::string_view value)
{
    return String(value);
}

// The encoded BuildInfo members, as ServerStatus and BuildInfo carry them.
void encodeBuildInfo(Encoder& e, DateTime startTime)
{
    for (std::string_view value :
         {kProductUri, kManufacturer, kProductName, kSoftwareVersion, kBuildNumber})
        e.encode(text(value));
    e.encode(startTime);
}

Variant buildInfo(const ServerFacts& facts)
{
    Encoder e;
    encodeBuildInfo(e, facts.startTime);
    return Variant::fromScalar(ExtensionObject{ns0(ids::BuildInfo_Encoding_DefaultBinary),
                                               ExtensionObjectEncoding::ByteString, e.take()});
}

// The folders and the Server object's nodes, in the order their references are listed.
// Variables whose value is made at every read start without one.
struct InstanceRow
{
    NodeClass nodeClass; // Object or Variable
    uint32_t id;
    std::string_view name;
    uint32_t parent; // 0 for the root
    uint32_t referenceType;
    uint32_t typeDefinition;
    uint32_t dataType = 0;
    int32_t valueRank = -1;
    Variant (*value)(const ServerFacts&) = nullptr;
};

constexpr auto kObject = NodeClass::Object;
constexpr auto kVariable = NodeClass::Variable;

constexpr InstanceRow kInstances[] = {
    {kObject, ids::RootFolder, "Root", 0, ids::Organizes, ids::FolderType},
    {kObject, ids::ObjectsFolder, "Objects", ids::RootFolder, ids::Organizes, ids::FolderType},
    {kObject, ids::TypesFolder, "Types", ids::RootFolder, ids::Organizes, ids::FolderType},
    {kObject, ids::ViewsFolder, "Views", ids::RootFolder, ids::Organizes, ids::FolderType},
    {kObject, ids::ObjectTypesFolder, "ObjectTypes", ids::TypesFolder, ids::Organizes,
     ids::FolderType},
    {kObject, ids::VariableTypesFolder, "VariableTypes", ids::TypesFolder, ids::Organizes,
     ids::FolderType},
    {kObject, ids::DataTypesFolder, "DataTypes", ids::TypesFolder, ids::Organizes, ids::FolderType},
    {kObject, ids::ReferenceTypesFolder, "ReferenceTypes", ids::TypesFolder, ids::Organizes,
     ids::FolderType},
    {kObject, ids::Server, "Server", ids::ObjectsFolder, ids::Organizes, ids::ServerType},
    {kVariable, ids::Server_ServerArray, "ServerArray", ids::Server, ids::HasProperty,
     ids::PropertyType, ids::String, 1,
     [](const ServerFacts& f) {
         return Variant::fromArray(std::vector<String>{f.applicationUri});
     }},
    {kVariable, ids::Server_NamespaceArray, "NamespaceArray", ids::Server, ids::HasProperty,
     ids::PropertyType, ids::String, 1},
    {kVariable, ids::Server_ServiceLevel, "ServiceLevel", ids::Server, ids::HasProperty,
     ids::PropertyType, ids::Byte, -1,
     [](const ServerFacts&) { return Variant::fromScalar(uint8_t(255)); }},
    {kVariable, ids::Server_ServerStatus, "ServerStatus", ids::Server, ids::HasComponent,
     ids::ServerStatusType, ids::ServerStatusDataType},
    {kVariable, ids::Server_ServerStatus_StartTime, "StartTime", ids::Server_ServerStatus,
     ids::HasComponent, ids::BaseDataVariableType, ids::UtcTime, -1,
     [](const ServerFacts& f) { return Variant::fromScalar(f.startTime); }},
    {kVariable, ids::Server_ServerStatus_CurrentTime, "CurrentTime", ids::Server_ServerStatus,
     ids::HasComponent, ids::BaseDataVariableType, ids::UtcTime},
    {kVariable, ids::Server_ServerStatus_State, "State", ids::Server_ServerStatus,
     ids::HasComponent, ids::BaseDataVariableType, ids::ServerState, -1,
     [](const ServerFacts&) { return Variant::fromScalar(int32_t(0)); }}, // Running
    {kVariable, ids::Server_ServerStatus_BuildInfo, "BuildInfo", ids::Server_ServerStatus,
     ids::HasComponent, ids::BuildInfoType, ids::BuildInfo, -1, buildInfo},
    {kVariable, ids::Server_ServerStatus_BuildInfo_ProductName, "ProductName",
     ids::Server_ServerStatus_BuildInfo, ids::HasComponent, ids::BaseDataVariableType, ids::String,
     -1, [](const ServerFacts&) { return Variant::fromScalar(text(kProductName)); }},
    {kVariable, ids::Server_ServerStatus_BuildInfo_ProductUri, "ProductUri",
     ids::Server_ServerStatus_BuildInfo, ids::HasComponent, ids::BaseDataVariableType, ids::String,
     -1, [](const ServerFacts&) { return Variant::fromScalar(text(kProductUri)); }},
    {kVariable, ids::Server_ServerStatus_BuildInfo_ManufacturerName, "ManufacturerName",
     ids::Server_ServerStatus_BuildInfo, ids::HasComponent, ids::BaseDataVariableType, ids::String,
     -1, [](const ServerFacts&) { return Variant::fromScalar(text(kManufacturer)); }},
    {kVariable, ids::Server_ServerStatus_BuildInfo_SoftwareVersion, "SoftwareVersion",
     ids::Server_ServerStatus_BuildInfo, ids::HasComponent, ids::BaseDataVariableType, ids::String,
     -1, [](const ServerFacts&) { return Variant::fromScalar(text(kSoftwareVersion)); }},
    {kVariable, ids::Server_ServerStatus_BuildInfo_BuildNumber, "BuildNumber",
     ids::Server_ServerStatus_BuildInfo, ids::HasComponent, ids::BaseDataVariableType, ids::String,
     -1, [](const ServerFacts&) { return Variant::fromScalar(text(kBuildNumber)); }},
    {kVariable, ids::Server_ServerStatus_BuildInfo_BuildDate, "BuildDate",
     ids::Server_ServerStatus_BuildInfo, ids::HasComponent, ids::BaseDataVariableType, ids::UtcTime,
     -1, [](const ServerFacts& f) { return Variant::fromScalar(f.startTime); }},
    {kVariable, ids::Server_ServerStatus_SecondsTillShutdown, "SecondsTillShutdown",
     ids::Server_ServerStatus, ids::HasComponent, ids::BaseDataVariableType, ids::UInt32, -1,
     [](const ServerFacts&) { return Variant::fromScalar(uint32_t(0)); }},
    {kVariable, ids::Server_ServerStatus_ShutdownReason, "ShutdownReason", ids::Server_ServerStatus,
     ids::HasComponent, ids::BaseDataVariableType, ids::LocalizedText, -1,
     [](const ServerFacts&) { return Variant::fromScalar(LocalizedText{}); }},
    {kObject, ids::Server_ServerCapabilities, "ServerCapabilities", ids::Server, ids::HasComponent,
     ids::ServerCapabilitiesType},
    {kObject, ids::Server_ServerCapabilities_OperationLimits, "OperationLimits",
     ids::Server_ServerCapabilities, ids::HasComponent, ids::OperationLimitsType},
};

// The server's limits, published as properties; a row whose node exists already is skipped.
struct CapabilityRow
{
    uint32_t id;
    std::string_view name;
    uint32_t parent;
    uint32_t dataType;
    Variant (*value)(const ServerSettings&);
};

Variant operationsPerCall(const ServerSettings& settings)
{
    return Variant::fromScalar(uint32_t(settings.maxOperationsPerRequest));
}

constexpr uint32_t kOperationLimits = ids::Server_ServerCapabilities_OperationLimits;

constexpr CapabilityRow kCapabilities[] = {
    {ids::Server_ServerCapabilities_OperationLimits_MaxNodesPerRead, "MaxNodesPerRead",
     kOperationLimits, ids::UInt32, operationsPerCall},
    {ids::Server_ServerCapabilities_OperationLimits_MaxNodesPerWrite, "MaxNodesPerWrite",
     kOperationLimits, ids::UInt32, operationsPerCall},
    {ids::Server_ServerCapabilities_OperationLimits_MaxNodesPerBrowse, "MaxNodesPerBrowse",
     kOperationLimits, ids::UInt32, operationsPerCall},
    {ids::Server_ServerCapabilities_OperationLimits_MaxNodesPerTranslateBrowsePathsToNodeIds,
     "MaxNodesPerTranslateBrowsePathsToNodeIds", kOperationLimits, ids::UInt32, operationsPerCall},
    {ids::Server_ServerCapabilities_OperationLimits_MaxMonitoredItemsPerCall,
     "MaxMonitoredItemsPerCall", kOperationLimits, ids::UInt32, operationsPerCall},
    {ids::Server_ServerCapabilities_MinSupportedSampleRate, "MinSupportedSampleRate",
     ids::Server_ServerCapabilities, ids::Duration,
     [](const ServerSettings& s) {
         return Variant::fromScalar(s.subscriptions.minSamplingIntervalMs);
     }},
    {ids::Server_ServerCapabilities_MaxBrowseContinuationPoints, "MaxBrowseContinuationPoints",
     ids::Server_ServerCapabilities, ids::UInt16,
     [](const ServerSettings& s) {
         return Variant::fromScalar(uint16_t(s.maxBrowseContinuationPoints));
     }},
};

// The members of the diagnostics summary, in the order of its encoding and of
// ServerCore::diagnosticsSummary.
struct SummaryMember
{
    uint32_t id;
    std::string_view name;
};

constexpr SummaryMember kSummaryMembers[] = {
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_ServerViewCount, "ServerViewCount"},
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_CurrentSessionCount,
     "CurrentSessionCount"},
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_CumulatedSessionCount,
     "CumulatedSessionCount"},
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_SecurityRejectedSessionCount,
     "SecurityRejectedSessionCount"},
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_RejectedSessionCount,
     "RejectedSessionCount"},
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_SessionTimeoutCount,
     "SessionTimeoutCount"},
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_SessionAbortCount, "SessionAbortCount"},
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_CurrentSubscriptionCount,
     "CurrentSubscriptionCount"},
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_CumulatedSubscriptionCount,
     "CumulatedSubscriptionCount"},
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_PublishingIntervalCount,
     "PublishingIntervalCount"},
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_SecurityRejectedRequestsCount,
     "SecurityRejectedRequestsCount"},
    {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_RejectedRequestsCount,
     "RejectedRequestsCount"},
};
static_assert(std::size(kSummaryMembers) ==
              std::tuple_size_v<decltype(std::declval<ServerCore>().diagnosticsSummary())>);

VariableDefinition variableOf(uint32_t id, std::string_view name, uint32_t parent,
                              uint32_t dataType)
{
    VariableDefinition definition;
    definition.id = ns0(id);
    definition.browseName = {0, String(name)};
    definition.parent = ns0(parent);
    definition.dataType = ns0(dataType);
    return definition;
}

void addInstance(AddressSpace& space, const InstanceRow& row, const ServerFacts& facts)
{
    const NodeId parent = row.parent ? ns0(row.parent) : NodeId();
    if (row.nodeClass == NodeClass::Object) {
        ObjectDefinition definition;
        definition.id = ns0(row.id);
        definition.browseName = {0, String(row.name)};
        definition.parent = parent;
        definition.referenceType = ns0(row.referenceType);
        definition.typeDefinition = ns0(row.typeDefinition);
        space.addObject(definition);
        return;
    }
    VariableDefinition definition = variableOf(row.id, row.name, row.parent, row.dataType);
    definition.referenceType = ns0(row.referenceType);
    definition.typeDefinition = ns0(row.typeDefinition);
    definition.valueRank = row.valueRank;
    if (row.value)
        definition.value = row.value(facts);
    space.addVariable(definition);
}

} // namespace

Variant AddressSpace::serverStatus() const
{
    Encoder e;
    e.encode(m_startTime);
    e.encode(DateTime::now());
    e.encode(int32_t(0)); // Running
    encodeBuildInfo(e, m_startTime);
    e.encode(uint32_t(0));
    e.encode(LocalizedText{});
    return Variant::fromScalar(
        ExtensionObject{ns0(ids::ServerStatusDataType_Encoding_DefaultBinary),
                        ExtensionObjectEncoding::ByteString, e.take()});
}

void AddressSpace::addStandardNodes()
{
    // The folders and the Server object first, then the types: the type definitions of the
    // instances are added before the types exist, which addNode allows because type
    // definitions point forward only.
    const ServerFacts facts{String(m_applicationUri), m_startTime};
    for (const InstanceRow& row : kInstances)
        addInstance(*this, row, facts);
    for (const TypeRow& row : kTypes) {
        Node node;
        node.id = ns0(row.id);
        node.nodeClass = row.nodeClass;
        node.browseName = {0, String(row.name)};
        node.isAbstract = row.isAbstract;
        if (!row.inverseName.empty())
            node.inverseName = {String("en"), String(row.inverseName)};
        addNode(std::move(node), ns0(row.parent),
                ns0(row.parentIsFolder ? ids::Organizes : ids::HasSubtype), NodeId());
    }
    setValueSource(ns0(ids::Server_NamespaceArray), [this] {
        std::vector<String> uris(m_namespaces.begin(), m_namespaces.end());
        return Variant::fromArray(std::move(uris));
    });
    setValueSource(ns0(ids::Server_ServerStatus), [this] { return serverStatus(); });
    setValueSource(ns0(ids::Server_ServerStatus_CurrentTime),
                   [] { return Variant::fromScalar(DateTime::now()); });
}

void ServerCore::addCapabilities()
{
    for (const CapabilityRow& row : kCapabilities) {
        if (space.find(ns0(row.id)))
            continue;
        VariableDefinition definition = variableOf(row.id, row.name, row.parent, row.dataType);
        definition.referenceType = ns0(ids::HasProperty);
        definition.typeDefinition = ns0(ids::PropertyType);
        definition.value = row.value(settings);
        space.addVariable(definition);
    }
}

// The diagnostics summary: how many sessions and subscriptions there are and were. Tests watch
// a vanished client's session time out through it. The nodes stay in the address space; their
// values come from this core for as long as it lives.
void ServerCore::addDiagnostics()
{
    constexpr uint32_t kSummary = ids::Server_ServerDiagnostics_ServerDiagnosticsSummary;
    if (!space.find(ns0(ids::Server_ServerDiagnostics))) {
        ObjectDefinition diagnostics;
        diagnostics.id = ns0(ids::Server_ServerDiagnostics);
        diagnostics.browseName = {0, "ServerDiagnostics"};
        diagnostics.parent = ns0(ids::Server);
        diagnostics.referenceType = ns0(ids::HasComponent);
        space.addObject(diagnostics);
        VariableDefinition enabled =
            variableOf(ids::Server_ServerDiagnostics_EnabledFlag, "EnabledFlag",
                       ids::Server_ServerDiagnostics, ids::Boolean);
        enabled.referenceType = ns0(ids::HasProperty);
        enabled.typeDefinition = ns0(ids::PropertyType);
        enabled.value = Variant::fromScalar(true);
        space.addVariable(enabled);
        space.addVariable(variableOf(kSummary, "ServerDiagnosticsSummary",
                                     ids::Server_ServerDiagnostics,
                                     ids::ServerDiagnosticsSummaryDataType));
        for (const SummaryMember& member : kSummaryMembers)
            space.addVariable(variableOf(member.id, member.name, kSummary, ids::UInt32));
    }
    space.setValueSource(ns0(kSummary), [this] {
        Encoder e;
        for (uint32_t v : diagnosticsSummary())
            e.encode(v);
        return Variant::fromScalar(
            ExtensionObject{ns0(ids::ServerDiagnosticsSummaryDataType_Encoding_DefaultBinary),
                            ExtensionObjectEncoding::ByteString, e.take()});
    });
    for (size_t i = 0; i < std::size(kSummaryMembers); ++i) {
        space.setValueSource(ns0(kSummaryMembers[i].id),
                             [this, i] { return Variant::fromScalar(diagnosticsSummary()[i]); });
    }
}

void ServerCore::removeDiagnostics()
{
    space.setValueSource(ns0(ids::Server_ServerDiagnostics_ServerDiagnosticsSummary), {});
    for (const SummaryMember& member : kSummaryMembers)
        space.setValueSource(ns0(member.id), {});
}

} // namespace opcua
