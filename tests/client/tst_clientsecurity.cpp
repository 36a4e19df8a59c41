// Which of a server's endpoints the client takes for the security asked of it, when it trusts
// the endpoint's certificate, and the identity token it sends: anonymous, or a user name whose
// password is encrypted as the server's token policy says and never sent where it would travel
// unencrypted.
#include "opcua/client/clientsecurity.h"
#include "opcua/pki/certificate.h"
#include "opcua/security/policy.h"
#include "opcua/security/sessioncrypto.h"
#include "tests/opcua/testbytes.h"
#include "tests/support/manualclock.h"

#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <filesystem>

using namespace opcua;
using testbytes::statusOf;

namespace {

const std::string kPolicyPrefix = "http://opcfoundation.org/UA/SecurityPolicy#";

// The modes are numbered 1, 2, 3 in this order; Invalid (0) for any other name.
MessageSecurityMode modeNamed(const QString& name)
{
    return MessageSecurityMode(QStringList{"None", "Sign", "SignAndEncrypt"}.indexOf(name) + 1);
}

// "Sign/Basic256Sha256, SignAndEncrypt/Basic256Sha256": endpoints as describeEndpoints shows
// them, over UA-TCP unless a third part names the transport profile's URI (empty for none).
std::vector<EndpointDescription> endpointsFrom(const QString& list)
{
    std::vector<EndpointDescription> endpoints;
    for (const QString& entry : list.split(", ", Qt::SkipEmptyParts)) {
        EndpointDescription endpoint;
        endpoint.securityMode = modeNamed(entry.section('/', 0, 0));
        endpoint.securityPolicyUri = String(kPolicyPrefix + entry.section('/', 1, 1).toStdString());
        endpoint.transportProfileUri =
            String(entry.count('/') < 2 ? std::string(kTransportProfileUaTcp)
                                        : entry.section('/', 2).toStdString());
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
    {"endpoints of another transport are passed over",
     "Sign/Basic256Sha256/http://opcfoundation.org/UA-Profile/Transport/https-uabinary, "
     "Sign/Basic256Sha256/",
     "Sign", "", 1, ""},
};

// The identity token sent to an endpoint that offers an anonymous token policy and, perhaps, a
// UserName one.
struct IdentityCase
{
    const char* name;
    const char* endpoint;    // mode/policy
    const char* tokenPolicy; // of its UserName token policy: nullptr for none, "" naming none
    const char* user;        // empty: anonymous
    const char* algorithm;   // encryptionAlgorithm; empty for a clear password
    const char* error;       // the status name; Good when a token is sent
};

constexpr const char* kOaep = security::kRsaOaepUri.data();
constexpr const char* kOaep256 = security::kRsaOaepSha256Uri.data();

constexpr IdentityCase kIdentityCases[] = {
    {"anonymous", "SignAndEncrypt/Basic256Sha256", nullptr, "", "", "Good"},
    {"password encrypted with the token policy", "None/None", "Basic256Sha256", "operator", kOaep,
     "Good"},
    {"the token policy's algorithm, not the endpoint's", "Sign/Basic256Sha256",
     "Aes256_Sha256_RsaPss", "operator", kOaep256, "Good"},
    {"no token policy: the endpoint's", "SignAndEncrypt/Aes256_Sha256_RsaPss", "", "operator",
     kOaep256, "Good"},
    {"a clear password inside an encrypted channel", "SignAndEncrypt/Basic256Sha256", "None",
     "operator", "", "Good"},
    {"refused: a clear password over a channel that only signs", "Sign/Basic256Sha256", "None",
     "operator", "", "BadSecurityModeInsufficient"},
    {"refused: the endpoint's None when the token names none", "None/None", "", "operator", "",
     "BadSecurityModeInsufficient"},
    {"refused: a token policy the client does not speak", "SignAndEncrypt/Basic256Sha256",
     "Basic128Rsa15", "operator", "", "BadSecurityPolicyRejected"},
    {"refused: the endpoint takes no user names", "SignAndEncrypt/Basic256Sha256", nullptr,
     "operator", "", "BadIdentityTokenRejected"},
};

// What the server shows changed from what it should, and the status name that brings.
struct ChangeRow
{
    const char* name;
    const char* change;
    const char* error;
};

// An untrusted certificate, and the ways the operator's trusted one may still not fit. Without
// security the certificate serves the password's encryption, with its token policy's key lengths.
constexpr ChangeRow kCertificateChanges[] = {
    {"as trusted", "", "Good"},
    {"another application URI", "uri", "BadCertificateUriInvalid"},
    {"expired", "late", "BadCertificateTimeInvalid"},
    {"no certificate", "none", "BadCertificateInvalid"},
    {"no security, a user token policy that encrypts", "user", "Good"},
    {"no security, a user token policy that does not", "clear", "BadSecurityModeInsufficient"},
    {"replaced by another of the same application", "replaced", "BadCertificateUntrusted"},
};

// A server's answer to CreateSession.
constexpr ChangeRow kSessionChanges[] = {
    {"as the server should answer", "", "Good"},
    {"the certificate followed by its issuer", "chain", "Good"},
    {"another certificate", "certificate", "BadCertificateInvalid"},
    {"signed over another nonce", "nonce", "BadApplicationSignatureInvalid"},
    {"signed over its own certificate", "signed", "BadApplicationSignatureInvalid"},
    {"the chosen endpoint left out of its endpoints", "endpoints", "BadSecurityChecksFailed"},
    {"a stronger endpoint hidden before the channel was secured", "stronger",
     "BadSecurityChecksFailed"},
    {"a stronger endpoint but the policy asked for", "asked", "Good"},
};

template <class Row, size_t N> void addRows(const Row (&rows)[N])
{
    QTest::addColumn<Row>("row");
    for (const Row& row : rows)
        QTest::newRow(row.name) << row;
}

} // namespace

Q_DECLARE_METATYPE(EndpointCase)
Q_DECLARE_METATYPE(IdentityCase)
Q_DECLARE_METATYPE(ChangeRow)

class TestClientSecurity : public QObject
{
    Q_OBJECT
private slots:

