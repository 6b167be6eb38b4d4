#include "UI/Conversation/ToolPresentationView.h"

#include "UI/Shared/CardWidgets.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/LineBox.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/LinkOpener.h"
#include "UI/Shared/PagedColumn.h"
#include "UI/Shared/Theme.h"
#include "UI/Shared/WorkspaceTools.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// The least height of a line of a diff or of a file excerpt.
constexpr int kLineRowHeight = 17;

// How many rows of a list a card shows before its "显示更多" control, and adds at each press:
// about a screen of them, whatever the host sent.
constexpr qsizetype kDiffEntriesPerPage = 8;
constexpr qsizetype kSourcesPerPage = 20;
constexpr qsizetype kPathsPerPage = 40;
constexpr qsizetype kGroupsPerPage = 10;
// The locations row neither wraps nor scrolls: past this many buttons none could show.
constexpr qsizetype kLocationButtons = 40;

QColor withAlpha(QColor c, qreal alpha)
{
    c.setAlphaF(float(alpha));
    return c;
}

QLabel *label(const QString &text, const QFont &font, const QColor &color, QWidget *parent, const QString &name = {})
{
    auto *l = new QLabel(text, parent);
    if (!name.isEmpty())
        l->setObjectName(name);
    l->setTextFormat(Qt::PlainText);
    l->setFont(font);
    // Every text role: a label draws in the role its place gives it (inside a scroll area or a
    // button that is not its window-text role), so one role alone may never show.
    TextLabels::setColor(l, color);
    return l;
}

QVBoxLayout *column(QWidget *owner, int spacing, QMargins margins = {})
{
    auto *layout = new QVBoxLayout(owner);
    layout->setContentsMargins(margins);
    layout->setSpacing(spacing);
    layout->setAlignment(Qt::AlignTop);
    return layout;
}

// A row flush with its owner; a spacing of -1 is the style's.
QHBoxLayout *row(QWidget *owner, int spacing, QMargins margins = {})
{
    auto *layout = new QHBoxLayout(owner);
    layout->setContentsMargins(margins);
    layout->setSpacing(spacing);
    return layout;
}

// `content` alone on a rounded fill.
RoundedBox *filled(std::function<QColor()> fill, QWidget *content, QWidget *parent)
{
    auto *box = new RoundedBox(5, std::move(fill), {}, parent);
    column(box, 0)->addWidget(content);
    return box;
}

// Lines of a file with their numbers in a gutter `gutter` wide, `gap` before the text: the
// matches of a search and the lines of a read are drawn alike.
template <typename Line>
LineBox *numberedLines(const std::vector<Line> &lines, qint64 Line::*number, QString Line::*text, int gutter, int gap,
                       QWidget *parent)
{
    QStringList texts;
    std::vector<qint64> numbers;
    texts.reserve(qsizetype(lines.size()));
    numbers.reserve(lines.size());
    for (const Line &line : lines) {
        texts << line.*text;
        numbers.push_back(line.*number);
    }
    auto *box = new LineBox(10, parent);
    box->setNumbers(std::move(numbers), gutter, gap);
    box->setLines(texts);
    return box;
}

// The header strip of a diff entry: inset background, top corners rounded inside the border.
class DiffHeader : public QWidget
{
public:
    explicit DiffHeader(QWidget *parent) : QWidget(parent) { setFixedHeight(28); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        const QRectF r = rect();
        const qreal radius = 4;
        path.moveTo(r.left(), r.bottom() + 1);
        path.lineTo(r.left(), r.top() + radius);
        path.quadTo(r.left(), r.top(), r.left() + radius, r.top());
        path.lineTo(r.right() + 1 - radius, r.top());
        path.quadTo(r.right() + 1, r.top(), r.right() + 1, r.top() + radius);
        path.lineTo(r.right() + 1, r.bottom() + 1);
        path.closeSubpath();
        painter.fillPath(path, Theme::inset());
    }
};

