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

std::vector<TranscriptRenderRow> TranscriptRenderRow::make(const std::vector<TranscriptItem> &items)
{
    if (items.empty())
        return {};

    std::optional<qint64> lastTurn;
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        if (const auto *turn = std::get_if<TurnItem>(&*it)) {
            lastTurn = turn->turn;
            break;
        }
    }

    struct Keyed
    {
        qint64 seq;
        std::optional<qint64> turn;
        qint64 order;
        TranscriptRenderRow row;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(items.size() * 2);
    qint64 order = 0;

    for (const TranscriptItem &item : items) {
        if (const auto *user = std::get_if<UserMessageItem>(&item)) {
            if (user->sourceKind != u"user")
                continue;
            keyed.push_back({user->seq, std::nullopt, order++,
                             TranscriptRenderRow{kUserPrefix.toString() + user->id, *user, 16, false}});
        } else if (const auto *notice = std::get_if<NoticeItem>(&item)) {
            keyed.push_back({notice->seq, std::nullopt, order++,
                             TranscriptRenderRow{u"notice-"_s + notice->id, *notice, 16, false}});
        } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
            // An empty last step means no endpoint, even when earlier steps have blocks.
            std::optional<QString> endpoint;
            if (!turn->steps.empty() && !turn->steps.back().blocks.empty())
                endpoint = blockId(turn->turn, turn->steps.back().step, turn->steps.back().blocks.back().index);
            const bool newest = lastTurn && *lastTurn == turn->turn;
            for (const StepItem &step : turn->steps) {
                for (const BlockItem &block : step.blocks) {
                    QString id = blockId(turn->turn, step.step, block.index);
                    const bool isEndpoint = newest && endpoint && id == *endpoint;
                    keyed.push_back({block.seq, turn->turn, order++,
                                     TranscriptRenderRow{std::move(id), block, 16, isEndpoint}});
                }
            }
        }
    }

    const auto before = [](const Keyed &a, const Keyed &b) {
        return a.seq != b.seq ? a.seq < b.seq : a.order < b.order;
    };
    // Items nearly always come in event order already.
    if (!std::is_sorted(keyed.begin(), keyed.end(), before))
        std::sort(keyed.begin(), keyed.end(), before);

    std::vector<TranscriptRenderRow> rows;
    rows.reserve(keyed.size());
    std::optional<qint64> previousTurn;
    for (Keyed &k : keyed) {
        const bool continuesTurn = k.turn && previousTurn && *k.turn == *previousTurn;
        k.row.leadingSpacing = continuesTurn ? 12 : 16;
        previousTurn = k.turn;
        rows.push_back(std::move(k.row));
    }
    return rows;
}

} // namespace nbd
