#include "protocol/SecureLink.h"

#include "platform/Socket.h"

namespace {

SecureChannel::Clock::time_point now() {
    return SecureChannel::Clock::now();
}

} // namespace

SecureLink::SecureLink(Socket& sock, Handlers handlers, QObject* parent)
    : QObject(parent), m_sock(sock), m_h(std::move(handlers)) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &SecureLink::expired);
}

SecureLink::~SecureLink() = default;

SecureLink::Mode SecureLink::mode() const {
    if (m_failed)
        return Mode::Closed;
    return m_channel ? m_channel->mode() : Mode::Idle;
}

int SecureLink::peerWindow() const {
    return m_channel ? m_channel->peerWindow() : 0;
}

QString SecureLink::checkCode() const {
    return m_channel ? m_channel->checkCode() : QString();
}

void SecureLink::start(SecureChannel::Role role) {
    m_channel = std::make_unique<SecureChannel>(role, m_enabled, m_window);
    m_channel->setRequired(m_required);
    m_failed = false;
}

void SecureLink::startHost(const QByteArray& ownAddress) {
    if (m_channel)
        return; // one handshake per connection
    start(SecureChannel::Role::Host);
    apply(m_channel->begin(ownAddress, now()));
}

void SecureLink::startClient() {
    start(SecureChannel::Role::Client);
    m_channel->connected(now());
    apply({});
}

void SecureLink::setTransferRunning(bool running) {
    if (m_channel)
        m_channel->setTransferRunning(running);
}

void SecureLink::receive(const QByteArray& arrival) {
    if (!m_channel) {
        if (m_h.legacy)
            m_h.legacy(arrival);
        return;
    }
    apply(m_channel->receive(arrival, now()));
}

bool SecureLink::send(const QByteArray& message) {
    if (!m_channel) {
        if (!m_sock.sendData(message))
            return false;
        if (m_h.sent)
            m_h.sent(message);
        return true;
    }
    if (m_channel->mode() == Mode::Closed)
        return false;
    const int generation = m_generation;
    const SecureChannel::Step step = m_channel->send(message);
    const bool written = apply(step);
    // A message queued during the handshake has no writes yet, and is sent.
    return written && generation == m_generation && m_channel && m_channel->mode() != Mode::Closed;
}

void SecureLink::lost() {
    if (m_channel)
        apply(m_channel->connectionLost());
}

void SecureLink::end() {
    ++m_generation;
    m_timer.stop();
    if (m_channel)
        m_channel->reset();
    m_channel.reset();
    m_failed = false;
    m_shownMode = Mode::Idle;
}

void SecureLink::expired() {
    if (!m_channel)
        return;
    apply(m_channel->expire(now()));
}

void SecureLink::rearm() {
    if (!m_channel || !m_channel->deadline()) {
        m_timer.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*m_channel->deadline() - now());
    m_timer.start(int(qMax<qint64>(wait.count(), 0)));
}

// Carries out one step in the order the channel asks for; stops when a
// handler ended the connection.
bool SecureLink::apply(const SecureChannel::Step& step) {
    const int generation = m_generation;
    bool written = true;
    for (const QByteArray& w : step.writes)
        written = m_sock.sendData(w) && written;
    if (written && m_h.sent)
        for (const QByteArray& m : step.sent)
            m_h.sent(m);
    rearm();
    if (step.peerAddress && m_h.peerAddress)
        m_h.peerAddress(*step.peerAddress);
    for (const QString& line : step.status)
        if (m_h.status)
            m_h.status(line);
    const Mode current = mode();
    if (current != m_shownMode) {
        m_shownMode = current;
        if (m_h.modeChanged)
            m_h.modeChanged();
        if (generation != m_generation)
            return written;
    }
    for (const QByteArray& bytes : step.legacy) {
        if (m_h.legacy)
            m_h.legacy(bytes);
        if (generation != m_generation)
            return written;
    }
    for (const QByteArray& message : step.messages) {
        if (m_h.message)
            m_h.message(message);
        if (generation != m_generation)
            return written;
    }
    if (step.close) {
        m_failed = true;
        if (m_h.close)
            m_h.close(step.status.contains(SecureChannel::DamagedLine));
    }
    return written;
}