// One source of a web search: a numbered badge, then title, address and snippet. The whole
// row is the button.
class SourceRowButton : public QAbstractButton
{
public:
    SourceRowButton(int position, WebSource source, QWidget *parent)
        : QAbstractButton(parent), m_position(position), m_source(std::move(source))
    {
        // The row shows a line of the title and two of the address and the snippet: only that
        // much of each is ever measured. The click opens the whole address, kept by the card.
        m_source.title = rowText(m_source.title);
        m_source.url = rowText(m_source.url);
        if (m_source.snippet)
            m_source.snippet = rowText(*m_source.snippet);
        setText(m_source.title);
        setAccessibleName(m_source.title.isEmpty() ? (m_source.url.isEmpty() ? u"来源"_s : m_source.url) : m_source.title);
        setToolTip(textToolTip(u"在侧栏打开"_s));
        setCursor(Qt::PointingHandCursor);
        // Repainted as the pointer comes and goes: the face follows underMouse().
        setAttribute(Qt::WA_Hover);
        setFocusPolicy(Qt::StrongFocus);
        QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }

    const WebSource &source() const { return m_source; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return std::max(18, textHeight(width)); }
    QSize sizeHint() const override { return {320, heightForWidth(320)}; }
    QSize minimumSizeHint() const override { return {60, 18}; }

private:
    static QFont titleFont() { return Fonts::system(11, QFont::Medium); }
    static QFont urlFont() { return Fonts::system(9); }
    static QFont snippetFont() { return Fonts::system(10); }
    static constexpr int kTextLeft = 18 + 8;

    struct Lines
    {
        QStringList title, url, snippet;
    };

    Lines lines(int width) const
    {
        const int w = std::max(1, width - kTextLeft);
        Lines l;
        l.title = {QFontMetrics(titleFont()).elidedText(QString(m_source.title).replace(u'\n', u' '), Qt::ElideRight, w)};
        l.url = clampedLines(m_source.url, urlFont(), w, 2);
        if (l.url.isEmpty())
            l.url = {QString()};
        if (m_source.snippet) {
            l.snippet = clampedLines(*m_source.snippet, snippetFont(), w, 2);
            if (l.snippet.isEmpty())
                l.snippet = {QString()};
        }
        return l;
    }

    int textHeight(int width) const
    {
        const Lines l = lines(width);
        int h = QFontMetrics(titleFont()).height() + 2 + int(l.url.size()) * QFontMetrics(urlFont()).height();
        if (m_source.snippet)
            h += 2 + int(l.snippet.size()) * QFontMetrics(snippetFont()).height();
        return h;
    }

    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor accent = Theme::brand();
        painter.setPen(Qt::NoPen);
        painter.setBrush(withAlpha(accent, 0.11));
        painter.drawEllipse(QRectF(0, 0, 18, 18));
        painter.setPen(accent);
        painter.setFont(Fonts::system(9, QFont::DemiBold));
        painter.drawText(QRectF(0, 0, 18, 18), Qt::AlignCenter, QString::number(m_position));

        const Lines l = lines(width());
        int y = 0;
        auto draw = [&](const QStringList &texts, const QFont &font, const QColor &color) {
            painter.setFont(font);
            painter.setPen(color);
            const int h = QFontMetrics(font).height();
            for (const QString &t : texts) {
                painter.drawText(QRect(kTextLeft, y, width() - kTextLeft, h), Qt::AlignLeft | Qt::AlignVCenter, t);
                y += h;
            }
        };
        draw(l.title, titleFont(), underMouse() ? Theme::brand() : Theme::primaryText());
        y += 2;
        draw(l.url, urlFont(), Theme::tertiaryText());
        if (m_source.snippet) {
            y += 2;
            draw(l.snippet, snippetFont(), Theme::secondaryText());
        }
        if (hasFocus()) {
            painter.setPen(QPen(accent, 1));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
        }
    }


    int m_position;
    WebSource m_source;
};

} // namespace

ToolPresentationView::ToolPresentationView(ToolCardInput input, QWidget *parent)
    : QWidget(parent), m_input(std::move(input)), m_model(makeToolCard(m_input))
{
    auto *layout = column(this, 0);
    Q_UNUSED(layout);
    rebuild();
}

void ToolPresentationView::setInput(ToolCardInput input)
{
    if (input == m_input)
        return;
    m_input = std::move(input);
    m_model = makeToolCard(m_input);
    rebuild();
}

void ToolPresentationView::rebuild()
{
    delete m_card;
    m_card = std::visit(
        [this](const auto &card) -> QWidget * {
            using T = std::decay_t<decltype(card)>;
            if constexpr (std::is_same_v<T, GenericCard>)
                return buildGeneric(card);
            else if constexpr (std::is_same_v<T, TerminalCard>)
                return buildTerminal(card);
            else if constexpr (std::is_same_v<T, DiffCard>)
                return buildDiff(card);
            else if constexpr (std::is_same_v<T, SearchCard>)
                return buildSearch(card);
            else if constexpr (std::is_same_v<T, ReadCard>)
                return buildRead(card);
            else
                return buildWeb(card);
        },
        m_model);
    layout()->addWidget(m_card);
    // Shown now rather than on the layout's deferred show, so that a measure taken right after
    // an update counts the new card.
    m_card->show();
}