    void endpointChoice_data() { addRows(kEndpointCases); }

    void endpointChoice()
    {
        QFETCH(EndpointCase, row);
        const QString offered = row.offered;
        const auto endpoints = endpointsFrom(offered);
        SecuritySettings settings;
        settings.mode = modeNamed(row.mode);
        settings.policy = row.policy;
        const EndpointDescription* chosen = nullptr;
        const auto failure =
            testbytes::failure([&] { chosen = &chooseEndpoint(endpoints, settings); });
        QCOMPARE(chosen ? chosen - endpoints.data() : -1, ptrdiff_t(row.chosen));
        if (chosen)
            return;
        QCOMPARE(statusName(failure.status), row.error);
        // The operator is told what there is to choose from.
        QVERIFY2(failure.text.contains(offered.isEmpty() ? QString("no endpoints at all")
                                                         : "it offers: " + offered.left(20)),
                 qPrintable(failure.text));
    }

    void identityTokens_data() { addRows(kIdentityCases); }

    // Whether a server reads the encrypted password back is shown by the end-to-end and the
    // interop tests, against this system's server and another make's.
    void identityTokens()
    {
        QFETCH(IdentityCase, row);
        EndpointDescription endpoint = endpointsFrom(row.endpoint).front();
        endpoint.userIdentityTokens.push_back(
            tokenPolicy("anonymous-id", UserTokenType::Anonymous));
        if (row.tokenPolicy)
            endpoint.userIdentityTokens.push_back(
                tokenPolicy("user-id", UserTokenType::UserName, row.tokenPolicy));
        const std::string password = "pa55 word";
        ExtensionObject token;
        const StatusCode status = testbytes::failureOf([&] {
            token = identityToken(endpoint, {row.user, password}, m_serverKey.get(),
                                  ByteBuffer(32, 0x5a));
        });
        QCOMPARE(statusName(status), row.error);
        if (status.isBad())
            return;
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
        QCOMPARE(named->encryptionAlgorithm.str(), row.algorithm);
        const ByteBuffer& sent = named->password.bytes();
        // Encrypted, the password appears nowhere in what is sent; in clear, it is all of it.
        const bool clear =
            std::search(sent.begin(), sent.end(), password.begin(), password.end()) != sent.end();
        QCOMPARE(clear, !*row.algorithm);
        if (clear)
            QCOMPARE(std::string(sent.begin(), sent.end()), password);
    }

    // An untrusted certificate is kept among the rejected ones; once the operator has moved it
    // to the trusted ones it is taken without a restart, for as long as it fits the endpoint.
    void serverCertificatesAreTrustedByTheOperator_data() { addRows(kCertificateChanges); }

