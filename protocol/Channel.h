#pragma once

#include "protocol/Reassembler.h"
#include "protocol/SecureChannel.h"
#include "protocol/Wire.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <memory>

class Socket;

// The connection to the other side as the session sees it: one object
// between the socket and the session. It takes the socket's arrivals itself,
// cuts them into whole messages and emits each message once; the session's
// own messages go out through send(). Inside it live both framings: the
// legacy one (reassembly, with a short guard for a final block that may be
// split after a "|" of its payload) and the secure one (the handshake and
// the frames of a SecureChannel). Until a secure channel is started, and
// when the peer does not take part, arrivals are read the legacy way.
//
// The session never asks which framing is in use: it reads the channel's
// terms (blocksInFlight(), keepsMessagesApart(), tellsStops()).
class Channel : public QObject {
    Q_OBJECT
public:
    using Mode = SecureChannel::Mode;
    // Why the channel ended a connection by itself.
    enum class Failure {
        Damaged,    // a damaged frame or block message
        SetupFailed // the secure handshake began and did not complete
    };

    explicit Channel(Socket& sock, QObject* parent = nullptr);
    ~Channel() override;

    // The user's "Secure Connections" setting, from the next connection on.
    void setSecureEnabled(bool enabled) { m_secureEnabled = enabled; }
    bool secureEnabled() const { return m_secureEnabled; }
    // "Require Secure Connections", from the next connection on: a handshake
    // that ends without a secure channel sends none of the messages held.
    void setSecureRequired(bool required) { m_secureRequired = required; }
    // Block messages this side accepts unacknowledged inside a secure
    // connection (1..4096), from the next connection on.
    void setWindow(int window) { m_window = window; }

    // The socket holds a new connection: its arrivals are taken from now on.
    void open();
    bool isOpen() const { return m_open; }
    // Host: "IP:" has been handled; the offer of a secure connection goes.
    void startHost(const QByteArray& ownAddress);
    // Client: connected; "IP:" goes next.
    void startClient();
    // Which transfers run: a file arriving changes how arrivals are cut, and
    // a client declines an offer while either runs.
    void setTransfers(bool sending, bool receiving);

    // Sends one whole message. False when it could not go (no connection,
    // the socket refused it, the channel is closed).
    bool send(const QByteArray& message);
    // Takes `arrival` as bytes that arrived on the connection (the socket's
    // arrivals come this way).
    void receive(const QByteArray& arrival);
    // Ends the connection: the socket is closed, framing, timers and keys
    // are forgotten, and nothing more is emitted for it. Safe to call from
    // inside any of the signals below.
    void drop();

    // How many block messages may wait for their answer at once.
    int blocksInFlight() const;
    // Whether messages reach the other side apart from each other whatever
    // the timing (no pause after an announcement, chat between blocks).
    bool keepsMessagesApart() const;
    // Whether the other side is told of a stopped transfer ("FC:") and of
    // the size of the file that comes ("FS:").
    bool tellsStops() const;

    // How the connection is carried (for the mode shown to the user).
    Mode mode() const;
    bool secure() const { return mode() == Mode::Secure; }
    // The own messages are held until the handshake decides how they go.
    bool holding() const { return m_core && m_core->holdingOwnMessages(); }
    // Secure connections are off here and the other side offered one.
    bool offerDeclined() const { return m_core && m_core->offerDeclined(); }
    // The secure connection's check code, empty while there is none.
    QString checkCode() const;
    // The peer's window once known, else 0.
    int peerWindow() const;
    // Anything has arrived on this connection.
    bool heard() const { return m_heard; }
    // Bytes held back by reassembly (never more than one block message).
    qsizetype pendingBytes() const { return m_reassembler.buffered(); }
    // Own bytes handed to the channel and not yet to the socket.
    qsizetype unsentBytes() const { return m_out.size(); }

    // While a Batch lives, frames that are ready are joined and go out in
    // one write when the last Batch ends (or when a write would pass 256 kB).
    // Arrivals are handled inside one; wrap other runs of sends in one too.
    class Batch {
    public:
        explicit Batch(Channel& channel);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        Channel& m_channel;
    };

signals:
    // One arrival came from the other side.
    void arrived();
    // One whole message of `kind` (a block message without its "|").
    void messageReceived(wire::Kind kind, const QByteArray& message);
    // Client: the host's own address text, from its offer.
    void peerAddress(const QByteArray& text);
    // A line for the status list.
    void status(const QString& line);
    // mode() has changed.
    void modeChanged();
    // An own message went out.
    void messageSent(const QByteArray& message);
    // The channel ended the connection (no "XX:" went); the status line
    // saying why was emitted before. The receiver drops the connection.
    void failed(Channel::Failure why);
    // The other side closed the connection or it broke.
    void lost();

private:
    // Everything the connection held is forgotten (the socket is left as it is).
    void forget();
    void startCore(SecureChannel::Role role);
    // What waits to be handled, in the order it arrived.
    enum class Item { Legacy, Message, Damaged, SetupFailed, Lost };
    struct Pending {
        Item item;
        QByteArray bytes; // legacy bytes, or one whole inner message
    };

    // Carries out one step of the secure channel, in the order it asks for;
    // false when a write failed. `joinable`: its writes are frames that may
    // wait for the end of the batch.
    bool apply(const SecureChannel::Step& step, bool joinable = false);
    void write(const QByteArray& bytes, bool joinable);
    void flush();
    // Hands up what waits, within the budget of one turn of the event loop.
    void deliver();
    void deliverTurn();
    void deliverSecure(QByteArray message);
    void rearm();
    void expired();
    void onLost();

    Socket& m_sock;
    bool m_secureEnabled = true;
    bool m_secureRequired = false;
    int m_window = SecureChannel::MaxWindow;
    Reassembler m_reassembler;
    QTimer m_finalBlockWait; // a final block is held, see kFinalBlockWaitMs
    std::deque<Pending> m_pending;
    bool m_delivering = false;
    QTimer m_resume;  // goes on with what one turn left
    QByteArray m_out; // joined frames not written yet
    int m_batches = 0;
    bool m_written = true; // the writes of the current step succeeded
    std::unique_ptr<SecureChannel> m_core;
    QTimer m_coreTimer; // the secure channel's deadline
    Mode m_shownMode = Mode::Idle;
    bool m_open = false;
    bool m_heard = false;
    bool m_sending = false;
    bool m_receiving = false;
    // Counts drops: a loop that emitted a signal stops when the connection
    // it was delivering for has ended under it.
    quint64 m_generation = 0;
};
