#include "protocol/SecureChannel.h"

#include "protocol/Wire.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace {

using uchar = unsigned char;
using Secretstream = crypto_secretstream_xchacha20poly1305_state;

static_assert(crypto_kx_PUBLICKEYBYTES == SecureChannel::KeySize);
static_assert(crypto_kx_SESSIONKEYBYTES == SecureChannel::KeySize);
static_assert(crypto_secretstream_xchacha20poly1305_HEADERBYTES == SecureChannel::HeaderSize);
static_assert(crypto_secretstream_xchacha20poly1305_ABYTES == SecureChannel::FrameOverhead);
static_assert(crypto_secretstream_xchacha20poly1305_KEYBYTES == SecureChannel::KeySize);

const QByteArray kTagH = QByteArrayLiteral("SX:H");
const QByteArray kTagR = QByteArrayLiteral("SX:R");
const QByteArray kTagS = QByteArrayLiteral("SX:S");
const QByteArray kTagC = QByteArrayLiteral("SX:C");
const QByteArray kLeave = wire::prefix(wire::Kind::End);
const QByteArray kAddress = wire::prefix(wire::Kind::Address);
constexpr char kCheckLabel[] = "Vantrel secure check v1";

const uchar* bytes(const QByteArray& a, qsizetype at = 0) {
    return reinterpret_cast<const uchar*>(a.constData()) + at;
}

int read16(const QByteArray& a, qsizetype at) {
    return (int(uchar(a[at])) << 8) | int(uchar(a[at + 1]));
}

quint32 read32(const QByteArray& a, qsizetype at) {
    return (quint32(uchar(a[at])) << 24) | (quint32(uchar(a[at + 1])) << 16) |
           (quint32(uchar(a[at + 2])) << 8) | quint32(uchar(a[at + 3]));
}

void append16(QByteArray& a, int v) {
    a.append(char((v >> 8) & 0xff));
    a.append(char(v & 0xff));
}

void append32(QByteArray& a, quint32 v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        a.append(char((v >> shift) & 0xff));
}

bool windowOk(int w) {
    return w >= 1 && w <= SecureChannel::MaxWindow;
}

// True when `data` could be the start of (or all of) a handshake message with
// tag `tag`: the tag's first bytes match as far as `data` reaches.
bool startsLike(const QByteArray& data, const QByteArray& tag) {
    const qsizetype n = std::min<qsizetype>(data.size(), tag.size());
    return data.left(n) == tag.left(n);
}

// True when `data` (any length up to RSize) is how a well-formed R begins:
// its tag, version 1 and a window from 1 to 4096 as far as they reach.
bool rPrefixOk(const QByteArray& data) {
    if (data.isEmpty() || data.size() > SecureChannel::RSize || !startsLike(data, kTagR))
        return false;
    if (data.size() > 4 && uchar(data[4]) != SecureChannel::Version)
        return false;
    if (data.size() > 5 && uchar(data[5]) > (SecureChannel::MaxWindow >> 8))
        return false;
    if (data.size() > 6 && !windowOk(read16(data, 5)))
        return false;
    return true;
}

bool isWholeR(const QByteArray& data) {
    return data.size() == SecureChannel::RSize && rPrefixOk(data);
}

// Where a partial R begins at the end of `data`, or -1. A partial R behind a
// legacy message must show at least its whole tag.
qsizetype partialRAt(const QByteArray& data) {
    if (data.size() < SecureChannel::RSize && rPrefixOk(data))
        return 0;
    const qsizetype from = std::max<qsizetype>(1, data.size() - (SecureChannel::RSize - 1));
    for (qsizetype at = data.indexOf(kTagR, from); at >= 0; at = data.indexOf(kTagR, at + 1))
        if (rPrefixOk(data.mid(at)))
            return at;
    return -1;
}

} // namespace