    void serverCertificatesAreTrustedByTheOperator()
    {
        QFETCH(ChangeRow, row);
        const QString change = row.change;
        QTemporaryDir dir;
        const pki::PkiFolder folder(dir.path().toStdString());
        EndpointDescription endpoint = securedEndpoint();
        const auto untrusted = testbytes::failure(
            [&] { connectionCertificates(endpoint, folder, kIdentity, m_clock); });
        QCOMPARE(untrusted.status, status::BadCertificateUntrusted);
        const auto kept = folder.path(pki::Store::RejectedCerts) /
                          pki::PkiFolder::rejectedFileName(m_serverCertificate);
        QVERIFY(std::filesystem::exists(kept));
        QVERIFY2(untrusted.text.contains(QString::fromStdString(kept.string())),
                 qPrintable(untrusted.text));
        std::filesystem::rename(kept, folder.path(pki::Store::TrustedCerts) / "server.der");

        const ManualClock clock(DateTime::fromTimePoint(change == "late" ? utc(2027, 6, 1) : kNow));
        if (change == "uri")
            endpoint.server.applicationUri = String("urn:test:impostor");
        else if (change == "none")
            endpoint.serverCertificate = ByteString();
        else if (change == "user" || change == "clear")
            endpoint = withoutSecurity(endpoint, change == "user" ? "Basic256Sha256" : "None");
        const pki::Certificate replacement =
            pki::issueCertificate(serverProfile(), pki::PrivateKey::generateRsa(2048));
        if (change == "replaced")
            endpoint.serverCertificate = ByteString(replacement.der());
        std::optional<ConnectionCertificates> certificates;
        const auto failure = testbytes::failure([&] {
            try {
                certificates = connectionCertificates(endpoint, folder, kIdentity, clock);
            } catch (const ServerCertificateChanged& changed) {
                throw Error(changed.status(), "changed: " + std::string(changed.what()));
            }
        });
        QCOMPARE(statusName(failure.status), row.error);
        QVERIFY(!certificates || certificates->server == m_serverCertificate);
        // The operator is told it is not a first contact, with both thumbprints to compare.
        QCOMPARE(failure.text.startsWith("changed: "), change == "replaced");
        if (change == "replaced") {
            for (const std::string& thumbprint :
                 {m_serverCertificate.thumbprintHex(), replacement.thumbprintHex()})
                QVERIFY2(failure.text.contains(QString::fromStdString(thumbprint)),
                         qPrintable(failure.text));
            QVERIFY(std::filesystem::exists(folder.path(pki::Store::RejectedCerts) /
                                            pki::PkiFolder::rejectedFileName(replacement)));
        }
    }

    // The server proves it holds the endpoint's certificate by signing ours and our nonce.
    void createSessionAnswersMustProveTheEndpointsCertificate_data() { addRows(kSessionChanges); }

    void createSessionAnswersMustProveTheEndpointsCertificate()
    {
        QFETCH(ChangeRow, row);
        const QString change = row.change;
        const pki::Certificate own = clientCertificate();
        const SecuredEndpoint secured{securedEndpoint(),
                                      {m_serverCertificate, {own, m_serverKey, {}, {}}}};
        const ByteBuffer nonce(32, 0x5a);

        CreateSessionResponse response;
        response.serverCertificate = ByteString(m_serverCertificate.der());
        response.serverSignature = security::sessionSignature(
            security::securityPolicy(secured.endpoint.securityPolicyUri.str()), m_serverKey.get(),
            change == "signed" ? m_serverCertificate.der() : own.der(),
            change == "nonce" ? ByteBuffer(32, 0xa5) : nonce);
        if (change == "chain")
            response.serverCertificate =
                ByteString(testbytes::concat({m_serverCertificate.der(), own.der()}));
        else if (change == "certificate")
            response.serverCertificate = ByteString(own.der());
        // As servers are asked to: without the certificates.
        QString named = change == "endpoints" ? "" : "SignAndEncrypt/Basic256Sha256";
        if (change == "stronger" || change == "asked")
            named += ", SignAndEncrypt/Aes256_Sha256_RsaPss";
        response.serverEndpoints = endpointsFrom(named);
        SecuritySettings settings;
        settings.mode = secured.endpoint.securityMode;
        settings.policy = change == "stronger" ? "" : "Basic256Sha256";
        QCOMPARE(statusOf([&] { checkCreatedSession(secured, response, nonce, settings); }),
                 row.error);
    }

private:
    // Another certificate with the server's key: what is signed tells the two apart.
    pki::Certificate clientCertificate() const
    {
        pki::CertificateProfile profile = serverProfile();
        profile.commonName = "client";
        profile.applicationUri = kIdentity.applicationUri;
        return pki::issueCertificate(profile, m_serverKey);
    }

    // The endpoint without security, offering user names with a token policy of `policy`.
    static EndpointDescription withoutSecurity(EndpointDescription endpoint, const char* policy)
    {
        endpoint.securityMode = MessageSecurityMode::None;
        endpoint.securityPolicyUri = String(kPolicyPrefix + "None");
        endpoint.userIdentityTokens = {tokenPolicy("anonymous-id", UserTokenType::Anonymous),
                                       tokenPolicy("user-id", UserTokenType::UserName, policy)};
        return endpoint;
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
