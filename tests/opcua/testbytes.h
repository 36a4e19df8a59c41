#pragma once

#include "opcua/statuscodes.h"
#include "opcua/types.h"

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaType>
#include <QString>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>

// Byte helpers for the protocol tests: expected encodings are written as lists of byte values,
// one field a line, and compared as hex text so that a mismatch shows where it starts.
namespace testbytes {

inline opcua::ByteBuffer bytes(std::initializer_list<int> values)
{
    opcua::ByteBuffer out;
    out.reserve(values.size());
    for (int v : values)
        out.push_back(uint8_t(v));
    return out;
}

inline opcua::ByteBuffer concat(std::initializer_list<opcua::ByteBuffer> parts)
{
    opcua::ByteBuffer out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline QString hex(opcua::ByteView data)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(data.data()), qsizetype(data.size())).toHex(' '));
}

inline QByteArray toQByteArray(opcua::ByteView data)
{
    return QByteArray(reinterpret_cast<const char*>(data.data()), qsizetype(data.size()));
}

inline opcua::ByteBuffer fromQByteArray(const QByteArray& data)
{
    return opcua::ByteBuffer(data.begin(), data.end());
}

// The bytes of an Int32 length or UInt32, little-endian.
inline opcua::ByteBuffer u32(uint32_t v)
{
    return bytes({int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF), int(v >> 24)});
}

// A String's encoding: length then the UTF-8 bytes.
inline opcua::ByteBuffer str(std::string_view s)
{
    opcua::ByteBuffer out = u32(uint32_t(s.size()));
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

// A committed JSON file of bytes a peer produced. Throws when it is missing or broken, so that a
// test fails instead of running with no rows.
inline QJsonObject readJsonFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        throw std::runtime_error("not a JSON object: " + path.toStdString());
    return document.object();
}

// What a protocol error thrown by `action` says; Good and no text when it throws none. Checks
// of refused input compare the status, so that the right error for the wrong reason fails.
struct Failure
{
    opcua::StatusCode status = opcua::status::Good;
    QString text;
};

template <class Action> Failure failure(Action&& action)
{
    try {
        action();
    } catch (const opcua::Error& e) {
        return {e.status(), QString::fromStdString(e.what())};
    }
    return {};
}

template <class Action> opcua::StatusCode failureOf(Action&& action)
{
    return failure(std::forward<Action>(action)).status;
}

// The name of the status `action` throws, or "Good", for tables that list statuses by name.
template <class Action> std::string statusOf(Action&& action)
{
    return opcua::statusName(failureOf(std::forward<Action>(action)));
}

} // namespace testbytes

namespace opcua {

// Lets QCOMPARE name the status codes it compares.
inline char* toString(const StatusCode& code)
{
    return qstrdup(statusName(code).c_str());
}

} // namespace opcua

Q_DECLARE_METATYPE(opcua::ByteBuffer)
Q_DECLARE_METATYPE(opcua::Variant)
Q_DECLARE_METATYPE(opcua::StatusCode)
