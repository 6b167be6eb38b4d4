#include "Domain/MarkdownInline.h"

#include <QHash>

#include <array>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

QString InlineText::plainText() const
{
    QString out;
    for (const InlineRun &run : runs)
        out += run.text;
    return out;
}

namespace {

// Destinations, titles and autolinks are looked for within this many characters.
constexpr qsizetype kScanLimit = 4096;
// Parentheses nested inside a link destination; deeper ones make it no destination. This also
// bounds how far one failed destination is scanned.
constexpr int kMaxDestinationParens = 8;

bool isAsciiPunct(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x21 && u <= 0x2F) || (u >= 0x3A && u <= 0x40) || (u >= 0x5B && u <= 0x60) || (u >= 0x7B && u <= 0x7E);
}

bool isPunctuation(QChar c)
{
    return c.isPunct() || c.isSymbol();
}

struct Node
{
    QString text;
    quint8 style = InlineRun::Plain; // code spans
    int link = -1;                   // autolinks
};

struct Delimiter
{
    int node = 0;
    QChar ch;
    int count = 0;
    int origCount = 0;
    bool canOpen = false;
    bool canClose = false;
    int prev = -1;
    int next = -1;
};

struct Bracket
{
    int node = 0;
    bool image = false;
    int delimiterBottom = -1; // the last delimiter when the bracket opened
};

struct Interval
{
    int first;
    int last; // inclusive; empty when last < first
    quint8 style;
};

class Parser
{
public:
    explicit Parser(QStringView text) : m_s(text) {}

    InlineText run()
    {
        indexBacktickRuns();
        scan();
        if (m_tripped)
            return verbatim();
        processEmphasis(-1);
        return build();
    }

private:
    InlineText verbatim()
    {
        InlineText out;
        out.verbatim = true;
        out.work = m_work;
        if (!m_s.isEmpty())
            out.runs.push_back({m_s.toString(), InlineRun::Plain, -1});
        return out;
    }

    void flushText()
    {
        if (!m_pending.isEmpty()) {
            m_nodes.push_back({m_pending, InlineRun::Plain, -1});
            m_pending.clear();
        }
    }

    int addNode(QString text, quint8 style = InlineRun::Plain, int link = -1)
    {
        flushText();
        m_nodes.push_back({std::move(text), style, link});
        return int(m_nodes.size()) - 1;
    }

    // Every run of backticks by length, in text order, so that a code span's closer is found
    // without scanning the text again.
    void indexBacktickRuns()
    {
        const qsizetype n = m_s.size();
        for (qsizetype i = 0; i < n;) {
            ++m_work;
            if (m_s[i] != u'`') {
                ++i;
                continue;
            }
            qsizetype j = i;
            while (j < n && m_s[j] == u'`')
                ++j;
            m_backticks[int(j - i)].push_back(i);
            i = j;
        }
    }

    // The start of the next backtick run of exactly `length` after `from`, or -1.
    qsizetype backtickCloser(int length, qsizetype from)
    {
        auto it = m_backticks.find(length);
        if (it == m_backticks.end())
            return -1;
        qsizetype &cursor = m_backtickCursor[length];
        const std::vector<qsizetype> &runs = it.value();
        while (cursor < qsizetype(runs.size()) && runs[size_t(cursor)] <= from) {
            ++cursor;
            ++m_work;
        }
        return cursor < qsizetype(runs.size()) ? runs[size_t(cursor)] : -1;
    }

