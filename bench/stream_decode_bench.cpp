// What decoding one live frame costs the thread that does it: the work an event stream now
// hands to its decoding threads instead of the main thread (UTF-8 of the message's text, the
// JSON parse and the frame's decode).
//
//   stream.decode_ms_5mb_frame   a session event carrying a 5 MB tool result (60,000 lines of
//                                mixed Chinese and ASCII), median of 7
//   stream.decode_us_small_frame a text delta of about 300 bytes, median over 20,000

#include "Wire/JSONValue.h"
#include "Wire/WireEnvelope.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace nbd;
using namespace Qt::StringLiterals;

namespace {

QString frameText(const QString &payloadText)
{
    const JSONValue payload = JSONValue::object({{u"sessionId"_s, u"s1"_s}, {u"text"_s, payloadText}});
    const JSONValue frame = JSONValue::object({{u"type"_s, u"server-request"_s},
                                               {u"rpcId"_s, u"r1"_s},
                                               {u"method"_s, u"session/event"_s},
                                               {u"payload"_s, payload}});
    return QString::fromUtf8(frame.data().value_or(QByteArray()));
}

double decodeMs(const QString &text)
{
    QElapsedTimer t;
    t.start();
    const ServerRequest frame = ServerRequest::fromJson(parseJSON(text.toUtf8()));
    const double ms = double(t.nsecsElapsed()) / 1e6;
    if (frame.rpcId != u"r1"_s)
        std::fprintf(stderr, "frame did not decode\n");
    return ms;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void print(const char *name, double value, int decimals)
{
    std::printf("%s: %s\n", name, QByteArray::number(value, 'f', decimals).constData());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString big;
    for (int line = 0; big.size() < 5 * 1024 * 1024 / 2; ++line)
        big += u"第 %1 行：构建输出 build output line with some ASCII text\n"_s.arg(line);
    const QString bigFrame = frameText(big);
    std::vector<double> bigMs;
    for (int i = 0; i < 7; ++i)
        bigMs.push_back(decodeMs(bigFrame));

    const QString smallFrame = frameText(u"一段流式输出的文本 streamed assistant text delta "_s.repeated(4));
    std::vector<double> smallUs;
    for (int i = 0; i < 20000; ++i)
        smallUs.push_back(decodeMs(smallFrame) * 1000.0);

    print("stream.decode_ms_5mb_frame", median(bigMs), 1);
    print("stream.decode_us_small_frame", median(smallUs), 1);
    return 0;
}
