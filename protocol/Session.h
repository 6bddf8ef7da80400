#pragma once

#include "protocol/Channel.h"
#include "protocol/FileTransfer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>

class SDK;
class Services;
class SessionView;
class Socket;
class QWidget;

// One connection's life: waiting, accepting, connecting, the keys, chat, file
// transfer in both directions, and the end. The main window owns one and
// forwards its buttons here; everything the user sees goes through
// SessionView and Services.
class Session : public QObject {
    Q_OBJECT
public:
    Session(const QString& appDir, const QString& recvFolder, Socket& sock, Services& services,
            SessionView& view, QObject* parent = nullptr);
    ~Session() override;

    // "Wait for Connect" with the port text read at start-up.
    void Listen(const QString& portStr);
    // "Connect" to the address in txtConnect.
    void Connect(const QString& portStr);
    // Chat "Send" / Enter: encrypts and sends one line, and shows it as
    // "<line>" once it has gone out. False (after telling the user why, for
    // a line that is not empty) when it did not go out.
    bool SendChat(const QString& line);
    // Whether SendFile asks the user before sending.
    enum class Confirm { Ask, Skip };
    // Sends the file at `fn`.
    void SendFile(const QString& fn, Confirm confirm);
    // Several files: each is sent in turn, in the order given, once the one
    // before it has gone (and the chat lines typed meanwhile). With
    // Confirm::Ask one question lists them all first.
    void SendFiles(const QStringList& paths, Confirm confirm);
    // The Cancel button / File > Cancel Sending: stops this side's send and
    // the files waiting behind it; inside a secure connection the receiver
    // is told with "FC:S". False when no file is being sent.
    bool CancelSend();
    // The window is closing: tells the peer, ends transfers, wipes the keys.
    void Close();
    // File > Exit: as Close, then ends the program.
    void Exit();
    // File > Disconnect: ends the connection (telling a connected peer), the
    // wait for one or the connect wait; the key files are wiped and the
    // program stays ready to wait or connect again.
    void Disconnect();
    // Makes this connection's keys from the two addresses. False (and a
    // message) when they cannot be made.
    bool GenerateKeys();
    // Returns at the `secs`-th change of the clock's second, letting events
    // run meanwhile without spinning.
    void Pause(int secs);

    // The "Secure Connections" and "Require Secure Connections" settings,
    // used from the next connection on. Both are off until set.
    void setSecureOptions(bool enabled, bool required);
    bool secureRequired() const { return m_secureRequired; }
    // Block messages this side accepts unacknowledged in a secure
    // connection (1..4096, 4096 unless set), from the next connection on.
    void setSecureWindow(int window) { m_channel.setWindow(window); }
    // The connection to the other side: how it is carried, what it allows.
    const Channel& channel() const { return m_channel; }
    Channel& channel() { return m_channel; }
    // Gives up the incoming file with "FC:R" (secure connections only).
    // False when there is nothing that can be given up.
    bool CancelReceiving();

    // Whether the address text a host offers (`raw`, as on the wire) can
    // stand for it: what an address box may hold, no longer than an offer
    // carries, and giving usable keys with this side's address `own`.
    static bool usableOfferedAddress(const QByteArray& raw, const QString& own);

    // The port as a number, or 0 when `portStr` is not a whole number from 1
    // to 65535.
    static int parsePort(const QString& portStr);

    // A connection is in use (keys made or being made).
    bool IsConnected() const { return m_phase == Phase::Connected; }
    // This side waited for the connection ...
    bool IsHost() const { return m_role == Role::Host; }
    // ... or made it.
    bool IsClient() const { return m_role == Role::Client; }
    // Listening for a connection ("Wait for Connect").
    bool IsWaiting() const { return m_phase == Phase::Waiting; }
    // Inside the connect wait ("Connecting...").
    bool IsConnecting() const { return m_phase == Phase::Connecting; }
    // The digest of the keys in use, shown as "Key check: ...".
    QString keyCheck() const { return m_keyCheck; }

