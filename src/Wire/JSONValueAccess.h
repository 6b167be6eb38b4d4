#pragma once

// How JSONValue keeps its objects and arrays, for the value itself and for the parser that
// builds them in place. Not for use outside the wire layer.
#include "Wire/JSONValue.h"

#include <new>

namespace nbd {

// Objects and arrays live in one allocation each: a reference count, a length and the
// items inline. The parser knows the length before it allocates, so nothing is resized.
struct JSONValue::Shared
{
    std::atomic<int> ref{1};
    qsizetype size = 0;
};

struct JSONValue::ObjectData : JSONValue::Shared
{
    JSONMember *items() { return reinterpret_cast<JSONMember *>(this + 1); }
    const JSONMember *items() const { return reinterpret_cast<const JSONMember *>(this + 1); }

    static ObjectData *allocate(qsizetype count)
    {
        static_assert(sizeof(ObjectData) % alignof(JSONMember) == 0);
        void *raw = ::operator new(sizeof(ObjectData) + sizeof(JSONMember) * size_t(count));
        auto *data = new (raw) ObjectData;
        data->size = 0;
        return data;
    }
    void destroy()
    {
        std::destroy_n(items(), size);
        this->~ObjectData();
        ::operator delete(this);
    }
};

struct JSONValue::ArrayData : JSONValue::Shared
{
    JSONValue *items() { return reinterpret_cast<JSONValue *>(this + 1); }
    const JSONValue *items() const { return reinterpret_cast<const JSONValue *>(this + 1); }

    static ArrayData *allocate(qsizetype count)
    {
        static_assert(sizeof(ArrayData) % alignof(JSONValue) == 0);
        void *raw = ::operator new(sizeof(ArrayData) + sizeof(JSONValue) * size_t(count));
        auto *data = new (raw) ArrayData;
        data->size = 0;
        return data;
    }
    void destroy()
    {
        std::destroy_n(items(), size);
        this->~ArrayData();
        ::operator delete(this);
    }
};

struct JSONValueAccess
{
    static JSONValue fromObject(JSONValue::ObjectData *data)
    {
        JSONValue v;
        v.m_type = JSONValue::Type::Object;
        v.m_shared = data;
        return v;
    }
    static JSONValue fromArray(JSONValue::ArrayData *data)
    {
        JSONValue v;
        v.m_type = JSONValue::Type::Array;
        v.m_shared = data;
        return v;
    }
    static JSONValue::ObjectData *allocateObject(qsizetype n) { return JSONValue::ObjectData::allocate(n); }
    static JSONValue::ArrayData *allocateArray(qsizetype n) { return JSONValue::ArrayData::allocate(n); }

    // Sorts members by key and keeps the last of each repeated key; takes ownership of
    // the moved-in members.
    static JSONValue makeObject(JSONMember *begin, qsizetype count)
    {
        const auto less = [](const JSONMember &a, const JSONMember &b) { return a.key < b.key; };
        if (count <= 16) {
            // Small objects: a stable insertion sort without a temporary buffer.
            for (qsizetype i = 1; i < count; ++i) {
                if (!less(begin[i], begin[i - 1]))
                    continue;
                JSONMember moving = std::move(begin[i]);
                qsizetype j = i;
                for (; j > 0 && less(moving, begin[j - 1]); --j)
                    begin[j] = std::move(begin[j - 1]);
                begin[j] = std::move(moving);
            }
        } else if (!std::is_sorted(begin, begin + count, less)) {
            std::stable_sort(begin, begin + count, less);
        }
        qsizetype unique = 0;
        for (qsizetype i = 0; i < count; ++i) {
            if (i + 1 < count && begin[i].key == begin[i + 1].key)
                continue; // a later duplicate follows: it wins
            ++unique;
        }
        auto *data = JSONValue::ObjectData::allocate(unique);
        JSONMember *out = data->items();
        for (qsizetype i = 0; i < count; ++i) {
            if (i + 1 < count && begin[i].key == begin[i + 1].key)
                continue;
            new (out + data->size) JSONMember{std::move(begin[i].key), std::move(begin[i].value)};
            ++data->size;
        }
        return fromObject(data);
    }
    static JSONValue makeArray(JSONValue *begin, qsizetype count)
    {
        auto *data = JSONValue::ArrayData::allocate(count);
        for (qsizetype i = 0; i < count; ++i) {
            new (data->items() + i) JSONValue(std::move(begin[i]));
            ++data->size;
        }
        return fromArray(data);
    }
    static const JSONValue::ObjectData *object(const JSONValue &v)
    {
        return static_cast<const JSONValue::ObjectData *>(v.m_shared);
    }
    static const JSONValue::ArrayData *array(const JSONValue &v)
    {
        return static_cast<const JSONValue::ArrayData *>(v.m_shared);
    }
};

} // namespace nbd
