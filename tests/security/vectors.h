#pragma once

#include "opcua/security/openssl.h"
#include "opcua/security/policy.h"
#include "opcua/types.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <openssl/pem.h>
#include <stdexcept>

// The bytes node-opcua produced for the security tests, kept in vectors.json (written by
// make_vectors.mjs): one array of vectors per group, each an object with a row name, byte strings
// as hex, and the names of the keys it uses.
namespace vectors {

inline QJsonObject all()
{
    QFile file(QStringLiteral(SECURITY_TEST_VECTORS));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + file.fileName().toStdString());
    return QJsonDocument::fromJson(file.readAll()).object();
}

// One data row per vector of `group`, in a column "vector".
inline void addRows(const char* group)
{
    QTest::addColumn<QJsonObject>("vector");
    for (const QJsonValue vector : all()[group].toArray())
        QTest::newRow(qPrintable(vector["name"].toString())) << vector.toObject();
}

inline opcua::ByteBuffer bytes(const QJsonValue& hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex.toString().toLatin1());
    return opcua::ByteBuffer(bytes.begin(), bytes.end());
}

inline const opcua::security::SecurityPolicy& policy(const QJsonObject& vector)
{
    return opcua::security::securityPolicy(vector["policyUri"].toString().toStdString());
}

// The private key of that name: "key2048" or "key4096".
inline opcua::ssl::Pkey key(const QJsonValue& name)
{
    const QByteArray pem = all()["keys"][name.toString()].toString().toLatin1();
    const opcua::ssl::Bio bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    opcua::ssl::Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key)
        throw std::runtime_error("unreadable test key " + name.toString().toStdString());
    return key;
}

} // namespace vectors
