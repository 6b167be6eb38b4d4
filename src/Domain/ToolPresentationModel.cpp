#include "Domain/ToolPresentationModel.h"

#include "Domain/ProtocolNames.h"

#include <QUrl>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

const JSONValue *member(const JSONValue &object, QStringView key)
{
    return object.isObject() ? object.find(key) : nullptr;
}

std::optional<QString> stringMember(const JSONValue &object, QStringView key)
{
    const JSONValue *v = member(object, key);
    if (!v || !v->isString())
        return std::nullopt;
    return *v->stringPtr();
}

std::optional<qint64> intMember(const JSONValue &object, QStringView key)
{
    const JSONValue *v = member(object, key);
    return v ? v->toInt() : std::nullopt;
}

bool trueMember(const JSONValue &object, QStringView key)
{
    const JSONValue *v = member(object, key);
    return v && v->boolean().value_or(false);
}

std::span<const JSONValue> arrayMember(const JSONValue &object, QStringView key)
{
    const JSONValue *v = member(object, key);
    return v ? v->elements() : std::span<const JSONValue>();
}

QString number(qint64 n)
{
    return QString::number(n);
}

} // namespace

QString pretty(const JSONValue &value)
{
    if (const QString *text = value.stringPtr())
        return *text;
    const std::optional<QByteArray> bytes = value.prettyData(JSONValue::Slash::Plain);
    return bytes ? QString::fromUtf8(*bytes) : QString();
}

QString prettyJSON(const QString &text)
{
    const std::optional<JSONValue> value = tryParseJSON(text.toUtf8());
    return value ? pretty(*value) : text;
}

QString prettyArguments(const QString &arguments)
{
    const std::optional<JSONValue> value = tryParseJSON(arguments.toUtf8());
    if (!value || !(value->isObject() || value->isArray()))
        return arguments;
    const std::optional<QByteArray> bytes = value->prettyData(JSONValue::Slash::Escaped);
    return bytes ? QString::fromUtf8(*bytes) : arguments;
}

std::optional<QString> contentText(const JSONValue *content)
{
    if (!content || !content->isArray())
        return std::nullopt;
    QStringList parts;
    for (const JSONValue &element : content->elements()) {
        const JSONValue *type = member(element, u"type");
        if (type && type->stringPtr() && *type->stringPtr() == u"text"_s) {
            if (const std::optional<QString> text = stringMember(element, u"text"))
                parts << *text;
            continue;
        }
        parts << pretty(element);
    }
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join(u'\n');
}

QString cardKind(const JSONValue &presentation)
{
    return stringMember(presentation, u"card").value_or(u"generic"_s);
}

std::optional<JSONValue> shownPresentation(const std::optional<JSONValue> &callView,
                                           const std::optional<JSONValue> &resultView)
{
    return resultView ? resultView : callView;
}

std::optional<ToolCardInput> cardInput(const std::optional<JSONValue> &callView,
                                       const std::optional<JSONValue> &resultView, const QString &arguments,
                                       const std::optional<QString> &resultText, bool isError)
{
    std::optional<JSONValue> shown = shownPresentation(callView, resultView);
    if (!shown)
        return std::nullopt;
    return ToolCardInput{std::move(*shown), arguments, resultText, isError};
}

std::optional<QString> presentedTitle(const std::optional<JSONValue> &callView,
                                      const std::optional<JSONValue> &resultView)
{
    for (const std::optional<JSONValue> *view : {&resultView, &callView}) {
        if (*view) {
            if (std::optional<QString> title = stringMember(**view, u"title"))
                return title;
        }
    }
    return std::nullopt;
}

QStringList splitLines(const QString &text)
{
    QStringList lines = text.split(u'\n');
    for (QString &line : lines) {
        if (line.endsWith(u'\r'))
            line.chop(1);
    }
    return lines;
}

// ---- Generic card ----

GenericCard makeGenericCard(const ToolCardInput &input)
{
    GenericCard card;
    const JSONValue &p = input.presentation;
    if (const JSONValue *rawInput = member(p, u"rawInput"))
        card.input = PresentationSection{u"输入"_s, pretty(*rawInput), true};
    else if (!input.fallbackArguments.isEmpty())
        card.input = PresentationSection{u"参数"_s, prettyJSON(input.fallbackArguments), true};

    const std::optional<QString> content = contentText(member(p, u"content"));
    if (content && !content->isEmpty())
        card.output = PresentationSection{u"内容"_s, *content, false};
    else if (input.fallbackResult && !input.fallbackResult->isEmpty())
        card.output = PresentationSection{u"结果"_s, *input.fallbackResult, true};

    for (const JSONValue &entry : arrayMember(p, u"locations")) {
        const std::optional<QString> path = stringMember(entry, u"path");
        FileButton button;
        if (const std::optional<qint64> line = intMember(entry, u"line"))
            button.label = path.value_or(QString()) + u':' + number(*line);
        else
            button.label = path.value_or(QString());
        button.path = path;
        card.locations.push_back(std::move(button));
    }
    return card;
}

// ---- Terminal and diff ----

