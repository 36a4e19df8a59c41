#include "opcua/nodeid.h"
#include "tests/opcua/testbytes.h"

#include <QTest>

using namespace opcua;

Q_DECLARE_METATYPE(opcua::NodeId)
Q_DECLARE_METATYPE(opcua::ExpandedNodeId)

class TestNodeId : public QObject
{
    Q_OBJECT

private slots:
    void parsesTheStandardForm_data();
    void parsesTheStandardForm();
    void rejectsMalformedText_data();
    void rejectsMalformedText();
    void parsesExpandedForms_data();
    void parsesExpandedForms();
    void formatsWhatItParses_data();
    void formatsWhatItParses();
    void resolvesNamespaceUris();
    void refusesUnknownNamespaceUris();
    void refusesNodesOnOtherServers();
    void hashesEqualIdsAlike();
};

void TestNodeId::parsesTheStandardForm_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<NodeId>("expected");

    const Guid guid{0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}};
    QTest::newRow("numeric in namespace 0") << "i=5" << NodeId(0, 5u);
    QTest::newRow("numeric with namespace") << "ns=2;i=5" << NodeId(2, 5u);
    QTest::newRow("largest numeric") << "i=4294967295" << NodeId(0, 4294967295u);
    QTest::newRow("largest namespace") << "ns=65535;i=1" << NodeId(65535, 1u);
    QTest::newRow("explicit namespace 0") << "ns=0;i=85" << NodeId(0, 85u);
    QTest::newRow("string") << "ns=1;s=Name" << NodeId(1, String("Name"));
    QTest::newRow("string without namespace") << "s=Name" << NodeId(0, String("Name"));
    QTest::newRow("string keeps ; and =") << "ns=1;s=a;b=c" << NodeId(1, String("a;b=c"));
    QTest::newRow("string with dots")
        << "ns=3;s=Servo2.CommandWord" << NodeId(3, String("Servo2.CommandWord"));
    QTest::newRow("string with spaces") << "ns=1;s= x " << NodeId(1, String(" x "));
    QTest::newRow("guid") << "ns=1;g=72962B91-FA75-4AE6-8D28-B404DC7DAF63" << NodeId(1, guid);
    QTest::newRow("guid lower case")
        << "ns=1;g=72962b91-fa75-4ae6-8d28-b404dc7daf63" << NodeId(1, guid);
    QTest::newRow("guid in braces")
        << "g={72962B91-FA75-4AE6-8D28-B404DC7DAF63}" << NodeId(0, guid);
    QTest::newRow("bytestring") << "ns=1;b=AQL/"
                                << NodeId(1, ByteString(testbytes::bytes({0x01, 0x02, 0xFF})));
}

void TestNodeId::parsesTheStandardForm()
{
    QFETCH(QString, text);
    QFETCH(NodeId, expected);

    QCOMPARE(QString::fromStdString(toString(parseNodeId(text.toStdString()))),
             QString::fromStdString(toString(expected)));
    QVERIFY(parseNodeId(text.toStdString()) == expected);
}

void TestNodeId::rejectsMalformedText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reason");

    QTest::newRow("empty") << ""
                           << "empty text";
    QTest::newRow("no identifier type") << "5"
                                        << "expected i=";
    QTest::newRow("unknown identifier type") << "x=5"
                                             << "unknown identifier type";
    QTest::newRow("numeric too large") << "i=4294967296"
                                       << "below 4294967296";
    QTest::newRow("numeric negative") << "i=-1"
                                      << "decimal number";
    QTest::newRow("numeric empty") << "i="
                                   << "decimal number";
    QTest::newRow("numeric with space") << "i= 5"
                                        << "decimal number";
    QTest::newRow("numeric with suffix") << "i=5x"
                                         << "decimal number";
    QTest::newRow("namespace too large") << "ns=65536;i=1"
                                         << "below 65536";
    QTest::newRow("namespace not a number") << "ns=a;i=1"
                                            << "below 65536";
    QTest::newRow("namespace without identifier") << "ns=1"
                                                  << "identifier missing";
    QTest::newRow("namespace with empty identifier") << "ns=1;"
                                                     << "identifier missing";
    QTest::newRow("string empty") << "ns=1;s="
                                  << "string identifier is empty";
    QTest::newRow("guid short") << "g=72962B91-FA75-4AE6-8D28"
                                << "guid identifier";
    QTest::newRow("guid not hex") << "g=72962B91-FA75-4AE6-8D28-B404DC7DAF6Z"
                                  << "guid identifier";
    QTest::newRow("bytestring not base64") << "b=@@@"
                                           << "not valid base64";
    QTest::newRow("bytestring empty") << "b="
                                      << "bytestring identifier is empty";
    QTest::newRow("namespace URI in a local id") << "nsu=urn:a;i=1"
                                                 << "expanded node id";
    QTest::newRow("server index in a local id") << "svr=1;i=1"
                                                << "server index";
    QTest::newRow("leading space") << " i=5"
                                   << "expected i=";
}

