#pragma once

#include <QByteArray>
#include <QString>

// The messages two peers exchange. Every message starts with a prefix of two
// letters and ':'; a file block also ends with '|':
//   "IP:" + the client's own address (sent in clear once connected)
//   "CT:" + an encrypted chat line
//   "FL:" + the name of a file about to be sent
//   "FB:" + 1000 encrypted bytes + "|"
//   "FB:RM:" + the encrypted rest of the file (0..999 bytes) + "|"
//   "OK:"  a block was written
//   "XX:"  the user ended the connection
// Inside a secure connection two more go, from copies of this program only:
//   "FS:" + the size of the file about to be announced, in decimal digits
//   "FC:" + "S" (the sender cancels) or "R" (the receiver gives up) + a reason
namespace wire {

enum class Kind { Address, Chat, FileName, Block, FinalBlock, Ack, End, FileSize, Cancel, Unknown };

// Every prefix is this long, except the final block's.
constexpr int kPrefixSize = 3;
constexpr int kFinalPrefixSize = 6;
constexpr char kTerminator = '|';

// File bytes per block message.
constexpr int kBlockSize = 1000;
// "FB:" + a block + "|".
constexpr int kBlockMessageSize = kPrefixSize + kBlockSize + 1;
// "FB:RM:" + at most one byte less than a block + "|".
constexpr int kMaxFinalMessageSize = kFinalPrefixSize + kBlockSize - 1 + 1;

// The kinds whose prefix begins a message of the legacy channel: all but the
// final block, which begins with the block's "FB:", and the two that only a
// secure connection carries.
constexpr Kind kPrefixKinds[] = {Kind::Address, Kind::Chat, Kind::FileName,
                                 Kind::Block,   Kind::Ack,  Kind::End};

// The prefix of `kind` ("" for Unknown).
constexpr const char* prefix(Kind kind) {
    switch (kind) {
    case Kind::Address:
        return "IP:";
    case Kind::Chat:
        return "CT:";
    case Kind::FileName:
        return "FL:";
    case Kind::Block:
        return "FB:";
    case Kind::FinalBlock:
        return "FB:RM:";
    case Kind::Ack:
        return "OK:";
    case Kind::End:
        return "XX:";
    case Kind::FileSize:
        return "FS:";
    case Kind::Cancel:
        return "FC:";
    case Kind::Unknown:
        break;
    }
    return "";
}

// Whether `kind`'s messages end with the terminator.
constexpr bool hasTerminator(Kind kind) {
    return kind == Kind::Block || kind == Kind::FinalBlock;
}

// What `message` is, by its prefix.
Kind kindOf(const QByteArray& message);
// As kindOf, and also "FS:" and "FC:", which only a secure connection
// carries (elsewhere they are not ours).
Kind innerKindOf(const QByteArray& message);

// What follows the prefix of `message` (a block's terminator, if present,
// included); all of it when it has no prefix of ours.
QByteArray payloadOf(const QByteArray& message);

// A whole message of `kind` carrying `payload`, terminator included.
QByteArray message(Kind kind, const QByteArray& payload = {});

// True when `bytes` holds, at `at`, the prefix of a kind in kPrefixKinds.
bool prefixAt(const QByteArray& bytes, qsizetype at);

// True when `bytes` is shorter than a prefix and could still grow into one.
bool couldBecomePrefix(const QByteArray& bytes);

// "FS:" + the size in decimal digits.
QByteArray sizeMessage(qint64 size);
// The size an "FS:" payload gives, or -1 when it gives none.
qint64 sizeOf(const QByteArray& payload);

// Which end of a transfer stops it with "FC:".
enum class Stopper { Sender, Receiver };
// "FC:" + "S" or "R" + the reason.
QByteArray cancelMessage(Stopper who, const QString& reason);
// What an "FC:" payload says.
struct Cancel {
    Stopper who;
    QString reason; // trimmed, may be empty
};
// The cancel an "FC:" payload holds; false when it names neither end.
bool parseCancel(const QByteArray& payload, Cancel& cancel);

} // namespace wire
