#include "protocol/Reassembler.h"

namespace {

constexpr const char* kPrefixes[] = {"IP:", "CT:", "FL:", "FB:", "OK:", "XX:"};

// True when the whole of `bytes` could still grow into `word`.
bool isStartOf(const QByteArray& bytes, const char* word) {
    return QByteArray(word).startsWith(bytes);
}

} // namespace

bool Reassembler::startsWithPrefix(const QByteArray& bytes, qsizetype at) {
    if (bytes.size() - at < 3)
        return false;
    for (const char* p : kPrefixes) {
        if (bytes[at] == p[0] && bytes[at + 1] == p[1] && bytes[at + 2] == p[2])
            return true;
    }
    return false;
}

void Reassembler::push(const QByteArray& arrival) {
    m_buffer.append(arrival);
}

Reassembler::Result Reassembler::take(qsizetype length, qsizetype skip, QByteArray& message) {
    message = m_buffer.left(length);
    m_buffer.remove(0, length + skip);
    return Result::Message;
}

Reassembler::Result Reassembler::next(bool receiving, QByteArray& message) {
    if (m_buffer.isEmpty())
        return Result::NeedMore;
    // "OK:" and "XX:" carry nothing: another message glued behind one of
    // them is a message of its own.
    if ((m_buffer.startsWith("OK:") || m_buffer.startsWith("XX:")) && startsWithPrefix(m_buffer, 3))
        return take(3, 0, message);
    if (!receiving) {
        // Outside a reception an arrival is one message. The one exception:
        // a file announcement with the start of its first block glued to it,
        // which belongs to the reception that the announcement opens.
        if (m_buffer.startsWith("FL:")) {
            const qsizetype at = blockAfterAnnouncement();
            if (at > 0)
                return take(at, 0, message);
        }
        return take(m_buffer.size(), 0, message);
    }
    if (m_buffer.startsWith("FB:RM:"))
        return nextFinalBlock(message);
    if (m_buffer.size() < 6 && isStartOf(m_buffer, "FB:RM:"))
        return Result::NeedMore; // cannot tell a full block from the final one yet
    if (m_buffer.startsWith("FB:"))
        return nextFullBlock(message);
    return nextOther(message);
}

qsizetype Reassembler::blockAfterAnnouncement() const {
    for (qsizetype at = m_buffer.indexOf("FB:", 4); at > 0; at = m_buffer.indexOf("FB:", at + 1)) {
        const qsizetype tail = m_buffer.size() - at;
        const bool fits =
            m_buffer.mid(at, 6) == "FB:RM:"
                ? tail <= MaxFinalMessageSize
                : tail < BlockMessageSize || m_buffer[at + BlockMessageSize - 1] == '|';
        if (fits)
            return at;
    }
    return -1;
}

Reassembler::Result Reassembler::nextFinalBlock(QByteArray& message) {
    const qsizetype size = m_buffer.size();
    const qsizetype last = qMin<qsizetype>(size, MaxFinalMessageSize) - 1;
    // A "|" followed by the start of another message ends it.
    for (qsizetype i = 6; i <= last; ++i) {
        if (m_buffer[i] == '|' && i + 1 < size && startsWithPrefix(m_buffer, i + 1))
            return take(i, 1, message);
    }
    // Otherwise the "|" that ends what has arrived so far.
    if (size <= MaxFinalMessageSize && m_buffer.endsWith('|'))
        return take(size - 1, 1, message);
    if (size >= MaxFinalMessageSize)
        return Result::Overflow;
    return Result::NeedMore;
}

Reassembler::Result Reassembler::nextFullBlock(QByteArray& message) {
    if (m_buffer.size() < BlockMessageSize)
        return Result::NeedMore;
    if (m_buffer[BlockMessageSize - 1] != '|')
        return Result::Overflow; // 1000 payload bytes not followed by the terminator
    return take(BlockMessageSize - 1, 1, message);
}

Reassembler::Result Reassembler::nextOther(QByteArray& message) {
    const qsizetype size = m_buffer.size();
    if (size < 3) {
        for (const char* p : kPrefixes) {
            if (isStartOf(m_buffer, p))
                return Result::NeedMore;
        }
    }
    // A message without terminator runs up to the next block message, or to
    // the end of what has arrived. Unknown bytes are dropped up to the same
    // point.
    const qsizetype blockAt = m_buffer.indexOf("FB:", 1);
    return take(blockAt < 0 ? size : blockAt, 0, message);
}
