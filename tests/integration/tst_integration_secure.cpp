#include "PeerFixture.h"

#include "protocol/SecureChannel.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>

namespace {

using SC = SecureChannel;
using LinkMode = SessionView::LinkMode;

// The messages of `list` that start with `prefix`.
QList<QByteArray> starting(const QList<QByteArray>& list, const QByteArray& prefix) {
    QList<QByteArray> out;
    for (const QByteArray& m : list)
        if (m.startsWith(prefix))
            out << m;
    return out;
}

QString secureLineOf(const Peer& p) {
    const QStringList lines = p.view.status.filter("Secure. Code: ");
    return lines.isEmpty() ? QString() : lines.last();
}

// Both sides with secure connections on; true once both have switched.
bool connectSecure(Peer& host, Peer& client, int port) {
    host.session->setSecureOptions(true, false);
    client.session->setSecureOptions(true, false);
    return connectPeers(host, client, port) && waitFor([&] {
               return host.session->channel().secure() && client.session->channel().secure();
           });
}

// Stands between a host and a client: passes the client's bytes on as they
// come and hands the host's frames, one by one, to `onFrame`, which returns
// what to forward instead (the frame itself, nothing, two copies, ...).
// The host's H and S go through untouched.
class TamperRelay : public QObject {
public:
    std::function<QByteArray(int index, const QByteArray& frame)> onFrame;
    // Set by onFrame to cut the client off after forwarding.
    bool closeAfter = false;

    explicit TamperRelay(int hostPort) : m_hostPort(hostPort) {
        m_server.listen(QHostAddress::AnyIPv4, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
    }
    int port() const { return m_server.serverPort(); }

private:
    void accept() {
        m_client = m_server.nextPendingConnection();
        m_client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_host = new QTcpSocket(this);
        m_host->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(m_client, &QTcpSocket::readyRead, this, [this] {
            if (m_client->isOpen() && m_host->state() == QAbstractSocket::ConnectedState)
                m_host->write(m_client->readAll());
        });
        QObject::connect(m_host, &QTcpSocket::connected, this,
                         [this] { m_host->write(m_client->readAll()); });
        QObject::connect(m_host, &QTcpSocket::readyRead, this, [this] { fromHost(); });
        // A side that goes is gone for the other too.
        QObject::connect(m_client, &QTcpSocket::disconnected, m_host,
                         &QTcpSocket::disconnectFromHost);
        QObject::connect(m_host, &QTcpSocket::disconnected, m_client,
                         &QTcpSocket::disconnectFromHost);
        m_host->connectToHost(QHostAddress::LocalHost, quint16(m_hostPort));
    }

    void fromHost() {
        m_buffer += m_host->readAll();
        QByteArray out;
        for (;;) {
            if (m_stage == 0) { // H
                if (m_buffer.size() < SC::HFixedSize)
                    break;
                const int n = SC::HFixedSize + uchar(m_buffer[39]);
                if (m_buffer.size() < n)
                    break;
                out += m_buffer.left(n);
                m_buffer.remove(0, n);
                m_stage = 1;
            } else if (m_stage == 1) { // S
                if (m_buffer.size() < SC::SSize)
                    break;
                out += m_buffer.left(SC::SSize);
                m_buffer.remove(0, SC::SSize);
                m_stage = 2;
            } else {
                if (m_buffer.size() < 4)
                    break;
                const quint32 len =
                    (quint32(uchar(m_buffer[0])) << 24) | (quint32(uchar(m_buffer[1])) << 16) |
                    (quint32(uchar(m_buffer[2])) << 8) | quint32(uchar(m_buffer[3]));
                if (m_buffer.size() < qsizetype(4 + len))
                    break;
                const QByteArray frame = m_buffer.left(4 + len);
                m_buffer.remove(0, 4 + len);
                out += onFrame ? onFrame(m_frames++, frame) : frame;
                if (closeAfter)
                    break;
            }
        }
        m_client->write(out);
        if (closeAfter) {
            m_client->flush();
            m_client->disconnectFromHost();
        }
    }

    QTcpServer m_server;
    int m_hostPort;
    QTcpSocket* m_client = nullptr;
    QTcpSocket* m_host = nullptr;
    QByteArray m_buffer;
    int m_stage = 0;
    int m_frames = 0;
};

// A host of the test's making on a raw socket. It offers a secure connection
// (with `address` in its offer) and runs the handshake through a channel of
// its own, or, with `offers` false, reads the wire as an old copy would; the
// test sends what it likes either way.
class ScriptedHost : public QObject {
public:
    QByteArray address = "127.0.0.1";
    bool offers = true;
    QByteArray received;        // every byte from the client
    QList<QByteArray> messages; // the client's inner messages
    QTcpSocket* sock = nullptr;

