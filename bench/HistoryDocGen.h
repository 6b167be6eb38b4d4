#pragma once

#include <QByteArray>

#include <cstdint>
#include <string_view>

// Deterministic generator of a history page as the host sends it (the value of a
// "session.history" result): mixed ASCII and Chinese text, escapes, nested tool results
// and tool views. Used by the benchmarks and by the decoder tests; header-only.
namespace nbd::bench {

class HistoryDocGen
{
public:
    explicit HistoryDocGen(std::uint64_t seed = 0x5eed) : m_state(seed ? seed : 1) {}

    // One page of `eventCount` entries. With the default text length a page of 60,000
    // entries is about 20 MB.
    QByteArray page(int eventCount, int textScale = 100)
    {
        m_scale = textScale;
        QByteArray out;
        out.reserve(qsizetype(eventCount) * 360 + 256);
        out += R"({"hasMore":true,"projections":{"asOfSeq":)";
        appendInt(out, eventCount);
        out += R"(,"values":{"title":")";
        appendText(out, 3, 12);
        out += R"(","todos":[{"content":"写测试","status":"in_progress"},{"content":"ship","status":"pending"}]}},"events":[)";
        for (int i = 0; i < eventCount; ++i) {
            if (i)
                out += ',';
            appendEntry(out, i + 1);
        }
        out += "]}";
        return out;
    }

    // One event object alone (the "event" member of an entry).
    QByteArray event(std::int64_t seq)
    {
        QByteArray out;
        appendEvent(out, seq);
        return out;
    }

    std::uint64_t next()
    {
        // xorshift64*: fast and the same on every platform.
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545F4914F6CDD1DULL;
    }
    int below(int n) { return int(next() % std::uint64_t(n)); }

private:
    static void appendInt(QByteArray &out, std::int64_t v) { out += QByteArray::number(qlonglong(v)); }

    // Mixed text: ASCII words, Chinese words, and now and then an escape.
    void appendText(QByteArray &out, int minWords, int maxWords)
    {
        static constexpr std::string_view ascii[] = {"the", "file", "function", "returns", "value", "error", "build",
                                                     "test", "src/main.cpp", "ok", "JSON", "parse", "42", "config"};
        static constexpr std::string_view chinese[] = {"我们", "需要", "检查", "这个", "函数", "返回值", "错误",
                                                       "文件", "测试", "已经", "完成", "修改", "配置", "运行"};
        static constexpr std::string_view escapes[] = {"\\n", "\\\"", "\\t", "\\u00e9", "\\\\", "\\ud83d\\ude00"};
        const int words = (minWords + below(maxWords - minWords + 1)) * m_scale / 100;
        for (int w = 0; w < words; ++w) {
            const int pick = below(20);
            if (pick < 10) {
                const auto &s = ascii[below(int(std::size(ascii)))];
                out.append(s.data(), qsizetype(s.size()));
                out += ' ';
            } else if (pick < 19) {
                const auto &s = chinese[below(int(std::size(chinese)))];
                out.append(s.data(), qsizetype(s.size()));
            } else {
                const auto &s = escapes[below(int(std::size(escapes)))];
                out.append(s.data(), qsizetype(s.size()));
            }
        }
    }

    void appendCommon(QByteArray &out, const char *type, std::int64_t seq)
    {
        out += R"({"type":")";
        out += type;
        out += R"(","seq":)";
        appendInt(out, seq);
        out += R"(,"time":)";
        appendInt(out, 1700000000000LL + seq * 37);
        out += '.';
        appendInt(out, below(1000));
    }

    void appendEvent(QByteArray &out, std::int64_t seq)
    {
        switch (below(8)) {
        case 0:
            appendCommon(out, "user/message", seq);
            out += R"(,"data":{"content":[{"type":"text","text":")";
            appendText(out, 10, 40);
            out += R"("}],"clientTimeZone":"Asia/Shanghai"}})";
            break;
        case 1:
        case 2:
            appendCommon(out, "assistant/chunk", seq);
            out += R"(,"data":{"chunk":{"type":"text-delta","delta":")";
            appendText(out, 2, 10);
            out += R"("}},"ignorable":false})";
            break;
        case 3:
            appendCommon(out, "assistant/message", seq);
            out += R"(,"data":{"role":"assistant","content":[{"type":"text","text":")";
            appendText(out, 20, 60);
            out += R"("}],"usage":{"inputTokens":)";
            appendInt(out, below(90000));
            out += R"(,"outputTokens":)";
            appendInt(out, below(4000));
            out += R"(}},"sourceEventSeqs":[)";
            for (int k = 0; k < 4; ++k) {
                if (k)
                    out += ',';
                appendInt(out, seq > 4 ? seq - 4 + k : k);
            }
            out += R"(],"surfaceOp":{"op":"replace"}})";
            break;
        case 4:
            appendCommon(out, "tool/call", seq);
            out += R"(,"data":{"callId":"call-)";
            appendInt(out, seq);
            out += R"(","name":"read_file","arguments":{"path":"src/Domain/Sessions.cpp","offset":)";
            appendInt(out, below(500));
            out += R"(,"limit":200}}})";
            break;
        case 5:
        case 6:
            appendCommon(out, "tool/result", seq);
            out += R"(,"data":{"callId":"call-)";
            appendInt(out, seq - 1);
            out += R"(","result":{"ok":true,"output":{"lines":[")";
            appendText(out, 5, 15);
            out += R"(",")";
            appendText(out, 5, 15);
            out += R"("],"meta":{"truncated":false,"exitCode":0,"durationMs":)";
            appendInt(out, below(5000));
            out += R"(,"nested":{"a":[1,2.5,-3e2,null,true],"b":{"c":"深层"}}}}}}})";
            break;
        default:
            appendCommon(out, below(2) ? "turn/start" : "step/end", seq);
            out += R"(,"data":{"turn":)";
            appendInt(out, seq / 10);
            out += R"(,"reason":null}})";
            break;
        }
    }

    void appendEntry(QByteArray &out, std::int64_t seq)
    {
        out += R"({"event":)";
        appendEvent(out, seq);
        if (below(4) == 0) {
            out += R"(,"view":{"for":"call-)";
            appendInt(out, seq);
            out += R"(","view":{"kind":"diff","title":")";
            appendText(out, 2, 6);
            out += R"(","hunks":[{"oldStart":)";
            appendInt(out, below(300));
            out += R"(,"lines":["- old line","+ )";
            appendText(out, 3, 8);
            out += R"("]}]}})";
        } else if (below(8) == 0) {
            out += R"(,"view":null)";
        }
        out += '}';
    }

    std::uint64_t m_state;
    int m_scale = 100;
};

} // namespace nbd::bench
