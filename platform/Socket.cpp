#include "platform/Socket.h"

#include "platform/NetAddress.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <utility>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <sys/socket.h>
#endif

namespace {

// Connection requests kept waiting for accept(); more are refused at once so
// that a flood of connects cannot pile up sockets.
constexpr int MaxPendingRequests = 32;
// How long a closed connection may take to hand its last bytes to the peer.
constexpr int LingerMs = 10000;

// An IPv4 peer that came in over the IPv6 listener shows as dotted text;
// an IPv6 one in its short form, without the interface of a link-local one.
QString addressText(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    QHostAddress plain(address);
    plain.setScopeId(QString());
    return plain.toString();
}

void systemLookup(const QString& name, QObject* context,
                  std::function<void(const QList<QHostAddress>&)> done) {
    QHostInfo::lookupHost(name, context, [done = std::move(done)](const QHostInfo& info) {
        done(info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>());
    });
}

} // namespace

Socket::Socket(QObject* parent)
    : QObject(parent), m_resolver(systemLookup), m_postTimer(new QTimer(this)) {
    m_postTimer->setSingleShot(true);
    m_postTimer->setInterval(0);
    connect(m_postTimer, &QTimer::timeout, this, &Socket::deliverPosted);
}

Socket::~Socket() {
    // Nothing may call back into this object while its children go away.
    ++m_generation;
    if (m_conn) {
        m_conn->flush();
        disconnect(m_conn, nullptr, this, nullptr);
        delete m_conn.data();
    }
    for (const QPointer<QTcpSocket>& s : std::as_const(m_pending)) {
        if (s) {
            disconnect(s, nullptr, this, nullptr);
            delete s.data();
        }
    }
    if (m_server) {
        disconnect(m_server, nullptr, this, nullptr);
        delete m_server;
    }
}

void Socket::setLocalPort(int port) {
    m_localPort = port;
}

int Socket::localPort() const {
    return m_localPort;
}

bool Socket::listen(QString* error) {
    auto fail = [&](const QString& reason) {
        m_error = reason;
        if (error)
            *error = reason;
        return false;
    };
    if (m_localPort < 1 || m_localPort > 65535)
        return fail(
            tr("Cannot listen on port %1: a port must lie between 1 and 65535.").arg(m_localPort));
    if (m_conn && m_conn->state() != QAbstractSocket::UnconnectedState)
        return fail(tr("Cannot listen on port %1: a connection is open.").arg(m_localPort));

    closeListener();
    ++m_generation;
    m_inbox.clear();
    m_arrivalPosted = false;
    m_failed = false;

    auto* server = new QTcpServer(this);
    // One socket for both: IPv4 peers arrive as IPv6-mapped addresses.
    bool listening = server->listen(QHostAddress::Any, quint16(m_localPort));
    if (!listening && server->serverError() != QAbstractSocket::AddressInUseError)
        listening = server->listen(QHostAddress::AnyIPv4, quint16(m_localPort));
    if (!listening) {
        const QString reason =
            tr("Cannot listen on port %1: %2").arg(m_localPort).arg(server->errorString());
        delete server;
        m_failed = true;
        return fail(reason);
    }
    m_server = server;
    m_outgoing = false;
    connect(server, &QTcpServer::newConnection, this, &Socket::takeIncoming);
    return true;
}

void Socket::takeIncoming() {
    QList<int> ids;
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket* s = m_server->nextPendingConnection();
        if (!s)
            break;
        s->setParent(this);
        if (m_pending.size() >= MaxPendingRequests) {
            s->abort();
            s->deleteLater();
            continue;
        }
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const int id = m_nextRequestId++;
        m_pending.insert(id, s);
        // A peer that gives up before being accepted withdraws its request.
        connect(s, &QTcpSocket::disconnected, this, [this, id] {
            if (QTcpSocket* gone = m_pending.take(id))
                gone->deleteLater();
        });
        ids.append(id);
    }
    for (int id : std::as_const(ids)) {
        QMetaObject::invokeMethod(
            this,
            [this, id] {
                if (m_pending.value(id))
                    emit connectionRequest(id);
            },
            Qt::QueuedConnection);
    }
}