struct SecureChannel::Secrets {
    uchar pk[KeySize];
    uchar sk[KeySize];
    uchar peerPk[KeySize];
    uchar rx[KeySize];
    uchar tx[KeySize];
    uchar commitment[KeySize]; // client: what H promised
    Secretstream push;
    Secretstream pull;
    bool havePk = false;
    bool havePeerPk = false;
};

const QString SecureChannel::NoOfferLine =
    QStringLiteral("The other side does not offer a secure connection; only the legacy cipher "
                   "protects this connection.");
const QString SecureChannel::SetupFailedLine =
    QStringLiteral("The secure connection could not be set up.");
const QString SecureChannel::CommitmentLine =
    QStringLiteral("The secure connection could not be set up: the other side's key did not "
                   "match its commitment.");
const QString SecureChannel::DamagedLine =
    QStringLiteral("The connection was damaged or tampered with; it was closed.");
const QString SecureChannel::OfferedButOffLine =
    QStringLiteral("The other side offers a secure connection; it is switched off here "
                   "(Options), so only the legacy cipher protects this connection.");
const QString SecureChannel::BusyLine =
    QStringLiteral("A file transfer was running, so this connection keeps the legacy cipher "
                   "only.");

QString SecureChannel::secureLine(const QString& code) {
    return QStringLiteral("Secure. Code: ") + code;
}

bool SecureChannel::cryptoReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

SecureChannel::SecureChannel(Role role, bool enabled, int window)
    : m_role(role), m_enabled(enabled && cryptoReady()), m_window(std::clamp(window, 1, MaxWindow)),
      m_secrets(std::make_unique<Secrets>()) {}

SecureChannel::~SecureChannel() {
    wipeSecrets();
}

void SecureChannel::wipeSecrets() {
    sodium_memzero(m_secrets.get(), sizeof(Secrets));
}

void SecureChannel::reset() {
    wipeSecrets();
    m_state = State::Idle;
    m_sendFramed = m_sentFinal = m_peerFinal = false;
    m_transferRunning = false;
    m_offerDeclined = false;
    m_peerWindow = 0;
    m_held.clear();
    m_frames.clear();
    m_queue.clear();
    m_checkCode.clear();
    m_deadline.reset();
}

SecureChannel::Mode SecureChannel::mode() const {
    switch (m_state) {
    case State::Idle:
        return Mode::Idle;
    case State::HostAwaitR:
    case State::ClientAwaitH:
    case State::ClientAwaitS:
        return Mode::SettingUp;
    case State::HostAwaitC: // switched; only the client's direction is still opening
    case State::Secure:
        return Mode::Secure;
    case State::Legacy:
        return Mode::Legacy;
    case State::Closed:
        break;
    }
    return Mode::Closed;
}

bool SecureChannel::holdingOwnMessages() const {
    // Until it is decided how the connection is carried.
    return m_state == State::HostAwaitR || m_state == State::ClientAwaitH ||
           m_state == State::ClientAwaitS;
}

QByteArray SecureChannel::publicKey() const {
    if (!m_secrets->havePk)
        return {};
    return QByteArray(reinterpret_cast<const char*>(m_secrets->pk), KeySize);
}

QByteArray SecureChannel::peerPublicKey() const {
    if (!m_secrets->havePeerPk)
        return {};
    return QByteArray(reinterpret_cast<const char*>(m_secrets->peerPk), KeySize);
}

QByteArray SecureChannel::commitmentOf(const QByteArray& hostKey) {
    cryptoReady();
    QByteArray out(KeySize, '\0');
    crypto_generichash(reinterpret_cast<uchar*>(out.data()), KeySize, bytes(hostKey),
                       hostKey.size(), nullptr, 0);
    return out;
}

QString SecureChannel::checkCodeOf(const QByteArray& hostKey, const QByteArray& clientKey) {
    cryptoReady();
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, 32);
    crypto_generichash_update(&st, reinterpret_cast<const uchar*>(kCheckLabel),
                              sizeof(kCheckLabel) - 1);
    crypto_generichash_update(&st, bytes(hostKey), hostKey.size());
    crypto_generichash_update(&st, bytes(clientKey), clientKey.size());
    uchar digest[32];
    crypto_generichash_final(&st, digest, sizeof digest);
    const QString hex =
        QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), 4).toHex().toUpper());
    return hex.left(4) + QLatin1Char(' ') + hex.mid(4);
}

