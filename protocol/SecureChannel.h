#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>
#include <optional>

// The secure channel between two copies of this program: the upgrade
// handshake right after "IP:", then every message of the connection carried
// as one authenticated, encrypted frame. A peer that never answers the
// handshake keeps the legacy channel (one message per arrival), untouched.
// The wire format is described in docs/secure-connection.md.
//
// This class is plain logic: it owns no socket and no timer, and reads no
// clock. Time comes in as `now`; when something must happen later,
// deadline() says when, and the owner arms a single-shot timer for it.
//
// How the owner (the Channel) drives it
// ---------------------------------------------------
// Make one channel per connection, for its role, with the user's "Secure
// Connections" setting and the number of block messages this side accepts
// unacknowledged (its window).
//
//   Host, after it has handled "IP:" (keys made, "Connected." shown):
//       Step s = channel.begin(ownAddressText, now);      // writes H
//   Client, as soon as its connection is established (before "IP:" goes):
//       channel.connected(now);
//       ... and whenever a file transfer starts or ends:
//       channel.setTransferRunning(running);
//   Every arrival event, with everything that arrived:
//       Step s = channel.receive(bytes, now);
//   Every message of its own ("CT:", "FL:", "FB:", "OK:", "XX:", "FS:", "FC:"):
//       Step s = channel.send(message);
//     The channel holds the message back until the handshake has decided how
//     the connection is carried (holdingOwnMessages()) and releases it, in
//     order, in the mode decided; with setRequired() a handshake that fails
//     drops it instead. "XX:" and the client's "IP:" are never held.
//   After each call, re-arm the timer from deadline() (none: stop it). When it
//   fires:
//       Step s = channel.expire(now);
//   When the connection is lost (the peer closed it, or a socket error):
//       Step s = channel.connectionLost();
//   When the connection ends for any reason: channel.reset() (or destroy it);
//   this zeroes every key.
//
// What a Step asks of the owner, in this order:
//   1. write each entry of `writes`, in order: a handshake message with ONE
//      socket write of its own (it must not be cut or joined by the owner);
//      frames, once sendsFrames(), may be joined with the frames after them;
//      `sent` lists the own messages those writes carry, for the owner's
//      records (e.g. its "message sent" signal);
//   2. if `peerAddress` is set (client only): the host's own address text; when
//      it differs from txtConnect, put it there and make the keys again, so
//      both sides' rotor keys agree across address translation;
//   3. show each line of `status` in the status list;
//   4. handle each entry of `legacy` exactly as an arrival of the legacy
//      channel (reassembly and dispatch as before);
//   5. dispatch each entry of `messages`: one whole inner message each, no
//      reassembly needed;
//   6. if `close` is set: close the connection at once, WITHOUT sending "XX:"
//      (the reason is the last line of `status`); on damage also wipe
//      working files and discard a reception.
// mode() afterwards tells the owner what to show (lock symbol) and whether a
// "Require Secure Connections" setting must close a Legacy connection.
class SecureChannel {
public:
    using Clock = std::chrono::steady_clock;

    enum class Role { Host, Client };
    enum class Mode {
        Idle,      // nothing started: everything passes as legacy bytes
        SettingUp, // the handshake is running
        Secure,    // frames both ways
        Legacy,    // the peer does not take part (or secure connections are off)
        Closed     // failed or ended: nothing more goes in or out
    };

    // What one call asks the owner to do; see above.
    struct Step {
        QList<QByteArray> writes;
        QList<QByteArray> sent;
        std::optional<QByteArray> peerAddress;
        QStringList status;
        QList<QByteArray> legacy;
        QList<QByteArray> messages;
        bool close = false;
    };

    static constexpr int Version = 1;
    static constexpr int MaxWindow = 4096;
    static constexpr int KeySize = 32;
    static constexpr int HeaderSize = 24;       // secretstream header
    static constexpr int MaxAddressLength = 73; // longer own address texts are not sent
    static constexpr int HFixedSize = 4 + 1 + 2 + KeySize + 1;
    static constexpr int RSize = 4 + 1 + 2 + KeySize;
    static constexpr int SSize = 4 + KeySize + HeaderSize;
    static constexpr int CSize = 4 + HeaderSize;
    static constexpr int FrameOverhead = 17; // secretstream ABYTES
    static constexpr quint32 MinFrameLength = FrameOverhead;
    static constexpr quint32 MaxFrameLength = 65553;
    static constexpr int MaxInnerMessage = int(MaxFrameLength) - FrameOverhead;
    static constexpr std::chrono::milliseconds OfferWait{3000};   // H (client), R (host)
    static constexpr std::chrono::milliseconds FinishWait{10000}; // S (client), C (host)

    static const QString NoOfferLine;
    static const QString SetupFailedLine;
    static const QString CommitmentLine;
    static const QString DamagedLine;
    static const QString BusyLine;
    static const QString OfferedButOffLine;
    // "Secure. Code: " + code: short enough for the status list.
    static QString secureLine(const QString& code);

