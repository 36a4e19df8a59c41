// The data connection's settings file: its lines, where it is found, the endpoint URLs it may
// name and the password file its security settings point to. Each test sets the environment
// variables it reads.
#include "opcua/client/clientsecurity.h"
#include "opcua/client/endpoint.h"
#include "opcua/pki/files.h"
#include "processdata/opcua/dataconnectionconfig.h"
#include "tests/opcua/testbytes.h"

#include <QMap>
#include <QTemporaryDir>
#include <QTest>

using servo::DataConnectionConfig;
using servo::FailureCode;

namespace {

const QString kSimItem1 = "nsu=urn:servo-panel:sim;s=Servo2.CommandWord";
const QString kLocal = "opc.tcp://localhost:4840";

void writeFile(const QString& path, const QByteArray& content, QFile::Permissions permissions)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    QVERIFY(file.setPermissions(permissions));
}

const QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner;

// What a parse gave, by the names the file uses; "usable" is whether the security settings can
// be used, "ZqNumberN" the item of field N.
QMap<QString, QString> settingsOf(const DataConnectionConfig& config)
{
    QMap<QString, QString> settings{
        {"endpoint", QString::fromStdString(config.endpoint)},
        {"publishing_interval_ms", QString::number(config.publishingIntervalMs)},
        {"sampling_interval_ms", QString::number(config.samplingIntervalMs)},
        {"security_mode", QString::fromUtf8(opcua::securityModeName(config.securityMode))},
        {"security_policy", QString::fromStdString(config.securityPolicy)},
        {"user", QString::fromStdString(config.user)},
        {"password_file", QString::fromStdString(config.passwordFile)},
        {"usable", config.securityUsable ? "yes" : "no"},
    };
    for (size_t i = 0; i < config.items.size(); ++i)
        settings.insert(QString("ZqNumber%1").arg(i + 1), QString::fromStdString(config.items[i]));
    return settings;
}

// A file's text, settings it must give ("key=value") and a text of each report, in order.
void parseRow(const QByteArray& name, const QByteArray& text, const QStringList& settings,
              const QStringList& problems = {})
{
    QTest::newRow(name.constData()) << text << settings << problems;
}

void urlRow(const char* name, const QString& url, const QString& host = {}, int port = 0)
{
    QTest::newRow(name) << url << host << port;
}

void passwordRow(const char* name, const QByteArray& content, QFile::Permissions permissions,
                 const QString& password, const QString& problem = {})
{
    QTest::newRow(name) << content << int(permissions) << password << problem;
}

} // namespace

class TestDataConnectionConfig : public QObject
{
    Q_OBJECT
private slots:
    void lines_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QStringList>("problems");