void SecureChannel::makeKeyPair() {
    crypto_kx_keypair(m_secrets->pk, m_secrets->sk);
    m_secrets->havePk = true;
}

// ------------------------------------------------------------- starting

SecureChannel::Step SecureChannel::begin(const QByteArray& ownAddress, Clock::time_point now) {
    Step step;
    if (m_role != Role::Host || m_state != State::Idle)
        return step;
    if (!m_enabled) {
        m_state = State::Legacy;
        return step;
    }
    makeKeyPair();
    const QByteArray address = ownAddress.size() <= MaxAddressLength ? ownAddress : QByteArray();
    QByteArray h = kTagH;
    h.append(char(Version));
    append16(h, m_window);
    h.append(commitmentOf(publicKey()));
    h.append(char(address.size()));
    h.append(address);
    step.writes << h;
    m_state = State::HostAwaitR;
    m_deadline = now + OfferWait;
    return step;
}

void SecureChannel::connected(Clock::time_point now) {
    if (m_role != Role::Client || m_state != State::Idle)
        return;
    if (!m_enabled) {
        m_state = State::Legacy;
        return;
    }
    m_state = State::ClientAwaitH;
    m_deadline = now + OfferWait;
}

// ------------------------------------------------------------- arrivals

SecureChannel::Step SecureChannel::receive(const QByteArray& arrival, Clock::time_point now) {
    Step step;
    consume(arrival, step, now);
    return step;
}

void SecureChannel::consume(QByteArray data, Step& step, Clock::time_point now) {
    if (data.isEmpty() && m_held.isEmpty())
        return;
    switch (m_state) {
    case State::Idle:
    case State::Legacy:
        if (m_role == Role::Client && !m_enabled && !m_offerDeclined && data.startsWith(kTagH)) {
            // Said once; its bytes go the legacy way, which ignores them.
            m_offerDeclined = true;
            step.status << OfferedButOffLine;
        }
        if (!data.isEmpty())
            step.legacy << data;
        return;
    case State::HostAwaitR:
        consumeAwaitR(data, step, now);
        return;
    case State::ClientAwaitH:
        consumeAwaitH(data, step, now);
        return;
    case State::ClientAwaitS:
        consumeAwaitS(data, step);
        return;
    case State::HostAwaitC:
        consumeAwaitC(data, step);
        return;
    case State::Secure:
        consumeFrames(data, step);
        return;
    case State::Closed:
        return;
    }
}

void SecureChannel::consumeAwaitR(QByteArray arrival, Step& step, Clock::time_point now) {
    // Only the bytes that can still be the start of R are held (fewer than
    // RSize); everything before them goes on as legacy bytes at once.
    if (!m_held.isEmpty()) {
        const QByteArray data = m_held + arrival;
        if (data.size() >= RSize && isWholeR(data.left(RSize))) {
            m_held.clear();
            // What follows R (only "XX:" can) is read in the next state.
            handleR(data.left(RSize), step, now);
            consume(data.mid(RSize), step, now);
            return;
        }
        if (data.size() < RSize && rPrefixOk(data)) {
            m_held = data;
            return;
        }
        // What was held was no R after all: it was one legacy arrival.
        step.legacy << m_held;
        m_held.clear();
    }
    if (arrival.size() >= RSize && isWholeR(arrival.left(RSize))) {
        handleR(arrival.left(RSize), step, now);
        consume(arrival.mid(RSize), step, now);
        return;
    }
    if (arrival.size() > RSize && isWholeR(arrival.right(RSize))) {
        // A legacy message sent just before R, glued to it by the transport.
        step.legacy << arrival.left(arrival.size() - RSize);
        handleR(arrival.right(RSize), step, now);
        return;
    }
    const qsizetype at = partialRAt(arrival);
    if (at < 0) {
        step.legacy << arrival;
        return;
    }
    if (at > 0)
        step.legacy << arrival.left(at);
    m_held = arrival.mid(at);
}

