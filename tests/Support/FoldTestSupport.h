#pragma once

#include "EventBuilders.h"
#include "FoldDump.h"
#include "Session/TranscriptFold.h"

#include <QByteArrayView>

#include <optional>
#include <utility>
#include <vector>

namespace nbd::test {

// Events as a JSON array; an element's "view" member is the tool view that came with it.
inline std::vector<std::pair<SessionEvent, std::optional<JSONValue>>> eventsWithViews(QByteArrayView json)
{
    std::vector<std::pair<SessionEvent, std::optional<JSONValue>>> out;
    const JSONValue list = parseJSON(json);
    const std::vector<SessionEvent> events = eventsFromJson(json);
    for (size_t i = 0; i < events.size(); ++i) {
        std::optional<JSONValue> view;
        if (const JSONValue *v = list.elements()[i].find(u"view"))
            view = *v;
        out.emplace_back(events[i], view);
    }
    return out;
}

inline void foldJson(QByteArrayView json, FoldState &state)
{
    for (const auto &[event, view] : eventsWithViews(json))
        TranscriptFold::fold(event, view, state);
}

inline FoldState foldJson(QByteArrayView json)
{
    FoldState state;
    foldJson(json, state);
    return state;
}

} // namespace nbd::test
