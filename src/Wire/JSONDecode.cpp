#include "Wire/JSONDecode.h"

namespace nbd::json {

void keyNotFound(QStringView key)
{
    throw DecodingError(QStringLiteral("key \"%1\" not found").arg(key.toString()));
}

void wrongType(QStringView key, const char *expected)
{
    throw DecodingError(QStringLiteral("key \"%1\": expected %2").arg(key.toString(), QString::fromLatin1(expected)));
}

void notAnObject(const char *what)
{
    throw DecodingError(what ? QStringLiteral("expected %1 to be an object").arg(QString::fromLatin1(what))
                             : QStringLiteral("expected an object"));
}

const JSONValue &expectObject(const JSONValue &value, const char *what)
{
    if (!value.isObject())
        notAnObject(what);
    return value;
}

const JSONValue &member(const JSONValue &object, QStringView key)
{
    if (!object.isObject())
        notAnObject();
    const JSONValue *v = object.find(key);
    if (!v)
        keyNotFound(key);
    return *v;
}

const JSONValue &required(const JSONValue &object, QStringView key)
{
    const JSONValue &v = member(object, key);
    if (v.isNull())
        keyNotFound(key);
    return v;
}

const JSONValue *optionalMember(const JSONValue &object, QStringView key)
{
    if (!object.isObject())
        notAnObject();
    const JSONValue *v = object.find(key);
    if (!v || v->isNull())
        return nullptr;
    return v;
}

QString string(const JSONValue &object, QStringView key)
{
    const JSONValue &v = required(object, key);
    if (const QString *s = v.stringPtr())
        return *s;
    wrongType(key, "a string");
}

double number(const JSONValue &object, QStringView key)
{
    const JSONValue &v = required(object, key);
    if (auto n = v.number())
        return *n;
    wrongType(key, "a number");
}

qint64 integer(const JSONValue &object, QStringView key)
{
    const JSONValue &v = required(object, key);
    if (auto n = v.toInt())
        return *n;
    wrongType(key, "an integer");
}

bool boolean(const JSONValue &object, QStringView key)
{
    const JSONValue &v = required(object, key);
    if (auto b = v.boolean())
        return *b;
    wrongType(key, "a boolean");
}

const JSONValue &object(const JSONValue &obj, QStringView key)
{
    const JSONValue &v = required(obj, key);
    if (!v.isObject())
        wrongType(key, "an object");
    return v;
}

const JSONValue &array(const JSONValue &obj, QStringView key)
{
    const JSONValue &v = required(obj, key);
    if (!v.isArray())
        wrongType(key, "an array");
    return v;
}

std::optional<QString> optString(const JSONValue &obj, QStringView key)
{
    const JSONValue *v = optionalMember(obj, key);
    if (!v)
        return std::nullopt;
    if (const QString *s = v->stringPtr())
        return *s;
    wrongType(key, "a string");
}

std::optional<double> optNumber(const JSONValue &obj, QStringView key)
{
    const JSONValue *v = optionalMember(obj, key);
    if (!v)
        return std::nullopt;
    if (auto n = v->number())
        return n;
    wrongType(key, "a number");
}

std::optional<qint64> optInteger(const JSONValue &obj, QStringView key)
{
    const JSONValue *v = optionalMember(obj, key);
    if (!v)
        return std::nullopt;
    if (auto n = v->toInt())
        return n;
    wrongType(key, "an integer");
}

std::optional<bool> optBoolean(const JSONValue &obj, QStringView key)
{
    const JSONValue *v = optionalMember(obj, key);
    if (!v)
        return std::nullopt;
    if (auto b = v->boolean())
        return b;
    wrongType(key, "a boolean");
}

std::optional<JSONValue> optValue(const JSONValue &obj, QStringView key)
{
    const JSONValue *v = optionalMember(obj, key);
    if (!v)
        return std::nullopt;
    return *v;
}

QString asString(const JSONValue &value, QStringView what)
{
    if (const QString *s = value.stringPtr())
        return *s;
    throw DecodingError(QStringLiteral("expected %1 to be a string").arg(what.toString()));
}

qint64 asInteger(const JSONValue &value, QStringView what)
{
    if (auto n = value.toInt())
        return *n;
    throw DecodingError(QStringLiteral("expected %1 to be an integer").arg(what.toString()));
}

double Decoder<double>::decode(const JSONValue &value)
{
    if (auto n = value.number())
        return *n;
    throw DecodingError(QStringLiteral("expected a number"));
}

bool Decoder<bool>::decode(const JSONValue &value)
{
    if (auto b = value.boolean())
        return *b;
    throw DecodingError(QStringLiteral("expected a boolean"));
}

} // namespace nbd::json