bool Socket::accept(int requestId, QString* error) {
    QTcpSocket* s = m_pending.take(requestId);
    if (!s || s->state() != QAbstractSocket::ConnectedState) {
        if (s)
            s->deleteLater();
        m_error = tr("The connection request %1 is no longer waiting.").arg(requestId);
        if (error)
            *error = m_error;
        return false;
    }
    closeListener();
    // Listening has ended: the other waiting requests are turned away.
    for (const QPointer<QTcpSocket>& other : std::as_const(m_pending)) {
        if (other) {
            disconnect(other, nullptr, this, nullptr);
            other->abort();
            other->deleteLater();
        }
    }
    m_pending.clear();
    dropConnection();
    ++m_generation;
    m_inbox.clear();
    m_arrivalPosted = false;
    m_outgoing = false;
    adoptConnection(s);
    return true;
}

void Socket::connectTo(const QString& host, quint16 port) {
    close();
    m_outgoing = true;
    m_failed = false;
    m_lookupFailed = false;
    const QString name = NetAddress::canonical(host);
    if (port == 0) {
        failConnect(tr("Cannot connect to %1: 0 is not a port number.").arg(name));
        return;
    }
    m_remoteName = QStringLiteral("%1 port %2").arg(name).arg(port);
    m_remotePort = port;
    if (NetAddress::isLiteral(name)) {
        m_candidates = {QHostAddress(name)};
        connectNext();
        return;
    }
    m_resolving = true;
    const quint64 generation = m_generation;
    m_resolver(name, this, [this, generation, name](const QList<QHostAddress>& found) {
        if (generation != m_generation || !m_resolving)
            return; // closed or replaced meanwhile
        m_resolving = false;
        if (found.isEmpty()) {
            m_lookupFailed = true;
            failConnect(tr("The name %1 could not be found.").arg(name));
            return;
        }
        m_candidates = found;
        connectNext();
    });
}

void Socket::setResolver(Resolver resolver) {
    m_resolver = resolver ? std::move(resolver) : Resolver(systemLookup);
}

void Socket::connectNext() {
    auto* s = new QTcpSocket(this);
    m_conn = s;
    m_established = false;
    wire(s);
    s->connectToHost(m_candidates.takeFirst(), m_remotePort);
}

void Socket::failConnect(const QString& reason) {
    m_failed = true;
    m_error = reason;
    post([this, reason] { emit connectFailed(reason); });
}

void Socket::adoptConnection(QTcpSocket* s) {
    disconnect(s, nullptr, this, nullptr);
    s->setParent(this);
    m_conn = s;
    m_established = true;
    m_failed = false;
    s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_remote = addressText(s->peerAddress());
    wire(s);
    // Bytes the peer sent before the request was accepted are not lost.
    if (s->bytesAvailable() > 0)
        readIncoming();
}

void Socket::wire(QTcpSocket* s) {
    connect(s, &QTcpSocket::connected, this, [this, s] {
        if (s != m_conn)
            return;
        m_established = true;
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_remote = addressText(s->peerAddress());
        m_candidates.clear();
        post([this] { emit connected(); });
    });
    connect(s, &QTcpSocket::errorOccurred, this, [this, s] {
        if (s != m_conn)
            return;
        if (m_established) {
            // A peer that closes shows as an error first and as the end of
            // the connection afterwards; act once the socket has closed.
            if (s->state() == QAbstractSocket::UnconnectedState)
                connectionEnded(s->errorString());
            return;
        }
        const QString reason = tr("Cannot connect to %1: %2").arg(m_remoteName, s->errorString());
        dropConnection();
        // A name with more addresses: the next one may answer.
        if (!m_candidates.isEmpty()) {
            connectNext();
            return;
        }
        failConnect(reason);
    });
    connect(s, &QTcpSocket::readyRead, this, [this] { readIncoming(true); });
    connect(s, &QTcpSocket::bytesWritten, this, [this, s](qint64 n) {
        const qint64 remaining = s->bytesToWrite();
        post([this, n, remaining] { emit sendProgress(n, remaining); });
    });
    connect(s, &QTcpSocket::disconnected, this, [this, s] {
        if (s == m_conn && m_established)
            connectionEnded(s->errorString());
    });
}

