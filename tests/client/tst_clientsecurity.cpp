// Which of a server's endpoints the client takes for the security asked of it, when it trusts
// the endpoint's certificate, and the identity token it sends: anonymous, or a user name whose
// password is encrypted as the server's token policy says and never sent where it would travel
// unencrypted.
#include "opcua/client/clientsecurity.h"
#include "opcua/pki/certificate.h"
#include "opcua/security/policy.h"
#include "opcua/security/sessioncrypto.h"
#include "tests/support/manualclock.h"

#include <QTemporaryDir>
#include <QTest>
#include <filesystem>

using namespace opcua;

namespace {

const std::string kPolicyPrefix = "http://opcfoundation.org/UA/SecurityPolicy#";

MessageSecurityMode modeNamed(const QString& name)
{
    for (auto mode : {MessageSecurityMode::None, MessageSecurityMode::Sign,
                      MessageSecurityMode::SignAndEncrypt}) {
        if (securityModeName(mode) == name.toStdString())
            return mode;
    }
    return MessageSecurityMode::Invalid;
}

// "Sign/Basic256Sha256, SignAndEncrypt/Basic256Sha256": endpoints as describeEndpoints shows
// them.
std::vector<EndpointDescription> endpointsFrom(const QString& list)
{
    std::vector<EndpointDescription> endpoints;
    for (const QString& entry : list.split(", ", Qt::SkipEmptyParts)) {
        EndpointDescription endpoint;
        endpoint.securityMode = modeNamed(entry.section('/', 0, 0));
        endpoint.securityPolicyUri = String(kPolicyPrefix + entry.section('/', 1).toStdString());
        endpoint.transportProfileUri = String(std::string(kTransportProfileUaTcp));
        endpoints.push_back(endpoint);
    }
    return endpoints;
}

UserTokenPolicy tokenPolicy(const char* id, UserTokenType type, const std::string& policy = {})
{
    UserTokenPolicy token;
    token.policyId = String(id);
    token.tokenType = type;
    if (!policy.empty())
        token.securityPolicyUri = String(kPolicyPrefix + policy);
    return token;
}

pki::TimePoint utc(int year, unsigned month, unsigned day)
{
    using namespace std::chrono;
    return sys_days(std::chrono::year(year) / std::chrono::month(month) / std::chrono::day(day));
}

// A server's application certificate, valid through 2026.
pki::CertificateProfile serverProfile()
{
    pki::CertificateProfile profile;
    profile.commonName = "server";
    profile.organization = "Test";
    profile.applicationUri = "urn:test:server";
    profile.dnsNames = {"test-host"};
    profile.notBefore = utc(2026, 1, 1);
    profile.notAfter = utc(2027, 1, 1);
    return profile;
}

// Endpoints as describeEndpoints shows them: which one the client takes for the mode and policy
// asked, or the error when none fits.
struct EndpointCase
{
    const char* name;
    const char* offered;
    const char* mode;
    const char* policy; // empty: the strongest offered
    int chosen;         // index into offered, or -1
    const char* error;  // the status name when none is chosen
};

constexpr const char* kAllEndpoints =
    "None/None, Sign/Basic256Sha256, SignAndEncrypt/Basic256Sha256, Sign/Aes256_Sha256_RsaPss, "
    "SignAndEncrypt/Aes256_Sha256_RsaPss, SignAndEncrypt/Aes128_Sha256_RsaOaep";

constexpr EndpointCase kEndpointCases[] = {
    {"None", kAllEndpoints, "None", "", 0, ""},
    {"mode and policy as asked", kAllEndpoints, "SignAndEncrypt", "Aes128_Sha256_RsaOaep", 5, ""},
    {"the same policy in the other mode", kAllEndpoints, "Sign", "Basic256Sha256", 1, ""},
    {"strongest for Sign", kAllEndpoints, "Sign", "", 3, ""},
    {"strongest for SignAndEncrypt", kAllEndpoints, "SignAndEncrypt", "", 4, ""},
    {"strongest falls back in order",
     "SignAndEncrypt/Aes128_Sha256_RsaOaep, SignAndEncrypt/Basic256Sha256", "SignAndEncrypt", "", 1,
     ""},
    {"policies the client does not speak are passed over",
     "SignAndEncrypt/Basic256, SignAndEncrypt/Basic128Rsa15, SignAndEncrypt/Aes128_Sha256_RsaOaep",
     "SignAndEncrypt", "", 2, ""},
    {"no such mode", "Sign/Basic256Sha256", "SignAndEncrypt", "Basic256Sha256", -1,
     "BadSecurityModeRejected"},
    {"None asked of a secured server", "Sign/Basic256Sha256", "None", "", -1,
     "BadSecurityModeRejected"},
    {"the mode without the policy", "Sign/Basic256Sha256", "Sign", "Aes256_Sha256_RsaPss", -1,
     "BadSecurityPolicyRejected"},
    {"the mode with only policies the client does not speak", "Sign/Basic128Rsa15", "Sign", "", -1,
     "BadSecurityPolicyRejected"},
    {"no endpoints", "", "None", "", -1, "BadSecurityModeRejected"},
};

// The identity token sent to an endpoint that offers an anonymous token policy and, perhaps, a
// UserName one.
struct IdentityCase
{
    const char* name;
    const char* endpoint;    // mode/policy
    const char* tokenPolicy; // of its UserName token policy: nullptr for none, "" naming none
    const char* user;        // empty: anonymous
    const char* algorithm;   // encryptionAlgorithm; "clear" when none
    const char* error;       // the status name when nothing is sent
};

constexpr const char* kOaep = security::kRsaOaepUri.data();
constexpr const char* kOaep256 = security::kRsaOaepSha256Uri.data();

constexpr IdentityCase kIdentityCases[] = {
    {"anonymous", "SignAndEncrypt/Basic256Sha256", nullptr, "", "", ""},
    {"password encrypted with the token policy", "None/None", "Basic256Sha256", "operator", kOaep,
     ""},
    {"the token policy's algorithm, not the endpoint's", "Sign/Basic256Sha256",
     "Aes256_Sha256_RsaPss", "operator", kOaep256, ""},
    {"no token policy: the endpoint's", "SignAndEncrypt/Aes256_Sha256_RsaPss", "", "operator",
     kOaep256, ""},
    {"a clear password inside an encrypted channel", "SignAndEncrypt/Basic256Sha256", "None",
     "operator", "clear", ""},
    {"refused: a clear password over a channel without security", "None/None", "None", "operator",
     "", "BadSecurityModeInsufficient"},
    {"refused: a clear password over a channel that only signs", "Sign/Basic256Sha256", "None",
     "operator", "", "BadSecurityModeInsufficient"},
    {"refused: the endpoint's None when the token names none", "None/None", "", "operator", "",
     "BadSecurityModeInsufficient"},
    {"refused: a token policy the client does not speak", "SignAndEncrypt/Basic256Sha256",
     "Basic128Rsa15", "operator", "", "BadSecurityPolicyRejected"},
    {"refused: the endpoint takes no user names", "SignAndEncrypt/Basic256Sha256", nullptr,
     "operator", "", "BadIdentityTokenRejected"},
};

} // namespace