void TestNodeId::rejectsMalformedText()
{
    QFETCH(QString, text);
    QFETCH(QString, reason);

    try {
        parseNodeId(text.toStdString());
        QFAIL("parsed");
    } catch (const NodeIdError& e) {
        QCOMPARE(e.status(), status::BadNodeIdInvalid);
        const QString message = QString::fromStdString(e.what());
        QVERIFY2(message.contains(reason), qPrintable(message));
        QVERIFY2(message.contains("\"" + text + "\""), qPrintable(message)); // quotes the text
    }
}

void TestNodeId::parsesExpandedForms_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<ExpandedNodeId>("expected");

    QTest::newRow("namespace URI")
        << "nsu=urn:servo-panel:sim;s=Servo2.CommandWord"
        << ExpandedNodeId(NodeId(0, String("Servo2.CommandWord")), String("urn:servo-panel:sim"));
    QTest::newRow("namespace URI with numeric id")
        << "nsu=http://example.org/UA/;i=7"
        << ExpandedNodeId(NodeId(0, 7u), String("http://example.org/UA/"));
    QTest::newRow("plain node id") << "ns=2;i=5" << ExpandedNodeId(NodeId(2, 5u));
    QTest::newRow("server index") << "svr=3;nsu=urn:a;i=1"
                                  << ExpandedNodeId(NodeId(0, 1u), String("urn:a"), 3);
    QTest::newRow("server index with namespace index")
        << "svr=1;ns=4;i=2" << ExpandedNodeId(NodeId(4, 2u), String(), 1);
}

void TestNodeId::parsesExpandedForms()
{
    QFETCH(QString, text);
    QFETCH(ExpandedNodeId, expected);

    QVERIFY(parseExpandedNodeId(text.toStdString()) == expected);
}

void TestNodeId::formatsWhatItParses_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("numeric") << "i=85";
    QTest::newRow("numeric with namespace") << "ns=2;i=5";
    QTest::newRow("string") << "ns=1;s=Name";
    QTest::newRow("guid") << "ns=1;g=72962B91-FA75-4AE6-8D28-B404DC7DAF63";
    QTest::newRow("bytestring") << "ns=1;b=AQL/";
    QTest::newRow("namespace URI") << "nsu=urn:servo-panel:sim;s=Servo3.SetSpeed";
    QTest::newRow("server index") << "svr=2;nsu=urn:a;i=1";
}

void TestNodeId::formatsWhatItParses()
{
    QFETCH(QString, text);

    QCOMPARE(QString::fromStdString(toString(parseExpandedNodeId(text.toStdString()))), text);
}

void TestNodeId::resolvesNamespaceUris()
{
    const std::vector<std::string> namespaces = {"http://opcfoundation.org/UA/", "urn:server",
                                                 "urn:servo-panel:sim"};
    const auto id = parseExpandedNodeId("nsu=urn:servo-panel:sim;s=Servo2.LampWord");
    QVERIFY(resolve(id, namespaces) == NodeId(2, String("Servo2.LampWord")));
    // Without a URI the id stands as it is.
    QVERIFY(resolve(parseExpandedNodeId("ns=7;i=1"), namespaces) == NodeId(7, 1u));
}

void TestNodeId::refusesUnknownNamespaceUris()
{
    try {
        resolve(parseExpandedNodeId("nsu=urn:missing;i=1"), {"http://opcfoundation.org/UA/"});
        QFAIL("resolved");
    } catch (const NodeIdError& e) {
        QCOMPARE(e.status(), status::BadNodeIdUnknown);
        QVERIFY(QString::fromStdString(e.what()).contains("urn:missing"));
    }
}

void TestNodeId::refusesNodesOnOtherServers()
{
    QVERIFY_THROWS_EXCEPTION(NodeIdError, resolve(parseExpandedNodeId("svr=1;i=1"), {}));
}

void TestNodeId::hashesEqualIdsAlike()
{
    NodeIdHash hash;
    QCOMPARE(hash(parseNodeId("ns=1;s=A")), hash(NodeId(1, String("A"))));
    QVERIFY(hash(NodeId(0, 1u)) != hash(NodeId(1, 1u)));
}

QTEST_GUILESS_MAIN(TestNodeId)
#include "tst_nodeid.moc"
