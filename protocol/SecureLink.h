#pragma once

#include "protocol/SecureChannel.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

class Socket;

// Between the session and its socket: runs one SecureChannel per connection,
// writes what it asks, arms its timer, and hands what arrives back to the
// session as legacy arrivals or whole messages. Before a channel is started
// (and when none is in use) everything passes through unchanged.
class SecureLink : public QObject {
    Q_OBJECT
public:
    using Mode = SecureChannel::Mode;

    // What the session does with what the channel asks of it.
    struct Handlers {
        std::function<void(const QByteArray&)> legacy;      // one legacy arrival
        std::function<void(const QByteArray&)> message;     // one whole inner message
        std::function<void(const QByteArray&)> peerAddress; // the host's own address text
        std::function<void(const QString&)> status;         // a status line
        std::function<void(bool damaged)> close;            // close at once, no "XX:"
        std::function<void(const QByteArray&)> sent;        // an own message went out
        std::function<void()> modeChanged;
    };

    SecureLink(Socket& sock, Handlers handlers, QObject* parent = nullptr);
    ~SecureLink() override;

    // The user's "Secure Connections" setting, used by the next connection.
    void setEnabled(bool enabled) { m_enabled = enabled; }
    bool enabled() const { return m_enabled; }
    // "Require Secure Connections", used by the next connection.
    void setRequired(bool required) { m_required = required; }
    // This side's secure connections are off and the other side offered one.
    bool offerDeclined() const { return m_channel && m_channel->offerDeclined(); }
    // Block messages this side accepts unacknowledged (1..4096).
    void setWindow(int window) { m_window = window; }

    // Host: "IP:" has been handled; H goes out now.
    void startHost(const QByteArray& ownAddress);
    // Client: connected; "IP:" goes next.
    void startClient();
    // Client: an offer that arrives while a transfer runs is declined.
    void setTransferRunning(bool running);

    void receive(const QByteArray& arrival);
    // False when the message could not go (socket refused it, channel closed).
    bool send(const QByteArray& message);
    // The peer closed the connection or it broke.
    void lost();
    // The connection is over: keys zeroed, timer stopped, back to pass-through.
    void end();

    Mode mode() const;
    bool secure() const { return mode() == Mode::Secure; }
    // Own messages are held until the handshake decides how they go.
    bool holding() const { return m_channel && !m_failed && m_channel->holdingOwnMessages(); }
    // This side's messages go as frames (the peer reads frames).
    bool sendsFrames() const { return m_channel && !m_failed && m_channel->sendsFrames(); }
    // The peer's window once known, else 0.
    int peerWindow() const;
    QString checkCode() const;

private:
    void start(SecureChannel::Role role);
    // Carries out one step of the channel; false when a write failed.
    bool apply(const SecureChannel::Step& step);
    void rearm();
    void expired();

    Socket& m_sock;
    Handlers m_h;
    bool m_enabled = true;
    bool m_required = false;
    int m_window = SecureChannel::MaxWindow;
    std::unique_ptr<SecureChannel> m_channel;
    QTimer m_timer;
    int m_generation = 0; // counts ends, so a step stops when its connection ended
    Mode m_shownMode = Mode::Idle;
    bool m_failed = false;
};
