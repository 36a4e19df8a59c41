#include "opcua/nodeid.h"
#include "tests/opcua/testbytes.h"

#include <QTest>

using namespace opcua;
using testbytes::failure;

Q_DECLARE_METATYPE(opcua::ExpandedNodeId)

class TestNodeId : public QObject
{
    Q_OBJECT

private slots:
    void parsesAndFormats_data();
    void parsesAndFormats();
    void rejectsMalformedText_data();
    void rejectsMalformedText();
    void resolvesNamespaceUris_data();
    void resolvesNamespaceUris();
    void hashesEqualIdsAlike();
};

void TestNodeId::parsesAndFormats_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<ExpandedNodeId>("expected");
    QTest::addColumn<QString>("formatted");

    const Guid guid{0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}};
    const QString guidText = "72962B91-FA75-4AE6-8D28-B404DC7DAF63";
    // Written back as it was unless the row says otherwise.
    auto row = [](const char* text, const ExpandedNodeId& expected,
                  const QString& formatted = QString()) {
        QTest::newRow(text) << QString(text) << expected
                            << (formatted.isNull() ? QString(text) : formatted);
    };
    row("i=5", NodeId(0, 5u));
    row("ns=2;i=5", NodeId(2, 5u));
    row("i=4294967295", NodeId(0, 4294967295u));
    row("ns=65535;i=1", NodeId(65535, 1u));
    row("ns=0;i=85", NodeId(0, 85u), "i=85");
    row("ns=1;s=Name", NodeId(1, String("Name")));
    row("s=Name", NodeId(0, String("Name")));
    row("ns=1;s=a;b=c", NodeId(1, String("a;b=c")));
    row("ns=1;s= x ", NodeId(1, String(" x ")));
    row("ns=1;g=72962B91-FA75-4AE6-8D28-B404DC7DAF63", NodeId(1, guid));
    row("ns=1;g=72962b91-fa75-4ae6-8d28-b404dc7daf63", NodeId(1, guid), "ns=1;g=" + guidText);
    row("g={72962B91-FA75-4AE6-8D28-B404DC7DAF63}", NodeId(0, guid), "g=" + guidText);
    row("ns=1;b=AQL/", NodeId(1, ByteString(testbytes::bytes({0x01, 0x02, 0xFF}))));
    row("nsu=urn:servo-panel:sim;s=Servo2.CommandWord",
        ExpandedNodeId(NodeId(0, String("Servo2.CommandWord")), String("urn:servo-panel:sim")));
    row("nsu=http://example.org/UA/;i=7",
        ExpandedNodeId(NodeId(0, 7u), String("http://example.org/UA/")));
    row("svr=3;nsu=urn:a;i=1", ExpandedNodeId(NodeId(0, 1u), String("urn:a"), 3));
    row("svr=1;ns=4;i=2", ExpandedNodeId(NodeId(4, 2u), String(), 1));
}

void TestNodeId::parsesAndFormats()
{
    QFETCH(QString, text);
    QFETCH(ExpandedNodeId, expected);
    QFETCH(QString, formatted);

    const ExpandedNodeId parsed = parseExpandedNodeId(text.toStdString());
    QCOMPARE(QString::fromStdString(toString(parsed)), formatted);
    QVERIFY(parsed == expected);
    if (expected.isLocal())
        QVERIFY(parseNodeId(text.toStdString()) == expected.nodeId);
}

void TestNodeId::rejectsMalformedText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reason");

    auto row = [](const char* name, const char* text, const char* reason) {
        QTest::newRow(name) << QString(text) << QString(reason);
    };
    row("empty", "", "empty text");
    row("no identifier type", "5", "expected i=");
    row("unknown identifier type", "x=5", "unknown identifier type");
    row("numeric too large", "i=4294967296", "below 4294967296");
    row("numeric negative", "i=-1", "decimal number");
    row("numeric empty", "i=", "decimal number");
    row("numeric with space", "i= 5", "decimal number");
    row("numeric with suffix", "i=5x", "decimal number");
    row("namespace too large", "ns=65536;i=1", "below 65536");
    row("namespace not a number", "ns=a;i=1", "below 65536");
    row("namespace without identifier", "ns=1", "identifier missing");
    row("namespace with empty identifier", "ns=1;", "identifier missing");
    row("string empty", "ns=1;s=", "string identifier is empty");
    row("guid short", "g=72962B91-FA75-4AE6-8D28", "guid identifier");
    row("guid not hex", "g=72962B91-FA75-4AE6-8D28-B404DC7DAF6Z", "guid identifier");
    row("bytestring not base64", "b=@@@", "not valid base64");
    row("bytestring empty", "b=", "bytestring identifier is empty");
    row("namespace URI in a local id", "nsu=urn:a;i=1", "expanded node id");
    row("server index in a local id", "svr=1;i=1", "server index");
    row("leading space", " i=5", "expected i=");
}

void TestNodeId::rejectsMalformedText()
{
    QFETCH(QString, text);
    QFETCH(QString, reason);

    const auto refused = failure([&] { parseNodeId(text.toStdString()); });
    QCOMPARE(refused.status, status::BadNodeIdInvalid);
    QVERIFY2(refused.text.contains(reason), qPrintable(refused.text));
    QVERIFY2(refused.text.contains("\"" + text + "\""), qPrintable(refused.text));
}

void TestNodeId::resolvesNamespaceUris_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // the resolved id, or what the error names
    QTest::addColumn<StatusCode>("status");

    QTest::newRow("namespace URI") << "nsu=urn:servo-panel:sim;s=Servo2.LampWord"
                                   << "ns=2;s=Servo2.LampWord" << StatusCode(status::Good);
    QTest::newRow("index stands as it is") << "ns=7;i=1"
                                           << "ns=7;i=1" << StatusCode(status::Good);
    QTest::newRow("unknown URI") << "nsu=urn:missing;i=1"
                                 << "urn:missing" << StatusCode(status::BadNodeIdUnknown);
    QTest::newRow("other server") << "svr=1;i=1"
                                  << "server" << StatusCode(status::BadNodeIdUnknown);
}

void TestNodeId::resolvesNamespaceUris()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QFETCH(StatusCode, status);

    const std::vector<std::string> namespaces = {"http://opcfoundation.org/UA/", "urn:server",
                                                 "urn:servo-panel:sim"};
    NodeId resolved;
    const auto refused =
        failure([&] { resolved = resolve(parseExpandedNodeId(text.toStdString()), namespaces); });
    QCOMPARE(refused.status, status);
    if (status.isGood())
        QCOMPARE(QString::fromStdString(toString(resolved)), expected);
    else
        QVERIFY2(refused.text.contains(expected), qPrintable(refused.text));
}

void TestNodeId::hashesEqualIdsAlike()
{
    NodeIdHash hash;
    QCOMPARE(hash(parseNodeId("ns=1;s=A")), hash(NodeId(1, String("A"))));
    QVERIFY(hash(NodeId(0, 1u)) != hash(NodeId(1, 1u)));
}

QTEST_GUILESS_MAIN(TestNodeId)
#include "tst_nodeid.moc"
