#include "platform/Socket.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int Wait = 10000;

quint16 freePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QByteArray allByteValues() {
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    return bytes;
}

// Takes every arrival of `s` into `into`, the way the program's arrival
// handler does.
void collect(Socket& s, QByteArray& into) {
    QObject::connect(&s, &Socket::dataArrival, &s, [&s, &into] { into += s.getData(); });
}

// A host that accepts the way the program does: close the listener, then
// accept the request.
void acceptLikeTheProgram(Socket& host) {
    QObject::connect(&host, &Socket::connectionRequest, &host, [&host](int id) {
        if (host.state() != Socket::Closed)
            host.close();
        QVERIFY2(host.accept(id), qPrintable(host.errorString()));
    });
}

} // namespace

class TstPlatformSocket : public QObject {
    Q_OBJECT

private:
    // A connected host/client pair, the client connecting to `address`.
    struct Pair {
        std::unique_ptr<Socket> host = std::make_unique<Socket>();
        std::unique_ptr<Socket> client = std::make_unique<Socket>();
    };
    bool connectPair(Pair& p, const QString& address = QStringLiteral("127.0.0.1")) {
        const quint16 port = freePort();
        if (port == 0)
            return false;
        p.host->setLocalPort(port);
        if (!p.host->listen())
            return false;
        acceptLikeTheProgram(*p.host);
        QSignalSpy connected(p.client.get(), &Socket::connected);
        p.client->connectTo(address, port);
        if (!QTest::qWaitFor([&] { return !connected.isEmpty(); }, Wait))
            return false;
        if (!QTest::qWaitFor([&] { return p.host->state() == Socket::Connected; }, Wait))
            return false;
        return p.client->state() == Socket::Connected;
    }

private slots:
    void listenStatesAndRefusals() {
        Socket s;
        QCOMPARE(s.state(), int(Socket::Closed));

        QString reason;
        for (int bad : {0, 65536}) {
            s.setLocalPort(bad);
            QVERIFY(!s.listen(&reason));
            QVERIFY(reason.contains(QString::number(bad)));
        }

        // A port someone else listens on.
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::AnyIPv4, 0));
        s.setLocalPort(other.serverPort());
        reason.clear();
        QVERIFY(!s.listen(&reason));
        QVERIFY(reason.contains(QString::number(other.serverPort())));
        QVERIFY(!s.errorString().isEmpty());
        QCOMPARE(s.state(), int(Socket::Error));

        const quint16 port = freePort();
        s.setLocalPort(port);
        QVERIFY2(s.listen(&reason), qPrintable(reason));
        QCOMPARE(s.state(), int(Socket::Listening));
        // Listening again straight away: the old listener makes way.
        s.close();
        QCOMPARE(s.state(), int(Socket::Closed));

        // Closed for real: nobody can connect any more.
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE_WITH_TIMEOUT(probe.state(), QAbstractSocket::UnconnectedState, Wait);
        QCOMPARE(probe.error(), QAbstractSocket::ConnectionRefusedError);
    }

    // One listener takes IPv6 and IPv4 peers alike.
    void connectAcceptAndExchangeEveryByte_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("remote");
        QTest::addRow("IPv4") << "127.0.0.1"
                              << "127.0.0.1";
        QTest::addRow("IPv6") << "::1"
                              << "::1";
        QTest::addRow("IPv6 in brackets") << " [0:0::1]"
                                          << "::1";
    }
    void connectAcceptAndExchangeEveryByte() {
        QFETCH(QString, address);
        QFETCH(QString, remote);
        Pair p;
        QVERIFY(connectPair(p, address));

        QCOMPARE(p.host->remoteAddress(), remote);
        QCOMPARE(p.client->remoteAddress(), remote);
        for (Socket* s : {p.host.get(), p.client.get()}) {
            QVERIFY(s->connection());
            QCOMPARE(s->connection()->socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);
        }

        QByteArray atHost, atClient;
        collect(*p.host, atHost);
        collect(*p.client, atClient);
        QSignalSpy progress(p.client.get(), &Socket::sendProgress);

        const QByteArray bytes = allByteValues();
        QVERIFY(p.client->sendData(bytes));
        QTRY_COMPARE_WITH_TIMEOUT(atHost.size(), bytes.size(), Wait);
        QCOMPARE(atHost, bytes);
        QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty(), Wait);

        // Several messages arrive complete and in the order they were sent.
        QByteArray expected;
        for (int i = 0; i < 50; ++i) {
            const QByteArray msg = "CT:" + QByteArray::number(i) + bytes.mid(i, 7);
            QVERIFY(p.host->sendData(msg));
            expected += msg;
        }
        QTRY_COMPARE_WITH_TIMEOUT(atClient.size(), expected.size(), Wait);
        QCOMPARE(atClient, expected);

        // getData hands out each byte once.
        QCOMPARE(p.host->getData(), QByteArray());

        // Listening while a connection is open is refused with a reason.
        QString reason;
        p.client->setLocalPort(freePort());
        QVERIFY(!p.client->listen(&reason));
        QVERIFY(!reason.isEmpty());
        QCOMPARE(p.client->state(), int(Socket::Connected));
    }

    void closingAfterALargeMessageDeliversAllOfIt() {
        Pair p;
        QVERIFY(connectPair(p));
        QByteArray atHost;
        collect(*p.host, atHost);
        QSignalSpy lost(p.host.get(), &Socket::connectionLost);
        // Far more than one network write takes; the last close comes at once.
        QByteArray big;
        for (int i = 0; i < 16 * 1024 * 1024; ++i)
            big.append(char((i * 7 + i / 256) & 0xFF));
        // The system takes part of it at once; the rest, and a message sent
        // after it, wait in the socket's buffer in order, and every byte is
        // reported sent once.
        QSignalSpy progress(p.client.get(), &Socket::sendProgress);
        const QByteArray after = "CT:after";
        QVERIFY(p.client->sendData(big));
        QVERIFY(p.client->sendData(after));
        const auto reported = [&] {
            qint64 sum = 0;
            for (const QList<QVariant>& args : std::as_const(progress))
                sum += args.at(0).toLongLong();
            return sum;
        };
        QTRY_COMPARE_WITH_TIMEOUT(reported(), qint64(big.size() + after.size()), Wait);
        QVERIFY(p.client->sendData(big.left(5000)));
        p.client->close();
        QTRY_VERIFY_WITH_TIMEOUT(!lost.isEmpty(), Wait);
        QCOMPARE(atHost.size(), big.size() + after.size() + 5000);
        QCOMPARE(atHost, big + after + big.left(5000));
    }

    // A message sent while bytes of an earlier one still wait in the
    // socket's buffer goes behind them, even when the system has room for
    // it at that moment.
    void messageBehindBufferedBytesKeepsItsPlace() {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) == 0);
        QVERIFY(::listen(listener, 1) == 0 &&
                ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
        Socket client;
        client.connectTo(QStringLiteral("127.0.0.1"), ntohs(addr.sin_port));
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), int(Socket::Connected), Wait);
        const int peer = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        QVERIFY(peer >= 0);

        // The peer reads nothing yet: the system takes a part, the rest waits.
        const QByteArray big(8 * 1024 * 1024, 'b');
        QVERIFY(client.sendData(big));
        QVERIFY(client.bytesToWrite() > 0);
        // The peer reads some, so the system has room again, but no event
        // has let the socket hand on its buffer yet.
        QByteArray atPeer;
        char chunk[65536];
        auto readSome = [&] {
            const ssize_t n = ::recv(peer, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0)
                atPeer.append(chunk, n);
            return n;
        };
        while (atPeer.size() < 1024 * 1024 && readSome() > 0) {
        }
        QVERIFY(client.bytesToWrite() > 0);
        QVERIFY(client.sendData("CT:after"));
        QTRY_VERIFY_WITH_TIMEOUT((readSome(), atPeer.size() >= big.size() + 8), Wait);
        ::close(peer);
        QCOMPARE(atPeer.size(), big.size() + 8);
        QVERIFY(atPeer == big + "CT:after");
    }

    void refusedConnectFails() {
        const quint16 port = freePort(); // nothing listens there
        Socket client;
        QSignalSpy failed(&client, &Socket::connectFailed);
        QSignalSpy connected(&client, &Socket::connected);
        client.connectTo(QStringLiteral("localhost"), port); // a name, resolved first
        QVERIFY(failed.wait(Wait));
        QCOMPARE(failed.size(), 1);
        QVERIFY(!failed.first().first().toString().isEmpty());
        QCOMPARE(client.state(), int(Socket::Error));
        QVERIFY(connected.isEmpty());
        QVERIFY(!client.sendData("CT:x"));

        // Port 0 is refused without touching the network.
        QSignalSpy failedAgain(&client, &Socket::connectFailed);
        client.connectTo(QStringLiteral("127.0.0.1"), 0);
        QVERIFY(failedAgain.wait(Wait));
        client.close();
        QCOMPARE(client.state(), int(Socket::Closed));
    }

    // A name is looked up without blocking; its addresses are tried in turn
    // until one answers, and a name that is not found fails with a reason.
    void namesAreLookedUpAndTriedInTurn() {
        QTcpServer v4only; // nothing answers on ::1 at this port
        QVERIFY(v4only.listen(QHostAddress::LocalHost, 0));
        QStringList asked;
        Socket client;
        client.setResolver([&](const QString& name, QObject* context, auto done) {
            asked << name;
            QList<QHostAddress> found;
            if (name == "peer.test")
                found = {QHostAddress::LocalHostIPv6, QHostAddress::LocalHost};
            QTimer::singleShot(20, context, [done, found] { done(found); });
        });
        QSignalSpy connected(&client, &Socket::connected);
        QSignalSpy failed(&client, &Socket::connectFailed);

        client.connectTo(" peer.test ", v4only.serverPort());
        QCOMPARE(client.state(), int(Socket::ResolvingHost));
        QVERIFY(connected.wait(Wait));
        QCOMPARE(client.remoteAddress(), QStringLiteral("127.0.0.1"));
        QVERIFY(failed.isEmpty() && !client.lookupFailed());

        client.connectTo("nobody.invalid", v4only.serverPort());
        QVERIFY(failed.wait(Wait));
        QCOMPARE(failed.first().first().toString(),
                 QStringLiteral("The name nobody.invalid could not be found."));
        QVERIFY(client.lookupFailed());
        QCOMPARE(client.state(), int(Socket::Error));
        QCOMPARE(asked, (QStringList{"peer.test", "nobody.invalid"}));

        // A close during the look-up forgets it: no late connect or failure.
        client.connectTo("peer.test", v4only.serverPort());
        client.close();
        QTest::qWait(100);
        QCOMPARE(client.state(), int(Socket::Closed));
        QCOMPARE(connected.size(), 1);
        QCOMPARE(failed.size(), 1);
    }

    void closeByPeerIsReportedAfterItsLastData() {
        Pair p;
        QVERIFY(connectPair(p));
        QByteArray atHost;
        QStringList order;
        connect(p.host.get(), &Socket::dataArrival, p.host.get(), [&] {
            atHost += p.host->getData();
            order << QStringLiteral("data");
        });
        connect(p.host.get(), &Socket::connectionLost, p.host.get(),
                [&] { order << QStringLiteral("lost"); });
        QSignalSpy clientLost(p.client.get(), &Socket::connectionLost);
        QSignalSpy hostLost(p.host.get(), &Socket::connectionLost);

        // The way a side leaves: the end message, then close at once.
        QVERIFY(p.client->sendData("XX:"));
        p.client->close();
        QCOMPARE(p.client->state(), int(Socket::Closed));

        QTRY_VERIFY_WITH_TIMEOUT(!hostLost.isEmpty(), Wait);
        QCOMPARE(atHost, QByteArray("XX:"));
        QCOMPARE(order.last(), QStringLiteral("lost"));
        QCOMPARE(hostLost.size(), 1);
        QVERIFY(!hostLost.first().first().toString().isEmpty());
        QCOMPARE(p.host->state(), int(Socket::Error));
        QVERIFY(!p.host->sendData("OK:"));
        // The side that closed hears nothing about it.
        QVERIFY(clientLost.isEmpty());

        // After the peer has gone, listening again works without a close.
        p.host->setLocalPort(freePort());
        QVERIFY2(p.host->listen(), qPrintable(p.host->errorString()));
        QCOMPARE(p.host->state(), int(Socket::Listening));
    }

    void destroyedPeerIsReported() {
        Pair p;
        QVERIFY(connectPair(p));
        QSignalSpy lost(p.client.get(), &Socket::connectionLost);
        p.host.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!lost.isEmpty(), Wait);
        QCOMPARE(lost.size(), 1);
        QCOMPARE(p.client->state(), int(Socket::Error));
        p.client->close();
        QCOMPARE(p.client->state(), int(Socket::Closed));
    }

    void dataSentBeforeTheAcceptIsKept() {
        const quint16 port = freePort();
        Socket host;
        host.setLocalPort(port);
        QVERIFY(host.listen());
        QSignalSpy requests(&host, &Socket::connectionRequest);

        Socket client;
        QSignalSpy connected(&client, &Socket::connected);
        client.connectTo(QStringLiteral("127.0.0.1"), port);
        QVERIFY(connected.wait(Wait));
        QVERIFY(client.sendData("IP:10.1.2.3"));
        QTRY_VERIFY_WITH_TIMEOUT(!requests.isEmpty(), Wait);

        // Let the bytes reach the host before it accepts.
        QTRY_VERIFY_WITH_TIMEOUT(host.findChildren<QTcpSocket*>().size() == 1 &&
                                     host.findChildren<QTcpSocket*>().first()->bytesAvailable() > 0,
                                 Wait);

        QByteArray atHost;
        collect(host, atHost);
        QVERIFY(host.accept(requests.first().first().toInt()));
        QCOMPARE(host.state(), int(Socket::Connected));
        QTRY_COMPARE_WITH_TIMEOUT(atHost, QByteArray("IP:10.1.2.3"), Wait);
    }

    void unacceptedRequestsAreDropped() {
        const quint16 port = freePort();
        Socket host;
        host.setLocalPort(port);
        QVERIFY(host.listen());
        QSignalSpy requests(&host, &Socket::connectionRequest);

        QTcpSocket first, second;
        first.connectToHost(QHostAddress::LocalHost, port);
        second.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE_WITH_TIMEOUT(requests.size(), 2, Wait);
        const int firstId = requests.at(0).first().toInt();
        const int secondId = requests.at(1).first().toInt();
        QVERIFY(firstId != secondId);

        QString reason;
        QVERIFY(!host.accept(12345, &reason));
        QVERIFY(!reason.isEmpty());

        // Accepting one turns the other away; the accepted one stays.
        QVERIFY(host.accept(secondId));
        QTRY_COMPARE_WITH_TIMEOUT(first.state(), QAbstractSocket::UnconnectedState, Wait);
        QVERIFY(!host.accept(firstId));
        QCOMPARE(second.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(host.state(), int(Socket::Connected));

        // A request left waiting when the listener is closed goes too.
        Socket other;
        const quint16 port2 = freePort();
        other.setLocalPort(port2);
        QVERIFY(other.listen());
        QSignalSpy otherRequests(&other, &Socket::connectionRequest);
        QTcpSocket third;
        third.connectToHost(QHostAddress::LocalHost, port2);
        QTRY_VERIFY_WITH_TIMEOUT(!otherRequests.isEmpty(), Wait);
        other.close();
        QTRY_COMPARE_WITH_TIMEOUT(third.state(), QAbstractSocket::UnconnectedState, Wait);
        QVERIFY(!other.accept(otherRequests.first().first().toInt()));
    }

    void localAddressIsADottedIPv4OfThisMachine() {
        const QString ip = Socket::localIP();
        QHostAddress address;
        QVERIFY2(address.setAddress(ip) && address.protocol() == QAbstractSocket::IPv4Protocol,
                 qPrintable(ip));
        // One of this machine's up, non-loopback addresses, or loopback when
        // there is none.
        QStringList candidates;
        for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
            const auto f = iface.flags();
            if ((f & QNetworkInterface::IsUp) && (f & QNetworkInterface::IsRunning) &&
                !(f & QNetworkInterface::IsLoopBack))
                for (const QNetworkAddressEntry& e : iface.addressEntries())
                    if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
                        candidates << e.ip().toString();
        }
        if (candidates.isEmpty())
            candidates << QStringLiteral("127.0.0.1");
        QVERIFY2(candidates.contains(ip), qPrintable(ip + " not in " + candidates.join(' ')));
    }
};

QTEST_GUILESS_MAIN(TstPlatformSocket)
#include "tst_platform_socket.moc"
