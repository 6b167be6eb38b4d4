#pragma once

#include "Wire/JSONValue.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Shared by the fuzz targets: a failed check prints what broke and aborts, which libFuzzer
// reports as a crash with the input saved, and which fails the corpus replay test.
#define NBD_FUZZ_CHECK(condition, what)                                                                                \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            ::nbd::fuzz::fail(__FILE__, __LINE__, #condition, what);                                                  \
    } while (false)

namespace nbd::fuzz {

[[noreturn]] inline void fail(const char *file, int line, const char *condition, const QString &what)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n  %s\n", file, line, condition, what.toUtf8().constData());
    std::fflush(stderr);
    std::abort();
}

[[noreturn]] inline void fail(const char *file, int line, const char *condition, const char *what)
{
    fail(file, line, condition, QString::fromUtf8(what));
}

inline QByteArrayView bytes(const uint8_t *data, size_t size)
{
    return QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size));
}

// Targets that touch QObjects (timers, deferred calls) need an application object.
inline void ensureCoreApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "nbd-fuzz";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv); // lives as long as the process
}

// Whether any number inside the value is NaN or infinite.
inline bool holdsNonFinite(const JSONValue &value)
{
    if (const auto n = value.number())
        return !std::isfinite(*n);
    for (const auto &m : value.members())
        if (holdsNonFinite(m.value))
            return true;
    for (const auto &e : value.elements())
        if (holdsNonFinite(e))
            return true;
    return false;
}

inline QString compact(const JSONValue &value)
{
    return QString::fromUtf8(value.prettyPrinted());
}

} // namespace nbd::fuzz