    void scan()
    {
        const qsizetype n = m_s.size();
        qsizetype i = 0;
        while (i < n && !m_tripped) {
            ++m_work;
            const QChar c = m_s[i];
            switch (c.unicode()) {
            case u'\\':
                if (i + 1 < n && isAsciiPunct(m_s[i + 1])) {
                    m_pending += m_s[i + 1];
                    i += 2;
                } else {
                    m_pending += c;
                    ++i;
                }
                break;
            case u'`': i = codeSpan(i); break;
            case u'*':
            case u'_':
            case u'~': i = delimiterRun(i); break;
            case u'!':
                if (i + 1 < n && m_s[i + 1] == u'[') {
                    openBracket(u"!["_s, true);
                    i += 2;
                } else {
                    m_pending += c;
                    ++i;
                }
                break;
            case u'[':
                openBracket(u"["_s, false);
                ++i;
                break;
            case u']': i = closeBracket(i); break;
            case u'<': i = angleAutolink(i); break;
            case u'h': i = bareAutolink(i); break;
            default:
                m_pending += c;
                ++i;
            }
        }
        flushText();
    }

    qsizetype codeSpan(qsizetype i)
    {
        qsizetype j = i;
        while (j < m_s.size() && m_s[j] == u'`')
            ++j;
        const int length = int(j - i);
        const qsizetype closer = backtickCloser(length, i);
        if (closer < 0) {
            m_pending += m_s.sliced(i, length);
            return j;
        }
        QString code = m_s.sliced(j, closer - j).toString();
        m_work += code.size();
        // One blank on each side is padding, unless the span is blanks only.
        if (code.size() >= 2 && code.front() == u' ' && code.back() == u' ' && !code.trimmed().isEmpty())
            code = code.sliced(1, code.size() - 2);
        addNode(std::move(code), InlineRun::Code);
        return closer + length;
    }

    qsizetype delimiterRun(qsizetype i)
    {
        const QChar ch = m_s[i];
        qsizetype j = i;
        while (j < m_s.size() && m_s[j] == ch)
            ++j;
        const int count = int(j - i);
        m_work += count;
        if (ch == u'~' && count > 2) {
            m_pending += m_s.sliced(i, count);
            return j;
        }
        const QChar before = i > 0 ? m_s[i - 1] : QChar(u' ');
        const QChar after = j < m_s.size() ? m_s[j] : QChar(u' ');
        const bool beforeSpace = before.isSpace();
        const bool afterSpace = after.isSpace();
        const bool beforePunct = isPunctuation(before);
        const bool afterPunct = isPunctuation(after);
        const bool left = !afterSpace && (!afterPunct || beforeSpace || beforePunct);
        const bool right = !beforeSpace && (!beforePunct || afterSpace || afterPunct);
        Delimiter d;
        d.ch = ch;
        d.count = d.origCount = count;
        if (ch == u'_') {
            d.canOpen = left && (!right || beforePunct);
            d.canClose = right && (!left || afterPunct);
        } else {
            d.canOpen = left;
            d.canClose = right;
        }
        d.node = addNode(m_s.sliced(i, count).toString());
        d.prev = m_lastDelimiter;
        m_delimiters.push_back(d);
        const int index = int(m_delimiters.size()) - 1;
        if (m_lastDelimiter >= 0)
            m_delimiters[size_t(m_lastDelimiter)].next = index;
        m_lastDelimiter = index;
        return j;
    }

    void openBracket(QString text, bool image)
    {
        if (int(m_brackets.size()) >= MarkdownInline::kMaxNesting) {
            m_tripped = true;
            return;
        }
        const int node = addNode(std::move(text));
        m_brackets.push_back({node, image, m_lastDelimiter});
    }

    qsizetype closeBracket(qsizetype i)
    {
        if (m_brackets.empty()) {
            m_pending += u']';
            return i + 1;
        }
        const Bracket bracket = m_brackets.back();
        m_brackets.pop_back();
        // A link inside a link's text is no link: brackets that were open when a link formed
        // (those below the floor) stay text.
        const int index = int(m_brackets.size());
        const bool inactive = !bracket.image && index < m_linkFloor;
        m_linkFloor = std::min(m_linkFloor, index);
        QString destination;
        const qsizetype after = inactive ? -1 : inlineDestination(i + 1, destination);
        if (after < 0) {
            m_pending += u']';
            return i + 1;
        }
        flushText();
        processEmphasis(bracket.delimiterBottom);
        m_nodes[size_t(bracket.node)].text.clear();
        if (!bracket.image) {
            m_links << destination;
            for (size_t k = size_t(bracket.node) + 1; k < m_nodes.size(); ++k) {
                m_nodes[k].link = int(m_links.size()) - 1;
                ++m_work;
            }
            m_linkFloor = int(m_brackets.size());
        }
        return after;
    }

