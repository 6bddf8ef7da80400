#include "protocol/Channel.h"

#include "platform/Socket.h"

#include <QElapsedTimer>
#include <utility>

namespace {

SecureChannel::Clock::time_point now() {
    return SecureChannel::Clock::now();
}

// How long a final block message that ends with what has arrived is held,
// in case the network split it just after a "|" of its payload. The sender
// sends nothing else before our "OK:" (but chat), so bytes that follow
// within this time and begin no message are the rest of it.
constexpr int kFinalBlockWaitMs = 250;

// The work done for arrivals in one turn of the event loop is bounded, so
// that the window stays responsive under a flood: at least kMinPerTurn
// messages, then until kTurnMs have passed or kMaxPerTurn messages have been
// handled; the rest follows from a zero timer.
constexpr int kMinPerTurn = 16;
constexpr int kMaxPerTurn = 512;
constexpr qint64 kTurnMs = 8;

// Frames ready together go out in one write of at most this many bytes.
constexpr qsizetype kMaxJoinedWrite = 256 * 1024;

const QString kDamagedBlock =
    QStringLiteral("The other side sent a damaged file block; the connection was closed.");

} // namespace

Channel::Channel(Socket& sock, QObject* parent) : QObject(parent), m_sock(sock) {
    m_reassembler.holdFinalBlocks(true);
    m_finalBlockWait.setSingleShot(true);
    connect(&m_finalBlockWait, &QTimer::timeout, this, [this] {
        m_reassembler.releaseHeld();
        deliver();
    });
    m_resume.setSingleShot(true);
    connect(&m_resume, &QTimer::timeout, this, [this] {
        const Batch batch(*this);
        deliver();
    });
    m_coreTimer.setSingleShot(true);
    connect(&m_coreTimer, &QTimer::timeout, this, &Channel::expired);
    connect(&m_sock, &Socket::dataArrival, this, [this] { receive(m_sock.getData()); });
    connect(&m_sock, &Socket::connectionLost, this, &Channel::onLost);
}

Channel::~Channel() = default;

// ------------------------------------------------------------ the connection

void Channel::open() {
    forget();
    m_open = true;
}

void Channel::drop() {
    flush(); // what this side said last (its "XX:") still goes
    forget();
    m_sock.close();
}

void Channel::forget() {
    ++m_generation;
    m_open = false;
    m_heard = false;
    m_sending = m_receiving = false;
    m_reassembler.clear();
    m_pending.clear();
    m_out.clear();
    m_delivering = false;
    m_finalBlockWait.stop();
    m_resume.stop();
    m_coreTimer.stop();
    if (m_core)
        m_core->reset();
    m_core.reset();
    m_shownMode = Mode::Idle;
}

void Channel::startCore(SecureChannel::Role role) {
    m_core = std::make_unique<SecureChannel>(role, m_secureEnabled, m_window);
    m_core->setTransferRunning(m_sending || m_receiving);
    m_core->setRequired(m_secureRequired);
}

void Channel::startHost(const QByteArray& ownAddress) {
    if (m_core)
        return; // one handshake per connection
    startCore(SecureChannel::Role::Host);
    apply(m_core->begin(ownAddress, now()));
}

void Channel::startClient() {
    startCore(SecureChannel::Role::Client);
    m_core->connected(now());
    apply({});
}

void Channel::setTransfers(bool sending, bool receiving) {
    m_sending = sending;
    m_receiving = receiving;
    if (m_core)
        m_core->setTransferRunning(sending || receiving);
}

void Channel::onLost() {
    if (!m_open)
        return;
    // A final block held back in case more of it was on its way is whole:
    // nothing more can come. The file it ends is kept.
    // It is handed up before the loss, which waits behind it.
    if (m_finalBlockWait.isActive()) {
        m_finalBlockWait.stop();
        m_reassembler.releaseHeld();
    }
    // A frame cut short by the end of the stream is damage, not a loss.
    if (m_core)
        apply(m_core->connectionLost());
    // Told after whatever arrived before the end has been handled.
    m_pending.push_back({Item::Lost, {}});
    deliver();
}

// ------------------------------------------------------------------ terms

int Channel::blocksInFlight() const {
    return keepsMessagesApart() ? qBound(1, m_core->peerWindow(), SecureChannel::MaxWindow) : 1;
}

bool Channel::keepsMessagesApart() const {
    return m_core && m_core->sendsFrames();
}

bool Channel::tellsStops() const {
    // Only a copy of this program reads "FC:" and "FS:", and only frames
    // carry them.
    return keepsMessagesApart();
}

Channel::Mode Channel::mode() const {
    return m_core ? m_core->mode() : Mode::Idle;
}

QString Channel::checkCode() const {
    return m_core ? m_core->checkCode() : QString();
}

int Channel::peerWindow() const {
    return m_core ? m_core->peerWindow() : 0;
}

// ---------------------------------------------------------------- sending

bool Channel::send(const QByteArray& message) {
    if (!m_core) {
        if (!m_sock.sendData(message))
            return false;
        emit messageSent(message);
        return true;
    }
    if (m_core->mode() == Mode::Closed)
        return false;
    const quint64 generation = m_generation;
    // Frames may be joined: a batch writes them together when it ends.
    const bool joinable = m_batches > 0 && m_core->sendsFrames();
    const bool written = apply(m_core->send(message), joinable);
    // A message held during the handshake has no writes yet, and counts as sent.
    return written && generation == m_generation && m_core->mode() != Mode::Closed;
}