void ToolPresentationView::openFile(const std::optional<QString> &path)
{
    if (!path)
        return;
    if (const std::optional<QUrl> url = WorkspaceLinkRouter::urlForFileReference(*path))
        LinkOpener::open(this, *url);
}

void ToolPresentationView::openWeb(const QString &address)
{
    if (const std::optional<QString> text = webAddress(address))
        LinkOpener::open(this, QUrl(*text, QUrl::StrictMode));
}

QWidget *ToolPresentationView::fileButton(const FileButton &file, const QFont &font, const QString &symbol, QWidget *parent)
{
    auto *button = new LinkButton(file.label, font, symbol, parent);
    button->setObjectName(u"tool-card-file"_s);
    const std::optional<QString> path = file.path;
    connect(button, &QAbstractButton::clicked, this, [this, path] { openFile(path); });
    return button;
}

// ---- Generic ----

QWidget *ToolPresentationView::buildGeneric(const GenericCard &card)
{
    auto *w = new QWidget(this);
    w->setObjectName(u"tool-card-generic"_s);
    auto *layout = column(w, 8);
    const bool isError = m_input.isError;
    auto section = [&](const PresentationSection &s) {
        auto *box = new QWidget(w);
        box->setObjectName(u"tool-card-section"_s);
        auto *col = column(box, 3);
        col->addWidget(label(s.label, Fonts::system(10, QFont::Medium), Theme::tertiaryText(), box));
        QWidget *text = makePlainTextView(s.text, s.monospaced ? Fonts::monospaced(11) : Fonts::system(11),
                                          isError ? std::optional<QColor>(Theme::systemRed()) : std::nullopt, box);
        text->setObjectName(u"tool-card-section-text"_s);
        if (s.text.trimmed().isEmpty())
            text->setAccessibleName(s.label);
        col->addWidget(text);
        layout->addWidget(box);
    };
    if (card.input)
        section(*card.input);
    if (card.output)
        section(*card.output);
    if (!card.locations.empty()) {
        auto *locations = new QWidget(w);
        locations->setObjectName(u"tool-card-locations"_s);
        // The row neither wraps nor scrolls: what does not fit is cut off at the right.
        locations->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        auto *h = row(locations, 8);
        const size_t shown = std::min(card.locations.size(), size_t(kLocationButtons));
        for (size_t i = 0; i < shown; ++i) {
            QWidget *b = fileButton(card.locations[i], Fonts::monospaced(10), u"doc"_s, locations);
            b->setMinimumWidth(b->sizeHint().width());
            h->addWidget(b);
        }
        h->addStretch();
        layout->addWidget(locations);
    }
    return w;
}

// ---- Terminal ----

QWidget *ToolPresentationView::buildTerminal(const TerminalCard &card)
{
    auto *w = new QWidget(this);
    w->setObjectName(u"tool-card-terminal"_s);
    auto *layout = column(w, 7);
    if (card.description) {
        auto *d = label(*card.description, Fonts::system(12), Theme::secondaryText(), w, u"tool-card-description"_s);
        d->setWordWrap(true);
        layout->addWidget(d);
    }
    auto *header = new QWidget(w);
    auto *h = row(header, 7);
    h->addWidget(new IconView(u"terminal"_s, 10, header));
    auto *cwd = new ElidedLabel(card.cwd, Qt::ElideRight, header);
    cwd->setFont(Fonts::monospaced(10));
    cwd->setToolTip(textToolTip(card.cwd));
    cwd->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    cwd->setObjectName(u"tool-card-cwd"_s);
    h->addWidget(cwd, 1);
    if (card.status)
        h->addWidget(label(*card.status, Fonts::system(10, QFont::Medium),
                           card.statusIsSuccess ? Theme::success() : Theme::systemRed(), header, u"tool-card-status"_s));
    layout->addWidget(header);

    auto *output = new LineBox(11, w);
    output->setObjectName(u"tool-card-output"_s);
    output->setAccessibleName(u"输出"_s);
    output->setBoxColors(QColor(255, 255, 255, int(0.9 * 255)), std::nullopt);
    output->setPadding(QMargins(9, 9, 9, 9));
    output->setLines(splitLines(card.output));
    output->setHeightBounds(44, 260);
    layout->addWidget(filled([] { return QColor(0, 0, 0, int(0.88 * 255)); }, output, w));
    return w;
}