void SecureChannel::consumeAwaitH(QByteArray arrival, Step& step, Clock::time_point now) {
    const QByteArray held = m_held;
    m_held.clear();
    const QByteArray data = held + arrival;
    if (!startsLike(data, kTagH)) {
        if (!held.isEmpty()) {
            step.legacy << held;
            consumeAwaitH(arrival, step, now);
            return;
        }
        // Not from a host of ours (yet): the legacy way.
        step.legacy << data;
        return;
    }
    const bool malformed = (data.size() > 4 && uchar(data[4]) != Version) ||
                           (data.size() >= 7 && !windowOk(read16(data, 5))) ||
                           (data.size() >= HFixedSize && uchar(data[39]) > MaxAddressLength);
    if (malformed) {
        // Another version, or not an H we can read: stay with the legacy
        // channel. Its bytes go the legacy way, which ignores them.
        step.legacy << data;
        fallBack(step, NoOfferLine);
        return;
    }
    if (data.size() < HFixedSize || data.size() < HFixedSize + uchar(data[39])) {
        m_held = data;
        return;
    }
    const int n = uchar(data[39]);
    const QByteArray rest = data.mid(HFixedSize + n);
    if (m_transferRunning) {
        fallBack(step, BusyLine);
        consume(rest, step, now);
        return;
    }
    m_peerWindow = read16(data, 5);
    std::memcpy(m_secrets->commitment, bytes(data, 7), KeySize);
    if (n > 0)
        step.peerAddress = data.mid(HFixedSize, n);
    makeKeyPair();
    QByteArray r = kTagR;
    r.append(char(Version));
    append16(r, m_window);
    r.append(publicKey());
    step.writes << r;
    m_state = State::ClientAwaitS;
    m_deadline = now + FinishWait;
    consume(rest, step, now);
}

void SecureChannel::consumeAwaitS(QByteArray arrival, Step& step) {
    const QByteArray data = m_held + arrival;
    m_held.clear();
    if (startsLike(data, kTagS)) {
        if (data.size() < SSize) {
            m_held = data;
            return;
        }
        handleS(data.left(SSize), step);
        if (m_state == State::Secure)
            consumeFrames(data.mid(SSize), step);
        return;
    }
    if (data.size() < kLeave.size() && kLeave.startsWith(data)) {
        m_held = data; // "XX:" cut short: the rest is on its way
        return;
    }
    if (data.startsWith(kLeave)) {
        step.legacy << data; // the host's user left during the handshake
        return;
    }
    // The host gave up waiting for R and went on with the legacy channel
    // before our R reached it; our R will be ignored there.
    step.legacy << data;
    fallBack(step, NoOfferLine);
}

void SecureChannel::consumeAwaitC(QByteArray arrival, Step& step) {
    const QByteArray data = m_held + arrival;
    m_held.clear();
    if (startsLike(data, kTagC)) {
        if (data.size() < CSize) {
            m_held = data;
            return;
        }
        handleC(data.left(CSize), step);
        if (m_state == State::Secure)
            consumeFrames(data.mid(CSize), step);
        return;
    }
    if (data.size() < kLeave.size() && kLeave.startsWith(data)) {
        m_held = data; // "XX:" cut short: the rest is on its way
        return;
    }
    if (data.startsWith(kLeave)) {
        step.legacy << data; // the client's user left during the handshake
        return;
    }
    fail(step, SetupFailedLine);
}