    // Parses "(destination "title")" at `i`; returns the index after ")" or -1.
    qsizetype inlineDestination(qsizetype i, QString &destination)
    {
        const qsizetype n = m_s.size();
        const qsizetype limit = std::min(n, i + kScanLimit);
        if (i >= n || m_s[i] != u'(')
            return -1;
        qsizetype j = i + 1;
        auto skipSpace = [&] {
            while (j < limit && (m_s[j] == u' ' || m_s[j] == u'\t' || m_s[j] == u'\n')) {
                ++j;
                ++m_work;
            }
        };
        skipSpace();
        if (j < limit && m_s[j] == u'<') {
            ++j;
            while (j < limit && m_s[j] != u'>' && m_s[j] != u'\n' && m_s[j] != u'<') {
                destination += m_s[j];
                ++j;
                ++m_work;
            }
            if (j >= limit || m_s[j] != u'>')
                return -1;
            ++j;
        } else {
            int depth = 0;
            while (j < limit) {
                ++m_work;
                const QChar c = m_s[j];
                if (c == u'\\' && j + 1 < limit && isAsciiPunct(m_s[j + 1])) {
                    destination += m_s[j + 1];
                    j += 2;
                    continue;
                }
                if (c.isSpace() || c.unicode() < 0x20)
                    break;
                if (c == u'(') {
                    if (++depth > kMaxDestinationParens)
                        return -1;
                } else if (c == u')') {
                    if (depth == 0)
                        break;
                    --depth;
                }
                destination += c;
                ++j;
            }
            if (depth != 0)
                return -1;
        }
        const qsizetype beforeSpace = j;
        skipSpace();
        if (j < limit && j > beforeSpace && (m_s[j] == u'"' || m_s[j] == u'\'' || m_s[j] == u'(')) {
            const QChar close = m_s[j] == u'(' ? QChar(u')') : m_s[j];
            ++j;
            while (j < limit && m_s[j] != close) {
                if (m_s[j] == u'\\')
                    ++j;
                ++j;
                ++m_work;
            }
            if (j >= limit)
                return -1;
            ++j;
            skipSpace();
        }
        if (j >= limit || m_s[j] != u')')
            return -1;
        return j + 1;
    }

    qsizetype angleAutolink(qsizetype i)
    {
        const qsizetype n = m_s.size();
        const qsizetype limit = std::min(n, i + kScanLimit);
        qsizetype j = i + 1;
        // A scheme of 2 to 32 characters, ":", then no blanks, controls or angle brackets.
        qsizetype k = j;
        while (k < limit && (m_s[k].isLetterOrNumber() || m_s[k] == u'+' || m_s[k] == u'.' || m_s[k] == u'-')
               && m_s[k].unicode() < 0x80) {
            ++k;
            ++m_work;
        }
        const qsizetype schemeLength = k - j;
        if (schemeLength >= 2 && schemeLength <= 32 && m_s[j].isLetter() && k < limit && m_s[k] == u':') {
            qsizetype e = k + 1;
            while (e < limit && m_s[e] != u'>' && m_s[e] != u'<' && !m_s[e].isSpace() && m_s[e].unicode() >= 0x20) {
                ++e;
                ++m_work;
            }
            if (e < limit && m_s[e] == u'>') {
                const QString url = m_s.sliced(j, e - j).toString();
                m_links << url;
                addNode(url, InlineRun::Plain, int(m_links.size()) - 1);
                return e + 1;
            }
        }
        // An e-mail address: local part "@" domain.
        qsizetype e = j;
        bool at = false;
        while (e < limit && m_s[e] != u'>' && m_s[e] != u'<' && !m_s[e].isSpace() && m_s[e].unicode() >= 0x20
               && m_s[e].unicode() < 0x80) {
            at = at || m_s[e] == u'@';
            ++e;
            ++m_work;
        }
        if (at && e < limit && m_s[e] == u'>' && m_s[j] != u'@' && m_s[e - 1] != u'@') {
            const QString address = m_s.sliced(j, e - j).toString();
            m_links << u"mailto:"_s + address;
            addNode(address, InlineRun::Plain, int(m_links.size()) - 1);
            return e + 1;
        }
        m_pending += u'<';
        return i + 1;
    }

