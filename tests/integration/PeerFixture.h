#pragma once

#include "RecordingServices.h"
#include "TestView.h"
#include "engine/SDK.h"
#include "platform/EventWait.h"
#include "platform/Socket.h"
#include "protocol/KeySeed.h"
#include "protocol/Session.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>
#include <sys/resource.h>

// One side of a conversation: its own folder, engine, socket, services and
// view, as one running program has.
struct Peer {
    QTemporaryDir dir;
    RecordingServices services;
    TestView view;
    Socket sock;
    std::unique_ptr<Session> session;
    // What this side sent, message by message.
    QList<QByteArray> sent;

    Peer() {
        QDir(dir.path()).mkdir("Recv");
        session = std::make_unique<Session>(dir.path() + "/", recv(), sock, services, view);
        QObject::connect(session.get(), &Session::messageSent,
                         [this](const QByteArray& m) { sent << m; });
    }
    QString recv() const { return dir.filePath("Recv"); }
    QString path(const QString& name) const { return dir.filePath(name); }

    // The names of the engine's working files that exist in the folder.
    QStringList workFiles() const {
        QStringList found;
        for (const QString& n : QDir(dir.path()).entryList(QDir::Files))
            if (n.startsWith('k'))
                found << n;
        return found;
    }
};

inline QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Runs events until `done` holds, at most `ms`; returns as soon as it does.
inline bool waitFor(const std::function<bool()>& done, int ms = 15000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        EventWait::processEvents(10);
    }
    return true;
}

// The address texts the two sides show as their own. Keys are made from
// these texts, never from the socket, so the two differ: the host's is a
// loopback address other than 127.0.0.1 (the client types it to connect),
// the client's one that the socket never uses.
inline const QString kHostText = QStringLiteral("127.0.0.2");
inline const QString kClientText = QStringLiteral("10.9.8.7");

// The host waits showing `hostText`; the client shows `clientText` and types
// `typed` to connect. True once both hold keys.
inline bool connectAs(Peer& host, Peer& client, int port, const QString& hostText,
                      const QString& clientText, const QString& typed) {
    const int before = host.view.status.count("Connected.");
    host.view.own = hostText;
    client.view.own = clientText;
    host.session->Listen(QString::number(port));
    client.view.peer = typed;
    client.session->Connect(QString::number(port));
    return client.session->IsConnected() &&
           waitFor([&] { return host.view.status.count("Connected.") > before; });
}

// Host waits, client connects to the host's text; true once both hold keys.
inline bool connectPeers(Peer& host, Peer& client, int port) {
    return connectAs(host, client, port, kHostText, kClientText, kHostText);
}

// Keys made from two address texts in an engine and folder of their own, for
// a test that encrypts or decrypts as one of the programs would.
struct PeerKeys {
    QTemporaryDir dir;
    SDK engine{dir.path().toStdString()};
    PeerKeys(const QString& hostText, const QString& clientText) {
        std::string seed = MakeSeedText(hostText.toStdString(), clientText.toStdString()).value();
        engine.CreateKeys(seed);
    }
    QByteArray enc(const QByteArray& plain) {
        std::string t = plain.toStdString();
        engine.EncryptMessage(t);
        return QByteArray::fromStdString(t);
    }
    QByteArray dec(const QByteArray& cipher) {
        std::string t = cipher.toStdString();
        engine.DecryptMessage(t);
        return QByteArray::fromStdString(t);
    }
};

// `n` random bytes from `seed`, with the terminator "|" at the end of every
// 1000-byte block and now and then inside one, where a careless reader would
// cut a block message short.
inline QByteArray randomBytes(int n, quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray b(n, '\0');
    for (char& c : b)
        c = char(rng.bounded(256));
    for (int i = 999; i < n; i += 1000)
        b[i] = '|';
    return b;
}

// Writes `bytes` as `name` in the peer's folder; the path.
inline QString writeFile(Peer& p, const QString& name, const QByteArray& bytes) {
    const QString path = p.path(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path;
}

// A clock that moves on every reading, so the announcement pause is short;
// the first block may then arrive glued to the announcement.
inline void fastClock(Peer& p) {
    p.services.clock = [n = 0]() mutable { return QString::number(++n); };
}

// While it lives, no file of this process grows past `bytes`, as on a full
// device: a write beyond fails (EFBIG) instead of raising a signal.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : m_oldSignal(std::signal(SIGXFSZ, SIG_IGN)) {
        rlimit small{};
        m_active = getrlimit(RLIMIT_FSIZE, &m_old) == 0;
        small = m_old;
        small.rlim_cur = bytes;
        m_active = m_active && setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit() {
        if (m_active)
            setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldSignal);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool active() const { return m_active; }

private:
    void (*m_oldSignal)(int);
    rlimit m_old{};
    bool m_active = false;
};
