// The address space on its own: which references a browse returns, which attributes a node of
// each class has, and how a variable's watchers are told and removed.

#include "opcua/nodeid.h"
#include "opcua/server/addressspace.h"
#include "opcua/server/subscription.h"
#include "tests/support/manualclock.h"

#include <QTest>
#include <algorithm>
#include <functional>
#include <memory>
#include <utility>

using namespace opcua;

namespace {

const NodeId kSpeed{1, "Speed"};

// An address space with one Double variable, kSpeed.
void addSpeed(AddressSpace& space)
{
    space.addNamespace("urn:test");
    VariableDefinition speed;
    speed.id = kSpeed;
    speed.browseName = QualifiedName{1, String("Speed")};
    speed.parent = NodeId(0, ids::ObjectsFolder);
    speed.dataType = NodeId(0, ids::Double);
    speed.value = Variant::fromScalar(0.0);
    space.addVariable(speed);
}

// Writes its number into a shared log when told, and the first time may do something more.
struct ScriptedWatcher final : ValueWatcher
{
    int number = 0;
    std::vector<int>* told = nullptr;
    std::function<void()> onFirstValue;

    void valueChanged(const DataValue&) override
    {
        told->push_back(number);
        if (auto act = std::exchange(onFirstValue, nullptr))
            act();
    }
};

// Takes Publish responses from nobody: the subscriptions only collect their items' samples.
struct NoPublishRequests final : PublishSink
{
    bool hasPublishRequest() override { return false; }
    bool sendPublishResponse(PublishResponse&) override { return false; }
    void subscriptionExpired(uint32_t) override {}
};

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
        d.nodeId = NodeId(0, node);
        d.browseDirection = BrowseDirection(direction);
        d.referenceTypeId = referenceType ? NodeId(0, referenceType) : NodeId();
        d.includeSubtypes = subtypes;
        d.nodeClassMask = classMask;
        std::vector<ReferenceDescription> refs;
        QCOMPARE(space.browse(d, refs).code, status);
        QStringList found;
        for (const auto& r : refs)
            found << QString::fromStdString(r.browseName.name.str());
        QCOMPARE(found, names);
    }

    void resultMaskLeavesOutWhatWasNotAskedFor()
    {
        AddressSpace space;
        BrowseDescription d;
        d.nodeId = NodeId(0, ids::ObjectsFolder);
        d.referenceTypeId = NodeId(0, ids::Organizes);
        std::vector<ReferenceDescription> refs;
        QCOMPARE(space.browse(d, refs), status::Good);
        QCOMPARE(refs.at(0).nodeClass, NodeClass::Object);
        QVERIFY(refs[0].typeDefinition.nodeId == NodeId(0, ids::ServerType));
        QVERIFY(refs[0].referenceTypeId == NodeId(0, ids::Organizes));
        d.resultMask = 0x08; // browse name only
        refs.clear();
        QCOMPARE(space.browse(d, refs), status::Good);
        QCOMPARE(refs.size(), size_t(1));
        QCOMPARE(refs[0].browseName.name, String("Server"));
        QVERIFY(refs[0].referenceTypeId.isNull());
        QVERIFY(refs[0].displayName.text.isNull());
        QVERIFY(refs[0].typeDefinition.nodeId.isNull());
        QVERIFY(refs[0].nodeId.nodeId == NodeId(0, ids::Server)); // always there
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
        item.nodeId = NodeId(0, node);
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
        item.nodeId = NodeId(0, ids::Server_NamespaceArray);
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
        object.parent = NodeId(0, ids::ObjectsFolder);
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
        item.nodeId = NodeId(0, ids::Server_ServerStatus_State);
        const DataValue v = space.read(item, TimestampsToReturn(timestamps), DateTime::now());
        QCOMPARE(v.sourceTimestamp.has_value(), source);
        QCOMPARE(v.serverTimestamp.has_value(), server);
    }

    void watchersMayComeAndGoWhileTheyAreTold_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QList<int>>("firstValue");
        QTest::addColumn<QList<int>>("secondValue");
        // Watchers 0 to 3 watch; watcher 1 acts when it hears the first value.
        QTest::newRow("removes itself")
            << "remove 1" << QList<int>{0, 1, 2, 3} << QList<int>{0, 2, 3};
        QTest::newRow("removes one not yet told")
            << "remove 2" << QList<int>{0, 1, 3} << QList<int>{0, 1, 3};
        QTest::newRow("removes one already told")
            << "remove 0" << QList<int>{0, 1, 2, 3} << QList<int>{1, 2, 3};
        QTest::newRow("removes all the others")
            << "remove 0 2 3" << QList<int>{0, 1} << QList<int>{1};
        QTest::newRow("adds one") << "add 4" << QList<int>{0, 1, 2, 3} << QList<int>{0, 1, 2, 3, 4};
        QTest::newRow("sets the value again")
            << "set" << QList<int>{0, 1, 0, 1, 2, 3, 2, 3} << QList<int>{0, 1, 2, 3};
    }

    void watchersMayComeAndGoWhileTheyAreTold()
    {
        QFETCH(QString, action);
        QFETCH(QList<int>, firstValue);
        QFETCH(QList<int>, secondValue);
        AddressSpace space;
        addSpeed(space);
        AddressSpace::Node& node = *space.find(kSpeed);
        std::vector<int> told;
        std::vector<ScriptedWatcher> watchers(5);
        for (int i = 0; i < 5; ++i) {
            watchers[size_t(i)].number = i;
            watchers[size_t(i)].told = &told;
            if (i < 4)
                space.watch(node, &watchers[size_t(i)]);
        }
        const QStringList words = action.split(' ');
        watchers[1].onFirstValue = [&] {
            for (const QString& number : words.mid(1)) {
                ScriptedWatcher* other = &watchers[size_t(number.toInt())];
                if (words[0] == "remove")
                    space.unwatch(node, other);
                else
                    space.watch(node, other);
            }
            if (words[0] == "set")
                space.setValue(kSpeed, Variant::fromScalar(2.0));
        };
        const auto tell = [&](double value) {
            told.clear();
            space.setValue(kSpeed, Variant::fromScalar(value));
            std::sort(told.begin(), told.end());
            return QList<int>(told.begin(), told.end());
        };
        std::sort(firstValue.begin(), firstValue.end());
        QCOMPARE(tell(1.0), firstValue);
        QCOMPARE(tell(3.0), secondValue);
        QCOMPARE(node.watchers.size(), size_t(secondValue.size()));
        for (int number : secondValue)
            space.unwatch(node, &watchers[size_t(number)]);
        QVERIFY(node.watchers.empty());
    }

    void manyItemsOnOneNodeCostWorkInProportionToTheItemsTouched()
    {
        // Ten sessions with a subscription of 1,000 items each, all on one turning node.
        AddressSpace space;
        addSpeed(space);
        ManualClock clock;
        NoPublishRequests sink;
        std::vector<std::unique_ptr<Subscription>> subscriptions;
        for (uint32_t id = 1; id <= 10; ++id) {
            subscriptions.push_back(
                std::make_unique<Subscription>(id, sink, clock, space, SubscriptionLimits{}));
            for (uint32_t handle = 0; handle < 1000; ++handle) {
                MonitoredItemCreateRequest request;
                request.itemToMonitor.nodeId = kSpeed;
                request.itemToMonitor.attributeId = uint32_t(AttributeId::Value);
                request.monitoringMode = MonitoringMode::Reporting;
                request.requestedParameters.clientHandle = handle;
                const auto result =
                    subscriptions.back()->createMonitoredItem(request, TimestampsToReturn::Neither);
                QCOMPARE(result.statusCode, status::Good);
            }
        }
        const WatcherList& watchers = space.find(kSpeed)->watchers;
        QCOMPARE(watchers.size(), size_t(10000));
        const auto work = [&](const std::function<void()>& step) {
            const uint64_t before = watchers.slotsVisited();
            step();
            return watchers.slotsVisited() - before;
        };

        // A change visits each watcher once.
        QCOMPARE(work([&] { space.setValue(kSpeed, Variant::fromScalar(1.0)); }), uint64_t(10000));
        // Deleting 500 items one by one, and a session's subscription ending with its 1,000,
        // visit each removed item's slot once.
        QCOMPARE(work([&] {
                     for (uint32_t item = 1; item <= 500; ++item)
                         QCOMPARE(subscriptions[0]->deleteMonitoredItem(item), status::Good);
                 }),
                 uint64_t(500));
        QCOMPARE(work([&] { subscriptions[1].reset(); }), uint64_t(1000));
        QCOMPARE(watchers.size(), size_t(8500));
        QCOMPARE(work([&] { space.setValue(kSpeed, Variant::fromScalar(2.0)); }), uint64_t(8500));
    }
};

QTEST_GUILESS_MAIN(TestAddressSpace)
#include "tst_addressspace.moc"