void Socket::readIncoming(bool fromLoop) {
    if (!m_conn)
        return;
    const QByteArray bytes = m_conn->readAll();
    if (bytes.isEmpty())
        return;
    m_inbox += bytes;
    if (m_arrivalPosted)
        return;
    // Straight from the event loop, with no earlier event still on its way,
    // the news goes out at once: a round of the loop less for every message.
    if (fromLoop && m_posted.empty()) {
        emit dataArrival(m_inbox.size());
        return;
    }
    m_arrivalPosted = true;
    post([this] {
        m_arrivalPosted = false;
        if (!m_inbox.isEmpty())
            emit dataArrival(m_inbox.size());
    });
}

void Socket::connectionEnded(const QString& reason) {
    // Keep what arrived last: the program may still fetch it.
    readIncoming();
    QTcpSocket* s = m_conn;
    m_conn = nullptr;
    disconnect(s, nullptr, this, nullptr);
    s->abort();
    s->deleteLater();
    m_established = false;
    m_failed = true;
    m_remote.clear();
    m_error = reason.isEmpty() || reason == QLatin1String("Unknown error")
                  ? tr("The connection was closed by the other side.")
                  : reason;
    const QString text = m_error;
    post([this, text] { emit connectionLost(text); });
}

void Socket::dropConnection() {
    QTcpSocket* s = m_conn;
    m_conn = nullptr;
    m_established = false;
    m_remote.clear();
    if (!s)
        return;
    disconnect(s, nullptr, this, nullptr);
    if (s->state() == QAbstractSocket::UnconnectedState) {
        s->deleteLater();
        return;
    }
    // Hand what is still queued to the network before the connection ends;
    // the socket removes itself once the close has completed.
    s->flush();
    connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
    QTimer::singleShot(LingerMs, s, [s] {
        s->abort();
        s->deleteLater();
    });
    s->disconnectFromHost();
}

void Socket::closeListener() {
    if (!m_server)
        return;
    disconnect(m_server, nullptr, this, nullptr);
    m_server->close();
    m_server->deleteLater();
    m_server = nullptr;
}

void Socket::close() {
    closeListener();
    // Requests that were never accepted are turned away once the current
    // event has been handled, so that the usual "close, then accept" inside
    // a connectionRequest handler still finds its request.
    if (!m_pending.isEmpty()) {
        const QList<int> ids = m_pending.keys();
        QMetaObject::invokeMethod(
            this,
            [this, ids] {
                for (int id : ids) {
                    if (QTcpSocket* s = m_pending.take(id)) {
                        disconnect(s, nullptr, this, nullptr);
                        s->abort();
                        s->deleteLater();
                    }
                }
            },
            Qt::QueuedConnection);
    }
    dropConnection();
    m_resolving = false;
    m_candidates.clear();
    ++m_generation;
    m_inbox.clear();
    m_arrivalPosted = false;
    m_failed = false;
}