    SDK& engine() { return *m_engine; }
    FileSender& sender() { return m_sender; }
    // Files waiting for their turn.
    qsizetype waitingFiles() const { return m_waitingFiles.size(); }
    // Chat lines typed while a file is being sent, not sent yet.
    qsizetype heldChatLines() const { return m_heldChat.size(); }
    FileReceiver& receiver() { return m_receiver; }

signals:
    // Every message this side sends, as it goes on the wire.
    void messageSent(const QByteArray& message);
    // Waiting, connecting or connected has begun or ended.
    void connectionStateChanged();

private:
    // Where the session stands. Closed is final: the program is ending.
    enum class Phase { Idle, Waiting, Connecting, Connected, Closed };
    // Which side this one is: it waited (Host) or connected (Client).
    enum class Role { None, Host, Client };
    // What one connection has learned, forgotten when it ends.
    struct Connection {
        bool addressTaken = false;       // the host has made keys from an "IP:"
        bool repeatNoted = false;        // a later "IP:" was reported
        bool unreadableNoted = false;    // a chat line that is not text was reported
        bool peerClosing = false;        // the other program said it is closing
        bool lastWasTransferEnd = false; // the last message ended a file
    };

    // The port for a new connection, or 0 after telling the user why there
    // is none (connected already, or not a port).
    int portForNewConnection(const QString& portStr);
    void onConnectionRequest(int requestId);
    void onConnectionLost();
    // The connection is up: a new one starts afresh, in `role`.
    void beginConnection(Role role);
    // The connect wait: true once connected, false when it failed or was
    // ended (Exit, Disconnect).
    bool awaitConnect(const QString& host, int port);
    // Client: the keys of a connection to a host name are made from the
    // address connected to; false (after saying why) when there are none.
    bool takeConnectedAddress();
    // The text of txtIP / txtConnect without blanks around it, written back
    // so that the box shows what the keys are made from.
    QString ownAddress();
    QString typedPeerAddress();
    void dispatch(wire::Kind kind, const QByteArray& message);
    void handleAddress(const QByteArray& payload);
    void handleChat(const QByteArray& payload);
    void handlePeerEnd();
    // A status line that matters only if the connection stays legacy (the
    // key check, a warning the secure connection mends): shown now, or once
    // the connection turns out legacy, or never if it turns secure.
    void noteForLegacy(const QString& line);
    void handleCancel(const QByteArray& payload);
    // Tells the channel which transfers run.
    void noteTransfers();
    // A file arriving keeps ours from starting when messages are not kept
    // apart.
    bool receivingBlocksSending() const;
    // Client: the host's own address text, from its offer.
    void adoptHostAddress(const QByteArray& raw);
    void onChannelModeChanged();
    void onChannelFailed(Channel::Failure why);
    bool send(const QByteArray& message);
    // Whether a chat line must wait: while this side sends a file, a peer
    // that takes everything arriving during its reception as block bytes
    // would lose a block to it.
    bool chatMustWait() const;
    // Sends the chat lines held during a send, one per kChatSpacingMs, so
    // that each reaches the peer as an arrival of its own.
    void sendHeldChat();
    // The connection is gone: held lines can no longer be sent.
    void dropHeldChat();
    // The sender is idle: held chat first, then the next waiting file.
    void senderIdle(bool completed);
    // Starts the next waiting file from the event loop, once nothing else
    // is going.
    void scheduleNextFile();
    void sendNextFile();
    // Drops the waiting files, saying so with `why`.
    // One Yes/No question for the files about to be queued.
    bool confirmFiles(const QStringList& paths);
    // The queue has nothing more to send: the window stops showing a file.
    void queueDone();
    void dropWaitingFiles(const QString& why);
    // The connection is over (lost, cut off, ended by either side): the
    // socket is closed, transfers end with `transferWhy`, keys are wiped.
    void endConnection(const QString& transferWhy);
    void wipe();
    // The seed text of the two address texts, or why there is none.
    static Outcome<QByteArray> seedText(const QString& hostAddr, const QString& clientAddr);

    Socket& m_sock;
    Services& m_services;
    SessionView& m_view;
    std::unique_ptr<SDK> m_engine;
    FileSender m_sender;
    FileReceiver m_receiver;
    Channel m_channel;
    Phase m_phase = Phase::Idle;
    Role m_role = Role::None;
    Connection m_conn;
    bool m_secureRequired = false;
    QString m_keyCheck;
    QList<QByteArray> m_heldChat;       // "CT:" messages, in the order typed
    QStringList m_legacyNotes;          // see noteForLegacy()
    QStringList m_undecidedChat;        // lines typed while the channel holds them
    QElapsedTimer m_since;              // since the connection was made
    bool m_startingWaitingFile = false; // SendFile runs from the waiting-files timer
    QTimer m_chatTimer;
    QStringList m_waitingFiles;
    bool m_showingQueued = false; // the window shows a queued file
    QTimer m_nextFileTimer;
};