    qsizetype bareAutolink(qsizetype i)
    {
        const QStringView rest = m_s.sliced(i);
        const bool boundary = i == 0 || !(m_s[i - 1].isLetterOrNumber() || m_s[i - 1] == u'/');
        const qsizetype prefix = rest.startsWith(u"https://") ? 8 : rest.startsWith(u"http://") ? 7 : 0;
        if (!boundary || prefix == 0) {
            m_pending += m_s[i];
            return i + 1;
        }
        const qsizetype limit = std::min(m_s.size(), i + kScanLimit);
        qsizetype e = i + prefix;
        while (e < limit && !m_s[e].isSpace() && m_s[e] != u'<' && m_s[e].unicode() >= 0x20) {
            ++e;
            ++m_work;
        }
        // Trailing punctuation belongs to the sentence, and a ")" without its "(" too.
        while (e > i + prefix) {
            const QChar last = m_s[e - 1];
            if (QStringView(u"?!.,:;*_~'\"").contains(last)) {
                --e;
                continue;
            }
            if (last == u')') {
                const QStringView url = m_s.sliced(i, e - i);
                if (url.count(u'(') < url.count(u')')) {
                    --e;
                    continue;
                }
            }
            break;
        }
        if (e == i + prefix) {
            m_pending += m_s[i];
            return i + 1;
        }
        const QString url = m_s.sliced(i, e - i).toString();
        m_links << url;
        addNode(url, InlineRun::Plain, int(m_links.size()) - 1);
        return e;
    }

    void unlink(int index)
    {
        Delimiter &d = m_delimiters[size_t(index)];
        if (d.prev >= 0)
            m_delimiters[size_t(d.prev)].next = d.next;
        if (d.next >= 0)
            m_delimiters[size_t(d.next)].prev = d.prev;
        if (m_lastDelimiter == index)
            m_lastDelimiter = d.prev;
    }

    static int bottomSlot(const Delimiter &closer)
    {
        const int charIndex = closer.ch == u'*' ? 0 : closer.ch == u'_' ? 1 : 2;
        return charIndex * 6 + (closer.canOpen ? 3 : 0) + closer.origCount % 3;
    }

    // Matches the delimiters above `bottom` and removes them all from the stack.
    void processEmphasis(int bottom)
    {
        std::array<int, 18> openersBottom;
        openersBottom.fill(bottom);
        int closer = bottom >= 0 ? m_delimiters[size_t(bottom)].next : firstDelimiter();
        while (closer >= 0) {
            ++m_work;
            Delimiter &c = m_delimiters[size_t(closer)];
            if (!c.canClose) {
                closer = c.next;
                continue;
            }
            const int slot = bottomSlot(c);
            int opener = c.prev;
            bool found = false;
            while (opener >= 0 && opener != bottom && opener != openersBottom[size_t(slot)]) {
                ++m_work;
                const Delimiter &o = m_delimiters[size_t(opener)];
                if (o.ch == c.ch && o.canOpen) {
                    bool fits;
                    if (c.ch == u'~')
                        fits = o.count == c.count;
                    else
                        fits = !((c.canOpen || o.canClose) && (o.origCount + c.origCount) % 3 == 0
                                 && !(o.origCount % 3 == 0 && c.origCount % 3 == 0));
                    if (fits) {
                        found = true;
                        break;
                    }
                }
                opener = o.prev;
            }
            if (!found) {
                openersBottom[size_t(slot)] = c.prev;
                const int next = c.next;
                if (!c.canOpen)
                    unlink(closer);
                closer = next;
                continue;
            }
            Delimiter &o = m_delimiters[size_t(opener)];
            const int use = c.ch == u'~' ? c.count : (c.count >= 2 && o.count >= 2 ? 2 : 1);
            const quint8 style = c.ch == u'~' ? InlineRun::Strike : use == 2 ? InlineRun::Strong : InlineRun::Emphasis;
            m_intervals.push_back({o.node + 1, c.node - 1, style});
            o.count -= use;
            c.count -= use;
            m_nodes[size_t(o.node)].text.chop(use);
            m_nodes[size_t(c.node)].text.chop(use);
            // Delimiters between the pair can no longer match anything.
            o.next = closer;
            c.prev = opener;
            if (o.count == 0)
                unlink(opener);
            if (c.count == 0) {
                const int next = c.next;
                unlink(closer);
                closer = next;
            }
        }
        // Everything above the bottom is done with.
        if (bottom >= 0) {
            m_delimiters[size_t(bottom)].next = -1;
            m_lastDelimiter = bottom;
        } else {
            m_lastDelimiter = -1;
        }
    }