    // `enabled`: the user's "Secure Connections" setting. `window`: block
    // messages this side accepts unacknowledged, 1..MaxWindow (clamped).
    explicit SecureChannel(Role role, bool enabled = true, int window = MaxWindow);
    ~SecureChannel();
    SecureChannel(const SecureChannel&) = delete;
    SecureChannel& operator=(const SecureChannel&) = delete;

    // Host: starts the handshake; the Step writes H. `ownAddress` is the text
    // of txtIP as sent on the wire (longer than MaxAddressLength: not sent).
    // Secure connections off: nothing is written and the mode is Legacy.
    Step begin(const QByteArray& ownAddress, Clock::time_point now);
    // Client: the connection is up; the wait for H starts.
    void connected(Clock::time_point now);
    // "Require Secure Connections": a handshake that ends without a secure
    // channel writes none of the held messages (they are dropped).
    void setRequired(bool required) { m_required = required; }
    // Client with secure connections off: the host offered one.
    bool offerDeclined() const { return m_offerDeclined; }
    // Client: an H that arrives while a transfer runs is ignored.
    void setTransferRunning(bool running) { m_transferRunning = running; }

    Step receive(const QByteArray& arrival, Clock::time_point now);
    Step send(const QByteArray& message);
    // When expire() must be called; none while nothing is awaited.
    std::optional<Clock::time_point> deadline() const { return m_deadline; }
    // Acts on a passed deadline; nothing happens before it.
    Step expire(Clock::time_point now);
    // The connection is gone: a frame cut short is reported as damage.
    Step connectionLost();
    // Forgets the connection and zeroes every key; the mode becomes Idle.
    void reset();

    Role role() const { return m_role; }
    Mode mode() const;
    // True while the owner's own messages are being held back.
    bool holdingOwnMessages() const;
    // Own messages go as frames: Secure, and the host from S on (its peer
    // reads frames already).
    bool sendsFrames() const { return m_sendFramed && m_state != State::Closed; }
    int ownWindow() const { return m_window; }
    // Bytes held back while a handshake message may still be arriving.
    qsizetype heldBytes() const { return m_held.size(); }
    // The peer's window once its handshake message arrived, else 0.
    int peerWindow() const { return m_peerWindow; }
    // "XXXX XXXX" once both public keys are known, else empty.
    QString checkCode() const { return m_checkCode; }
    // This side's and the peer's public keys once known (empty otherwise).
    QByteArray publicKey() const;
    QByteArray peerPublicKey() const;

    // The check code of a host key and a client key (32 bytes each).
    static QString checkCodeOf(const QByteArray& hostKey, const QByteArray& clientKey);
    // The commitment H carries for a host key.
    static QByteArray commitmentOf(const QByteArray& hostKey);
    // libsodium is ready (initialised once per process).
    static bool cryptoReady();

private:
    enum class State {
        Idle,
        HostAwaitR,
        HostAwaitC,
        ClientAwaitH,
        ClientAwaitS,
        Secure,
        Legacy,
        Closed
    };
    struct Secrets;

    void consume(QByteArray data, Step& step, Clock::time_point now);
    void consumeAwaitR(QByteArray data, Step& step, Clock::time_point now);
    void consumeAwaitH(QByteArray data, Step& step, Clock::time_point now);
    void consumeAwaitS(QByteArray data, Step& step);
    void consumeAwaitC(QByteArray data, Step& step);
    void consumeFrames(const QByteArray& data, Step& step);

    void handleR(const QByteArray& r, Step& step, Clock::time_point now);
    void handleS(const QByteArray& s, Step& step);
    void handleC(const QByteArray& c, Step& step);
    // Ends the handshake without a secure channel; `line` may be empty.
    void fallBack(Step& step, const QString& line);
    void fail(Step& step, const QString& line);
    void becomeSecure(Step& step);
    // Frames or plainly writes every held message.
    void release(Step& step);
    // One own message out as the current state allows.
    void emitOwn(const QByteArray& message, Step& step);
    bool seal(const QByteArray& message, QByteArray& frame);
    void makeKeyPair();
    void wipeSecrets();

    Role m_role;
    bool m_enabled;
    int m_window;
    bool m_transferRunning = false;
    bool m_required = false;
    bool m_offerDeclined = false;
    State m_state = State::Idle;
    bool m_sendFramed = false; // own messages go as frames
    bool m_sentFinal = false;  // "XX:" has gone
    bool m_peerFinal = false;  // the peer's last frame has arrived
    int m_peerWindow = 0;
    QByteArray m_held;         // a handshake message (maybe behind a legacy one) so far
    QByteArray m_frames;       // frame bytes not yet complete
    QList<QByteArray> m_queue; // own messages held back
    QString m_checkCode;
    std::optional<Clock::time_point> m_deadline;
    std::unique_ptr<Secrets> m_secrets;
};
