// The address space on its own: which references a browse returns, and which attributes a
// node of each class has.

#include "opcua/nodeid.h"
#include "opcua/server/addressspace.h"

#include <QTest>

using namespace opcua;

namespace {

NodeId ns0(uint32_t id)
{
    return NodeId(0, id);
}

// Browses a node and lists the targets' browse names in order.
QStringList browseNames(const AddressSpace& space, const BrowseDescription& d, StatusCode& s)
{
    std::vector<ReferenceDescription> refs;
    s = space.browse(d, refs);
    QStringList names;
    for (const auto& r : refs)
        names << QString::fromStdString(r.browseName.name.str());
    return names;
}

} // namespace

class TestAddressSpace : public QObject
{
    Q_OBJECT

private slots:
    void browseFollowsDirectionTypeAndClass_data()
    {
        QTest::addColumn<quint32>("node");
        QTest::addColumn<int>("direction");
        QTest::addColumn<quint32>("referenceType");
        QTest::addColumn<bool>("subtypes");
        QTest::addColumn<quint32>("classMask");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<quint32>("status");
        const quint32 good = status::Good.code;
        QTest::newRow("root, all forward")
            << 84u << 0 << 0u << true << 0u
            << QStringList{"FolderType", "Objects", "Types", "Views"} << good;
        QTest::newRow("root, hierarchical only")
            << 84u << 0 << 33u << true << 0u << QStringList{"Objects", "Types", "Views"} << good;
        QTest::newRow("objects, upwards")
            << 85u << 1 << 0u << true << 0u << QStringList{"Root"} << good;
        QTest::newRow("server, variables only")
            << 2253u << 0 << 33u << true << 2u
            << QStringList{"ServerArray", "NamespaceArray", "ServiceLevel", "ServerStatus"} << good;
        QTest::newRow("server, properties without subtypes")
            << 2253u << 0 << 46u << false << 0u
            << QStringList{"ServerArray", "NamespaceArray", "ServiceLevel"} << good;
        QTest::newRow("HasChild does not include Organizes")
            << 85u << 0 << 34u << true << 0u << QStringList{} << good;
        QTest::newRow("Int16, both ways")
            << 4u << 2 << 45u << true << 0u << QStringList{"Integer"} << good;
        QTest::newRow("unknown node")
            << 99999u << 0 << 0u << true << 0u << QStringList{} << status::BadNodeIdUnknown.code;
        QTest::newRow("bad direction") << 85u << 3 << 0u << true << 0u << QStringList{}
                                       << status::BadBrowseDirectionInvalid.code;
        QTest::newRow("reference type that is no reference type")
            << 85u << 0 << 85u << true << 0u << QStringList{}
            << status::BadReferenceTypeIdInvalid.code;
    }
    void browseFollowsDirectionTypeAndClass()
    {
        QFETCH(quint32, node);
        QFETCH(int, direction);
        QFETCH(quint32, referenceType);
        QFETCH(bool, subtypes);
        QFETCH(quint32, classMask);
        QFETCH(QStringList, names);
        QFETCH(quint32, status);
        AddressSpace space;
        BrowseDescription d;
        d.nodeId = ns0(node);
        d.browseDirection = BrowseDirection(direction);
        d.referenceTypeId = referenceType ? ns0(referenceType) : NodeId();
        d.includeSubtypes = subtypes;
        d.nodeClassMask = classMask;
        StatusCode s;
        QCOMPARE(browseNames(space, d, s), names);
        QCOMPARE(s.code, status);
    }

    void resultMaskLeavesOutWhatWasNotAskedFor()
    {
        AddressSpace space;
        BrowseDescription d;
        d.nodeId = ns0(ids::ObjectsFolder);
        d.referenceTypeId = ns0(ids::Organizes);
        d.resultMask = 0x08; // browse name only
        std::vector<ReferenceDescription> refs;
        QCOMPARE(space.browse(d, refs), status::Good);
        QCOMPARE(refs.size(), size_t(1));
        QCOMPARE(refs[0].browseName.name, String("Server"));
        QVERIFY(refs[0].referenceTypeId.isNull());
        QVERIFY(refs[0].displayName.text.isNull());
        QVERIFY(refs[0].typeDefinition.nodeId.isNull());
        QVERIFY(refs[0].nodeId.nodeId == ns0(ids::Server)); // always there
    }

