#include "opcua/server/addressspace.h"

#include "opcua/binary.h"
#include "opcua/nodeid.h"

#include <algorithm>
#include <stdexcept>

namespace opcua {

namespace {

NodeId ns0(uint32_t id)
{
    return NodeId(0, id);
}

// The type a type is a subtype of, or nullptr for a root or an unknown node.
const NodeId* supertypeOf(const AddressSpace& space, const NodeId& type)
{
    const AddressSpace::Node* node = space.find(type);
    if (!node)
        return nullptr;
    for (const AddressSpace::Reference& r : node->references) {
        if (!r.isForward && r.type == ns0(ids::HasSubtype))
            return &r.target;
    }
    return nullptr;
}

// The built-in type that carries values of a data type: the data type itself for 1..25 and
// its nearest such ancestor otherwise. Enumerations travel as Int32.
std::optional<BuiltinType> builtinOf(const AddressSpace& space, const NodeId& dataType)
{
    NodeId current = dataType;
    for (int depth = 0; depth < 16; ++depth) {
        if (current.namespaceIndex == 0 && current.identifierType() == IdentifierType::Numeric) {
            const uint32_t id = current.numeric();
            if (id >= 1 && id <= 25)
                return BuiltinType(id);
            if (id == ids::Enumeration)
                return BuiltinType::Int32;
            if (id == ids::Number || id == ids::Integer || id == ids::UInteger ||
                id == ids::Structure)
                return std::nullopt; // abstract: checked by subtype instead
        }
        const NodeId* super = supertypeOf(space, current);
        if (!super)
            return std::nullopt;
        current = *super;
    }
    return std::nullopt;
}

bool timestampsWanted(TimestampsToReturn t, bool source)
{
    switch (t) {
    case TimestampsToReturn::Source:
        return source;
    case TimestampsToReturn::Server:
        return !source;
    case TimestampsToReturn::Both:
        return true;
    case TimestampsToReturn::Neither:
    case TimestampsToReturn::Invalid:
        return false;
    }
    return false;
}

DataValue bad(StatusCode code)
{
    DataValue v;
    v.status = code;
    return v;
}

// The attributes only variables have.
bool isVariableAttribute(AttributeId attribute)
{
    return attribute >= AttributeId::Value && attribute <= AttributeId::Historizing;
}

bool nodeClassMatches(uint32_t mask, NodeClass nodeClass)
{
    return mask == 0 || (mask & uint32_t(nodeClass)) != 0;
}

} // namespace

AddressSpace::AddressSpace(std::string applicationUri)
    : m_namespaces{"http://opcfoundation.org/UA/", applicationUri},
      m_applicationUri(std::move(applicationUri)), m_startTime(DateTime::now())
{
    addStandardNodes();
}

uint16_t AddressSpace::addNamespace(const std::string& uri)
{
    if (auto index = namespaceIndex(uri))
        return *index;
    if (m_namespaces.size() >= 0xFFFF)
        throw std::logic_error("too many namespaces");
    m_namespaces.push_back(uri);
    return uint16_t(m_namespaces.size() - 1);
}

std::optional<uint16_t> AddressSpace::namespaceIndex(std::string_view uri) const
{
    for (size_t i = 0; i < m_namespaces.size(); ++i) {
        if (m_namespaces[i] == uri)
            return uint16_t(i);
    }
    return std::nullopt;
}

const AddressSpace::Node* AddressSpace::find(const NodeId& id) const
{
    auto it = m_nodes.find(id);
    return it == m_nodes.end() ? nullptr : &it->second;
}

AddressSpace::Node* AddressSpace::find(const NodeId& id)
{
    auto it = m_nodes.find(id);
    return it == m_nodes.end() ? nullptr : &it->second;
}

AddressSpace::Node& AddressSpace::addNode(Node node, const NodeId& parent,
                                          const NodeId& referenceType, const NodeId& typeDefinition)
{
    if (node.id.isNull() || m_nodes.count(node.id))
        throw std::logic_error("node id null or taken: " + node.id.toString());
    if (!parent.isNull() && !find(parent))
        throw std::logic_error("no parent node " + parent.toString());
    if (node.displayName.text.isNull())
        node.displayName.text = node.browseName.name;
    const NodeId id = node.id;
    Node& added = m_nodes.emplace(id, std::move(node)).first->second;
    if (!parent.isNull())
        addReference(parent, referenceType, id);
    if (!typeDefinition.isNull()) {
        // Type definitions point forward only: the types do not list their instances.
        added.references.push_back({ns0(ids::HasTypeDefinition), true, typeDefinition});
    }
    return added;
}

void AddressSpace::addReference(const NodeId& source, const NodeId& type, const NodeId& target)
{
    Node* from = find(source);
    Node* to = find(target);
    if (!from || !to)
        throw std::logic_error("reference between unknown nodes " + source.toString() + " and " +
                               target.toString());
    from->references.push_back({type, true, target});
    to->references.push_back({type, false, source});
}

namespace {

// The attributes that object and variable definitions share.
template <typename Definition>
AddressSpace::Node nodeOf(const Definition& definition, NodeClass nodeClass)
{
    AddressSpace::Node node;
    node.id = definition.id;
    node.nodeClass = nodeClass;
    node.browseName = definition.browseName;
    node.displayName = definition.displayName;
    node.description = definition.description;
    return node;
}

} // namespace

void AddressSpace::addObject(const ObjectDefinition& definition)
{
    addNode(nodeOf(definition, NodeClass::Object), definition.parent, definition.referenceType,
            definition.typeDefinition);
}

void AddressSpace::addVariable(const VariableDefinition& definition)
{
    Node node = nodeOf(definition, NodeClass::Variable);
    node.dataType = definition.dataType;
    node.valueRank = definition.valueRank;
    node.accessLevel = definition.accessLevel;
    node.value.value = definition.value;
    node.value.status = status::Good;
    node.value.sourceTimestamp = DateTime::now();
    addNode(std::move(node), definition.parent, definition.referenceType,
            definition.typeDefinition);
}

void AddressSpace::setValue(const NodeId& id, Variant value, StatusCode status, DateTime sourceTime)
{
    Node* node = find(id);
    if (!node || node->nodeClass != NodeClass::Variable)
        throw std::logic_error("no variable " + id.toString());
    node->value.value = std::move(value);
    node->value.status = status;
    node->value.sourceTimestamp = sourceTime.isNull() ? DateTime::now() : sourceTime;
    if (!node->watchers.empty())
        node->watchers.tell(currentValue(*node));
}

void AddressSpace::setWriteHandler(const NodeId& id, WriteHandler handler)
{
    Node* node = find(id);
    if (!node)
        throw std::logic_error("no node " + id.toString());
    node->writeHandler = std::move(handler);
}

void AddressSpace::setValueSource(const NodeId& id, ValueSource source)
{
    Node* node = find(id);
    if (!node)
        throw std::logic_error("no node " + id.toString());
    node->valueSource = std::move(source);
}

void AddressSpace::watch(Node& node, ValueWatcher* watcher)
{
    node.watchers.add(watcher);
}

void AddressSpace::unwatch(Node& node, ValueWatcher* watcher)
{
    node.watchers.remove(watcher);
}

// ---------------------------------------------------------------------------------------------
// WatcherList

void WatcherList::add(ValueWatcher* watcher)
{
    watcher->m_slot = m_watchers.size();
    m_watchers.push_back(watcher);
}

void WatcherList::remove(ValueWatcher* watcher)
{
    const size_t slot = watcher->m_slot;
    ++m_slotsVisited;
    if (slot >= m_watchers.size() || m_watchers[slot] != watcher)
        throw std::logic_error("a watcher removed that does not watch this variable");
    if (m_telling > 0) {
        // Moving the last watcher into the slot could move it behind the walk.
        m_watchers[slot] = nullptr;
        ++m_gaps;
        return;
    }
    m_watchers[slot] = m_watchers.back();
    m_watchers[slot]->m_slot = slot;
    m_watchers.pop_back();
}

void WatcherList::tell(const DataValue& value)
{
    // Ends the walk even when a watcher throws, so that the gaps are closed.
    struct Walk
    {
        WatcherList& list;
        explicit Walk(WatcherList& l) : list(l) { ++list.m_telling; }
        ~Walk()
        {
            if (--list.m_telling == 0 && list.m_gaps > 0)
                list.closeGaps();
        }
    } walk(*this);
    // Watchers added during the walk lie beyond its end.
    const size_t end = m_watchers.size();
    for (size_t slot = 0; slot < end; ++slot) {
        ++m_slotsVisited;
        if (ValueWatcher* watcher = m_watchers[slot])
            watcher->valueChanged(value);
    }
}

void WatcherList::closeGaps()
{
    size_t kept = 0;
    for (ValueWatcher* watcher : m_watchers) {
        ++m_slotsVisited;
        if (!watcher)
            continue;
        watcher->m_slot = kept;
        m_watchers[kept++] = watcher;
    }
    m_watchers.resize(kept);
    m_gaps = 0;
}

DataValue AddressSpace::currentValue(const Node& node) const
{
    DataValue v = node.value;
    if (node.valueSource) {
        v.value = node.valueSource();
        v.status = status::Good;
        v.sourceTimestamp = DateTime::now();
    }
    v.serverTimestamp = DateTime::now();
    return v;
}

// ---------------------------------------------------------------------------------------------
// Read

DataValue AddressSpace::attribute(const Node& node, AttributeId attribute, DateTime now) const
{
    const bool isVariable = node.nodeClass == NodeClass::Variable;
    const bool isType =
        node.nodeClass == NodeClass::ObjectType || node.nodeClass == NodeClass::VariableType ||
        node.nodeClass == NodeClass::DataType || node.nodeClass == NodeClass::ReferenceType;
    auto good = [](Variant v) {
        DataValue d;
        d.value = std::move(v);
        return d;
    };
    if (isVariableAttribute(attribute) && !isVariable)
        return bad(status::BadAttributeIdInvalid);
    switch (attribute) {
    case AttributeId::NodeId:
        return good(Variant::fromScalar(node.id));
    case AttributeId::NodeClass:
        return good(Variant::fromScalar(int32_t(node.nodeClass)));
    case AttributeId::BrowseName:
        return good(Variant::fromScalar(node.browseName));
    case AttributeId::DisplayName:
        return good(Variant::fromScalar(node.displayName));
    case AttributeId::Description:
        return good(Variant::fromScalar(node.description));
    case AttributeId::WriteMask:
    case AttributeId::UserWriteMask:
        return good(Variant::fromScalar(uint32_t(0)));
    case AttributeId::IsAbstract:
        if (!isType || node.nodeClass == NodeClass::VariableType)
            break;
        return good(Variant::fromScalar(node.isAbstract));
    case AttributeId::Symmetric:
        if (node.nodeClass != NodeClass::ReferenceType)
            break;
        return good(Variant::fromScalar(node.symmetric));
    case AttributeId::InverseName:
        if (node.nodeClass != NodeClass::ReferenceType)
            break;
        return good(Variant::fromScalar(node.inverseName));
    case AttributeId::ContainsNoLoops:
        break;
    case AttributeId::EventNotifier:
        if (node.nodeClass != NodeClass::Object)
            break;
        return good(Variant::fromScalar(uint8_t(0)));
    case AttributeId::Value: {
        if (!(node.accessLevel & kAccessLevelCurrentRead))
            return bad(status::BadNotReadable);
        DataValue v = currentValue(node);
        v.serverTimestamp = now;
        return v;
    }
    case AttributeId::DataType:
        return good(Variant::fromScalar(node.dataType));
    case AttributeId::ValueRank:
        return good(Variant::fromScalar(node.valueRank));
    case AttributeId::ArrayDimensions:
        if (node.valueRank <= 0)
            return good(Variant());
        return good(Variant::fromArray(std::vector<uint32_t>(size_t(node.valueRank), 0)));
    case AttributeId::AccessLevel:
    case AttributeId::UserAccessLevel:
        return good(Variant::fromScalar(node.accessLevel));
    case AttributeId::MinimumSamplingInterval:
        return good(Variant::fromScalar(0.0));
    case AttributeId::Historizing:
        return good(Variant::fromScalar(false));
    case AttributeId::Executable:
    case AttributeId::UserExecutable:
        break;
    }
    return bad(status::BadAttributeIdInvalid);
}

DataValue AddressSpace::read(const ReadValueId& item, TimestampsToReturn timestamps,
                             DateTime now) const
{
    const Node* node = find(item.nodeId);
    if (!node)
        return bad(status::BadNodeIdUnknown);
    if (item.attributeId < 1 || item.attributeId > 22)
        return bad(status::BadAttributeIdInvalid);
    const auto attributeId = AttributeId(item.attributeId);
    if (!item.dataEncoding.name.isEmpty() || item.dataEncoding.namespaceIndex != 0) {
        if (attributeId != AttributeId::Value)
            return bad(status::BadDataEncodingInvalid);
        if (item.dataEncoding.namespaceIndex != 0 ||
            item.dataEncoding.name.str() != "Default Binary")
            return bad(status::BadDataEncodingUnsupported);
    }
    if (!item.indexRange.isEmpty()) {
        // Only whole values are served; a range is not a number sequence we parse.
        return bad(attributeId == AttributeId::Value ? status::BadIndexRangeNoData
                                                     : status::BadIndexRangeInvalid);
    }
    DataValue v = attribute(*node, attributeId, now);
    if (v.statusOrGood().isBad()) {
        v.sourceTimestamp.reset();
        v.serverTimestamp.reset();
        return v;
    }
    // Only values have a source timestamp; any attribute read has a server timestamp.
    if (attributeId != AttributeId::Value || !timestampsWanted(timestamps, true)) {
        v.sourceTimestamp.reset();
        v.sourcePicoseconds.reset();
    }
    if (timestampsWanted(timestamps, false))
        v.serverTimestamp = now;
    else
        v.serverTimestamp.reset();
    if (v.status && *v.status == status::Good)
        v.status.reset(); // Good is the default on the wire
    return v;
}

// ---------------------------------------------------------------------------------------------
// Write

StatusCode AddressSpace::write(const WriteValue& item)
{
    Node* node = find(item.nodeId);
    if (!node)
        return status::BadNodeIdUnknown;
    if (item.attributeId < 1 || item.attributeId > 22)
        return status::BadAttributeIdInvalid;
    if (AttributeId(item.attributeId) != AttributeId::Value)
        return status::BadNotWritable;
    if (node->nodeClass != NodeClass::Variable)
        return status::BadNotWritable;
    if (!item.indexRange.isEmpty())
        return status::BadWriteNotSupported;
    if (!(node->accessLevel & kAccessLevelCurrentWrite))
        return status::BadNotWritable;
    if (!item.value.value || item.value.value->isEmpty())
        return status::BadTypeMismatch;
    const Variant& value = *item.value.value;

    const bool scalarWanted = node->valueRank == -1;
    const bool arrayWanted = node->valueRank >= 1;
    if ((scalarWanted && !value.isScalar()) || (arrayWanted && !value.isArray()))
        return status::BadTypeMismatch;
    const auto builtin = builtinOf(*this, node->dataType);
    if (builtin) {
        if (value.type() != *builtin)
            return status::BadTypeMismatch;
    } else if (!isSubtypeOf(ns0(uint32_t(value.type())), node->dataType)) {
        return status::BadTypeMismatch;
    }

    if (node->writeHandler) {
        const StatusCode verdict = node->writeHandler(value);
        if (!verdict.isGood())
            return verdict;
    }
    setValue(node->id, value);
    return status::Good;
}

// ---------------------------------------------------------------------------------------------
// Browse

bool AddressSpace::isSubtypeOf(const NodeId& type, const NodeId& base) const
{
    NodeId current = type;
    for (int depth = 0; depth < 32; ++depth) {
        if (current == base)
            return true;
        const NodeId* super = supertypeOf(*this, current);
        if (!super)
            return false;
        current = *super;
    }
    return false;
}

NodeId AddressSpace::typeDefinitionOf(const Node& node) const
{
    for (const Reference& r : node.references) {
        if (r.isForward && r.type == ns0(ids::HasTypeDefinition))
            return r.target;
    }
    return {};
}

ReferenceDescription AddressSpace::describe(const Reference& reference, uint32_t resultMask) const
{
    ReferenceDescription d;
    const Node* target = find(reference.target);
    d.nodeId = ExpandedNodeId(reference.target);
    if (resultMask & 0x01)
        d.referenceTypeId = reference.type;
    if (resultMask & 0x02)
        d.isForward = reference.isForward;
    if (!target)
        return d;
    if (resultMask & 0x04)
        d.nodeClass = target->nodeClass;
    if (resultMask & 0x08)
        d.browseName = target->browseName;
    if (resultMask & 0x10)
        d.displayName = target->displayName;
    if ((resultMask & 0x20) &&
        (target->nodeClass == NodeClass::Object || target->nodeClass == NodeClass::Variable))
        d.typeDefinition = ExpandedNodeId(typeDefinitionOf(*target));
    return d;
}

StatusCode AddressSpace::browse(const BrowseDescription& description,
                                std::vector<ReferenceDescription>& references) const
{
    references.clear();
    const Node* node = find(description.nodeId);
    if (!node)
        return status::BadNodeIdUnknown;
    if (description.browseDirection != BrowseDirection::Forward &&
        description.browseDirection != BrowseDirection::Inverse &&
        description.browseDirection != BrowseDirection::Both)
        return status::BadBrowseDirectionInvalid;
    const bool anyType = description.referenceTypeId.isNull();
    if (!anyType) {
        const Node* type = find(description.referenceTypeId);
        if (!type || type->nodeClass != NodeClass::ReferenceType)
            return status::BadReferenceTypeIdInvalid;
    }
    for (const Reference& r : node->references) {
        if (description.browseDirection == BrowseDirection::Forward && !r.isForward)
            continue;
        if (description.browseDirection == BrowseDirection::Inverse && r.isForward)
            continue;
        if (!anyType) {
            const bool match = description.includeSubtypes
                                   ? isSubtypeOf(r.type, description.referenceTypeId)
                                   : r.type == description.referenceTypeId;
            if (!match)
                continue;
        }
        const Node* target = find(r.target);
        if (target && !nodeClassMatches(description.nodeClassMask, target->nodeClass))
            continue;
        references.push_back(describe(r, description.resultMask));
    }
    return status::Good;
}

BrowsePathResult AddressSpace::translate(const BrowsePath& path) const
{
    BrowsePathResult result;
    if (!find(path.startingNode)) {
        result.statusCode = status::BadNodeIdUnknown;
        return result;
    }
    const auto& elements = path.relativePath.elements;
    if (elements.empty()) {
        result.statusCode = status::BadNothingToDo;
        return result;
    }
    std::vector<NodeId> current{path.startingNode};
    for (size_t i = 0; i < elements.size(); ++i) {
        const RelativePathElement& element = elements[i];
        if (element.targetName.name.isEmpty()) {
            result.statusCode = status::BadBrowseNameInvalid;
            return result;
        }
        if (!element.referenceTypeId.isNull()) {
            const Node* type = find(element.referenceTypeId);
            if (!type || type->nodeClass != NodeClass::ReferenceType) {
                result.statusCode = status::BadReferenceTypeIdInvalid;
                return result;
            }
        }
        std::vector<NodeId> next;
        for (const NodeId& id : current) {
            const Node* node = find(id);
            for (const Reference& r : node->references) {
                if (r.isForward == element.isInverse)
                    continue;
                if (!element.referenceTypeId.isNull()) {
                    const bool match = element.includeSubtypes
                                           ? isSubtypeOf(r.type, element.referenceTypeId)
                                           : r.type == element.referenceTypeId;
                    if (!match)
                        continue;
                }
                const Node* target = find(r.target);
                if (target && target->browseName == element.targetName &&
                    std::find(next.begin(), next.end(), r.target) == next.end())
                    next.push_back(r.target);
            }
        }
        if (next.empty()) {
            result.statusCode = status::BadNoMatch;
            return result;
        }
        current = std::move(next);
    }
    for (const NodeId& id : current)
        result.targets.push_back({ExpandedNodeId(id), 0xFFFFFFFFu});
    result.statusCode = status::Good;
    return result;
}

} // namespace opcua
