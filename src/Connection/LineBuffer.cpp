#include "Connection/LineBuffer.h"

namespace nbd {

namespace {

bool isNewline(QChar c)
{
    switch (c.unicode()) {
    case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x85: case 0x2028: case 0x2029: return true;
    default: return false;
    }
}

// The length of the part of bytes that ends with its last newline (0 when there is none).
// Working on bytes keeps a multi-byte character split between two reads intact.
qsizetype completeLength(const QByteArray &bytes)
{
    for (qsizetype i = bytes.size() - 1; i >= 0; --i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x0A && b <= 0x0D)
            return i + 1;
        if (b == 0x85 && i >= 1 && static_cast<unsigned char>(bytes[i - 1]) == 0xC2)
            return i + 1;
        if ((b == 0xA8 || b == 0xA9) && i >= 2 && static_cast<unsigned char>(bytes[i - 1]) == 0x80
            && static_cast<unsigned char>(bytes[i - 2]) == 0xE2)
            return i + 1;
    }
    return 0;
}

} // namespace

QStringList LineBuffer::splitLines(const QString &text)
{
    QStringList lines;
    qsizetype begin = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isNewline(text[i]))
            continue;
        lines.append(text.mid(begin, i - begin));
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        begin = i + 1;
    }
    if (begin < text.size())
        lines.append(text.mid(begin));
    return lines;
}

QStringList LineBuffer::take(const QByteArray &chunk, bool atEnd)
{
    carried += chunk;
    qsizetype length = completeLength(carried);
    if (atEnd || (length == 0 && carried.size() > kMaxCarriedLine))
        length = carried.size();
    if (length == 0)
        return {};
    const QString text = QString::fromUtf8(carried.constData(), length);
    carried.remove(0, length);
    return splitLines(text);
}

QString LineBuffer::heldLine() const
{
    qsizetype length = carried.size();
    // Step back over an unfinished UTF-8 sequence at the end.
    qsizetype lead = length - 1;
    while (lead >= 0 && lead > length - 4 && (static_cast<unsigned char>(carried[lead]) & 0xC0) == 0x80)
        --lead;
    if (lead >= 0) {
        const auto b = static_cast<unsigned char>(carried[lead]);
        const qsizetype need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        if (lead + need > length)
            length = lead;
    }
    return QString::fromUtf8(carried.constData(), length);
}

} // namespace nbd
