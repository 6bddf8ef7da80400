#include "protocol/Reassembler.h"

using wire::Kind;

namespace {

const QByteArray kBlockPrefix = wire::prefix(Kind::Block);
const QByteArray kFinalPrefix = wire::prefix(Kind::FinalBlock);

} // namespace

void Reassembler::push(const QByteArray& arrival) {
    m_buffer.append(arrival);
}

Reassembler::Result Reassembler::take(qsizetype length, qsizetype skip, QByteArray& message) {
    message = m_buffer.left(length);
    m_buffer.remove(0, length + skip);
    m_release = false;
    return Result::Message;
}

Reassembler::Result Reassembler::next(Reception reception, QByteArray& message) {
    if (m_buffer.isEmpty())
        return Result::NeedMore;
    // "OK:" and "XX:" carry nothing: another message glued behind one of
    // them is a message of its own.
    const Kind kind = wire::kindOf(m_buffer);
    if ((kind == Kind::Ack || kind == Kind::End) && wire::prefixAt(m_buffer, wire::kPrefixSize))
        return take(wire::kPrefixSize, 0, message);
    if (reception == Reception::Idle) {
        // Outside a reception an arrival is one message. The one exception:
        // a file announcement with the start of its first block glued to it,
        // which belongs to the reception that the announcement opens.
        if (kind == Kind::FileName) {
            const qsizetype at = blockAfterAnnouncement();
            if (at > 0)
                return take(at, 0, message);
        }
        return take(m_buffer.size(), 0, message);
    }
    if (kind == Kind::FinalBlock)
        return nextFinalBlock(message);
    if (m_buffer.size() < wire::kFinalPrefixSize && kFinalPrefix.startsWith(m_buffer))
        return Result::NeedMore; // cannot tell a full block from the final one yet
    if (kind == Kind::Block)
        return nextFullBlock(message);
    return nextOther(message);
}

qsizetype Reassembler::blockAfterAnnouncement() const {
    // The sender waits before its first block, so a block glued to the
    // announcement is the last thing in the arrival: "FB:" + a block + "|"
    // ending where the arrival ends, or "FB:RM:" + the rest + "|". A name may
    // itself hold "FB:" (a legal file name), so a shorter tail splits it only
    // when it holds a byte that no name holds (see below). Only the arrival's
    // last bytes can hold a block, which bounds the search whatever the
    // name's length.
    const qsizetype size = m_buffer.size();
    const qsizetype nameEnd = wire::kPrefixSize + 1; // at least one character of a name
    if (!m_buffer.endsWith(wire::kTerminator))
        return blockCutShort(nameEnd);
    qsizetype at = -1;
    const qsizetype full = size - wire::kBlockMessageSize;
    if (full >= nameEnd && QByteArrayView(m_buffer).sliced(full).startsWith(kBlockPrefix) &&
        !QByteArrayView(m_buffer).sliced(full).startsWith(kFinalPrefix))
        at = full;
    // The final block starts at the last "FB:RM:" close enough to the end.
    const qsizetype from = qMax(nameEnd, size - wire::kMaxFinalMessageSize);
    if (from < size) {
        const qsizetype final = QByteArrayView(m_buffer).sliced(from).lastIndexOf(kFinalPrefix);
        if (final >= 0)
            at = qMax(at, from + final);
    }
    return at >= 0 ? at : blockCutShort(nameEnd);
}

qsizetype Reassembler::blockCutShort(qsizetype nameEnd) const {
    // A first block the network cut short. A sent name never holds '/', '\\'
    // or NUL, while a block's encrypted bytes almost always hold one of them:
    // the name ends before the first such byte, and the block begins at the
    // last "FB:" in front of it. Without such a byte the arrival cannot be
    // told from a name and stays one announcement.
    const qsizetype size = m_buffer.size();
    const qsizetype window = qMax(nameEnd, size - (wire::kBlockMessageSize - 1));
    for (qsizetype i = window; i < size; ++i) {
        const char c = m_buffer[i];
        if (c != '/' && c != '\\' && c != '\0')
            continue;
        const qsizetype at =
            QByteArrayView(m_buffer).sliced(window, i - window).lastIndexOf(kBlockPrefix);
        return at >= 0 ? window + at : -1;
    }
    return -1;
}

Reassembler::Result Reassembler::nextFinalBlock(QByteArray& message) {
    const qsizetype size = m_buffer.size();
    const qsizetype last = qMin<qsizetype>(size, wire::kMaxFinalMessageSize) - 1;
    // A "|" followed by the start of another message ends it.
    for (qsizetype i = wire::kFinalPrefixSize; i <= last; ++i) {
        if (m_buffer[i] == wire::kTerminator && i + 1 < size && wire::prefixAt(m_buffer, i + 1))
            return take(i, 1, message);
    }
    // Otherwise the "|" that ends what has arrived so far, unless the rest of
    // a split message may still come.
    if (size <= wire::kMaxFinalMessageSize && m_buffer.endsWith(wire::kTerminator)) {
        if (m_holdFinal && size < wire::kMaxFinalMessageSize && !m_release)
            return Result::Held;
        return take(size - 1, 1, message);
    }
    if (size >= wire::kMaxFinalMessageSize)
        return Result::Overflow;
    return Result::NeedMore;
}

Reassembler::Result Reassembler::nextFullBlock(QByteArray& message) {
    if (m_buffer.size() < wire::kBlockMessageSize)
        return Result::NeedMore;
    if (m_buffer[wire::kBlockMessageSize - 1] != wire::kTerminator)
        return Result::Overflow; // a block's payload not followed by the terminator
    return take(wire::kBlockMessageSize - 1, 1, message);
}

Reassembler::Result Reassembler::nextOther(QByteArray& message) {
    if (wire::couldBecomePrefix(m_buffer))
        return Result::NeedMore;
    // A message without terminator runs up to the next block message, or to
    // the end of what has arrived. Unknown bytes are dropped up to the same
    // point.
    const qsizetype blockAt = m_buffer.indexOf(kBlockPrefix, 1);
    return take(blockAt < 0 ? m_buffer.size() : blockAt, 0, message);
}