    int firstDelimiter() const
    {
        // The oldest delimiter still on the stack, walking back from the newest.
        int d = m_lastDelimiter;
        while (d >= 0 && m_delimiters[size_t(d)].prev >= 0)
            d = m_delimiters[size_t(d)].prev;
        return d;
    }

    InlineText build()
    {
        InlineText out;
        const size_t n = m_nodes.size();
        // Each style's start and end marks, summed in one sweep.
        std::vector<std::array<int, 3>> marks(n + 1, {0, 0, 0});
        for (const Interval &iv : m_intervals) {
            if (iv.last < iv.first)
                continue;
            const int slot = iv.style == InlineRun::Emphasis ? 0 : iv.style == InlineRun::Strong ? 1 : 2;
            ++marks[size_t(iv.first)][size_t(slot)];
            --marks[size_t(iv.last) + 1][size_t(slot)];
        }
        std::array<int, 3> depth = {0, 0, 0};
        for (size_t k = 0; k < n; ++k) {
            ++m_work;
            for (int s = 0; s < 3; ++s)
                depth[size_t(s)] += marks[k][size_t(s)];
            if (depth[0] + depth[1] + depth[2] > MarkdownInline::kMaxNesting) {
                m_tripped = true;
                return verbatim();
            }
            const Node &node = m_nodes[k];
            if (node.text.isEmpty())
                continue;
            quint8 style = node.style;
            if (depth[0] > 0)
                style |= InlineRun::Emphasis;
            if (depth[1] > 0)
                style |= InlineRun::Strong;
            if (depth[2] > 0)
                style |= InlineRun::Strike;
            if (!out.runs.empty() && out.runs.back().style == style && out.runs.back().link == node.link)
                out.runs.back().text += node.text;
            else
                out.runs.push_back({node.text, style, node.link});
        }
        out.links = m_links;
        out.work = m_work;
        return out;
    }

    QStringView m_s;
    QString m_pending;
    std::vector<Node> m_nodes;
    std::vector<Delimiter> m_delimiters;
    std::vector<Bracket> m_brackets;
    std::vector<Interval> m_intervals;
    QStringList m_links;
    QHash<int, std::vector<qsizetype>> m_backticks;
    QHash<int, qsizetype> m_backtickCursor;
    int m_lastDelimiter = -1;
    int m_linkFloor = 0;
    qsizetype m_work = 0;
    bool m_tripped = false;
};

} // namespace

namespace MarkdownInline {

InlineText parse(QStringView text)
{
    if (text.size() > kMaxLength) {
        InlineText out;
        out.verbatim = true;
        out.runs.push_back({text.toString(), InlineRun::Plain, -1});
        return out;
    }
    return Parser(text).run();
}

} // namespace MarkdownInline

} // namespace nbd
