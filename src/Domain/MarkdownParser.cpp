#include "Domain/MarkdownParser.h"

#include "Domain/MarkdownInline.h"

#include <QStringList>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

MarkdownBlock MarkdownBlock::paragraph(QString text)
{
    MarkdownBlock b;
    b.kind = Kind::Paragraph;
    b.text = std::move(text);
    return b;
}

MarkdownBlock MarkdownBlock::heading(int level, QString text)
{
    MarkdownBlock b;
    b.kind = Kind::Heading;
    b.level = level;
    b.text = std::move(text);
    return b;
}

MarkdownBlock MarkdownBlock::code(QString code, std::optional<QString> language)
{
    MarkdownBlock b;
    b.kind = Kind::Code;
    b.text = std::move(code);
    b.language = std::move(language);
    return b;
}

MarkdownBlock MarkdownBlock::list(std::vector<ListItem> items, bool ordered)
{
    MarkdownBlock b;
    b.kind = Kind::List;
    b.items = std::move(items);
    b.ordered = ordered;
    return b;
}

MarkdownBlock MarkdownBlock::quote(QString text)
{
    MarkdownBlock b;
    b.kind = Kind::Quote;
    b.text = std::move(text);
    return b;
}

MarkdownBlock MarkdownBlock::rule()
{
    MarkdownBlock b;
    b.kind = Kind::Rule;
    return b;
}

namespace {

// Blanks and tabs: the space separators (U+0020, U+00A0, U+3000, …) and U+0009, no line breaks.
bool isBlank(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

QStringView trim(QStringView s)
{
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && isBlank(s[begin]))
        ++begin;
    while (end > begin && isBlank(s[end - 1]))
        --end;
    return s.sliced(begin, end - begin);
}

bool startsWithFence(QStringView line)
{
    return line.startsWith(u"```");
}

std::optional<MarkdownBlock> parseHeading(QStringView line)
{
    qsizetype count = 0;
    while (count < line.size() && line[count] == u'#')
        ++count;
    if (count == 0 || count > 6)
        return std::nullopt;
    const QStringView rest = line.sliced(count);
    if (rest.isEmpty() || rest[0] != u' ')
        return std::nullopt;
    return MarkdownBlock::heading(int(count), trim(rest).toString());
}

enum class Marker { None, Ordered, Bullet };

// The list marker at the start of a trimmed line and its length.
std::pair<Marker, qsizetype> listMarker(QStringView line)
{
    qsizetype i = 0;
    while (i < line.size() && line[i].isDigit())
        ++i;
    if (i > 0 && i < line.size() && (line[i] == u'.' || line[i] == u')')) {
        qsizetype j = i + 1;
        while (j < line.size() && line[j].isSpace())
            ++j;
        if (j > i + 1)
            return {Marker::Ordered, j};
    }
    if (line.size() >= 2 && line[1] == u' ' && (line[0] == u'-' || line[0] == u'*' || line[0] == u'+'))
        return {Marker::Bullet, 2};
    return {Marker::None, 0};
}

bool isRule(QStringView trimmed)
{
    if (trimmed.size() < 3)
        return false;
    for (QChar c : trimmed) {
        if (c != u'-' && c != u'*' && c != u'_')
            return false;
    }
    return true;
}

} // namespace