// --------------------------------------------------------------- arrivals

void Channel::receive(const QByteArray& arrival) {
    if (arrival.isEmpty())
        return;
    m_heard = true;
    emit arrived();
    const Batch batch(*this); // the answers to what arrived go out together
    if (m_core) {
        apply(m_core->receive(arrival, now()));
        return;
    }
    m_pending.push_back({Item::Legacy, arrival});
    deliver();
}

void Channel::deliver() {
    if (m_delivering)
        return; // a handler ran the event loop: the outer turn goes on
    m_delivering = true;
    deliverTurn();
    m_delivering = false;
}

void Channel::deliverTurn() {
    const quint64 generation = m_generation;
    QElapsedTimer turn;
    turn.start();
    int handled = 0;
    auto handledOne = [&] {
        ++handled;
        return generation == m_generation; // false: the connection ended under it
    };
    QByteArray message;
    for (;;) {
        if (handled >= kMaxPerTurn || (handled >= kMinPerTurn && turn.elapsed() >= kTurnMs)) {
            m_resume.start(0);
            break;
        }
        // Legacy bytes first run through reassembly.
        const Reassembler::Result r = m_reassembler.next(
            m_receiving ? Reassembler::Reception::Running : Reassembler::Reception::Idle, message);
        if (r == Reassembler::Result::Message) {
            emit messageReceived(wire::kindOf(message), message);
            if (!handledOne())
                return;
            continue;
        }
        if (r == Reassembler::Result::Overflow) {
            // The peer sees the connection lost; "XX:" would tell it that
            // this side's user left.
            emit status(kDamagedBlock);
            emit failed(Failure::Damaged);
            return;
        }
        if (m_pending.empty()) {
            if (r == Reassembler::Result::Held) // bytes within this wait continue it
                m_finalBlockWait.start(kFinalBlockWaitMs);
            break;
        }
        const Pending next = std::move(m_pending.front());
        m_pending.pop_front();
        switch (next.item) {
        case Item::Legacy:
            m_finalBlockWait.stop();
            m_reassembler.push(next.bytes);
            break;
        case Item::Message:
            deliverSecure(next.bytes);
            if (!handledOne())
                return;
            break;
        case Item::Damaged:
        case Item::SetupFailed:
            emit failed(next.item == Item::Damaged ? Failure::Damaged : Failure::SetupFailed);
            return;
        case Item::Lost:
            m_open = false;
            emit lost();
            return;
        }
    }
}

void Channel::deliverSecure(QByteArray message) {
    const wire::Kind kind = wire::innerKindOf(message);
    // A frame holds the whole block message; it goes up without its "|",
    // as reassembly gives it.
    if (wire::hasTerminator(kind) && message.endsWith(wire::kTerminator))
        message.chop(1);
    emit messageReceived(kind, message);
}

// -------------------------------------------------------- the secure core

void Channel::expired() {
    if (m_core)
        apply(m_core->expire(now()));
}

void Channel::rearm() {
    if (!m_core || !m_core->deadline()) {
        m_coreTimer.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*m_core->deadline() - now());
    m_coreTimer.start(int(qMax<qint64>(wait.count(), 0)));
}

void Channel::write(const QByteArray& bytes, bool joinable) {
    if (joinable && m_out.size() + bytes.size() <= kMaxJoinedWrite) {
        m_out += bytes;
        return;
    }
    flush();
    if (joinable)
        m_out = bytes;
    else
        m_written = m_sock.sendData(bytes) && m_written;
}

void Channel::flush() {
    if (m_out.isEmpty())
        return;
    m_written = m_sock.sendData(std::exchange(m_out, QByteArray())) && m_written;
}

Channel::Batch::Batch(Channel& channel) : m_channel(channel) {
    ++m_channel.m_batches;
}

Channel::Batch::~Batch() {
    if (--m_channel.m_batches == 0)
        m_channel.flush();
}

bool Channel::apply(const SecureChannel::Step& step, bool joinable) {
    const quint64 generation = m_generation;
    m_written = true;
    for (const QByteArray& w : step.writes)
        write(w, joinable);
    const bool written = m_written;
    if (written)
        for (const QByteArray& m : step.sent)
            emit messageSent(m);
    rearm();
    if (step.peerAddress)
        emit peerAddress(*step.peerAddress);
    for (const QString& line : step.status)
        emit status(line);
    if (generation != m_generation)
        return written;
    if (const Mode current = mode(); current != m_shownMode) {
        m_shownMode = current;
        emit modeChanged();
        if (generation != m_generation)
            return written;
    }
    for (const QByteArray& bytes : step.legacy)
        m_pending.push_back({Item::Legacy, bytes});
    for (const QByteArray& message : step.messages)
        m_pending.push_back({Item::Message, message});
    if (step.close)
        m_pending.push_back(
            {step.status.contains(SecureChannel::DamagedLine) ? Item::Damaged : Item::SetupFailed,
             {}});
    if (!m_pending.empty())
        deliver();
    return written;
}
