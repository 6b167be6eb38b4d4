#pragma once

#include "Wire/JSONValue.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>
#include <vector>

// What the card of a tool call shows, derived from the host's presentation of the call (a JSON
// object) and the call's raw texts. Pure values: the widgets only draw them, so every rule of
// the cards is tested here without a window.
namespace nbd {

// Display form of a JSON value: a string as itself, anything else as pretty JSON with sorted
// keys and "/" left unescaped; the empty text when the value cannot be written.
QString pretty(const JSONValue &value);
// A text that may hold JSON: its decoded value in the pretty form, else the text unchanged.
QString prettyJSON(const QString &text);
// Tool-call arguments for the fallback detail: a JSON object or array pretty-printed with
// sorted keys and "/" escaped; any other text (scalars included) unchanged.
QString prettyArguments(const QString &arguments);
// The text of a presentation's content list, parts joined with "\n"; nothing when the value
// is absent or not an array, or when no part results.
std::optional<QString> contentText(const JSONValue *content);
// The card kind: the presentation's "card" string, else "generic".
QString cardKind(const JSONValue &presentation);
// The lines of a text split at each line feed, empty lines kept ("" gives one empty line,
// a final "\n" an empty last line). A carriage return before a line feed ends the line too.
QStringList splitLines(const QString &text);

// A reference a card can open; `path` is what the click hands to the link router.
struct FileButton
{
    QString label;
    std::optional<QString> path; // nothing: the click does nothing
    bool operator==(const FileButton &) const = default;
};

struct PresentationSection
{
    QString label;
    QString text;
    bool monospaced = false;
    bool operator==(const PresentationSection &) const = default;
};

struct GenericCard
{
    std::optional<PresentationSection> input;
    std::optional<PresentationSection> output;
    std::vector<FileButton> locations;
    bool operator==(const GenericCard &) const = default;
};

struct TerminalCard
{
    std::optional<QString> description; // only when a non-empty string
    QString cwd;                        // "工作目录" when missing
    std::optional<QString> status;      // "exit N" or a signal name
    bool statusIsSuccess = false;       // exit 0: green; everything else red
    QString output;
    bool operator==(const TerminalCard &) const = default;
};

struct DiffEntry
{
    FileButton header;                // "文件" without a path
    std::optional<QStringList> removed; // the old text's lines, when "oldText" is a string
    QStringList added;                // the new text's lines (one empty line at least)
    bool operator==(const DiffEntry &) const = default;
};

struct DiffCard
{
    std::vector<DiffEntry> entries;
    bool operator==(const DiffCard &) const = default;
};

struct SearchMatch
{
    qint64 lineNumber = 0;
    QString line;
    bool operator==(const SearchMatch &) const = default;
};

struct SearchGroup
{
    QString path;
    std::vector<SearchMatch> matches;
    bool operator==(const SearchGroup &) const = default;
};

struct SearchCard
{
    bool pathList = false; // "shape" "paths"
    QString title;         // "路径" or "匹配项"
    QString countText;
    bool truncated = false; // the count is drawn in the warning colour
    QStringList paths;
    std::vector<SearchGroup> groups;
    bool operator==(const SearchCard &) const = default;
};

struct ReadLine
{
    qint64 number = 0;
    QString text;
    bool operator==(const ReadLine &) const = default;
};

struct ReadCard
{
    QString path;
    QString countText; // "shown / total 行"
    std::vector<ReadLine> lines;
    bool operator==(const ReadCard &) const = default;
};

struct WebSource
{
    QString title;
    QString url;
    std::optional<QString> snippet;
    bool operator==(const WebSource &) const = default;
};

struct WebCard
{
    bool fetch = false;
    // Fetched page.
    QString url;
    QString statusText; // "HTTP 200"
    bool truncated = false;
    // Search.
    std::optional<QString> answer; // only a non-empty string
    std::vector<WebSource> sources;
    bool operator==(const WebCard &) const = default;
};

using ToolCardModel = std::variant<GenericCard, TerminalCard, DiffCard, SearchCard, ReadCard, WebCard>;

struct ToolCardInput
{
    JSONValue presentation;
    QString fallbackArguments;
    std::optional<QString> fallbackResult;
    bool isError = false;
    bool operator==(const ToolCardInput &) const = default;
};

// The presentation a tool call is drawn from: its result's when the host sent one, else its
// call's.
std::optional<JSONValue> shownPresentation(const std::optional<JSONValue> &callView,
                                           const std::optional<JSONValue> &resultView);
// The card input of a tool call; nothing when the host presented neither the call nor its
// result, and the call shows its raw arguments and result instead.
std::optional<ToolCardInput> cardInput(const std::optional<JSONValue> &callView,
                                       const std::optional<JSONValue> &resultView, const QString &arguments,
                                       const std::optional<QString> &resultText, bool isError);
// The title the host gave the call: the result presentation's "title" string, else the call's.
std::optional<QString> presentedTitle(const std::optional<JSONValue> &callView,
                                      const std::optional<JSONValue> &resultView);

ToolCardModel makeToolCard(const ToolCardInput &input);

GenericCard makeGenericCard(const ToolCardInput &input);
TerminalCard makeTerminalCard(const ToolCardInput &input);
DiffCard makeDiffCard(const JSONValue &presentation);
SearchCard makeSearchCard(const JSONValue &presentation);
ReadCard makeReadCard(const JSONValue &presentation);
WebCard makeWebCard(const JSONValue &presentation);

// The address a web card opens: nothing for an empty text or one that does not parse.
std::optional<QString> webAddress(const QString &text);

} // namespace nbd