int Socket::state() const {
    if (m_conn) {
        switch (m_conn->state()) {
        case QAbstractSocket::HostLookupState:
            return ResolvingHost;
        case QAbstractSocket::ConnectingState:
            return Connecting;
        case QAbstractSocket::ConnectedState:
            return Connected;
        case QAbstractSocket::ClosingState:
            return Closing;
        case QAbstractSocket::BoundState:
            return Open;
        case QAbstractSocket::ListeningState:
            return Listening;
        case QAbstractSocket::UnconnectedState:
            break;
        }
    }
    if (m_server && m_server->isListening())
        return Listening;
    if (m_resolving)
        return ResolvingHost;
    return m_failed ? Error : Closed;
}

bool Socket::sendData(const QByteArray& data) {
    if (!m_conn || m_conn->state() != QAbstractSocket::ConnectedState) {
        m_error = tr("Cannot send: there is no connection.");
        return false;
    }
    if (data.isEmpty())
        return true;
    // One write per message, handed to the network at once, so that separate
    // messages are not joined in the socket's buffer. While that buffer is
    // empty the bytes go to the system directly: through the buffer each
    // message would cost the event loop two more wake-ups. What the system
    // does not take now, or refuses, goes through the buffer, which keeps
    // the order and reports the error.
    qint64 sent = 0;
#if defined(Q_OS_UNIX)
    const qintptr fd = m_conn->bytesToWrite() == 0 ? m_conn->socketDescriptor() : -1;
    while (fd >= 0 && sent < data.size()) {
        const ssize_t n = ::send(int(fd), data.constData() + sent, size_t(data.size() - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
#endif
    const qint64 rest = data.size() - sent;
    if (sent > 0)
        post([this, sent, rest] { emit sendProgress(sent, rest); });
    if (rest > 0) {
        if (m_conn->write(data.constData() + sent, rest) != rest) {
            m_error = tr("Cannot send: %1").arg(m_conn->errorString());
            return false;
        }
        m_conn->flush();
    }
    return true;
}

qint64 Socket::bytesToWrite() const {
    return m_conn ? m_conn->bytesToWrite() : 0;
}

QByteArray Socket::getData() {
    if (m_conn)
        m_inbox += m_conn->readAll();
    return std::exchange(m_inbox, QByteArray());
}

QString Socket::remoteAddress() const {
    return state() == Connected ? m_remote : QString();
}

QString Socket::errorString() const {
    return m_error;
}

QTcpSocket* Socket::connection() const {
    return m_conn.data();
}

void Socket::post(std::function<void()> event) {
    m_posted.emplace_back(m_generation, std::move(event));
    if (!m_postTimer->isActive())
        m_postTimer->start();
}

void Socket::deliverPosted() {
    // Those posted while these are delivered wait for the next round.
    std::deque<std::pair<quint64, std::function<void()>>> due;
    due.swap(m_posted);
    const QPointer<Socket> alive(this);
    while (!due.empty()) {
        const auto [generation, event] = std::move(due.front());
        due.pop_front();
        if (generation == m_generation)
            event();
        if (!alive)
            return; // a receiver deleted this socket
    }
}

QString Socket::localIP() {
    // The interface that carries the default route, when the system tells.
    QString routeInterface;
    QFile routes(QStringLiteral("/proc/net/route"));
    if (routes.open(QIODevice::ReadOnly | QIODevice::Text)) {
        routes.readLine(); // column titles
        while (!routes.atEnd()) {
            const QList<QByteArray> cols = routes.readLine().simplified().split(' ');
            if (cols.size() > 7 && cols[1] == "00000000" && cols[7] == "00000000") {
                routeInterface = QString::fromLatin1(cols[0]);
                break;
            }
        }
    }

    // Its first IPv4 address, else the first IPv4 address of any interface.
    const QList<NetAddress::Local> addresses = NetAddress::localAddresses();
    QString first;
    for (const NetAddress::Local& a : addresses) {
        if (a.loopback || QHostAddress(a.text).protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        if (a.device == routeInterface)
            return a.text;
        if (first.isEmpty())
            first = a.text;
    }
    if (!first.isEmpty())
        return first;
    return QStringLiteral("127.0.0.1");
}