        parseRow("the documented example",
                 "[connection]\nendpoint=opc.tcp://plant-node:4841/ua\n"
                 "publishing_interval_ms=20\nsampling_interval_ms=10\n"
                 "security_mode=SignAndEncrypt\nsecurity_policy=Basic256Sha256\n"
                 "user=operator\npassword_file=operator.password\n"
                 "[items]\nZqNumber1=ns=2;i=5\nZqNumber2=ns=1;s=Name\nZqNumber3=nsu=urn:x;s=A.B\n"
                 "ZqNumber4=ns=3;g=09087e75-8e5e-499b-954f-f2a9603db28a\n"
                 "ZqNumber5=ns=1;b=M/RbKBsRVkePCePcx24oRA==\nZqNumber6=i=2255\n",
                 {"endpoint=opc.tcp://plant-node:4841/ua", "publishing_interval_ms=20",
                  "sampling_interval_ms=10", "security_mode=SignAndEncrypt",
                  "security_policy=Basic256Sha256", "user=operator",
                  "password_file=operator.password", "usable=yes", "ZqNumber1=ns=2;i=5",
                  "ZqNumber2=ns=1;s=Name", "ZqNumber3=nsu=urn:x;s=A.B",
                  "ZqNumber4=ns=3;g=09087e75-8e5e-499b-954f-f2a9603db28a",
                  "ZqNumber5=ns=1;b=M/RbKBsRVkePCePcx24oRA==", "ZqNumber6=i=2255",
                  "ZqNumber7=nsu=urn:servo-panel:sim;s=Servo3.ActualSpeed"});
        parseRow("an empty file keeps every default", "",
                 {"endpoint=" + kLocal, "publishing_interval_ms=100", "sampling_interval_ms=100",
                  "security_mode=None", "security_policy=", "user=", "usable=yes",
                  "ZqNumber1=" + kSimItem1});
        parseRow("comments and blank lines", "; note\n# note\n\n[items]\n  ; ZqNumber1=ns=1;i=1\n",
                 {"ZqNumber1=" + kSimItem1});
        parseRow("blanks around key and value, CRLF", "[items]\r\n  ZqNumber1 =  ns=1;i=7  \r\n",
                 {"ZqNumber1=ns=1;i=7"});
        parseRow("an empty item unbinds the field without a report", "[items]\nZqNumber1=\n",
                 {"ZqNumber1="});
        parseRow("a malformed node id unbinds that field only", "[items]\nZqNumber1=ns=x;i=5\n",
                 {"ZqNumber1=", "ZqNumber5=nsu=urn:servo-panel:sim;s=Servo2.ActualSpeed"},
                 {"line 2: ZqNumber1"});
        parseRow("an empty namespace uri", "[items]\nZqNumber2=nsu=;s=A\n", {"ZqNumber2="},
                 {"ZqNumber2"});
        parseRow("an unknown field key unbinds nothing", "[items]\nZqNumber9=ns=1;i=1\n",
                 {"ZqNumber1=" + kSimItem1}, {"ZqNumber9"});
        parseRow("a field key with a leading zero", "[items]\nZqNumber01=ns=1;i=1\n",
                 {"ZqNumber1=" + kSimItem1}, {"ZqNumber01"});
        parseRow("an endpoint of another scheme", "[connection]\nendpoint=http://localhost:4840\n",
                 {"endpoint="}, {"opc.tcp://"});
        parseRow("a line without '='", "[items]\nZqNumber1\n", {"ZqNumber1=" + kSimItem1},
                 {"line 2"});
        parseRow("a key before any section", "endpoint=opc.tcp://x:1\n", {"endpoint=" + kLocal},
                 {"before any section"});
        parseRow("an unknown section skips its keys", "[other]\nendpoint=opc.tcp://x:1\n",
                 {"endpoint=" + kLocal}, {"[other]"});
        // Another encoding would turn into replacement characters inside node ids.
        parseRow("a Latin-1 line is refused, its key keeps its value",
                 "[items]\nZqNumber3=ns=2;s=Drehzahl_\xe9\nZqNumber4=ns=2;s=B\n",
                 {"ZqNumber3=nsu=urn:servo-panel:sim;s=Servo2.LampWord", "ZqNumber4=ns=2;s=B"},
                 {R"(line 2: not UTF-8 text: "ZqNumber3=ns=2;s=Drehzahl_\xe9"; ignored, so )"
                  "ZqNumber3 keeps its value"});
        parseRow("a Latin-1 section header and a broken sequence, one problem each",
                 "[St\xf6rung]\n[items]\nZqNumber1=ns=2;s=\xe2\x82\n", {"ZqNumber1=" + kSimItem1},
                 {"line 1: not UTF-8 text", "line 3: not UTF-8 text"});
        parseRow("an unclosed section header", "[items\nZqNumber1=ns=1;i=1\n",
                 {"ZqNumber1=" + kSimItem1}, {"']'"});

        // Both intervals take the same values; a refused one keeps the default.
        const std::pair<const char*, int> intervals[] = {
            {"250", 250},  {"0", 0},  {"-1", 100},      {"1.5", 100},
            {"fast", 100}, {"", 100}, {"3600001", 100}, {"99999999999", 100}};
        for (const auto& [value, expected] : intervals) {
            const QStringList refused{"publishing_interval_ms", "sampling_interval_ms"};
            parseRow(QByteArray("interval \"") + value + "\"",
                     QString("[connection]\npublishing_interval_ms=%1\nsampling_interval_ms=%1\n")
                         .arg(value)
                         .toUtf8(),
                     {QString("publishing_interval_ms=%1").arg(expected),
                      QString("sampling_interval_ms=%1").arg(expected)},
                     expected == 100 ? refused : QStringList());
        }