void SecureChannel::handleR(const QByteArray& r, Step& step, Clock::time_point now) {
    Secrets& s = *m_secrets;
    m_peerWindow = read16(r, 5);
    std::memcpy(s.peerPk, bytes(r, 7), KeySize);
    s.havePeerPk = true;
    if (crypto_kx_server_session_keys(s.rx, s.tx, s.pk, s.sk, s.peerPk) != 0) {
        fail(step, SetupFailedLine);
        return;
    }
    sodium_memzero(s.sk, KeySize);
    uchar header[HeaderSize];
    crypto_secretstream_xchacha20poly1305_init_push(&s.push, header, s.tx);
    sodium_memzero(s.tx, KeySize);
    QByteArray msg = kTagS;
    msg.append(publicKey());
    msg.append(reinterpret_cast<const char*>(header), HeaderSize);
    step.writes << msg;
    m_checkCode = checkCodeOf(publicKey(), peerPublicKey());
    m_sendFramed = true;
    m_state = State::HostAwaitC;
    m_deadline = now + FinishWait;
    // The host has switched: it sends only frames from now on, and both keys
    // are known, so the code is final. C only opens the other direction.
    step.status << secureLine(m_checkCode);
    release(step);
}

void SecureChannel::handleS(const QByteArray& msg, Step& step) {
    Secrets& s = *m_secrets;
    std::memcpy(s.peerPk, bytes(msg, 4), KeySize);
    s.havePeerPk = true;
    if (sodium_memcmp(bytes(commitmentOf(peerPublicKey())), s.commitment, KeySize) != 0) {
        fail(step, CommitmentLine);
        return;
    }
    if (crypto_kx_client_session_keys(s.rx, s.tx, s.pk, s.sk, s.peerPk) != 0 ||
        crypto_secretstream_xchacha20poly1305_init_pull(&s.pull, bytes(msg, 4 + KeySize), s.rx) !=
            0) {
        fail(step, SetupFailedLine);
        return;
    }
    sodium_memzero(s.sk, KeySize);
    sodium_memzero(s.rx, KeySize);
    uchar header[HeaderSize];
    crypto_secretstream_xchacha20poly1305_init_push(&s.push, header, s.tx);
    sodium_memzero(s.tx, KeySize);
    QByteArray c = kTagC;
    c.append(reinterpret_cast<const char*>(header), HeaderSize);
    step.writes << c;
    m_checkCode = checkCodeOf(peerPublicKey(), publicKey());
    m_sendFramed = true;
    becomeSecure(step);
    release(step);
}

void SecureChannel::handleC(const QByteArray& c, Step& step) {
    Secrets& s = *m_secrets;
    if (crypto_secretstream_xchacha20poly1305_init_pull(&s.pull, bytes(c, 4), s.rx) != 0) {
        fail(step, SetupFailedLine);
        return;
    }
    sodium_memzero(s.rx, KeySize);
    m_state = State::Secure;
    m_deadline.reset();
}

void SecureChannel::becomeSecure(Step& step) {
    m_state = State::Secure;
    m_deadline.reset();
    step.status << secureLine(m_checkCode);
}

void SecureChannel::consumeFrames(const QByteArray& data, Step& step) {
    if (m_state != State::Secure)
        return;
    m_frames.append(data);
    qsizetype pos = 0;
    QByteArray plain;
    for (;;) {
        const qsizetype avail = m_frames.size() - pos;
        if (avail == 0)
            break;
        if (m_peerFinal) {
            fail(step, DamagedLine); // nothing may follow the last frame
            return;
        }
        if (avail < 4)
            break;
        const quint32 length = read32(m_frames, pos);
        if (length < MinFrameLength || length > MaxFrameLength) {
            fail(step, DamagedLine);
            return;
        }
        if (avail < 4 + qsizetype(length))
            break;
        plain.resize(length - FrameOverhead);
        unsigned long long plainLength = 0;
        uchar tag = 0;
        if (crypto_secretstream_xchacha20poly1305_pull(
                &m_secrets->pull, reinterpret_cast<uchar*>(plain.data()), &plainLength, &tag,
                bytes(m_frames, pos + 4), length, nullptr, 0) != 0 ||
            (tag != crypto_secretstream_xchacha20poly1305_TAG_MESSAGE &&
             tag != crypto_secretstream_xchacha20poly1305_TAG_FINAL)) {
            fail(step, DamagedLine);
            return;
        }
        if (tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL)
            m_peerFinal = true;
        plain.resize(qsizetype(plainLength));
        step.messages << plain;
        pos += 4 + qsizetype(length);
    }
    m_frames.remove(0, pos);
}