    void attributesDependOnTheNodeClass_data()
    {
        QTest::addColumn<quint32>("node");
        QTest::addColumn<quint32>("attribute");
        QTest::addColumn<bool>("present");
        QTest::newRow("object's event notifier") << 85u << 12u << true;
        QTest::newRow("object has no value") << 85u << 13u << false;
        QTest::newRow("object has no data type") << 85u << 14u << false;
        QTest::newRow("variable's value") << 2259u << 13u << true;
        QTest::newRow("variable's value rank") << 2255u << 15u << true;
        QTest::newRow("variable's array dimensions") << 2255u << 16u << true;
        QTest::newRow("variable has no event notifier") << 2259u << 12u << false;
        QTest::newRow("reference type's inverse name") << 47u << 10u << true;
        QTest::newRow("reference type's symmetry") << 47u << 9u << true;
        QTest::newRow("data type is abstract or not") << 26u << 8u << true;
        QTest::newRow("object type has no inverse name") << 58u << 10u << false;
        QTest::newRow("nothing is executable") << 2253u << 21u << false;
        QTest::newRow("attribute 23 does not exist") << 2253u << 23u << false;
    }
    void attributesDependOnTheNodeClass()
    {
        QFETCH(quint32, node);
        QFETCH(quint32, attribute);
        QFETCH(bool, present);
        AddressSpace space;
        ReadValueId item;
        item.nodeId = ns0(node);
        item.attributeId = attribute;
        const DataValue v = space.read(item, TimestampsToReturn::Neither, DateTime::now());
        QCOMPARE(v.statusOrGood().isGood(), present);
        if (!present)
            QCOMPARE(v.statusOrGood(), status::BadAttributeIdInvalid);
    }

    void namespacesAreAddedOnceAtTheEnd()
    {
        AddressSpace space("urn:test:server");
        QCOMPARE(space.namespaces().size(), size_t(2));
        QCOMPARE(space.addNamespace("urn:a"), uint16_t(2));
        QCOMPARE(space.addNamespace("urn:b"), uint16_t(3));
        QCOMPARE(space.addNamespace("urn:a"), uint16_t(2));
        ReadValueId item;
        item.nodeId = ns0(ids::Server_NamespaceArray);
        const DataValue v = space.read(item, TimestampsToReturn::Neither, DateTime::now());
        QCOMPARE(
            *v.value->elements<String>(),
            (std::vector<String>{String("http://opcfoundation.org/UA/"), String("urn:test:server"),
                                 String("urn:a"), String("urn:b")}));
    }

    void addingANodeTwiceOrUnderNothingIsAMistake()
    {
        AddressSpace space;
        ObjectDefinition object;
        object.id = NodeId(1, String("A"));
        object.browseName = {1, String("A")};
        object.parent = ns0(ids::ObjectsFolder);
        space.addObject(object);
        QVERIFY_THROWS_EXCEPTION(std::logic_error, space.addObject(object));
        object.id = NodeId(1, String("B"));
        object.parent = NodeId(1, String("Nowhere"));
        QVERIFY_THROWS_EXCEPTION(std::logic_error, space.addObject(object));
        QVERIFY(!space.find(NodeId(1, String("B"))));
    }

    void readTimestampsFollowTheRequest_data()
    {
        QTest::addColumn<int>("timestamps");
        QTest::addColumn<bool>("source");
        QTest::addColumn<bool>("server");
        QTest::newRow("source") << 0 << true << false;
        QTest::newRow("server") << 1 << false << true;
        QTest::newRow("both") << 2 << true << true;
        QTest::newRow("neither") << 3 << false << false;
    }
    void readTimestampsFollowTheRequest()
    {
        QFETCH(int, timestamps);
        QFETCH(bool, source);
        QFETCH(bool, server);
        AddressSpace space;
        ReadValueId item;
        item.nodeId = ns0(ids::Server_ServerStatus_State);
        const DataValue v = space.read(item, TimestampsToReturn(timestamps), DateTime::now());
        QCOMPARE(v.sourceTimestamp.has_value(), source);
        QCOMPARE(v.serverTimestamp.has_value(), server);
    }
};

QTEST_GUILESS_MAIN(TestAddressSpace)
#include "tst_addressspace.moc"
