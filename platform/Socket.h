#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <deque>
#include <functional>
#include <utility>

class QTcpServer;
class QTcpSocket;
class QTimer;

// The program's one TCP endpoint: listens, accepts one request, or connects
// out. Every message is written with one write call; TCP_NODELAY is set on
// every connection. All signals are delivered on the GUI thread.
class Socket : public QObject {
    Q_OBJECT
public:
    // State codes as the program tests them: 0 closed, 7 connected.
    enum State {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Error = 9
    };

    explicit Socket(QObject* parent = nullptr);
    ~Socket() override;

    void setLocalPort(int port);
    int localPort() const;

    // Starts listening on localPort() on every IPv6 and IPv4 address (every
    // IPv4 one where the system has no IPv6). False and a reason in `error`
    // when the port cannot be used (in use, out of range).
    bool listen(QString* error = nullptr);
    // Makes the pending request `requestId` the connection; listening ends.
    bool accept(int requestId, QString* error = nullptr);
    // Starts an asynchronous connect to an IPv4 or IPv6 address (brackets
    // allowed) or to a host name, which is looked up first without blocking;
    // a name's addresses are tried in turn. Completion shows in state().
    void connectTo(const QString& host, quint16 port);
    // Whether the last connect failed because its host name was not found.
    bool lookupFailed() const { return m_lookupFailed; }

    // Looks `name` up without blocking and calls `done` on the GUI thread
    // with its addresses (empty when it was not found), unless `context` is
    // gone by then.
    using Resolver = std::function<void(const QString& name, QObject* context,
                                        std::function<void(const QList<QHostAddress>&)> done)>;
    // Replaces the system's look-up (for tests); an empty one restores it.
    void setResolver(Resolver resolver);
    int state() const;

    // Queues `data` for sending with one write call. False when not connected.
    bool sendData(const QByteArray& data);
    // Bytes written and not yet handed to the network (0 when not
    // connected).
    qint64 bytesToWrite() const;
    // Everything that has arrived and not yet been taken.
    QByteArray getData();
    // Closes the connection or the listener; allowed in any state.
    void close();

    // The address of the remote end of the current connection: dotted text
    // for IPv4 (also when it came in over IPv6), the short form for IPv6;
    // empty when not connected.
    QString remoteAddress() const;
    // The reason of the last failure (listen, connect, lost connection).
    QString errorString() const;

    // The machine's primary non-loopback IPv4 address as dotted text;
    // "127.0.0.1" when there is none.
    static QString localIP();

    // The socket of the current connection (null when there is none), for
    // reading socket options in diagnostics and tests.
    QTcpSocket* connection() const;

signals:
    // A peer asks to connect while listening.
    void connectionRequest(int requestId);
    // Bytes have arrived; fetch them with getData().
    void dataArrival(qint64 bytesWaiting);
    // Queued data was written to the network.
    void sendProgress(qint64 bytesSent, qint64 bytesRemaining);
    // An outgoing connect has completed.
    void connected();
    // An outgoing connect failed (refused, unreachable, host not found).
    void connectFailed(const QString& reason);
    // An established connection ended without this side closing it (peer
    // closed, reset, network error).
    void connectionLost(const QString& reason);

private:
    void adoptConnection(QTcpSocket* s);
    void dropConnection();
    // Connects to the next address of m_candidates.
    void connectNext();
    void failConnect(const QString& reason);
    void wire(QTcpSocket* s);
    void closeListener();
    void takeIncoming();
    void readIncoming(bool fromLoop = false);
    void connectionEnded(const QString& reason);
    // Delivers an event later from the event loop, unless the connection it
    // belongs to has been closed or replaced in the meantime. Events keep
    // their order; they wait on one zero-interval timer, which, unlike a
    // posted call, costs the event loop no wake-up.
    void post(std::function<void()> event);
    void deliverPosted();

    QTcpServer* m_server = nullptr;
    QPointer<QTcpSocket> m_conn;
    QHash<int, QPointer<QTcpSocket>> m_pending;
    int m_nextRequestId = 1;
    int m_localPort = 0;
    bool m_outgoing = false;
    QString m_error;

    QByteArray m_inbox;               // arrived and not yet taken by getData()
    quint64 m_generation = 0;         // changes whenever the connection is closed or replaced
    bool m_established = false;       // the current connection has been connected
    bool m_failed = false;            // the last connect failed or the connection was lost
    bool m_arrivalPosted = false;     // a dataArrival event is on its way
    QString m_remote;                 // dotted address of the connected peer
    QString m_remoteName;             // host and port of an outgoing connect, for messages
    quint16 m_remotePort = 0;         // port of an outgoing connect
    QList<QHostAddress> m_candidates; // addresses of the name not tried yet
    bool m_resolving = false;         // a host name is being looked up
    bool m_lookupFailed = false;      // the last connect's name was not found
    Resolver m_resolver;

    QTimer* m_postTimer = nullptr;
    std::deque<std::pair<quint64, std::function<void()>>> m_posted; // generation, event
};