// ---- Diff ----

QWidget *ToolPresentationView::buildDiff(const DiffCard &card)
{
    auto *w = new QWidget(this);
    w->setObjectName(u"tool-card-diff"_s);
    auto *layout = column(w, 0);
    auto *entries = new PagedColumn(qsizetype(card.entries.size()), kDiffEntriesPerPage,
                                    [this](qsizetype index, QWidget *parent) -> QWidget * {
                                        const auto *shown = std::get_if<DiffCard>(&m_model);
                                        if (!shown || size_t(index) >= shown->entries.size())
                                            return nullptr;
                                        return diffEntry(shown->entries[size_t(index)], parent);
                                    },
                                    w);
    entries->rows()->setSpacing(8);
    layout->addWidget(entries);
    return w;
}

QWidget *ToolPresentationView::diffEntry(const DiffEntry &entry, QWidget *parent)
{
    auto *box = new RoundedBox(5, {}, [] { return Theme::strongHairline(); }, parent);
    box->setObjectName(u"tool-card-diff-entry"_s);
    auto *col = column(box, 0, QMargins(1, 1, 1, 1));
    auto *header = new DiffHeader(box);
    auto *h = row(header, -1, QMargins(8, 0, 8, 0));
    QWidget *button = fileButton(entry.header, Fonts::monospaced(11, QFont::Medium), u"doc.badge.plus"_s, header);
    h->addWidget(button);
    h->addStretch();
    col->addWidget(header);

    QStringList rows;
    const int removed = entry.removed ? int(entry.removed->size()) : 0;
    rows.reserve(removed + entry.added.size());
    if (entry.removed) {
        for (const QString &line : *entry.removed)
            rows << u"- "_s + line;
    }
    for (const QString &line : entry.added)
        rows << u"+ "_s + line;
    auto *lines = new LineBox(10, box);
    lines->setObjectName(u"tool-card-diff-lines"_s);
    lines->setAccessibleName(entry.header.label);
    lines->setPadding(QMargins(7, 0, 7, 0));
    lines->setMinimumRowHeight(kLineRowHeight);
    lines->setLines(rows);
    lines->setLineColors([removed](int line) -> std::optional<LineBox::LineColors> {
        const QColor color = line < removed ? Theme::systemRed() : Theme::success();
        return LineBox::LineColors{color, withAlpha(color, 0.06)};
    });
    lines->setHeightBounds(0, 240);
    col->addWidget(lines);
    return box;
}

// ---- Search and read ----

QWidget *ToolPresentationView::buildSearch(const SearchCard &card)
{
    auto *w = new QWidget(this);
    w->setObjectName(u"tool-card-search"_s);
    auto *layout = column(w, 6);
    auto *header = new QWidget(w);
    auto *h = row(header, -1);
    h->addWidget(label(card.title, Fonts::system(11, QFont::Medium), Theme::primaryText(), header));
    h->addStretch();
    h->addWidget(label(card.countText, Fonts::system(10), card.truncated ? Theme::warning() : Theme::secondaryText(),
                       header, u"tool-card-count"_s));
    layout->addWidget(header);
    if (card.pathList) {
        auto *paths = new PagedColumn(card.paths.size(), kPathsPerPage,
                                      [this](qsizetype index, QWidget *parent) -> QWidget * {
                                          const auto *shown = std::get_if<SearchCard>(&m_model);
                                          if (!shown || index >= shown->paths.size())
                                              return nullptr;
                                          const QString &path = shown->paths[index];
                                          return fileButton({path, path}, Fonts::monospaced(11), u"doc"_s, parent);
                                      },
                                      w);
        paths->setObjectName(u"tool-card-paths"_s);
        paths->rows()->setSpacing(6);
        paths->setRowAlignment(Qt::AlignLeft);
        layout->addWidget(paths);
        return w;
    }
    auto *groups = new PagedColumn(qsizetype(card.groups.size()), kGroupsPerPage,
                                   [this](qsizetype index, QWidget *parent) -> QWidget * {
                                       const auto *shown = std::get_if<SearchCard>(&m_model);
                                       if (!shown || size_t(index) >= shown->groups.size())
                                           return nullptr;
                                       return searchGroup(shown->groups[size_t(index)], shown->title, parent);
                                   },
                                   w);
    groups->setObjectName(u"tool-card-groups"_s);
    groups->rows()->setSpacing(6);
    layout->addWidget(groups);
    return w;
}