Q_DECLARE_METATYPE(EndpointCase)
Q_DECLARE_METATYPE(IdentityCase)

class TestClientSecurity : public QObject
{
    Q_OBJECT
private slots:

    void endpointChoice_data()
    {
        QTest::addColumn<EndpointCase>("row");
        for (const EndpointCase& row : kEndpointCases)
            QTest::newRow(row.name) << row;
    }

    void endpointChoice()
    {
        QFETCH(EndpointCase, row);
        const QString offered = row.offered;
        const auto endpoints = endpointsFrom(offered);
        SecuritySettings settings;
        settings.mode = modeNamed(row.mode);
        settings.policy = row.policy;
        try {
            const EndpointDescription& endpoint = chooseEndpoint(endpoints, settings);
            QVERIFY2(row.chosen >= 0, "an endpoint was chosen");
            QCOMPARE(&endpoint, &endpoints[size_t(row.chosen)]);
        } catch (const Error& e) {
            QVERIFY2(row.chosen < 0, e.what());
            QCOMPARE(statusName(e.status()), row.error);
            // The operator is told what there is to choose from.
            const QString what = e.what();
            QVERIFY2(what.contains(offered.isEmpty() ? QString("no endpoints at all")
                                                     : "it offers: " + offered.left(20)),
                     e.what());
        }
    }

    void endpointsOfAnotherTransportAreNotChosen()
    {
        auto endpoints = endpointsFrom("Sign/Basic256Sha256, Sign/Basic256Sha256");
        endpoints[0].transportProfileUri =
            String("http://opcfoundation.org/UA-Profile/Transport/https-uabinary");
        endpoints[1].transportProfileUri = String();
        SecuritySettings settings;
        settings.mode = MessageSecurityMode::Sign;
        QCOMPARE(&chooseEndpoint(endpoints, settings), &endpoints[1]);
    }

    void identityTokens_data()
    {
        QTest::addColumn<IdentityCase>("row");
        for (const IdentityCase& row : kIdentityCases)
            QTest::newRow(row.name) << row;
    }

