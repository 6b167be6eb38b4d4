#pragma once

#include "Session/Transcript.h"
#include "UI/Conversation/BlockContent.h"

#include <QWidget>

#include <optional>

class QLabel;
class QVBoxLayout;

namespace nbd {

class Spinner;
class ChevronView;
class ElidedLabel;
class IconView;
class RowHeaderButton;

// One tool call of an agent turn: a single line (status icon, title, argument preview, status
// word, chevron) that opens into the host's presentation card, or into the plain arguments and
// result when the call carries no presentation.
class ToolCallChip : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool expanded READ isExpanded)
public:
    static constexpr int kPreviewLimit = 88;

    explicit ToolCallChip(const BlockItem &block, bool expanded = false, QWidget *parent = nullptr);

    // ---- Derived from the block ----
    static std::optional<JSONValue> presentation(const BlockItem &block);
    static QString presentationTitle(const BlockItem &block);
    static std::optional<QString> statusLabel(const BlockItem &block);
    static QString argumentsPreview(const QString &arguments);
    static QString toolIcon(const BlockItem &block);
    // The plain detail: "参数" with the pretty arguments, then a rule and "结果".
    static void fillPlainDetail(QVBoxLayout *column, const QString &arguments, const std::optional<QString> &result,
                                bool isError);

    const BlockItem &block() const { return m_block; }
    void setBlock(const BlockItem &block);
    bool isExpanded() const { return m_expanded; }
    void setExpanded(bool expanded, bool animated = false);
    bool isHovered() const { return m_hovered; }
    QWidget *detail() const { return m_detail; }
    RowHeaderButton *header() const { return m_header; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

Q_SIGNALS:
    void expandedChanged(bool expanded);

protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void refreshHeader();
    void rebuildDetail();

    BlockItem m_block;
    bool m_expanded = false;
    bool m_hovered = false;
    QVBoxLayout *m_column;
    RowHeaderButton *m_header;
    Spinner *m_spinner;
    IconView *m_icon;
    ElidedLabel *m_title;
    ElidedLabel *m_preview;
    QLabel *m_status;
    ChevronView *m_chevron;
    QWidget *m_detail = nullptr;
    std::optional<ToolCardInput> m_detailInput;
};

} // namespace nbd