    ScriptedHost() {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            sock = m_server.nextPendingConnection();
            QObject::connect(sock, &QTcpSocket::readyRead, this, [this] { read(); });
        });
    }
    int port() const { return m_server.serverPort(); }
    bool secure() const { return m_channel.mode() == SC::Mode::Secure; }
    // One message: framed once secure, else as it is.
    void send(const QByteArray& message) {
        if (secure())
            write(m_channel.send(message));
        else
            sock->write(message);
    }

private:
    void read() {
        const QByteArray bytes = sock->readAll();
        received += bytes;
        if (offers && m_channel.mode() == SC::Mode::Idle && received.startsWith("IP:"))
            write(m_channel.begin(address, SC::Clock::now()));
        else if (offers)
            write(m_channel.receive(bytes, SC::Clock::now()));
    }
    void write(const SC::Step& step) {
        for (const QByteArray& w : step.writes)
            sock->write(w);
        messages += step.messages;
    }
    QTcpServer m_server;
    SC m_channel{SC::Role::Host};
};

// The client connects to `host` at 127.0.0.1 with secure connections set
// as given; true once it is connected.
bool connectTo(Peer& client, ScriptedHost& host, bool enabled, bool required) {
    client.session->setSecureOptions(enabled, required);
    client.view.own = kClientText;
    client.view.peer = "127.0.0.1";
    client.session->Connect(QString::number(host.port()));
    return client.session->IsConnected() && waitFor([&] { return host.sock != nullptr; });
}

const QString kPeerEndedBox =
    QStringLiteral("message:Your connection was terminated manually by the person.  ");

// The host waits with secure connections on (required or not) and a raw
// socket, which reads and writes the wire as it is, connects to it.
bool rawClientOf(Peer& host, bool required, QTcpSocket& raw) {
    host.session->setSecureOptions(true, required);
    host.view.own = kHostText;
    const int port = freePort();
    host.session->Listen(QString::number(port));
    raw.connectToHost(QHostAddress::LocalHost, quint16(port));
    return raw.waitForConnected(5000);
}

} // namespace

class TstIntegrationSecure : public QObject {
    Q_OBJECT
private slots:
    void secureChatBothWaysWithTheSameCode() {
        Peer host, client;
        QVERIFY(connectSecure(host, client, freePort()));
        const QString line = secureLineOf(host);
        QVERIFY2(
            QRegularExpression("^Secure\\. Code: [0-9A-F]{4} [0-9A-F]{4}$").match(line).hasMatch(),
            qPrintable(line));
        QCOMPARE(secureLineOf(client), line);
        // The legacy key check is not what these two compare.
        QVERIFY(host.view.status.filter("Key check").isEmpty());
        QVERIFY(client.view.status.filter("Key check").isEmpty());
        QCOMPARE(host.view.modes.last(), LinkMode::Secure);
        QCOMPARE(client.view.modes.last(), LinkMode::Secure);
        QVERIFY(host.view.modes.contains(LinkMode::SettingUp));

        host.session->SendChat("from the host");
        client.session->SendChat("from the client");
        QVERIFY(waitFor([&] {
            return client.view.chat.contains("from the host") &&
                   host.view.chat.contains("from the client");
        }));
        // The inner messages are today's: the rotor cipher's "CT:".
        QVERIFY(host.sent.last().startsWith("CT:"));
        QCOMPARE(host.sent.last().size(), 3 + QByteArray("from the host").size());
        QCOMPARE(client.sent.first(), "IP:" + kClientText.toUtf8());

        // Leaving ends both: "XX:" in the final frame reaches the other
        // side. The client is told, as the host would be, and stays.
        host.session->Close();
        QVERIFY(waitFor([&] { return client.services.log.filter("terminated manually").size(); }));
        QVERIFY(!client.session->IsConnected());
        QCOMPARE(client.view.status.last(), "The other person ended the connection.");
        QCOMPARE(client.services.log.filter("terminate").size(), 1);
        QTest::qWait(100);
        QVERIFY(!client.services.ended);
        QCOMPARE(client.view.modes.last(), LinkMode::None);
    }