    void identityTokens()
    {
        QFETCH(IdentityCase, row);
        EndpointDescription endpoint = endpointsFrom(row.endpoint).front();
        endpoint.userIdentityTokens.push_back(
            tokenPolicy("anonymous-id", UserTokenType::Anonymous));
        if (row.tokenPolicy)
            endpoint.userIdentityTokens.push_back(
                tokenPolicy("user-id", UserTokenType::UserName, row.tokenPolicy));
        const ByteBuffer nonce(32, 0x5a);
        const std::string password = "pa55 word";

        ExtensionObject token;
        try {
            token = identityToken(endpoint, {row.user, password}, m_serverKey.get(), nonce);
            QVERIFY2(!*row.error, "a token was made");
        } catch (const Error& e) {
            QCOMPARE(statusName(e.status()), row.error);
            return;
        }
        if (!*row.user) {
            const auto anonymous = unpackBody<AnonymousIdentityToken>(token);
            QVERIFY(anonymous);
            QCOMPARE(anonymous->policyId.str(), "anonymous-id");
            return;
        }
        const auto named = unpackBody<UserNameIdentityToken>(token);
        QVERIFY(named);
        QCOMPARE(named->policyId.str(), "user-id");
        QCOMPARE(named->userName.str(), "operator");
        const ByteBuffer& sent = named->password.bytes();
        if (row.algorithm == std::string_view("clear")) {
            QVERIFY(named->encryptionAlgorithm.isEmpty());
            QCOMPARE(std::string(sent.begin(), sent.end()), password);
            return;
        }
        QCOMPARE(named->encryptionAlgorithm.str(), row.algorithm);
        QVERIFY(std::search(sent.begin(), sent.end(), password.begin(), password.end()) ==
                sent.end());
        const std::string policyUri =
            *row.tokenPolicy ? kPolicyPrefix + row.tokenPolicy : endpoint.securityPolicyUri.str();
        const ByteBuffer decrypted =
            security::decryptUserPassword(security::securityPolicy(policyUri), m_serverKey.get(),
                                          named->encryptionAlgorithm.str(), sent, nonce);
        QCOMPARE(std::string(decrypted.begin(), decrypted.end()), password);
    }

    // An untrusted certificate is kept among the rejected ones; once the operator has moved it
    // to the trusted ones it is taken without a restart, for as long as it fits the endpoint.
    void serverCertificatesAreTrustedByTheOperator_data()
    {
        addChangeRows({{"as trusted", "", ""},
                       {"another application URI", "uri", "BadCertificateUriInvalid"},
                       {"expired", "late", "BadCertificateTimeInvalid"},
                       {"no certificate", "none", "BadCertificateInvalid"}});
    }

    void serverCertificatesAreTrustedByTheOperator()
    {
        QFETCH(QString, change);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const pki::PkiFolder folder(dir.path().toStdString());
        EndpointDescription endpoint = securedEndpoint();
        try {
            connectionCertificates(endpoint, folder, kIdentity, m_clock);
            QFAIL("an untrusted certificate was accepted");
        } catch (const Error& e) {
            QCOMPARE(statusName(e.status()), "BadCertificateUntrusted");
            const auto kept = folder.path(pki::Store::RejectedCerts) /
                              pki::PkiFolder::rejectedFileName(m_serverCertificate);
            QVERIFY2(std::filesystem::exists(kept), e.what());
            QVERIFY2(std::string(e.what()).find(kept.string()) != std::string::npos, e.what());
            std::filesystem::rename(kept, folder.path(pki::Store::TrustedCerts) / "server.der");
        }
        const ManualClock clock(DateTime::fromTimePoint(change == "late" ? utc(2027, 6, 1) : kNow));
        if (change == "uri")
            endpoint.server.applicationUri = String("urn:test:impostor");
        else if (change == "none")
            endpoint.serverCertificate = ByteString();
        try {
            const auto certificates = connectionCertificates(endpoint, folder, kIdentity, clock);
            QVERIFY2(error.isEmpty(), "the certificate was accepted");
            QVERIFY(certificates.server == m_serverCertificate);
            QVERIFY(certificates.own.key.matches(certificates.own.certificate));
            QCOMPARE(certificates.own.certificate.applicationUri(), kIdentity.applicationUri);
            // The own certificate is made once and then kept.
            QVERIFY(connectionCertificates(endpoint, folder, kIdentity, clock).own.certificate ==
                    certificates.own.certificate);
        } catch (const Error& e) {
            QCOMPARE(QString::fromStdString(statusName(e.status())), error);
        }
    }

