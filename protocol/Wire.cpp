#include "protocol/Wire.h"

namespace wire {

Kind kindOf(const QByteArray& message) {
    if (message.startsWith(prefix(Kind::FinalBlock)))
        return Kind::FinalBlock;
    for (const Kind kind : kPrefixKinds) {
        if (message.startsWith(prefix(kind)))
            return kind;
    }
    return Kind::Unknown;
}

Kind innerKindOf(const QByteArray& message) {
    for (const Kind kind : {Kind::FileSize, Kind::Cancel})
        if (message.startsWith(prefix(kind)))
            return kind;
    return kindOf(message);
}

QByteArray payloadOf(const QByteArray& message) {
    switch (kindOf(message)) {
    case Kind::FinalBlock:
        return message.mid(kFinalPrefixSize);
    case Kind::Unknown:
        return message;
    default:
        return message.mid(kPrefixSize);
    }
}

QByteArray message(Kind kind, const QByteArray& payload) {
    QByteArray m;
    m.reserve(kFinalPrefixSize + payload.size() + 1);
    m.append(prefix(kind));
    m.append(payload);
    if (hasTerminator(kind))
        m.append(kTerminator);
    return m;
}

bool prefixAt(const QByteArray& bytes, qsizetype at) {
    if (at < 0 || bytes.size() - at < kPrefixSize)
        return false;
    for (const Kind kind : kPrefixKinds) {
        const char* p = prefix(kind);
        if (bytes[at] == p[0] && bytes[at + 1] == p[1] && bytes[at + 2] == p[2])
            return true;
    }
    return false;
}

bool couldBecomePrefix(const QByteArray& bytes) {
    if (bytes.size() >= kPrefixSize)
        return false;
    for (const Kind kind : kPrefixKinds) {
        if (QByteArray(prefix(kind)).startsWith(bytes))
            return true;
    }
    return false;
}

QByteArray sizeMessage(qint64 size) {
    return message(Kind::FileSize, QByteArray::number(size));
}

qint64 sizeOf(const QByteArray& payload) {
    bool ok = false;
    const qint64 size = payload.toLongLong(&ok);
    return ok && size >= 0 ? size : -1;
}

namespace {
constexpr char kSenderStops = 'S';
constexpr char kReceiverStops = 'R';
} // namespace

QByteArray cancelMessage(Stopper who, const QString& reason) {
    const char side = who == Stopper::Sender ? kSenderStops : kReceiverStops;
    return message(Kind::Cancel, side + reason.toUtf8());
}

bool parseCancel(const QByteArray& payload, Cancel& cancel) {
    if (payload.startsWith(kSenderStops))
        cancel.who = Stopper::Sender;
    else if (payload.startsWith(kReceiverStops))
        cancel.who = Stopper::Receiver;
    else
        return false;
    cancel.reason = QString::fromUtf8(payload.mid(1)).trimmed();
    return true;
}

} // namespace wire