// ---------------------------------------------------------- time and loss

SecureChannel::Step SecureChannel::expire(Clock::time_point now) {
    Step step;
    if (!m_deadline || now < *m_deadline)
        return step;
    switch (m_state) {
    case State::HostAwaitR:
    case State::ClientAwaitH:
        if (!m_held.isEmpty())
            step.legacy << m_held; // a lone partial after all
        m_held.clear();
        fallBack(step, NoOfferLine);
        break;
    case State::ClientAwaitS:
    case State::HostAwaitC:
        fail(step, SetupFailedLine);
        break;
    default:
        m_deadline.reset();
        break;
    }
    return step;
}

SecureChannel::Step SecureChannel::connectionLost() {
    Step step;
    if (m_state == State::Secure && !m_frames.isEmpty())
        fail(step, DamagedLine); // a frame cut short
    m_deadline.reset();
    return step;
}

void SecureChannel::fallBack(Step& step, const QString& line) {
    m_state = State::Legacy;
    m_deadline.reset();
    m_held.clear();
    wipeSecrets();
    if (!line.isEmpty())
        step.status << line;
    if (m_required)
        m_queue.clear(); // nothing of the user's goes out without the secure channel
    else
        release(step);
}

void SecureChannel::fail(Step& step, const QString& line) {
    m_state = State::Closed;
    m_deadline.reset();
    m_held.clear();
    m_frames.clear();
    m_queue.clear();
    wipeSecrets();
    step.status << line;
    step.close = true;
}

// -------------------------------------------------------------- sending

SecureChannel::Step SecureChannel::send(const QByteArray& message) {
    Step step;
    if (m_state == State::Closed || m_sentFinal)
        return step;
    // The client's address opens the connection: it goes before the offer
    // is answered, never between R and S.
    const bool opening = m_state == State::ClientAwaitH && message.startsWith(kAddress);
    if (holdingOwnMessages() && !message.startsWith(kLeave) && !opening) {
        m_queue << message;
        return step;
    }
    emitOwn(message, step);
    return step;
}

void SecureChannel::release(Step& step) {
    const QList<QByteArray> queue = std::move(m_queue);
    m_queue.clear();
    for (const QByteArray& m : queue)
        emitOwn(m, step);
}

void SecureChannel::emitOwn(const QByteArray& message, Step& step) {
    if (m_sentFinal)
        return;
    const bool leaving = message.startsWith(kLeave);
    if (!m_sendFramed) {
        step.writes << message;
        step.sent << message;
        if (leaving && m_state != State::Idle && m_state != State::Legacy) {
            // Leaving during the handshake ends it: nothing else goes out.
            m_sentFinal = true;
            m_queue.clear();
        }
        return;
    }
    QByteArray frame;
    if (!seal(message, frame)) {
        step.status << QStringLiteral("A message too long for the secure connection was not "
                                      "sent.");
        return;
    }
    step.writes << frame;
    step.sent << message;
}

bool SecureChannel::seal(const QByteArray& message, QByteArray& frame) {
    if (message.size() > MaxInnerMessage)
        return false;
    const bool last = message.startsWith(kLeave);
    const quint32 length = quint32(message.size() + FrameOverhead);
    frame.clear();
    frame.reserve(4 + length);
    append32(frame, length);
    frame.resize(4 + length);
    unsigned long long written = 0;
    crypto_secretstream_xchacha20poly1305_push(
        &m_secrets->push, reinterpret_cast<uchar*>(frame.data()) + 4, &written, bytes(message),
        message.size(), nullptr, 0,
        last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
             : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
    if (last)
        m_sentFinal = true;
    return true;
}