    // The server proves it holds the endpoint's certificate by signing ours and our nonce.
    void createSessionAnswersMustProveTheEndpointsCertificate_data()
    {
        addChangeRows(
            {{"as the server should answer", "", ""},
             {"the certificate followed by its issuer", "chain", ""},
             {"another certificate", "certificate", "BadCertificateInvalid"},
             {"signed over another nonce", "nonce", "BadApplicationSignatureInvalid"},
             {"signed over its own certificate", "signed", "BadApplicationSignatureInvalid"},
             {"no signature", "unsigned", "BadApplicationSignatureInvalid"},
             {"the chosen endpoint left out of its endpoints", "endpoints",
              "BadSecurityChecksFailed"},
             {"a stronger endpoint hidden before the channel was secured", "stronger",
              "BadSecurityChecksFailed"},
             {"a stronger endpoint but the policy asked for", "asked", ""}});
    }

    void createSessionAnswersMustProveTheEndpointsCertificate()
    {
        QFETCH(QString, change);
        QFETCH(QString, error);
        const pki::Certificate own = clientCertificate();
        const SecuredEndpoint secured{securedEndpoint(),
                                      {m_serverCertificate, {own, m_serverKey, {}, {}}}};
        const auto& policy = security::securityPolicy(secured.endpoint.securityPolicyUri.str());
        const ByteBuffer nonce(32, 0x5a);
        const ByteBuffer otherNonce(32, 0xa5);

        CreateSessionResponse response;
        response.serverCertificate = ByteString(m_serverCertificate.der());
        const ByteBuffer& signedCertificate =
            change == "signed" ? m_serverCertificate.der() : own.der();
        response.serverSignature = security::sessionSignature(
            policy, m_serverKey.get(), signedCertificate, change == "nonce" ? otherNonce : nonce);
        if (change == "chain") {
            ByteBuffer chain = m_serverCertificate.der();
            chain.insert(chain.end(), own.der().begin(), own.der().end());
            response.serverCertificate = ByteString(chain);
        } else if (change == "certificate") {
            response.serverCertificate = ByteString(own.der());
        } else if (change == "unsigned") {
            response.serverSignature = SignatureData{};
        }
        // As servers are asked to: without the certificates.
        EndpointDescription named = secured.endpoint;
        named.serverCertificate = ByteString();
        response.serverEndpoints = {named};
        if (change == "endpoints")
            response.serverEndpoints.clear();
        SecuritySettings settings;
        settings.mode = secured.endpoint.securityMode;
        settings.policy = change == "stronger" ? "" : "Basic256Sha256";
        if (change == "stronger" || change == "asked") {
            response.serverEndpoints.push_back(
                endpointsFrom("SignAndEncrypt/Aes256_Sha256_RsaPss")[0]);
        }
        try {
            checkCreatedSession(secured, response, nonce, settings);
            QVERIFY2(error.isEmpty(), "the answer was accepted");
        } catch (const Error& e) {
            QCOMPARE(QString::fromStdString(statusName(e.status())), error);
        }
    }

private:
    struct ChangeRow
    {
        const char* name;
        const char* change; // to what the server shows
        const char* error;  // the status name it brings; empty: accepted
    };

    static void addChangeRows(std::initializer_list<ChangeRow> rows)
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("error");
        for (const ChangeRow& row : rows)
            QTest::newRow(row.name) << QString(row.change) << QString(row.error);
    }

    // Another certificate with the server's key: what is signed tells the two apart.
    pki::Certificate clientCertificate() const
    {
        pki::CertificateProfile profile = serverProfile();
        profile.commonName = "client";
        profile.applicationUri = kIdentity.applicationUri;
        return pki::issueCertificate(profile, m_serverKey);
    }

    EndpointDescription securedEndpoint() const
    {
        EndpointDescription endpoint = endpointsFrom("SignAndEncrypt/Basic256Sha256").front();
        endpoint.server.applicationUri = String("urn:test:server");
        endpoint.serverCertificate = ByteString(m_serverCertificate.der());
        return endpoint;
    }

    const pki::ApplicationIdentity kIdentity{"servo-panel", "Test", "urn:test-host:servo-panel",
                                             "test-host"};
    const pki::TimePoint kNow = utc(2026, 6, 1);
    ManualClock m_clock{DateTime::fromTimePoint(kNow)};
    pki::PrivateKey m_serverKey = pki::PrivateKey::generateRsa(2048);
    pki::Certificate m_serverCertificate = pki::issueCertificate(serverProfile(), m_serverKey);
};

QTEST_GUILESS_MAIN(TestClientSecurity)
#include "tst_clientsecurity.moc"
