#pragma once

#include <QByteArray>
#include <QHash>
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

    // Starts listening on localPort() on every IPv4 address. False and a
    // reason in `error` when the port cannot be used (in use, out of range).
    bool listen(QString* error = nullptr);
    // Makes the pending request `requestId` the connection; listening ends.
    bool accept(int requestId, QString* error = nullptr);
    // Starts an asynchronous connect; completion shows in state().
    void connectTo(const QString& host, quint16 port);
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

    // Dotted IPv4 text of the remote end of the current connection (empty
    // when not connected).
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

    QByteArray m_inbox;           // arrived and not yet taken by getData()
    quint64 m_generation = 0;     // changes whenever the connection is closed or replaced
    bool m_established = false;   // the current connection has been connected
    bool m_failed = false;        // the last connect failed or the connection was lost
    bool m_arrivalPosted = false; // a dataArrival event is on its way
    QString m_remote;             // dotted address of the connected peer
    QString m_remoteName;         // host and port of an outgoing connect, for messages

    QTimer* m_postTimer = nullptr;
    std::deque<std::pair<quint64, std::function<void()>>> m_posted; // generation, event
};
