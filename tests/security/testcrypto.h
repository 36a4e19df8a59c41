#pragma once

#include "opcua/security/openssl.h"
#include "opcua/security/policy.h"
#include "opcua/statuscodes.h"
#include "opcua/types.h"
#include "tests/opcua/testbytes.h"

#include <QString>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdexcept>
#include <string>
#include <utility>

// Helpers for the security tests: policies by name, RSA keys and the status a call throws.
namespace testcrypto {

inline const opcua::security::SecurityPolicy& policyNamed(const QString& name)
{
    return opcua::security::securityPolicy(
        ("http://opcfoundation.org/UA/SecurityPolicy#" + name).toStdString());
}

inline opcua::ssl::Pkey newRsaKey(unsigned bits)
{
    opcua::ssl::Pkey key(EVP_RSA_gen(bits));
    if (!key)
        throw std::runtime_error("RSA key generation failed");
    return key;
}

// The public half of a key alone, as a peer's certificate gives it, so that no test leans on a
// peer's private key by mistake.
inline opcua::ssl::Pkey publicHalf(EVP_PKEY* key)
{
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(key, &der);
    const unsigned char* read = der;
    opcua::ssl::Pkey out(size > 0 ? d2i_PUBKEY(nullptr, &read, size) : nullptr);
    OPENSSL_free(der);
    if (!out)
        throw std::runtime_error("cannot copy the public key");
    return out;
}

// The name of the status `call` throws, or "Good", so that a mismatch reads plainly.
template <class Call> std::string statusOf(Call&& call)
{
    return opcua::statusName(testbytes::failureOf(std::forward<Call>(call)));
}

} // namespace testcrypto
