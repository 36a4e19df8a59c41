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
#include <fstream>

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
// them. A policy of another system is given by its full URI.
std::vector<EndpointDescription> endpointsFrom(const QString& list)
{
    std::vector<EndpointDescription> endpoints;
    for (const QString& entry : list.split(", ", Qt::SkipEmptyParts)) {
        const QStringList parts = entry.split('/');
        EndpointDescription endpoint;
        endpoint.securityMode = modeNamed(parts[0]);
        const std::string policy = parts.mid(1).join('/').toStdString();
        endpoint.securityPolicyUri =
            String(policy.find(':') == std::string::npos ? kPolicyPrefix + policy : policy);
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

} // namespace

class TestClientSecurity : public QObject
{
    Q_OBJECT
private slots:

    void endpointChoice_data()
    {
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("policy"); // empty: the strongest offered
        QTest::addColumn<int>("chosen");     // index into offered, or -1
        QTest::addColumn<QString>("error");  // the status name when none is chosen

        const QString all = "None/None, Sign/Basic256Sha256, SignAndEncrypt/Basic256Sha256, "
                            "Sign/Aes256_Sha256_RsaPss, SignAndEncrypt/Aes256_Sha256_RsaPss, "
                            "SignAndEncrypt/Aes128_Sha256_RsaOaep";
        QTest::newRow("None") << all << "None"
                              << "" << 0 << "";
        QTest::newRow("mode and policy as asked") << all << "SignAndEncrypt"
                                                  << "Aes128_Sha256_RsaOaep" << 5 << "";
        QTest::newRow("the same policy in the other mode") << all << "Sign"
                                                           << "Basic256Sha256" << 1 << "";
        QTest::newRow("strongest for Sign") << all << "Sign"
                                            << "" << 3 << "";
        QTest::newRow("strongest for SignAndEncrypt") << all << "SignAndEncrypt"
                                                      << "" << 4 << "";
        QTest::newRow("strongest falls back in order")
            << "SignAndEncrypt/Aes128_Sha256_RsaOaep, SignAndEncrypt/Basic256Sha256"
            << "SignAndEncrypt"
            << "" << 1 << "";
        QTest::newRow("policies the client does not speak are passed over")
            << "SignAndEncrypt/Basic256, SignAndEncrypt/Basic128Rsa15, "
               "SignAndEncrypt/Aes128_Sha256_RsaOaep"
            << "SignAndEncrypt"
            << "" << 2 << "";
        QTest::newRow("no such mode") << "Sign/Basic256Sha256"
                                      << "SignAndEncrypt"
                                      << "Basic256Sha256" << -1 << "BadSecurityModeRejected";
        QTest::newRow("None asked of a secured server") << "Sign/Basic256Sha256"
                                                        << "None"
                                                        << "" << -1 << "BadSecurityModeRejected";
        QTest::newRow("the mode without the policy")
            << "Sign/Basic256Sha256"
            << "Sign"
            << "Aes256_Sha256_RsaPss" << -1 << "BadSecurityPolicyRejected";
        QTest::newRow("the mode with only policies the client does not speak")
            << "Sign/Basic128Rsa15"
            << "Sign"
            << "" << -1 << "BadSecurityPolicyRejected";
        QTest::newRow("no endpoints") << ""
                                      << "None"
                                      << "" << -1 << "BadSecurityModeRejected";
    }

    void endpointChoice()
    {
        QFETCH(QString, offered);
        QFETCH(QString, mode);
        QFETCH(QString, policy);
        QFETCH(int, chosen);
        QFETCH(QString, error);
        const auto endpoints = endpointsFrom(offered);
        SecuritySettings settings;
        settings.mode = modeNamed(mode);
        settings.policy = policy.toStdString();
        try {
            const EndpointDescription& endpoint = chooseEndpoint(endpoints, settings);
            QVERIFY2(chosen >= 0, "an endpoint was chosen");
            QCOMPARE(&endpoint, &endpoints[size_t(chosen)]);
        } catch (const Error& e) {
            QVERIFY2(chosen < 0, e.what());
            QCOMPARE(QString::fromStdString(statusName(e.status())), error);
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
        QTest::addColumn<QString>("mode");           // of the endpoint
        QTest::addColumn<QString>("endpointPolicy"); // of the endpoint
        QTest::addColumn<QString>("tokenPolicy");    // of its UserName token policy; empty: none
        QTest::addColumn<QString>("user");           // empty: anonymous
        QTest::addColumn<QString>("algorithm");      // encryptionAlgorithm; "clear" when none
        QTest::addColumn<QString>("error");          // the status name when nothing is sent

        const QString oaep(security::kRsaOaepUri.data());
        const QString oaep256(security::kRsaOaepSha256Uri.data());
        QTest::newRow("anonymous") << "SignAndEncrypt"
                                   << "Basic256Sha256"
                                   << ""
                                   << ""
                                   << ""
                                   << "";
        QTest::newRow("password encrypted with the token policy") << "None"
                                                                  << "None"
                                                                  << "Basic256Sha256"
                                                                  << "operator" << oaep << "";
        QTest::newRow("the token policy's algorithm, not the endpoint's")
            << "Sign"
            << "Basic256Sha256"
            << "Aes256_Sha256_RsaPss"
            << "operator" << oaep256 << "";
        QTest::newRow("no token policy: the endpoint's") << "SignAndEncrypt"
                                                         << "Aes256_Sha256_RsaPss"
                                                         << "(empty)"
                                                         << "operator" << oaep256 << "";
        QTest::newRow("a clear password inside an encrypted channel") << "SignAndEncrypt"
                                                                      << "Basic256Sha256"
                                                                      << "None"
                                                                      << "operator"
                                                                      << "clear"
                                                                      << "";
        QTest::newRow("refused: a clear password over a channel without security")
            << "None"
            << "None"
            << "None"
            << "operator"
            << ""
            << "BadSecurityModeInsufficient";
        QTest::newRow("refused: a clear password over a channel that only signs")
            << "Sign"
            << "Basic256Sha256"
            << "None"
            << "operator"
            << ""
            << "BadSecurityModeInsufficient";
        QTest::newRow("refused: the endpoint's None when the token names none")
            << "None"
            << "None"
            << "(empty)"
            << "operator"
            << ""
            << "BadSecurityModeInsufficient";
        QTest::newRow("refused: a token policy the client does not speak")
            << "SignAndEncrypt"
            << "Basic256Sha256"
            << "Basic128Rsa15"
            << "operator"
            << ""
            << "BadSecurityPolicyRejected";
        QTest::newRow("refused: the endpoint takes no user names") << "SignAndEncrypt"
                                                                   << "Basic256Sha256"
                                                                   << ""
                                                                   << "operator"
                                                                   << ""
                                                                   << "BadIdentityTokenRejected";
    }

    void identityTokens()
    {
        QFETCH(QString, mode);
        QFETCH(QString, endpointPolicy);
        QFETCH(QString, tokenPolicy);
        QFETCH(QString, user);
        QFETCH(QString, algorithm);
        QFETCH(QString, error);

        EndpointDescription endpoint = endpointsFrom(mode + "/" + endpointPolicy).front();
        endpoint.userIdentityTokens.push_back(
            ::tokenPolicy("anonymous-id", UserTokenType::Anonymous));
        if (!tokenPolicy.isEmpty())
            endpoint.userIdentityTokens.push_back(::tokenPolicy(
                "user-id", UserTokenType::UserName,
                tokenPolicy == "(empty)" ? std::string() : tokenPolicy.toStdString()));
        const ByteBuffer nonce(32, 0x5a);
        const std::string password = "pa55 word";

        ExtensionObject token;
        try {
            token =
                identityToken(endpoint, {user.toStdString(), password}, m_serverKey.get(), nonce);
            QVERIFY2(error.isEmpty(), "a token was made");
        } catch (const Error& e) {
            QVERIFY2(!error.isEmpty(), e.what());
            QCOMPARE(QString::fromStdString(statusName(e.status())), error);
            return;
        }
        if (user.isEmpty()) {
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
        if (algorithm == "clear") {
            QVERIFY(named->encryptionAlgorithm.isEmpty());
            QCOMPARE(std::string(sent.begin(), sent.end()), password);
            return;
        }
        QCOMPARE(QString::fromStdString(named->encryptionAlgorithm.str()), algorithm);
        QVERIFY(std::search(sent.begin(), sent.end(), password.begin(), password.end()) ==
                sent.end());
        const std::string policyUri =
            kPolicyPrefix + (tokenPolicy == "(empty)" ? endpointPolicy : tokenPolicy).toStdString();
        const ByteBuffer decrypted =
            security::decryptUserPassword(security::securityPolicy(policyUri), m_serverKey.get(),
                                          named->encryptionAlgorithm.str(), sent, nonce);
        QCOMPARE(std::string(decrypted.begin(), decrypted.end()), password);
    }

    void aServerCertificateIsTrustedOnceMovedFromRejectedToTrusted()
    {
        QTemporaryDir dir;
        const pki::PkiFolder folder(dir.path().toStdString());
        const EndpointDescription endpoint = securedEndpoint();

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
        // No restart: the next attempt reads the folder afresh.
        const auto certificates = connectionCertificates(endpoint, folder, kIdentity, m_clock);
        QVERIFY(certificates.server == m_serverCertificate);
        QVERIFY(certificates.own.key.matches(certificates.own.certificate));
        QCOMPARE(certificates.own.certificate.applicationUri(), kIdentity.applicationUri);
        // The own certificate is made once and then kept.
        QVERIFY(connectionCertificates(endpoint, folder, kIdentity, m_clock).own.certificate ==
                certificates.own.certificate);
    }

    void trustedServerCertificatesMustStillFit_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("error");
        QTest::newRow("another application URI") << "uri"
                                                 << "BadCertificateUriInvalid";
        QTest::newRow("expired") << "late"
                                 << "BadCertificateTimeInvalid";
        QTest::newRow("no certificate") << "none"
                                        << "BadCertificateInvalid";
    }

    void trustedServerCertificatesMustStillFit()
    {
        QFETCH(QString, change);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const pki::PkiFolder folder(dir.path().toStdString());
        folder.create();
        const ByteBuffer& der = m_serverCertificate.der();
        std::ofstream(folder.path(pki::Store::TrustedCerts) / "server.der", std::ios::binary)
            .write(reinterpret_cast<const char*>(der.data()), std::streamsize(der.size()));
        EndpointDescription endpoint = securedEndpoint();
        const ManualClock clock(DateTime::fromTimePoint(change == "late" ? utc(2027, 6, 1) : kNow));
        if (change == "uri")
            endpoint.server.applicationUri = String("urn:test:impostor");
        else if (change == "none")
            endpoint.serverCertificate = ByteString();
        try {
            connectionCertificates(endpoint, folder, kIdentity, clock);
            QFAIL("the certificate was accepted");
        } catch (const Error& e) {
            QCOMPARE(QString::fromStdString(statusName(e.status())), error);
        }
    }

    // The server proves it holds the endpoint's certificate by signing ours and our nonce.
    void createSessionAnswersMustProveTheEndpointsCertificate_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("error"); // empty: accepted
        QTest::newRow("as the server should answer") << ""
                                                     << "";
        QTest::newRow("the certificate followed by its issuer") << "chain"
                                                                << "";
        QTest::newRow("another certificate") << "certificate"
                                             << "BadCertificateInvalid";
        QTest::newRow("signed over another nonce") << "nonce"
                                                   << "BadApplicationSignatureInvalid";
        QTest::newRow("signed over its own certificate") << "signed"
                                                         << "BadApplicationSignatureInvalid";
        QTest::newRow("no signature") << "unsigned"
                                      << "BadApplicationSignatureInvalid";
        QTest::newRow("the chosen endpoint left out of its endpoints") << "endpoints"
                                                                       << "BadSecurityChecksFailed";
        QTest::newRow("a stronger endpoint hidden before the channel was secured")
            << "stronger"
            << "BadSecurityChecksFailed";
        QTest::newRow("a stronger endpoint but the policy asked for") << "asked"
                                                                      << "";
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