namespace MarkdownParser {

std::vector<MarkdownBlock> parse(QStringView text)
{
    std::vector<QStringView> lines;
    for (qsizetype start = 0;;) {
        const qsizetype nl = text.indexOf(u'\n', start);
        if (nl < 0) {
            lines.push_back(text.sliced(start));
            break;
        }
        lines.push_back(text.sliced(start, nl - start));
        start = nl + 1;
    }

    std::vector<MarkdownBlock> blocks;
    const size_t n = lines.size();
    size_t i = 0;
    while (i < n) {
        const QStringView line = lines[i];
        const QStringView trimmed = trim(line);
        if (trimmed.isEmpty()) {
            ++i;
            continue;
        }
        if (startsWithFence(line)) {
            const QStringView language = trim(line.sliced(3));
            QString code;
            size_t j = i + 1;
            for (; j < n && !startsWithFence(lines[j]); ++j) {
                if (j > i + 1)
                    code += u'\n';
                code += lines[j];
            }
            blocks.push_back(MarkdownBlock::code(std::move(code),
                                                 language.isEmpty() ? std::nullopt : std::optional<QString>(language.toString())));
            i = j + 1; // past the closing fence, or the end
            continue;
        }
        if (std::optional<MarkdownBlock> heading = parseHeading(line)) {
            blocks.push_back(std::move(*heading));
            ++i;
            continue;
        }
        if (isRule(trimmed)) {
            blocks.push_back(MarkdownBlock::rule());
            ++i;
            continue;
        }
        if (trimmed.startsWith(u'>')) {
            QStringList parts;
            for (; i < n; ++i) {
                const QStringView t = trim(lines[i]);
                if (!t.startsWith(u'>'))
                    break;
                parts << trim(t.sliced(1)).toString();
            }
            blocks.push_back(MarkdownBlock::quote(parts.join(u' ')));
            continue;
        }
        if (const auto [kind, length] = listMarker(trimmed); kind != Marker::None) {
            std::vector<MarkdownBlock::ListItem> items;
            for (; i < n; ++i) {
                const QStringView t = trim(lines[i]);
                const auto [k, len] = listMarker(t);
                if (t.isEmpty() || k != kind)
                    break;
                items.push_back({trim(t.sliced(len)).toString(), {}});
            }
            blocks.push_back(MarkdownBlock::list(std::move(items), kind == Marker::Ordered));
            continue;
        }
        QString paragraph = line.toString();
        for (++i; i < n; ++i) {
            const QStringView next = lines[i];
            const QStringView t = trim(next);
            if (t.isEmpty() || startsWithFence(next) || parseHeading(next) || t.startsWith(u'>')
                || listMarker(t).first != Marker::None)
                break;
            paragraph += u'\n';
            paragraph += next;
        }
        blocks.push_back(MarkdownBlock::paragraph(std::move(paragraph)));
    }
    return blocks;
}

} // namespace MarkdownParser

QString MarkdownParser::plainText(QStringView text)
{
    // Line ends as the renderer draws them: a carriage return is no character of its own.
    QString normal = text.toString();
    normal.replace(u"\r\n"_s, u"\n"_s);
    normal.remove(u'\r');
    QStringList lines;
    for (const MarkdownBlock &block : parse(normal)) {
        switch (block.kind) {
        case MarkdownBlock::Kind::Paragraph:
        case MarkdownBlock::Kind::Heading:
        case MarkdownBlock::Kind::Quote:
            lines << MarkdownInline::parse(block.text).plainText();
            break;
        case MarkdownBlock::Kind::Code:
            lines << block.text;
            break;
        case MarkdownBlock::Kind::List:
            for (size_t i = 0; i < block.items.size(); ++i) {
                const QString item = MarkdownInline::parse(block.items[i].text).plainText();
                lines << (block.ordered ? QString::number(i + 1) + u". "_s + item : item);
            }
            break;
        case MarkdownBlock::Kind::Rule:
            break;
        }
    }
    lines.removeAll(QString());
    return lines.join(u'\n');
}

namespace {

// The plain texts of two pieces cut where the parse starts afresh, as plainText of the whole
// gives them: one line per block, no empty lines.
QString joinPlain(QString head, const QString &tail)
{
    if (head.isEmpty())
        return tail;
    if (!tail.isEmpty()) {
        head += u'\n';
        head += tail;
    }
    return head;
}

} // namespace

QString MarkdownParser::plainText(const QString &text, PlainTextPrefix &prefix)
{
    if (prefix.length > text.size() || QStringView(text).left(prefix.length) != QStringView(prefix.source).left(prefix.length))
        prefix = {};
    // The parse keeps no state from one block to the next, and every block but a code block
    // ends at a blank line: after a blank line outside a code block it starts afresh. The
    // last line may still grow, so only whole lines count.
    const qsizetype from = prefix.length;
    qsizetype fresh = from;
    bool fenced = false;
    for (qsizetype start = from;;) {
        const qsizetype nl = text.indexOf(u'\n', start);
        if (nl < 0)
            break;
        QStringView line = QStringView(text).sliced(start, nl - start);
        QString withoutReturns; // the line as plainText reads it
        if (line.contains(u'\r')) {
            withoutReturns = line.toString();
            withoutReturns.remove(u'\r');
            line = withoutReturns;
        }
        if (startsWithFence(line))
            fenced = !fenced;
        else if (!fenced && trim(line).isEmpty())
            fresh = nl + 1;
        start = nl + 1;
    }
    QString plain = prefix.plain;
    if (fresh > from) {
        plain = joinPlain(std::move(plain), plainText(QStringView(text).sliced(from, fresh - from)));
        prefix = {text, fresh, plain};
    }
    return joinPlain(std::move(plain), plainText(QStringView(text).sliced(fresh)));
}

} // namespace nbd
