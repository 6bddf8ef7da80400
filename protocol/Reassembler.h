#pragma once

#include "protocol/Wire.h"

#include <QByteArray>

// Cuts what arrives on the connection into messages.
//
// Outside a file reception every arrival is one message, as peers expect.
// During a reception the bytes are collected and cut by what the messages
// themselves say:
//  - a full block message is "FB:" + 1000 bytes + "|" (1004 bytes), recognised
//    by its length, so a "|" inside the encrypted payload cannot end it early;
//  - the final block message "FB:RM:" + 0..999 bytes + "|" ends at a "|" that
//    is followed by the start of another message, or at the end of what has
//    arrived;
//  - other messages ("CT:", "OK:", "XX:", ...) that arrive between blocks are
//    messages of their own, ending where a block message begins.
// The buffer never holds more than one block message: anything larger is a
// peer that does not keep to the format.
class Reassembler {
public:
    enum class Result {
        Message,  // `message` holds one message (a block without its "|")
        NeedMore, // nothing complete yet
        Overflow, // the peer sent more than one block message can hold
        Held      // a final block seems complete; see holdFinalBlocks()
    };

    // Whether a file reception is running; it may change between calls to
    // next() as messages are handled.
    enum class Reception { Idle, Running };

    void push(const QByteArray& arrival);
    // Takes the next message.
    Result next(Reception reception, QByteArray& message);

    // The network may split a final block message just after a "|" inside
    // its payload, and the wire carries no length to tell that from its
    // end. When holding is on, a final block message whose "|" is the last
    // byte that has arrived (and that could still grow) is not taken:
    // next() answers Held, and the caller either pushes more bytes (which
    // continue it, unless they begin a message of their own) or, after a
    // short wait without any, calls releaseHeld() and next() again.
    void holdFinalBlocks(bool on) { m_holdFinal = on; }
    // The held final block message is taken at the next call of next().
    void releaseHeld() { m_release = true; }

    void clear() {
        m_buffer.clear();
        m_release = false;
    }
    qsizetype buffered() const { return m_buffer.size(); }

private:
    Result nextFinalBlock(QByteArray& message);
    Result nextFullBlock(QByteArray& message);
    Result nextOther(QByteArray& message);
    // Where a block message starts behind a file announcement, or -1.
    qsizetype blockAfterAnnouncement() const;
    // Where a first block that arrived only in part starts, or -1.
    qsizetype blockCutShort(qsizetype nameEnd) const;
    Result take(qsizetype length, qsizetype skip, QByteArray& message);

    QByteArray m_buffer;
    bool m_holdFinal = false;
    bool m_release = false;
};
