#pragma once

#include <QString>
#include <QStringView>

#include <array>
#include <optional>

namespace nbd {

// The run inspector's two panels, in picker order.
enum class RuntimeInspectorPanel { Runtime, Event };

inline constexpr std::array<RuntimeInspectorPanel, 2> kAllRuntimeInspectorPanels{RuntimeInspectorPanel::Runtime,
                                                                                 RuntimeInspectorPanel::Event};

inline QString rawValue(RuntimeInspectorPanel panel)
{
    return panel == RuntimeInspectorPanel::Event ? QStringLiteral("event") : QStringLiteral("runtime");
}

// Nothing for any word but the two raw values.
inline std::optional<RuntimeInspectorPanel> runtimeInspectorPanel(QStringView raw)
{
    if (raw == u"runtime")
        return RuntimeInspectorPanel::Runtime;
    if (raw == u"event")
        return RuntimeInspectorPanel::Event;
    return std::nullopt;
}

} // namespace nbd
