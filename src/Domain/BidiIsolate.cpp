#include "Domain/BidiIsolate.h"

#include <algorithm>
#include <vector>

namespace nbd::text {

namespace {
constexpr char16_t kLRE = 0x202A, kRLE = 0x202B, kPDF = 0x202C, kLRO = 0x202D, kRLO = 0x202E;
constexpr char16_t kLRI = 0x2066, kRLI = 0x2067, kFSI = 0x2068, kPDI = 0x2069;

bool opensEmbedding(char16_t c) { return c == kLRE || c == kRLE || c == kLRO || c == kRLO; }
bool opensIsolate(char16_t c) { return c == kLRI || c == kRLI || c == kFSI; }

// Follows `c` on the stack of what is open, innermost last (true for an isolate); false for a
// pop with nothing of the text's own to close, which is then left out.
bool follow(std::vector<bool> &open, char16_t c)
{
    if (opensEmbedding(c)) {
        open.push_back(false);
    } else if (opensIsolate(c)) {
        open.push_back(true);
    } else if (c == kPDF) {
        // Closes an embedding of the text, never an isolate (the bidi algorithm ignores it
        // there too).
        if (open.empty() || open.back())
            return false;
        open.pop_back();
    } else if (c == kPDI) {
        // Closes the innermost isolate of the text and the embeddings inside it; without one
        // it would close the wrapping.
        const auto isolate = std::find(open.rbegin(), open.rend(), true);
        if (isolate == open.rend())
            return false;
        open.erase(std::prev(isolate.base()), open.end());
    }
    return true;
}

void close(QString &out, const std::vector<bool> &open)
{
    for (auto it = open.rbegin(); it != open.rend(); ++it)
        out.append(QChar(*it ? kPDI : kPDF));
}

} // namespace

QString bidiIsolated(QStringView hostText)
{
    QString out;
    out.reserve(hostText.size() + 2);
    out.append(QChar(kFSI));
    std::vector<bool> open;
    for (const QChar ch : hostText) {
        if (follow(open, ch.unicode()))
            out.append(ch);
    }
    close(out, open);
    out.append(QChar(kPDI));
    return out;
}

QString closedAtCut(QStringView text, qsizetype cut)
{
    cut = std::clamp<qsizetype>(cut, 0, text.size());
    std::vector<bool> open;
    for (const QChar ch : text.first(cut))
        follow(open, ch.unicode());
    QString out = text.first(cut).toString();
    close(out, open);
    out.append(text.sliced(cut));
    return out;
}

} // namespace nbd::text
