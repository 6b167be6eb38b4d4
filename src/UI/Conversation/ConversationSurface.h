#pragma once

#include <QString>

namespace nbd {

// What the session view shows under its header: the transcript or the trajectory.
enum class ConversationSurface { chat, trajectory };

inline QString conversationSurfaceRawValue(ConversationSurface surface)
{
    return surface == ConversationSurface::chat ? QStringLiteral("chat") : QStringLiteral("trajectory");
}

inline QString conversationSurfaceLabel(ConversationSurface surface)
{
    return surface == ConversationSurface::chat ? QStringLiteral("对话") : QStringLiteral("轨迹");
}

inline constexpr ConversationSurface allConversationSurfaces[] = {ConversationSurface::chat, ConversationSurface::trajectory};

} // namespace nbd
