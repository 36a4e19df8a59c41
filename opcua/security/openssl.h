#pragma once

#include "opcua/statuscodes.h"

#include <memory>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <string>

// Owning handles for the OpenSSL objects the security code uses, so that every path, the
// failing ones included, frees what it made.
namespace opcua::ssl {

template <auto Free> struct Deleter
{
    template <class T> void operator()(T* p) const { Free(p); }
};

using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using Cipher = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using Mac = std::unique_ptr<EVP_MAC, Deleter<EVP_MAC_free>>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, Deleter<EVP_MAC_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using X509Crl = std::unique_ptr<X509_CRL, Deleter<X509_CRL_free>>;
using X509Store = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using X509StoreCtx = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using GeneralNames = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES_free>>;

// Overwrites a buffer that held a secret (key bytes, a password) when it goes out of scope, on
// every path out, exceptions included, so that the memory freed does not keep the secret.
template <class Buffer> class Wiped
{
public:
    explicit Wiped(Buffer& buffer) : m_buffer(buffer) {}
    ~Wiped() { OPENSSL_cleanse(m_buffer.data(), m_buffer.size()); }
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;

private:
    Buffer& m_buffer;
};

// The oldest error on this thread's OpenSSL error queue as text, and the queue emptied, so
// that one failure is not reported again with the next.
std::string lastError();

// Throws an opcua::Error, or the kind of it given, with the status and `what` followed by the
// OpenSSL error that caused it, taken off the queue.
template <class Failure = Error> [[noreturn]] void fail(StatusCode status, const std::string& what)
{
    throw Failure(status, what + " (OpenSSL: " + lastError() + ")");
}

} // namespace opcua::ssl