        parseRow("a mode without a policy leaves the choice to the server's offer",
                 "[connection]\nsecurity_mode=Sign\n",
                 {"security_mode=Sign", "security_policy=", "usable=yes"});
        parseRow("every policy name",
                 "[connection]\nsecurity_mode=Sign\nsecurity_policy=Aes128_Sha256_RsaOaep\n"
                 "security_policy=Aes256_Sha256_RsaPss\n",
                 {"security_policy=Aes256_Sha256_RsaPss", "usable=yes"});
        parseRow("a misspelt mode keeps the connection off, not falling back to None",
                 "[connection]\nsecurity_mode=SignAndEncrpyt\n",
                 {"security_mode=None", "usable=no"},
                 {"\"SignAndEncrpyt\" is not one of None, Sign, SignAndEncrypt"});
        parseRow("mode names are exact", "[connection]\nsecurity_mode=sign\n", {"usable=no"},
                 {"stays off"});
        parseRow("an unknown policy keeps the connection off",
                 "[connection]\nsecurity_mode=Sign\nsecurity_policy=Basic128Rsa15\n",
                 {"security_policy=", "usable=no"}, {"\"Basic128Rsa15\" is not one of"});
        parseRow("policy None is no policy to ask for",
                 "[connection]\nsecurity_mode=Sign\nsecurity_policy=None\n", {"usable=no"},
                 {"\"None\" is not one of"});
        parseRow("a policy with mode None is reported and ignored",
                 "[connection]\nsecurity_policy=Basic256Sha256\n",
                 {"security_mode=None", "security_policy=Basic256Sha256", "usable=yes"},
                 {"ignored with security_mode None"});
        parseRow("a user without a password file keeps the connection off",
                 "[connection]\nuser=operator\n", {"user=operator", "usable=no"},
                 {"user \"operator\" has no password_file"});
        parseRow("an empty user is anonymous", "[connection]\nuser=\n", {"user=", "usable=yes"});
        parseRow("a password file without a user is reported", "[connection]\npassword_file=p\n",
                 {"usable=yes"}, {"session stays anonymous"});
    }

    void lines()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, settings);
        QFETCH(QStringList, problems);

        const QByteArray& bytes = text;
        const auto config = servo::parseDataConnectionConfig(
            std::string_view(bytes.constData(), std::size_t(bytes.size())), "datacon.ini");
        const QMap<QString, QString> actual = settingsOf(config);
        for (const QString& setting : settings) {
            const QString key = setting.section('=', 0, 0);
            QVERIFY2(actual.contains(key), qPrintable(key));
            QCOMPARE(key + '=' + actual[key], setting);
        }
        QCOMPARE(config.problems.size(), size_t(problems.size()));
        for (size_t i = 0; i < config.problems.size(); ++i) {
            const servo::Failure& problem = config.problems[i];
            QCOMPARE(problem.code(), FailureCode::ConfigurationInvalid);
            QVERIFY2(QString::fromStdString(problem.description()).contains(problems[int(i)]),
                     problem.what());
        }
    }

    // Every form of URL the endpoint setting may take, as the client parses it; the rows of
    // lines() show how a refused one is reported.
    void endpointUrls_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("host"); // empty when the URL is refused
        QTest::addColumn<int>("port");
        urlRow("host and port", "opc.tcp://localhost:4840", "localhost", 4840);
        urlRow("default port", "opc.tcp://plc", "plc", 4840);
        urlRow("path", "opc.tcp://10.1.2.3:48010/UA/Server", "10.1.2.3", 48010);
        urlRow("scheme in capitals", "OPC.TCP://h:1", "h", 1);
        urlRow("IPv6", "opc.tcp://[::1]:4841", "::1", 4841);
        urlRow("IPv6 default port", "opc.tcp://[fe80::1]", "fe80::1", 4840);
        urlRow("other scheme", "opc.https://h:1");
        urlRow("no host", "opc.tcp://:4840");
        urlRow("port zero", "opc.tcp://h:0");
        urlRow("port too big", "opc.tcp://h:65536");
        urlRow("port not a number", "opc.tcp://h:48a");
        urlRow("empty port", "opc.tcp://h:");
        urlRow("blank in host", "opc.tcp://my host:1");
        urlRow("unclosed bracket", "opc.tcp://[::1:4840");
        urlRow("empty", "");
    }

    void endpointUrls()
    {
        QFETCH(QString, url);
        QFETCH(QString, host);
        QFETCH(int, port);
        std::string error;
        const auto endpoint = opcua::parseEndpoint(url.toStdString(), &error);
        if (host.isEmpty()) {
            QVERIFY(!endpoint);
            QVERIFY(!error.empty());
            return;
        }
        QVERIFY2(endpoint, error.c_str());
        QCOMPARE(QString::fromStdString(endpoint->host), host);
        QCOMPARE(int(endpoint->port), port);
        QCOMPARE(QString::fromStdString(endpoint->url), url);
    }

    void passwordFiles_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: there is no file
        QTest::addColumn<int>("permissions");    // QFile::Permissions
        QTest::addColumn<QString>("password");   // expected, when the file is accepted
        QTest::addColumn<QString>("problem");    // a text the failure holds, or empty

        passwordRow("the first line", "s3cret\nsecond line\n", kOwnerOnly, "s3cret");
        passwordRow("CRLF line end", "s3cret\r\n", kOwnerOnly, "s3cret");
        passwordRow("no line end", "s3cret", kOwnerOnly, "s3cret");
        passwordRow("blanks are part of a password", " pass word \n", kOwnerOnly, " pass word ");
        passwordRow("an empty file is an empty password", "", kOwnerOnly, "");
        passwordRow("readable by group", "s3cret\n", kOwnerOnly | QFile::ReadGroup, "",
                    "may be used by other users than its owner");
        passwordRow("readable by others", "s3cret\n", kOwnerOnly | QFile::ReadOther, "",
                    "chmod 600");
        passwordRow("writable by group", "s3cret\n", kOwnerOnly | QFile::WriteGroup, "",
                    "chmod 600");
        passwordRow("too large", QByteArray(5000, 'x'), kOwnerOnly, "", "larger than 4096 bytes");
        passwordRow("missing", QByteArray(), kOwnerOnly, "", "cannot be read");
    }

    void passwordFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, permissions);
        QFETCH(QString, password);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        const QString path = dir.filePath("operator.password");
        if (!content.isNull())
            writeFile(path, content, QFile::Permissions(permissions));
        std::string read;
        const testbytes::Failure refused =
            testbytes::failure([&] { read = opcua::pki::readPasswordFile(path.toStdString()); });
        QCOMPARE(refused.status,
                 problem.isEmpty() ? opcua::status::Good : opcua::status::BadConfigurationError);
        // A refusal names the file and what is wrong with it.
        QVERIFY2(refused.text.contains(problem) &&
                     (refused.text.isEmpty() || refused.text.contains(path)),
                 qPrintable(refused.text));
        QCOMPARE(QString::fromStdString(read), password);
    }

    // The file as the panel finds it, under XDG_CONFIG_HOME; a password file named relative to
    // it lies beside it.
    void loading_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file; "/": a directory in its place
        QTest::addColumn<QString>("passwordFile");
        QTest::addColumn<bool>("reported"); // and the built-in settings used

        QTest::newRow("no file: the defaults without a report") << QByteArray() << "" << false;
        QTest::newRow("a relative password file")
            << QByteArray("[connection]\nuser=op\npassword_file=op.pw\n") << "HOME/op.pw" << false;
        QTest::newRow("an absolute password file")
            << QByteArray("[connection]\nuser=op\npassword_file=/etc/servo/op.pw\n")
            << "/etc/servo/op.pw" << false;
        QTest::newRow("binary") << QByteArray("[items]\0\x01\x02", 10) << "" << true;
        QTest::newRow("huge") << QByteArray(qsizetype(200) * 1024, 'x') << "" << true;
        QTest::newRow("a directory") << QByteArray("/") << "" << true;
    }

    void loading()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, passwordFile);
        QFETCH(bool, reported);
        QTemporaryDir dir;
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
        const QString home = dir.filePath("servo-panel");
        const QString path = home + "/datacon.ini";
        QVERIFY(QDir().mkpath(content == "/" ? path : home));
        if (!content.isNull() && content != "/")
            writeFile(path, content, kOwnerOnly);

        const auto config = servo::loadDataConnectionConfig();
        QCOMPARE(QString::fromStdString(config.passwordFile), passwordFile.replace("HOME", home));
        QCOMPARE(config.problems.size(), size_t(reported ? 1 : 0));
        if (reported || content.isNull()) {
            QVERIFY(config.source.isEmpty());
            QCOMPARE(QString::fromStdString(config.items[0]), kSimItem1);
            QCOMPARE(QString::fromStdString(config.endpoint), kLocal);
        } else {
            QCOMPARE(config.source, path);
        }
        if (reported)
            QCOMPARE(config.problems[0].code(), FailureCode::ConfigurationInvalid);
    }

    void folders_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("expected"); // ~ for the home folder

        QTest::newRow("PKI under XDG_DATA_HOME")
            << QByteArray("XDG_DATA_HOME") << QByteArray("/srv/data")
            << "/srv/data/servo-panel/pki";
        QTest::newRow("PKI without XDG_DATA_HOME")
            << QByteArray("XDG_DATA_HOME") << QByteArray() << "~/.local/share/servo-panel/pki";
        QTest::newRow("PKI with a relative XDG_DATA_HOME")
            << QByteArray("XDG_DATA_HOME") << QByteArray("relative/dir")
            << "~/.local/share/servo-panel/pki";
        QTest::newRow("settings with a relative XDG_CONFIG_HOME")
            << QByteArray("XDG_CONFIG_HOME") << QByteArray("relative/dir")
            << "~/.config/servo-panel/datacon.ini";
    }

    void folders()
    {
        QFETCH(QByteArray, variable);
        QFETCH(QByteArray, value);
        QFETCH(QString, expected);
        qputenv(variable.constData(), value);
        const QString path =
            variable == "XDG_DATA_HOME" ? servo::panelPkiPath() : servo::dataConnectionConfigPath();
        QCOMPARE(path, expected.replace('~', QDir::homePath()));
    }
};

QTEST_GUILESS_MAIN(TestDataConnectionConfig)
#include "tst_dataconnectionconfig.moc"
