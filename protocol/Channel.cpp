#include "protocol/Channel.h"

#include "platform/Socket.h"

namespace {

SecureChannel::Clock::time_point now() {
    return SecureChannel::Clock::now();
}

// How long a final block message that ends with what has arrived is held,
// in case the network split it just after a "|" of its payload. The sender
// sends nothing else before our "OK:" (but chat), so bytes that follow
// within this time and begin no message are the rest of it.
constexpr int kFinalBlockWaitMs = 250;

const QString kDamagedBlock =
    QStringLiteral("The other side sent a damaged file block; the connection was closed.");

} // namespace

Channel::Channel(Socket& sock, QObject* parent) : QObject(parent), m_sock(sock) {
    m_reassembler.holdFinalBlocks(true);
    m_finalBlockWait.setSingleShot(true);
    connect(&m_finalBlockWait, &QTimer::timeout, this, [this] {
        m_reassembler.releaseHeld();
        deliverBuffered();
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
    forget();
    m_sock.close();
}

void Channel::forget() {
    ++m_generation;
    m_open = false;
    m_heard = false;
    m_sending = m_receiving = false;
    m_reassembler.clear();
    m_finalBlockWait.stop();
    m_coreTimer.stop();
    if (m_core)
        m_core->reset();
    m_core.reset();
    m_shownMode = Mode::Idle;
}

void Channel::startCore(SecureChannel::Role role) {
    m_core = std::make_unique<SecureChannel>(role, m_secureEnabled, m_window);
    m_core->setTransferRunning(m_sending || m_receiving);
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
    if (m_finalBlockWait.isActive()) {
        m_finalBlockWait.stop();
        m_reassembler.releaseHeld();
        deliverBuffered();
        if (!m_open)
            return;
    }
    // A frame cut short by the end of the stream is damage, not a loss.
    if (m_core)
        apply(m_core->connectionLost());
    if (m_open)
        emit lost();
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
    const bool written = apply(m_core->send(message));
    // A message held during the handshake has no writes yet, and counts as sent.
    return written && generation == m_generation && m_core->mode() != Mode::Closed;
}

// --------------------------------------------------------------- arrivals

void Channel::receive(const QByteArray& arrival) {
    if (arrival.isEmpty())
        return;
    m_heard = true;
    emit arrived();
    if (m_core)
        apply(m_core->receive(arrival, now()));
    else
        takeLegacy(arrival);
}

void Channel::takeLegacy(const QByteArray& bytes) {
    m_finalBlockWait.stop();
    m_reassembler.push(bytes);
    deliverBuffered();
}

void Channel::deliverBuffered() {
    const quint64 generation = m_generation;
    QByteArray message;
    for (;;) {
        const Reassembler::Result r = m_reassembler.next(
            m_receiving ? Reassembler::Reception::Running : Reassembler::Reception::Idle, message);
        switch (r) {
        case Reassembler::Result::NeedMore:
            return;
        case Reassembler::Result::Held:
            // Bytes that arrive within this wait continue the final block.
            m_finalBlockWait.start(kFinalBlockWaitMs);
            return;
        case Reassembler::Result::Overflow:
            // The peer sees the connection lost; "XX:" would tell it that
            // this side's user left.
            emit status(kDamagedBlock);
            emit failed(Failure::Damaged);
            return;
        case Reassembler::Result::Message:
            emit messageReceived(wire::kindOf(message), message);
            if (generation != m_generation)
                return; // the connection ended while the message was handled
            break;
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

bool Channel::apply(const SecureChannel::Step& step) {
    const quint64 generation = m_generation;
    bool written = true;
    for (const QByteArray& w : step.writes)
        written = m_sock.sendData(w) && written;
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
    for (const QByteArray& bytes : step.legacy) {
        takeLegacy(bytes);
        if (generation != m_generation)
            return written;
    }
    for (const QByteArray& message : step.messages) {
        deliverSecure(message);
        if (generation != m_generation)
            return written;
    }
    if (step.close)
        emit failed(step.status.contains(SecureChannel::DamagedLine) ? Failure::Damaged
                                                                     : Failure::SetupFailed);
    return written;
}
