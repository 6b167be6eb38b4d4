#include "UI/Shared/MarkdownText.h"

#include "UI/Shared/BlinkingCursor.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/LatestJob.h"
#include "UI/Shared/LongMarkdownView.h"
#include "UI/Shared/LongTextView.h"
#include "UI/Shared/Theme.h"

#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

MarkdownText::MarkdownText(const QString &text, bool showCursor, QWidget *parent)
    : QWidget(parent), m_text(text), m_showCursor(showCursor), m_parse(std::make_unique<LatestJob<Plan>>(this))
{
    setObjectName(u"markdown-text"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    rebuild();
}

MarkdownText::~MarkdownText() = default;

void MarkdownText::setContent(const QString &text, bool showCursor)
{
    if (m_built && text == m_text && showCursor == m_showCursor)
        return;
    const bool stillStreaming = m_showCursor && showCursor && (m_raw || m_longRaw);
    m_text = text;
    m_showCursor = showCursor;
    if (stillStreaming && m_longRaw) {
        // A long text streams into a view that lays out only the lines near what is visible.
        m_longRaw->setText(m_text);
        return;
    }
    if (stillStreaming && !isLongMarkdown(m_text)) {
        // Streaming: only the raw text changes, no parse and no new widgets.
        m_raw->setPlain(m_text, Fonts::system(m_style.baseSize));
        return;
    }
    rebuild();
}

void MarkdownText::setStyle(const MarkdownStyle &style)
{
    m_style = style;
    // Chunks laid out in the former style are not kept.
    m_chunked = false;
    if (m_built)
        rebuild();
}

bool MarkdownText::isParsing() const { return m_parse->isBusy(); }

void MarkdownText::clearFrom(int index)
{
    auto *layout = static_cast<QVBoxLayout *>(this->layout());
    // Each widget taken out of an active layout would lay the others out again.
    layout->setEnabled(false);
    while (layout->count() > index) {
        QLayoutItem *item = layout->takeAt(layout->count() - 1);
        if (item->widget() == m_long)
            m_long = nullptr;
        delete item->widget();
        delete item;
    }
    layout->setEnabled(true);
}

void MarkdownText::rebuild()
{
    m_built = true;
    auto *layout = static_cast<QVBoxLayout *>(this->layout());
    const bool chunked = !m_showCursor && isLongMarkdown(m_text);
    // A parse under way is for a text no longer shown.
    m_parse->cancel();
    if (!chunked || !m_chunked)
        clearFrom(0);
    m_chunked = chunked;
    m_raw = nullptr;
    m_longRaw = nullptr;
    if (m_showCursor) {
        layout->setSpacing(4);
        QWidget *raw = nullptr;
        if (isLongMarkdown(m_text)) {
            m_longRaw = new LongTextView(m_text, Fonts::system(m_style.baseSize), std::nullopt, this);
            raw = m_longRaw;
        } else {
            m_raw = new AutoHeightTextView(this);
            m_raw->setPlain(m_text, Fonts::system(m_style.baseSize));
            if (m_text.isEmpty())
                m_raw->setAccessibleName(u"正在输出"_s);
            raw = m_raw;
        }
        raw->setObjectName(u"markdown-raw"_s);
        layout->addWidget(raw);
        auto *cursor = new BlinkingCursor(this);
        layout->addWidget(cursor, 0, Qt::AlignLeft);
        raw->show();
        cursor->show();
        return;
    }
    layout->setSpacing(kMarkdownBlockSpacing);
    if (chunked) {
        parseLong();
        return;
    }
    addMarkdownBlockWidgets(this, layout, MarkdownParser::parse(m_text), m_style);
}

// A long text is parsed and cut into chunks on the thread pool; until the result comes, the
// chunks of the text shown before stay, or, for a text shown first, room as tall as it is
// estimated to be.
void MarkdownText::parseLong()
{
    auto *layout = static_cast<QVBoxLayout *>(this->layout());
    std::vector<std::shared_ptr<const MarkdownChunkData>> current;
    if (m_long)
        current = m_long->chunks();
    else if (layout->count() == 0) {
        auto *pending = new PendingMarkdown(m_text, m_style, this);
        layout->addWidget(pending);
        pending->show();
    }
    m_parse->start([text = m_text, current = std::move(current)] { return planMarkdownChunks(text, current); },
                   [this](Plan plan) { showChunks(*plan); });
}

void MarkdownText::showChunks(const MarkdownChunkPlan &plan)
{
    if (!m_long) {
        clearFrom(0);
        m_long = new LongMarkdownView(m_style, this);
        layout()->addWidget(m_long);
        m_long->show();
    }
    m_long->setChunks(plan);
}

int MarkdownText::chunkCount() const { return m_long ? m_long->chunkCount() : 0; }

int MarkdownText::laidOutChunkCount() const { return m_long ? m_long->liveCount() : 0; }

} // namespace nbd