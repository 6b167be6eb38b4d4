#pragma once

#include "Session/Transcript.h"

#include <QWidget>

class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace nbd {

class ChevronView;
class ElidedLabel;
class IconView;
class RowHeaderButton;
class SymbolButton;

// One notice of the transcript: icon, title and detail on a header line that, when the notice
// carries a payload, opens into a bounded preview of it with its size and a copy button.
class NoticeRow : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool expanded READ isExpanded)
public:
    static constexpr int kPayloadPreviewLimit = 16000;
    static constexpr int kPreviewMaxHeight = 220;

    NoticeRow(const NoticeItem &notice, bool expanded = false, int payloadPreviewLimit = kPayloadPreviewLimit,
              QWidget *parent = nullptr);

    static bool isToolOutputNotice(const NoticeItem &notice);
    static QColor tintColor(NoticeTint tint);
    // "<shown> / <total> 字符" in the locale's integer format.
    static QString sizeLabel(const QString &payload, int previewLimit);

    const NoticeItem &notice() const { return m_notice; }
    void setNotice(const NoticeItem &notice);
    bool isExpanded() const { return m_expanded; }
    void setExpanded(bool expanded, bool animated = false);
    RowHeaderButton *header() const { return m_header; }
    QLabel *preview() const { return m_preview; }
    QLabel *sizeText() const { return m_size; }
    SymbolButton *copyButton() const { return m_copy; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

Q_SIGNALS:
    void expandedChanged(bool expanded);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();
    void refreshPayload();

    NoticeItem m_notice;
    bool m_expanded = false;
    int m_previewLimit;
    QVBoxLayout *m_column;
    RowHeaderButton *m_header;
    IconView *m_icon;
    QLabel *m_title;
    ElidedLabel *m_detail;
    ChevronView *m_chevron;
    QWidget *m_payload;
    QLabel *m_size;
    SymbolButton *m_copy;
    QScrollArea *m_scroll;
    QLabel *m_preview;
};

} // namespace nbd
