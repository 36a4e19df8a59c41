#pragma once

#include "opcua/nodeid.h"
#include "opcua/services.h"
#include "opcua/types.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace opcua {

// Something that wants to hear of every new value of one variable: the server's monitored
// items. A watcher watches at most one variable at a time and must unwatch before it dies.
class ValueWatcher
{
public:
    virtual ~ValueWatcher() = default;
    virtual void valueChanged(const DataValue& value) = 0;

private:
    friend class WatcherList;
    size_t m_slot = 0; // where the watched variable's list holds it
};

// The watchers of one variable. Each knows its slot, so adding or removing one takes constant
// time and telling them all a value takes time in proportion to their number: no step searches
// the list, however many items a node has. While they are told, a watcher may be removed or
// added (itself or another): one removed is not told after its removal, one added hears the
// next value.
class WatcherList
{
public:
    void add(ValueWatcher* watcher);
    // The watcher must be in the list.
    void remove(ValueWatcher* watcher);
    void tell(const DataValue& value);

    size_t size() const { return m_watchers.size() - m_gaps; }
    bool empty() const { return size() == 0; }
    // The slots looked at so far by tell and remove: the list's work, for tests to count.
    uint64_t slotsVisited() const { return m_slotsVisited; }

private:
    void closeGaps();

    // nullptr where a watcher was removed while the others were told; closed afterwards.
    std::vector<ValueWatcher*> m_watchers;
    size_t m_gaps = 0;
    int m_telling = 0; // tell calls under way (a watcher may set the value again)
    uint64_t m_slotsVisited = 0;
};

// Decides on a write a client makes to a variable, after the type and access checks passed.
// Good lets the value be stored (and watchers told); any other code refuses the write and is
// what the client gets, e.g. BadOutOfRange.
using WriteHandler = std::function<StatusCode(const Variant& value)>;

// A variable's value made on demand at every read (e.g. the current time).
using ValueSource = std::function<Variant()>;

// What a new variable node is made of.
struct VariableDefinition
{
    NodeId id;
    QualifiedName browseName;
    LocalizedText displayName; // the browse name's text when null
    NodeId parent;             // must exist
    NodeId referenceType = NodeId(0, ids::HasComponent);
    NodeId typeDefinition = NodeId(0, ids::BaseDataVariableType);
    NodeId dataType = NodeId(0, ids::BaseDataType);
    int32_t valueRank = -1; // scalar
    uint8_t accessLevel = kAccessLevelCurrentRead;
    Variant value;
    LocalizedText description;
};

// What a new object node is made of.
struct ObjectDefinition
{
    NodeId id;
    QualifiedName browseName;
    LocalizedText displayName; // the browse name's text when null
    NodeId parent;             // must exist
    NodeId referenceType = NodeId(0, ids::Organizes);
    NodeId typeDefinition = NodeId(0, ids::BaseObjectType);
    LocalizedText description;
};

// The server's nodes, in memory. It starts with the standard part every client expects (the
// root, objects, types and views folders, the Server object with its namespace array and
// status, the reference, object, variable and data types those use), to which the
// application adds its namespaces, objects and variables.
//
// Adding a node with an id that is taken, or under a parent that does not exist, is a
// programming mistake and throws std::logic_error. Clients cannot add or remove nodes, so
// nodes live as long as the address space and pointers to them stay valid.
class AddressSpace
{
public:
    struct Reference
    {
        NodeId type;
        bool isForward = true;
        NodeId target;
    };

    struct Node
    {
        NodeId id;
        NodeClass nodeClass = NodeClass::Object;
        QualifiedName browseName;
        LocalizedText displayName;
        LocalizedText description;
        std::vector<Reference> references; // both directions
        // Variables.
        DataValue value;
        ValueSource valueSource;
        NodeId dataType;
        int32_t valueRank = -1;
        uint8_t accessLevel = 0;
        WriteHandler writeHandler;
        WatcherList watchers;
        // Types.
        bool isAbstract = false;
        bool symmetric = false;
        LocalizedText inverseName;
    };

    explicit AddressSpace(std::string applicationUri = "urn:servo-panel:server");

    // The namespace's index, adding the URI at the end of the namespace array when it is new.
    uint16_t addNamespace(const std::string& uri);
    std::optional<uint16_t> namespaceIndex(std::string_view uri) const;
    const std::vector<std::string>& namespaces() const { return m_namespaces; }

    void addObject(const ObjectDefinition& definition);
    void addVariable(const VariableDefinition& definition);
    // Adds a reference and its inverse. Both nodes must exist.
    void addReference(const NodeId& source, const NodeId& type, const NodeId& target);

    // Sets a variable's value from the application: stamped with `sourceTime` (now when null),
    // stored, and every watcher told. The variable must exist.
    void setValue(const NodeId& id, Variant value, StatusCode status = status::Good,
                  DateTime sourceTime = {});
    void setWriteHandler(const NodeId& id, WriteHandler handler);
    void setValueSource(const NodeId& id, ValueSource source);

    const Node* find(const NodeId& id) const;
    Node* find(const NodeId& id);

    void watch(Node& node, ValueWatcher* watcher);
    void unwatch(Node& node, ValueWatcher* watcher);

    // The services' work on one operation each.
    DataValue read(const ReadValueId& item, TimestampsToReturn timestamps, DateTime now) const;
    // The value a monitored item samples: the Value attribute with both timestamps.
    DataValue currentValue(const Node& node) const;
    StatusCode write(const WriteValue& item);
    // Every matching reference, or a Bad status (BadNodeIdUnknown, BadReferenceTypeIdInvalid,
    // BadBrowseDirectionInvalid).
    StatusCode browse(const BrowseDescription& description,
                      std::vector<ReferenceDescription>& references) const;
    BrowsePathResult translate(const BrowsePath& path) const;

    // True when `type` is `base` or one of its subtypes (following HasSubtype references).
    bool isSubtypeOf(const NodeId& type, const NodeId& base) const;
    // The target of the node's HasTypeDefinition reference; null when it has none.
    NodeId typeDefinitionOf(const Node& node) const;

private:
    Node& addNode(Node node, const NodeId& parent, const NodeId& referenceType,
                  const NodeId& typeDefinition);
    void addStandardNodes();
    Variant serverStatus() const;
    DataValue attribute(const Node& node, AttributeId attribute, DateTime now) const;
    ReferenceDescription describe(const Reference& reference, uint32_t resultMask) const;

    std::vector<std::string> m_namespaces;
    std::string m_applicationUri;
    DateTime m_startTime;
    std::unordered_map<NodeId, Node, NodeIdHash> m_nodes;
};

} // namespace opcua
