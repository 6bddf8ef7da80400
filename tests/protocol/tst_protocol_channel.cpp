// The channel between the socket and the session, against a peer on the
// other end of a loopback connection that the test drives byte by byte (with
// an I/O-free SecureChannel of its own where it speaks the secure wire).
#include "platform/Socket.h"
#include "protocol/Channel.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

using SC = SecureChannel;
constexpr int Wait = 15000;

struct Link {
    QTcpServer server;
    Socket sock;
    Channel ch{sock};
    QTcpSocket* peer = nullptr;
    SC peerCore{SC::Role::Client};
    QList<QByteArray> messages;
    QStringList status;
    QList<Channel::Failure> failures;

    Link() {
        server.listen(QHostAddress::LocalHost, 0);
        sock.connectTo(QStringLiteral("127.0.0.1"), server.serverPort());
        if (QTest::qWaitFor(
                [&] { return sock.state() == Socket::Connected && server.hasPendingConnections(); },
                Wait))
            peer = server.nextPendingConnection();
        ch.open();
        QObject::connect(&ch, &Channel::messageReceived,
                         [this](wire::Kind, const QByteArray& m) { messages << m; });
        QObject::connect(&ch, &Channel::status, [this](const QString& l) { status << l; });
        QObject::connect(&ch, &Channel::failed, [this](Channel::Failure f) { failures << f; });
    }

    // The host's offer, the peer's answer and S; C is kept back unless
    // `finish`.
    bool handshake(bool finish) {
        if (!peer)
            return false;
        ch.startHost("127.0.0.1");
        peerCore.connected(SC::Clock::now());
        return QTest::qWaitFor(
            [&] {
                const SC::Step step = peerCore.receive(peer->readAll(), SC::Clock::now());
                for (const QByteArray& w : step.writes)
                    if (finish || !w.startsWith("SX:C"))
                        peer->write(w);
                return peerCore.mode() == SC::Mode::Secure && (!finish || ch.secure());
            },
            Wait);
    }
    // The peer's frames of `messages`, joined.
    QByteArray frames(const QList<QByteArray>& inner) {
        QByteArray out;
        for (const QByteArray& m : inner)
            out += peerCore.send(m).writes.join();
        return out;
    }
};

} // namespace

class TstProtocolChannel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(SC::cryptoReady()); }

    // How a secure connection ends by itself, as the session learns it: a
    // failed set-up and damage are told apart, and nothing after the damage
    // is handed up.
    void endsByItself_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QList<QByteArray>>("handedUp");
        QTest::newRow("no C") << "no C" << int(Channel::Failure::SetupFailed) << SC::SetupFailedLine
                              << QList<QByteArray>{};
        QTest::newRow("flipped bit") << "flip" << int(Channel::Failure::Damaged) << SC::DamagedLine
                                     << QList<QByteArray>{"CT:first"};
    }
    void endsByItself() {
        QFETCH(QString, how);
        QFETCH(int, failure);
        QFETCH(QString, line);
        QFETCH(QList<QByteArray>, handedUp);
        Link l;
        QVERIFY(l.handshake(how != "no C"));
        if (how == "no C") {
            l.peer->write(QByteArray(SC::CSize, 'j'));
        } else {
            const QByteArray first = l.frames({"CT:first"});
            QByteArray second = l.frames({"CT:second"});
            second[10] = char(second[10] ^ 0x04);
            l.peer->write(first + second);
        }
        QVERIFY(QTest::qWaitFor([&] { return !l.failures.isEmpty(); }, Wait));
        QCOMPARE(l.failures, QList<Channel::Failure>{Channel::Failure(failure)});
        QCOMPARE(l.status.last(), line);
        QCOMPARE(l.messages, handedUp);
    }

    // Frames that are ready together go out in one write, in order, once
    // the batch ends or the connection is dropped.
    void framesOfABatchAreJoined() {
        Link l;
        QVERIFY(l.handshake(true));
        QList<QByteArray> sent;
        {
            const Channel::Batch batch(l.ch);
            for (int i = 0; i < 100; ++i) {
                sent << "CT:" + QByteArray::number(i);
                QVERIFY(l.ch.send(sent.last()));
            }
            QVERIFY(l.ch.unsentBytes() > 100 * (3 + SC::FrameOverhead));
        }
        QCOMPARE(l.ch.unsentBytes(), 0);
        {
            // Ending the connection inside a batch still sends what was said.
            const Channel::Batch batch(l.ch);
            sent << "XX:";
            QVERIFY(l.ch.send(sent.last()));
            l.ch.drop();
        }
        QList<QByteArray> got;
        QVERIFY(QTest::qWaitFor(
            [&] {
                got += l.peerCore.receive(l.peer->readAll(), SC::Clock::now()).messages;
                return got.size() >= sent.size();
            },
            Wait));
        QCOMPARE(got, sent);
    }

    // A flood is handed up a bounded share per turn of the event loop, the
    // rest from the next turns, in order.
    void floodIsHandedUpInTurns() {
        Link l;
        const int n = 3000;
        l.ch.receive(QByteArray("OK:").repeated(n));
        QVERIFY2(l.messages.size() >= 16 && l.messages.size() < n,
                 qPrintable(QString::number(l.messages.size())));
        l.ch.receive("CT:last");
        QVERIFY(QTest::qWaitFor([&] { return l.messages.size() == n + 1; }, Wait));
        QCOMPARE(l.messages.count("OK:"), n);
        QCOMPARE(l.messages.last(), "CT:last");
    }
};

QTEST_GUILESS_MAIN(TstProtocolChannel)
#include "tst_protocol_channel.moc"