    void clientTakesTheHostsOwnAddress() {
        Peer host, client;
        host.session->setSecureOptions(true, false);
        client.session->setSecureOptions(true, false);
        const int port = freePort();
        host.view.own = "10.1.2.3"; // as the host sees itself, behind a translation
        client.view.own = kClientText;
        host.session->Listen(QString::number(port));
        client.view.peer = kHostText; // what the client typed to reach it
        client.session->Connect(QString::number(port));
        QVERIFY(waitFor([&] { return client.session->channel().secure(); }));
        QCOMPARE(client.view.peer, QString("10.1.2.3"));
        QVERIFY(client.view.status.contains(
            "The other side's address is 10.1.2.3 as it sees it; the keys were made again."));
        QVERIFY(waitFor([&] { return !host.session->keyCheck().isEmpty(); }));
        QCOMPARE(client.session->keyCheck(), host.session->keyCheck());
        client.session->SendChat("keys agree");
        QVERIFY(waitFor([&] { return host.view.chat.contains("keys agree"); }));
    }

    void filesBothWaysAtOnceWithChatBetween_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("window");
        for (int size : {0, 1, 999, 1000, 1001})
            QTest::addRow("%d bytes", size) << size << 4096;
        QTest::addRow("3 MB, window 8") << 3 * 1000 * 1000 + 7 << 8;
        QTest::addRow("3 MB, window 4096") << 3 * 1024 * 1024 << 4096;
    }
    void filesBothWaysAtOnceWithChatBetween() {
        QFETCH(int, size);
        QFETCH(int, window);
        Peer host, client;
        host.session->setSecureWindow(window);
        client.session->setSecureWindow(window);
        QVERIFY(connectSecure(host, client, freePort()));
        QCOMPARE(host.session->channel().peerWindow(), window);

        const QByteArray up = randomBytes(size, 1), down = randomBytes(size, 2);
        const QString upPath = writeFile(client, "up.bin", up);
        const QString downPath = writeFile(host, "down.bin", down);
        const int hostSent = host.sent.size(), clientSent = client.sent.size();
        client.session->SendFile(upPath, Session::Confirm::Skip);
        host.session->SendFile(downPath, Session::Confirm::Skip);
        // Both transfers run now; chat goes between their blocks.
        host.session->SendChat("chat from the host");
        client.session->SendChat("chat from the client");
        QVERIFY2(waitFor(
                     [&] {
                         return host.view.status.count("File Transferred.") == 1 &&
                                client.view.status.count("File Transferred.") == 1 &&
                                host.view.status.count("File Received.") == 1 &&
                                client.view.status.count("File Received.") == 1;
                     },
                     120000),
                 qPrintable(host.view.status.join('|') + " // " + client.view.status.join('|')));
        QCOMPARE(readAll(host.recv() + "/up.bin"), up);
        QCOMPARE(readAll(client.recv() + "/down.bin"), down);
        QVERIFY(host.view.chat.contains("chat from the client"));
        QVERIFY(client.view.chat.contains("chat from the host"));

        // FS: with the size, then FL:, then the block messages as today.
        const QList<QByteArray> msgs = host.sent.mid(hostSent);
        QCOMPARE(msgs.value(0), "FS:" + QByteArray::number(size));
        QCOMPARE(msgs.value(1), QByteArray("FL:down.bin"));
        const QList<QByteArray> blocks = starting(msgs, "FB:");
        QCOMPARE(blocks.size(), size / 1000 + 1);
        QVERIFY(blocks.last().startsWith("FB:RM:"));
        QCOMPARE(blocks.last().size(), 7 + size % 1000);
        // One "OK:" for each block message, the final one included.
        QCOMPARE(client.sent.mid(clientSent).count("OK:"), size / 1000 + 1);
        if (window < size / 1000) {
            // The chat line left between two block messages of the file.
            const qsizetype chat = msgs.indexOf(starting(host.sent.mid(hostSent), "CT:").first());
            QVERIFY(chat > 2 && chat < msgs.size() - 1);
        }
        // Progress follows the acknowledgements up to 100; the receiver's
        // percentage rises to 100 and is then hidden.
        QCOMPARE(host.view.progress.last(), 100);
        QVERIFY(!host.view.progressVisible);
        QList<int> percents;
        static const QRegularExpression shown("^Receiving: (\\d+) % of ");
        for (const QString& line : client.view.receiveStatusLines)
            if (const QRegularExpressionMatch m = shown.match(line); m.hasMatch())
                percents << m.captured(1).toInt();
        QCOMPARE(client.view.receiveStatus, QString());
        QVERIFY(percents.contains(100));
        QVERIFY(std::is_sorted(percents.begin(), percents.end()));
        if (size >= 3000000)
            QVERIFY(QSet<int>(percents.begin(), percents.end()).size() > 50);
    }

    void legacyWithAPeerThatHasSecureConnectionsOff_data() {
        QTest::addColumn<bool>("hostSecure");
        QTest::addRow("host on, client off") << true;
        QTest::addRow("host off, client on") << false;
    }
    void legacyWithAPeerThatHasSecureConnectionsOff() {
        QFETCH(bool, hostSecure);
        Peer host, client;
        host.session->setSecureOptions(hostSecure, false);
        client.session->setSecureOptions(!hostSecure, false);
        QVERIFY(connectPeers(host, client, freePort()));
        // Typed while the host waits for an answer: held, then sent as today.
        host.session->SendChat("early line");
        Peer& secureSide = hostSecure ? host : client;
        QVERIFY(waitFor([&] { return secureSide.view.status.contains(SC::NoOfferLine); }, 10000));
        QCOMPARE(secureSide.view.modes.last(), LinkMode::Legacy);
        QVERIFY(waitFor([&] { return client.view.chat.contains("early line"); }));
        client.session->SendChat("reply");
        QVERIFY(waitFor([&] { return host.view.chat.contains("reply"); }));
        const QString file = writeFile(client, "plain.bin", randomBytes(2500, 3));
        client.session->SendFile(file, Session::Confirm::Skip);
        QVERIFY(waitFor([&] { return host.view.status.contains("File Received."); }, 30000));

        // What went on the wire is today's protocol, message for message.
        QCOMPARE(client.sent.value(0), "IP:" + kClientText.toUtf8());
        QCOMPARE(client.sent.value(1).left(3), QByteArray("CT:"));
        QCOMPARE(client.sent.value(2), QByteArray("FL:plain.bin"));
        for (const QByteArray& m : client.sent + host.sent)
            QVERIFY2(!m.startsWith("SX:R") && !m.startsWith("FS:"), m.left(4).constData());
        QVERIFY(starting(host.sent + client.sent, "SX:").isEmpty());
        QCOMPARE(host.view.status.filter("Secure. Code").size(), 0);
        QCOMPARE(client.view.status.filter("Secure. Code").size(), 0);
    }

    void requiringSecureConnectionsClosesALegacyOne() {
        Peer host, client;
        host.session->setSecureOptions(true, true);
        client.session->setSecureOptions(false, false);
        QVERIFY(connectPeers(host, client, freePort()));
        QVERIFY(waitFor([&] { return !host.session->IsConnected(); }, 10000));
        QVERIFY(host.view.status.contains("The connection was closed: secure connections are "
                                          "required, and the other side does not offer one."));
        QVERIFY(waitFor([&] { return client.view.status.contains("Connection lost."); }));
        QVERIFY(host.workFiles().isEmpty());
        // Not an "XX:": the client's program goes on.
        QVERIFY(client.services.log.filter("terminated manually").isEmpty());
    }

    void literalClientSeesTheOfferAloneThenTodaysProtocol() {
        Peer host;
        QTcpSocket raw;
        QVERIFY(rawClientOf(host, false, raw));
        QList<QByteArray> arrivals;
        QObject::connect(&raw, &QTcpSocket::readyRead, [&] { arrivals << raw.readAll(); });
        raw.write("IP:" + kClientText.toUtf8());
        QVERIFY(waitFor([&] { return !arrivals.isEmpty(); }));
        // The offer, alone in its arrival: tag, version, window, commitment,
        // the host's own address text.
        const QByteArray h = arrivals.first();
        QCOMPARE(h.size(), SC::HFixedSize + kHostText.size());
        QVERIFY(h.startsWith("SX:H\x01"));
        QCOMPARE(h.mid(5, 2), QByteArray("\x10\x00", 2));
        QCOMPARE(h.mid(SC::HFixedSize), kHostText.toUtf8());
        // The literal peer ignores it; the host goes on as today.
        QVERIFY(waitFor([&] { return host.view.status.contains(SC::NoOfferLine); }, 10000));
        host.session->SendChat("plain old chat");
        QVERIFY(waitFor([&] { return arrivals.size() >= 2; }));
        QCOMPARE(arrivals.size(), 2);
        QCOMPARE(arrivals[1], host.sent.last());
        QVERIFY(arrivals[1].startsWith("CT:"));
        QCOMPARE(arrivals[1].size(), 3 + QByteArray("plain old chat").size());
        raw.write("XX:");
        QVERIFY(
            waitFor([&] { return !host.services.log.filter("terminated manually").isEmpty(); }));
        QVERIFY(!host.session->IsConnected());
    }

    void tamperingClosesTheConnection_data() {
        QTest::addColumn<QString>("how");
        for (const char* how : {"flip", "drop", "repeat", "truncate", "legacy"})
            QTest::addRow("%s", how) << QString(how);
    }
    void tamperingClosesTheConnection() {
        QFETCH(QString, how);
        Peer host, client;
        host.session->setSecureOptions(true, false);
        client.session->setSecureOptions(true, false);
        host.session->setSecureWindow(4); // the client's blocks trickle in
        const int port = freePort();
        TamperRelay relay(port);
        host.view.own = kHostText;
        client.view.own = kClientText;
        host.session->Listen(QString::number(port));
        client.view.peer = kHostText;
        client.session->Connect(QString::number(relay.port()));
        QVERIFY(waitFor([&] {
            return client.session->channel().secure() && host.session->channel().secure();
        }));
        // The host sends a file; its 6th frame is tampered with while the
        // client receives.
        relay.onFrame = [&](int index, const QByteArray& frame) -> QByteArray {
            if (index != 6)
                return frame;
            if (how == "flip") {
                QByteArray f = frame;
                f[20] = char(f[20] ^ 0x04);
                return f;
            }
            if (how == "drop")
                return {};
            if (how == "repeat")
                return frame + frame;
            if (how == "truncate") {
                relay.closeAfter = true;
                return frame.left(frame.size() / 2);
            }
            return QByteArrayLiteral("CT:hello");
        };
        const QString path = writeFile(host, "secret.bin", randomBytes(40 * 1000, 4));
        host.session->SendFile(path, Session::Confirm::Skip);
        QVERIFY2(waitFor([&] { return client.view.status.contains(SC::DamagedLine); }),
                 qPrintable(client.view.status.join('|') + " // " + host.view.status.join('|')));
        QVERIFY(!client.session->IsConnected());
        QVERIFY(!client.session->receiver().ClientRecv());
        QVERIFY(client.workFiles().isEmpty());
        QCOMPARE(QDir(client.recv()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(!client.view.status.contains("File Received."));
        QCOMPARE(client.view.modes.last(), LinkMode::None);
        // No "XX:": the client's user did not leave, the host sees a loss.
        QVERIFY(starting(client.sent, "XX:").isEmpty());
        QVERIFY(waitFor([&] { return !host.session->IsConnected(); }));
        QVERIFY(host.services.log.filter("terminated manually").isEmpty());
    }

    // The answer limit is for peers that read the wire literally: inside the
    // frames a stalled receiver says so with "FC:R", so a slow answer never
    // stops the file.
    void noAnswerLimitInsideTheFrames() {
        Peer host, client;
        client.session->setSecureWindow(1); // every block waits for its answer
        QVERIFY(connectSecure(host, client, freePort()));
        host.session->sender().setAnswerTimeout(0); // would expire before any answer
        const QByteArray data = randomBytes(300 * 1000 + 7, 9);
        host.session->SendFile(writeFile(host, "slow.bin", data), Session::Confirm::Skip);
        QVERIFY(waitFor([&] { return host.view.status.contains("File Transferred."); }));
        QVERIFY(host.view.status.filter("Sending stopped").isEmpty());
        QCOMPARE(readAll(client.recv() + "/slow.bin"), data);
    }

    void cancelBothWays() {
        Peer host, client;
        client.session->setSecureWindow(2); // the host's file goes slowly enough to cancel
        host.session->setSecureWindow(2);
        QVERIFY(connectSecure(host, client, freePort()));
        const QString big = writeFile(host, "big.bin", randomBytes(3000 * 1000, 5));

        // The sender cancels: the receiver keeps nothing.
        host.session->SendFile(big, Session::Confirm::Skip);
        QVERIFY(waitFor([&] { return client.session->receiver().RecvBlockCount() > 3; }));
        QVERIFY(host.session->CancelSend());
        QVERIFY(host.view.status.contains("Sending cancelled."));
        QVERIFY(waitFor([&] { return !client.session->receiver().ClientRecv(); }));
        QVERIFY(client.view.status.contains(
            "File not received: the sender cancelled it. Nothing was saved under big.bin."));
        QCOMPARE(QDir(client.recv()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(starting(host.sent, "FC:"), QList<QByteArray>{"FC:S"});

        // The next file goes whole: answers due for the cancelled one are not
        // taken for its own.
        const QByteArray small = randomBytes(5500, 6);
        host.session->SendFile(writeFile(host, "next.bin", small), Session::Confirm::Skip);
        QVERIFY(waitFor([&] { return client.view.status.contains("File Received."); }));
        QVERIFY(waitFor([&] { return host.view.status.contains("File Transferred."); }));
        QCOMPARE(readAll(client.recv() + "/next.bin"), small);

        // The receiver gives up: the sender stops.
        host.session->SendFile(big, Session::Confirm::Skip);
        QVERIFY(waitFor([&] {
            return client.view.status.count("Receiving File big.bin") == 2 &&
                   client.session->receiver().RecvBlockCount() > 3;
        }));
        QVERIFY(client.session->CancelReceiving());
        QVERIFY(client.view.status.last().startsWith("File not received: you cancelled it."));
        QVERIFY(waitFor([&] { return !host.session->sender().busy(); }));
        QVERIFY(host.view.status.contains(
            "Sending stopped: the other side cancelled it (cancelled by the other person)."));
        QVERIFY(!QFileInfo::exists(client.recv() + "/big.bin"));
        // The connection is still good for chat.
        client.session->SendChat("still here");
        QVERIFY(waitFor([&] { return host.view.chat.contains("still here"); }));
    }

    void receiverOutOfSpaceTellsTheSender() {
        Peer host, client;
        QVERIFY(connectSecure(host, client, freePort()));
        const QString path = writeFile(client, "full.bin", randomBytes(300 * 1000, 7));
        bool stopped = false;
        {
            const FileSizeLimit full(64 * 1024);
            QVERIFY(full.active());
            client.session->SendFile(path, Session::Confirm::Skip);
            stopped = waitFor(
                [&] {
                    return host.view.status.contains("Receiving File full.bin") &&
                           !host.session->receiver().ClientRecv() &&
                           !client.session->sender().busy();
                },
                60000);
        }
        QVERIFY2(stopped,
                 qPrintable(host.view.status.join('|') + " // " + client.view.status.join('|')));
        QVERIFY(host.view.status.filter("File not received: writing full.bin failed").size() == 1);
        const QList<QByteArray> cancels = starting(host.sent, "FC:R");
        QCOMPARE(cancels.size(), 1);
        QVERIFY(cancels[0].size() > 4); // with the reason
        const QString reason = QString::fromUtf8(cancels[0].mid(4));
        QVERIFY(client.view.status.contains("Sending stopped: the other side cancelled it (" +
                                            reason + ")."));
        QVERIFY(!client.view.status.contains("File Transferred."));
        QCOMPARE(QDir(host.recv()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(host.session->IsConnected() && client.session->IsConnected());
    }

    // The address text in an offer is not authenticated: one that is no
    // address (or gives no keys) is not taken, and says so in one line,
    // without a box; a real one is.
    void offeredAddressIsTakenOnlyWhenUsable_data() {
        QTest::addColumn<QByteArray>("offered");
        QTest::addColumn<bool>("taken");
        QTest::newRow("path") << QByteArray("../../x") << false;
        QTest::newRow("blank") << QByteArray("10.0.0.1 x") << false;
        QTest::newRow("line break") << QByteArray("10.0.0.1\n") << false;
        QTest::newRow("no keys") << QByteArray("1.2.3.4.5.6.7.8.9") << false;
        QTest::newRow("address") << QByteArray("10.0.0.9") << true;
    }
    void offeredAddressIsTakenOnlyWhenUsable() {
        QFETCH(QByteArray, offered);
        QFETCH(bool, taken);
        ScriptedHost host;
        host.address = offered;
        Peer client;
        QVERIFY(connectTo(client, host, true, false));
        QVERIFY(waitFor([&] { return client.session->channel().secure(); }));
        QTest::qWait(50); // a box posted from the arrival would show by now
        QVERIFY2(client.services.log.isEmpty(), qPrintable(client.services.log.join('|')));
        QCOMPARE(client.view.peer, taken ? QString(offered) : QString("127.0.0.1"));
        QCOMPARE(client.view.status.filter("which is not an address").size(), taken ? 0 : 1);
        // Leaving still ends the connection cleanly on both sides.
        host.sock->close();
        QVERIFY(waitFor([&] { return !client.session->IsConnected(); }));
    }

    // Boxes from a network event are shown once its handler has returned:
    // a modal box inside it would let the connection end under it.
    void boxesWaitForTheArrivalHandlerToEnd() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        host.session->channel().receive("XX:");
        client.session->channel().receive("XX:"); // a legacy client ends with its host
        QVERIFY(host.services.log.isEmpty() && client.services.log.isEmpty());
        QVERIFY(waitFor([&] { return client.services.ended && !host.services.log.isEmpty(); }));
        QCOMPARE(host.services.log, QStringList{kPeerEndedBox});
        QCOMPARE(client.services.log,
                 (QStringList{kPeerEndedBox + "The program will now terminate.", "end"}));
    }

    // With "Require Secure Connections", during the offer wait: nothing the
    // user sends leaves, nothing the peer sends is shown, stored or
    // answered; when no secure connection comes, the typed line goes back.
    void requiredMeansNothingInTheClear() {
        ScriptedHost old;
        old.offers = false;
        Peer client;
        PeerKeys keys("127.0.0.1", kClientText);
        QVERIFY(connectTo(client, old, true, true));
        QVERIFY(client.session->SendChat("typed while waiting"));
        old.send("CT:" + keys.enc("from the old host"));
        QTest::qWait(100);
        old.send("FL:dropped.txt");
        QTest::qWait(100);
        old.send("FB:RM:" + keys.enc("content") + "|");
        QVERIFY(waitFor([&] { return !client.session->IsConnected(); }, 10000));
        QCOMPARE(client.view.chat, QStringList{"<typed while waiting>"});
        QCOMPARE(client.view.returned, QStringList{"typed while waiting"});
        QVERIFY(
            client.view.status.contains("1 chat line was not sent; it is back in the chat box."));
        QCOMPARE(QDir(client.recv()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(waitFor([&] { return old.sock->state() != QAbstractSocket::ConnectedState; }));
        QCOMPARE(old.received, "IP:" + kClientText.toUtf8());

        // The host's side: the offer goes, then nothing, and the line is back.
        Peer host;
        QTcpSocket raw;
        QVERIFY(rawClientOf(host, true, raw));
        raw.write("IP:" + kClientText.toUtf8());
        QByteArray got;
        QVERIFY(waitFor([&] {
            got += raw.readAll();
            return got.startsWith("SX:H");
        }));
        QVERIFY(host.session->SendChat("host typed"));
        raw.write("CT:" + keys.enc("from an old client"));
        QVERIFY(waitFor(
            [&] {
                got += raw.readAll();
                return !host.session->IsConnected();
            },
            10000));
        QTest::qWait(100);
        got += raw.readAll();
        QCOMPARE(got.size(), SC::HFixedSize + kHostText.size());
        QCOMPARE(host.view.chat, QStringList{"<host typed>"});
        QCOMPARE(host.view.returned, QStringList{"host typed"});
    }

    // Secure connections off here, offered there: said at once; and when the
    // other side then closes at once, why it probably did.
    void declinedOfferIsExplained() {
        ScriptedHost host;
        Peer client;
        QVERIFY(connectTo(client, host, false, false));
        QVERIFY(waitFor([&] { return client.view.status.contains(SC::OfferedButOffLine); }));
        host.sock->close();
        QVERIFY(waitFor([&] { return !client.session->IsConnected(); }));
        QCOMPARE(client.view.status.filter("probably requires a secure connection").size(), 1);
    }

    // What the peer says cannot pass for the program's own lines: a cancel
    // reason keeps to one line of at most 200 characters, a name loses its
    // invisible format characters, right-to-left text is isolated.
    void peerTextStaysInItsPlace() {
        ScriptedHost host;
        Peer client;
        QVERIFY(connectTo(client, host, true, false));
        QVERIFY(waitFor([&] { return host.secure() && client.session->channel().secure(); }));
        host.send("FS:10");
        host.send("FL:" + QString::fromUtf8("\u202Etxt.exe").toUtf8());
        QVERIFY(waitFor([&] { return client.session->receiver().ClientRecv(); }));
        host.send("FC:SNo.\nFile Transferred.\n" + QByteArray(60 * 1024, 'x'));
        QVERIFY(waitFor([&] { return !client.session->receiver().ClientRecv(); }));
        QVERIFY(client.view.status.contains("Receiving File _txt.exe"));
        QVERIFY(!client.view.status.contains("File Transferred."));
        const QStringList stopped = client.view.status.filter("File not received");
        QCOMPARE(stopped.size(), 1);
        QVERIFY2(stopped[0].size() < 300 && !stopped[0].contains('\n'), qPrintable(stopped[0]));

        const QString hebrew = QString::fromUtf8("\u05E9\u05DC\u05D5\u05DD.txt");
        host.send("FL:" + hebrew.toUtf8());
        QVERIFY(waitFor([&] { return client.session->receiver().ClientRecv(); }));
        QVERIFY(client.view.status.contains(QString("Receiving File ") + QChar(0x2068) + hebrew +
                                            QChar(0x2069)));
    }
};

QTEST_MAIN(TstIntegrationSecure)
#include "tst_integration_secure.moc"