QWidget *ToolPresentationView::searchGroup(const SearchGroup &group, const QString &title, QWidget *parent)
{
    auto *g = new QWidget(parent);
    g->setObjectName(u"tool-card-search-group"_s);
    auto *col = column(g, 3, QMargins(0, 4, 0, 4));
    col->addWidget(fileButton({group.path, group.path}, Fonts::monospaced(11, QFont::Medium), {}, g), 0, Qt::AlignLeft);
    if (group.matches.empty())
        return g;
    auto *lines = numberedLines(group.matches, &SearchMatch::lineNumber, &SearchMatch::line, 34, 8, g);
    lines->setObjectName(u"tool-card-matches"_s);
    lines->setAccessibleName(group.path.isEmpty() ? title : group.path);
    lines->setHeightBounds(0, std::nullopt);
    col->addWidget(lines);
    return g;
}

QWidget *ToolPresentationView::buildRead(const ReadCard &card)
{
    auto *w = new QWidget(this);
    w->setObjectName(u"tool-card-read"_s);
    auto *layout = column(w, 6);
    auto *header = new QWidget(w);
    auto *h = row(header, 7);
    h->addWidget(new IconView(u"doc.text"_s, 12, header));
    h->addWidget(fileButton({card.path, card.path}, Fonts::monospaced(11, QFont::Medium), {}, header), 1);
    h->addWidget(label(card.countText, Fonts::system(10), Theme::secondaryText(), header, u"tool-card-count"_s));
    layout->addWidget(header);

    auto *lines = numberedLines(card.lines, &ReadLine::number, &ReadLine::text, 42, 9, w);
    lines->setObjectName(u"tool-card-read-lines"_s);
    lines->setAccessibleName(card.path.isEmpty() ? u"文件"_s : card.path);
    lines->setPadding(QMargins(0, 5, 0, 5));
    lines->setMinimumRowHeight(kLineRowHeight);
    lines->setHeightBounds(10, 280);
    layout->addWidget(filled([] { return Theme::inset(); }, lines, w));
    return w;
}

// ---- Web ----

QWidget *ToolPresentationView::buildWeb(const WebCard &card)
{
    auto *w = new QWidget(this);
    w->setObjectName(u"tool-card-web"_s);
    if (card.fetch) {
        auto *h = row(w, 8);
        auto *globe = new IconView(u"globe"_s, 12, w);
        globe->setTint(Theme::brand());
        h->addWidget(globe);
        auto *link = new LinkButton(card.url, Fonts::system(11), {}, w);
        link->setObjectName(u"tool-card-url"_s);
        link->setTextColor([] { return Theme::brand(); });
        const QString url = card.url;
        connect(link, &QAbstractButton::clicked, this, [this, url] { openWeb(url); });
        h->addWidget(link, 1);
        h->addWidget(label(card.statusText, Fonts::system(10, QFont::Medium), Theme::primaryText(), w, u"tool-card-status"_s));
        if (card.truncated)
            h->addWidget(label(u"已截断"_s, Fonts::system(10), Theme::warning(), w, u"tool-card-truncated"_s));
        return w;
    }
    auto *layout = column(w, 7);
    if (card.answer) {
        QWidget *answer = makePlainTextView(*card.answer, Fonts::system(12), std::nullopt, w);
        answer->setObjectName(u"tool-card-answer"_s);
        layout->addWidget(answer);
    }
    auto *sources = new PagedColumn(qsizetype(card.sources.size()), kSourcesPerPage,
                                    [this](qsizetype index, QWidget *parent) -> QWidget * {
                                        const auto *shown = std::get_if<WebCard>(&m_model);
                                        if (!shown || size_t(index) >= shown->sources.size())
                                            return nullptr;
                                        const WebSource &source = shown->sources[size_t(index)];
                                        auto *row = new SourceRowButton(int(index) + 1, source, parent);
                                        row->setObjectName(u"tool-card-source"_s);
                                        const QString url = source.url;
                                        connect(row, &QAbstractButton::clicked, this, [this, url] { openWeb(url); });
                                        return row;
                                    },
                                    w);
    sources->setObjectName(u"tool-card-sources"_s);
    sources->rows()->setSpacing(7);
    layout->addWidget(sources);
    return w;
}

} // namespace nbd