TerminalCard makeTerminalCard(const ToolCardInput &input)
{
    const JSONValue &p = input.presentation;
    TerminalCard card;
    if (std::optional<QString> description = stringMember(p, u"description"); description && !description->isEmpty())
        card.description = std::move(description);
    card.cwd = stringMember(p, u"cwd").value_or(u"工作目录"_s);
    if (const std::optional<qint64> code = intMember(p, u"exitCode")) {
        card.status = u"exit "_s + number(*code);
        card.statusIsSuccess = *code == 0;
    } else if (std::optional<QString> signal = stringMember(p, u"signal")) {
        card.status = std::move(signal);
    }
    if (std::optional<QString> output = stringMember(p, u"output"))
        card.output = std::move(*output);
    else if (input.fallbackResult)
        card.output = *input.fallbackResult;
    else if (std::optional<QString> title = stringMember(p, u"title"))
        card.output = std::move(*title);
    else
        card.output = input.fallbackArguments;
    return card;
}

DiffCard makeDiffCard(const JSONValue &presentation)
{
    DiffCard card;
    for (const JSONValue &element : arrayMember(presentation, u"diffs")) {
        DiffEntry entry;
        const std::optional<QString> path = stringMember(element, u"path");
        // Without a path there is nothing to open: the header names a file and stays inert.
        entry.header = FileButton{path.value_or(u"文件"_s), path};
        if (const std::optional<QString> old = stringMember(element, u"oldText"))
            entry.removed = splitLines(*old);
        entry.added = splitLines(stringMember(element, names::diffNewTextKey).value_or(QString()));
        card.entries.push_back(std::move(entry));
    }
    return card;
}

// ---- Search and read ----

SearchCard makeSearchCard(const JSONValue &presentation)
{
    SearchCard card;
    const JSONValue &p = presentation;
    const std::optional<QString> shape = stringMember(p, u"shape");
    card.pathList = shape && *shape == u"paths"_s;
    card.title = card.pathList ? u"路径"_s : u"匹配项"_s;
    card.truncated = trueMember(p, u"truncated");
    const QString total = number(intMember(p, u"total").value_or(0));
    card.countText = card.truncated ? u"显示部分结果 · 共 "_s + total + u" 项"_s : total + u" 项"_s;
    if (card.pathList) {
        for (const JSONValue &element : arrayMember(p, u"paths"))
            card.paths << (element.isString() ? *element.stringPtr() : QString());
        return card;
    }
    for (const JSONValue &element : arrayMember(p, names::searchGroupsKey)) {
        SearchGroup group;
        group.path = stringMember(element, u"path").value_or(QString());
        for (const JSONValue &match : arrayMember(element, u"matches"))
            group.matches.push_back({intMember(match, u"lineNumber").value_or(0), stringMember(match, u"line").value_or(QString())});
        card.groups.push_back(std::move(group));
    }
    return card;
}

ReadCard makeReadCard(const JSONValue &presentation)
{
    ReadCard card;
    card.path = stringMember(presentation, u"path").value_or(QString());
    const auto lines = arrayMember(presentation, u"lines");
    card.lines.reserve(lines.size());
    for (const JSONValue &line : lines)
        card.lines.push_back({intMember(line, u"number").value_or(0), stringMember(line, u"text").value_or(QString())});
    card.countText = number(qint64(lines.size())) + u" / "_s + number(intMember(presentation, u"totalLines").value_or(0)) + u" 行"_s;
    return card;
}

// ---- Web ----

WebCard makeWebCard(const JSONValue &presentation)
{
    WebCard card;
    const JSONValue &p = presentation;
    const std::optional<QString> kind = stringMember(p, u"kind");
    card.fetch = kind && *kind == u"fetch"_s;
    if (card.fetch) {
        card.url = stringMember(p, u"url").value_or(QString());
        card.statusText = u"HTTP "_s + number(intMember(p, u"statusCode").value_or(0));
        card.truncated = trueMember(p, u"truncated");
        return card;
    }
    if (std::optional<QString> answer = stringMember(p, u"answer"); answer && !answer->isEmpty())
        card.answer = std::move(answer);
    for (const JSONValue &element : arrayMember(p, u"sources")) {
        WebSource source;
        const std::optional<QString> url = stringMember(element, u"url");
        source.title = stringMember(element, u"title").value_or(url.value_or(u"来源"_s));
        source.url = url.value_or(QString());
        source.snippet = stringMember(element, u"snippet");
        card.sources.push_back(std::move(source));
    }
    return card;
}

std::optional<QString> webAddress(const QString &text)
{
    if (text.isEmpty() || !QUrl(text, QUrl::StrictMode).isValid())
        return std::nullopt;
    return text;
}

ToolCardModel makeToolCard(const ToolCardInput &input)
{
    const QString kind = cardKind(input.presentation);
    if (kind == u"terminal"_s)
        return makeTerminalCard(input);
    if (kind == u"diff"_s)
        return makeDiffCard(input.presentation);
    if (kind == u"search"_s)
        return makeSearchCard(input.presentation);
    if (kind == u"read"_s)
        return makeReadCard(input.presentation);
    if (kind == u"web"_s)
        return makeWebCard(input.presentation);
    return makeGenericCard(input);
}

} // namespace nbd
