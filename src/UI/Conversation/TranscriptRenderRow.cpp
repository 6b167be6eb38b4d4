#include "UI/Conversation/TranscriptRenderRow.h"

#include <algorithm>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

void appendNumber(QString &out, qint64 value)
{
    char16_t digits[24];
    int n = 0;
    const bool negative = value < 0;
    quint64 rest = negative ? quint64(0) - quint64(value) : quint64(value);
    do {
        digits[n++] = char16_t(u'0' + rest % 10);
        rest /= 10;
    } while (rest);
    if (negative)
        out.append(u'-');
    while (n)
        out.append(QChar(digits[--n]));
}

} // namespace

// Every publish names every block of the session: built in one allocation.
QString TranscriptRenderRow::blockId(qint64 turn, qint64 step, qint64 index)
{
    QString id;
    id.reserve(5 + 6 + 7 + 3 * 20);
    id.append(u"turn-");
    appendNumber(id, turn);
    id.append(u"-step-");
    appendNumber(id, step);
    id.append(u"-block-");
    appendNumber(id, index);
    return id;
}

namespace {

struct Keyed
{
    qint64 seq;
    std::optional<qint64> turn;
    qint64 order;
    TranscriptRenderRow row;
};

bool before(const Keyed &a, const Keyed &b) { return a.seq != b.seq ? a.seq < b.seq : a.order < b.order; }

std::optional<qint64> newestTurn(const std::vector<TranscriptItem> &items)
{
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        if (const auto *turn = std::get_if<TurnItem>(&*it))
            return turn->turn;
    }
    return std::nullopt;
}

// The rows of one item, unsorted, their spacing not set yet.
void appendRows(const TranscriptItem &item, const std::optional<qint64> &lastTurn, qint64 &order, std::vector<Keyed> &keyed)
{
    using Row = TranscriptRenderRow;
    if (const auto *user = std::get_if<UserMessageItem>(&item)) {
        if (user->sourceKind != u"user")
            return;
        keyed.push_back({user->seq, std::nullopt, order++, Row{Row::kUserPrefix.toString() + user->id, *user, 16, false}});
    } else if (const auto *notice = std::get_if<NoticeItem>(&item)) {
        keyed.push_back({notice->seq, std::nullopt, order++, Row{u"notice-"_s + notice->id, *notice, 16, false}});
    } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
        // An empty last step means no endpoint, even when earlier steps have blocks.
        std::optional<QString> endpoint;
        if (!turn->steps.empty() && !turn->steps.back().blocks.empty())
            endpoint = Row::blockId(turn->turn, turn->steps.back().step, turn->steps.back().blocks.back().index);
        const bool newest = lastTurn && *lastTurn == turn->turn;
        for (const StepItem &step : turn->steps) {
            for (const BlockItem &block : step.blocks) {
                QString id = Row::blockId(turn->turn, step.step, block.index);
                const bool isEndpoint = newest && endpoint && id == *endpoint;
                keyed.push_back({block.seq, turn->turn, order++, Row{std::move(id), block, 16, isEndpoint}});
            }
        }
    }
}

// Sets each row's spacing from the row before it: blocks that continue a turn get 12.
void setSpacing(std::vector<Keyed> &keyed, std::optional<qint64> previousTurn)
{
    for (Keyed &k : keyed) {
        const bool continuesTurn = k.turn && previousTurn && *k.turn == *previousTurn;
        k.row.leadingSpacing = continuesTurn ? 12 : 16;
        previousTurn = k.turn;
    }
}

} // namespace

std::vector<TranscriptRenderRow> TranscriptRenderRow::make(const std::vector<TranscriptItem> &items)
{
    TranscriptRowCache cache;
    cache.update(items, 0);
    return cache.rows();
}

void TranscriptRowCache::clear()
{
    m_rows.clear();
    m_places.clear();
    m_firstRowOfItem.clear();
    m_lastTurn.reset();
    m_inItemOrder = false;
}

size_t TranscriptRowCache::rebuildAll(const std::vector<TranscriptItem> &items)
{
    clear();
    m_lastTurn = newestTurn(items);
    std::vector<Keyed> keyed;
    keyed.reserve(items.size() * 2);
    m_firstRowOfItem.reserve(items.size());
    qint64 order = 0;
    for (const TranscriptItem &item : items) {
        m_firstRowOfItem.push_back(keyed.size());
        appendRows(item, m_lastTurn, order, keyed);
    }
    // Items nearly always come in event order already.
    m_inItemOrder = std::is_sorted(keyed.begin(), keyed.end(), before);
    if (!m_inItemOrder) {
        std::sort(keyed.begin(), keyed.end(), before);
        m_firstRowOfItem.clear();
    }
    setSpacing(keyed, std::nullopt);
    m_rows.reserve(keyed.size());
    m_places.reserve(keyed.size());
    for (Keyed &k : keyed) {
        m_places.push_back({k.seq, k.turn, k.order});
        m_rows.push_back(std::move(k.row));
    }
    return 0;
}

size_t TranscriptRowCache::update(const std::vector<TranscriptItem> &items, size_t unchangedBefore)
{
    // The rows of the unchanged items can be kept when they stood in item order and the newest
    // turn (which marks the streaming endpoint) is the same one.
    size_t keptItems = std::min({unchangedBefore, items.size(), m_firstRowOfItem.size()});
    if (!m_inItemOrder || keptItems == 0)
        return rebuildAll(items);
    const std::optional<qint64> newest = newestTurn(items);
    if (newest != m_lastTurn) {
        // A new newest turn moves the streaming endpoint: only the rows of the turns that were
        // and are now the newest can change with it, and they are made again.
        for (size_t i = keptItems; i-- > 0;) {
            const auto *turn = std::get_if<TurnItem>(&items[i]);
            if (turn && (turn->turn == m_lastTurn || turn->turn == newest))
                keptItems = i;
        }
        m_lastTurn = newest;
        if (keptItems == 0)
            return rebuildAll(items);
    }

    const size_t keptRows = keptItems < m_firstRowOfItem.size() ? m_firstRowOfItem[keptItems] : m_rows.size();
    qint64 order = keptRows == 0 ? 0 : m_places[keptRows - 1].order + 1;
    std::vector<Keyed> keyed;
    std::vector<size_t> firstRows;
    for (size_t i = keptItems; i < items.size(); ++i) {
        firstRows.push_back(keptRows + keyed.size());
        appendRows(items[i], m_lastTurn, order, keyed);
    }
    // The new rows must sort after every kept row, and among themselves in item order, or
    // the whole order is made again.
    const bool inOrder = std::is_sorted(keyed.begin(), keyed.end(), before)
        && (keyed.empty() || keptRows == 0
            || before(Keyed{m_places[keptRows - 1].seq, {}, m_places[keptRows - 1].order, {}}, keyed.front()));
    if (!inOrder)
        return rebuildAll(items);

    setSpacing(keyed, keptRows == 0 ? std::nullopt : m_places[keptRows - 1].turn);
    m_rows.resize(keptRows);
    m_places.resize(keptRows);
    m_firstRowOfItem.resize(keptItems);
    m_firstRowOfItem.insert(m_firstRowOfItem.end(), firstRows.begin(), firstRows.end());
    for (Keyed &k : keyed) {
        m_places.push_back({k.seq, k.turn, k.order});
        m_rows.push_back(std::move(k.row));
    }
    return keptRows;
}

} // namespace nbd
