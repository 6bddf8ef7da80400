// Who connects to whom, with which address texts, and how a connection or a
// wait ends: two sessions in one process, and peers that write the wire
// format literally from a raw socket.
#include "PeerFixture.h"

#include "platform/TextCodec.h"

#include <QTcpSocket>

namespace {

const QString kKeysDiffer =
    "The keys of the two sides do not seem to match: compare the Key check lines.";
const QString kRepeatedAddress = "The other side sent its address again; it was ignored.";
const QString kPeerEndedBox = "message:Your connection was terminated manually by the person.  ";

// The host waits; the client connects to it, and `during` runs once inside
// the client's connect wait. True when it ran.
bool duringTheConnectWait(Peer& host, Peer& client, int port, const std::function<void()>& during) {
    host.view.own = kHostText;
    host.session->Listen(QString::number(port));
    client.view.own = kClientText;
    client.view.peer = kHostText;
    bool once = false;
    client.services.onProcessEvents = [&] {
        if (!once) {
            once = true;
            during();
        }
    };
    client.session->Connect(QString::number(port));
    client.services.onProcessEvents = nullptr;
    return once;
}

// A peer that writes each message with one write, from a raw socket.
struct LiteralPeer {
    QTcpSocket sock;
    bool open(int port) {
        sock.connectToHost(QHostAddress::LocalHost, quint16(port));
        return sock.waitForConnected(5000);
    }
    // Writes `message` and waits until `to` has taken it as an arrival.
    bool say(Peer& to, const QByteArray& message) {
        const int before = to.view.receiveBars;
        sock.write(message);
        sock.flush();
        return waitFor([&] { return to.view.receiveBars > before; });
    }
};

bool onlyRecvFolder(const Peer& p) {
    return QDir(p.recv()).entryList(QDir::Files | QDir::Hidden).isEmpty();
}

} // namespace

class TstIntegrationConnectionControl : public QObject {
    Q_OBJECT
private slots:
    // Both pressed "Wait for Connect", then one of them connects: that one
    // is the client, and both make the same keys.
    void waitThenConnectMakesThisSideTheClient() {
        Peer host, client;
        const int port = freePort();
        client.view.own = kClientText;
        client.session->Listen(QString::number(freePort()));
        QVERIFY(client.session->IsHost() && client.session->IsWaiting());
        QVERIFY(connectAs(host, client, port, kHostText, kClientText, kHostText));
        QVERIFY(client.session->IsClient() && !client.session->IsHost());
        QVERIFY(!client.session->IsWaiting());
        QCOMPARE(client.session->keyCheck(), host.session->keyCheck());
        client.session->SendChat("readable");
        host.session->SendChat("both ways");
        QVERIFY(waitFor([&] { return host.view.chat.contains("readable"); }));
        QVERIFY(waitFor([&] { return client.view.chat.contains("both ways"); }));
    }

    void blanksAroundTheAddressesAreTrimmedOnce() {
        Peer host, client;
        const int port = freePort();
        host.view.own = " " + kHostText + " ";
        host.session->Listen(QString::number(port));
        QCOMPARE(host.view.own, kHostText);
        // Edited while waiting: trimmed again when the keys are made.
        host.view.own = kHostText + "  ";
        client.view.own = "\t" + kClientText + " ";
        client.view.peer = kHostText + " ";
        client.session->Connect(QString::number(port));
        QVERIFY(client.session->IsConnected());
        QCOMPARE(client.view.peer, kHostText);
        QCOMPARE(client.view.own, kClientText);
        QCOMPARE(client.sent.first(), "IP:" + kClientText.toLatin1());
        QVERIFY(waitFor([&] { return host.view.status.contains("Connected."); }));
        QCOMPARE(host.view.own, kHostText);
        QCOMPARE(host.view.peer, kClientText);

        PeerKeys ref(kHostText, kClientText);
        std::string check;
        QVERIFY(ref.engine.KeyCheck(check));
        QCOMPARE(client.session->keyCheck(), QString::fromStdString(check));
        QCOMPARE(host.session->keyCheck(), QString::fromStdString(check));
    }

    // The host compares the address the client names with the one the
    // connection comes from.
    void hostNotesAnAddressThatDiffersFromTheConnection() {
        Peer host, client;
        QVERIFY(connectAs(host, client, freePort(), kHostText, kClientText, kHostText));
        const QStringList noted = host.view.status.filter("gives its address as");
        QCOMPARE(noted.size(), 1);
        QVERIFY2(noted.first().contains(kClientText) && noted.first().contains("127.0.0.1") &&
                     noted.first().contains("Help"),
                 qPrintable(noted.first()));
        QCOMPARE(host.view.status.indexOf(noted.first()), host.view.status.size() - 1);

        Peer host2, client2;
        QVERIFY(connectAs(host2, client2, freePort(), kHostText, "127.0.0.1", kHostText));
        QVERIFY(host2.view.status.filter("gives its address as").isEmpty());
        QVERIFY(client2.view.status.filter("gives its address as").isEmpty());
    }

    // The client typed an address other than the one the host shows: the
    // keys differ, and the host says so once per connection.
    void unreadableChatIsNotedOncePerConnection() {
        Peer host;
        const int port = freePort();
        for (int round = 1; round <= 2; ++round) {
            Peer client;
            QVERIFY(connectAs(host, client, port, kHostText, kClientText, "127.0.0.3"));
            QVERIFY(host.session->keyCheck() != client.session->keyCheck());
            // Each line arrives on its own.
            client.session->SendChat("a line that the other side cannot decrypt");
            QVERIFY(waitFor([&] { return host.view.chat.size() == 2 * round - 1; }));
            client.session->SendChat("and a second one after it");
            QVERIFY(waitFor([&] { return host.view.chat.size() == 2 * round; }));
            QCOMPARE(host.view.status.count(kKeysDiffer), round);
            QVERIFY(!client.view.status.contains(kKeysDiffer));
            client.session->Disconnect();
            QVERIFY(waitFor([&] { return !host.session->IsConnected(); }));
        }

        // With the same keys, text in either code page, tabs included, is text.
        LiteralPeer peer;
        host.session->Listen(QString::number(port));
        QVERIFY(peer.open(port));
        QVERIFY(peer.say(host, "IP:" + kClientText.toLatin1()));
        QVERIFY(waitFor([&] { return host.view.status.count("Connected.") == 3; }));
        PeerKeys keys(kHostText, kClientText);
        const QByteArray lines[] = {"Gr\xFC\xDF"
                                    "e aus K\xF6ln",
                                    "\xE4\xF6\xFC", "caf\xC3\xA9 \xE6\x9D\xB1\xE4\xBA\xAC",
                                    "one\ttwo", "ok"};
        for (const QByteArray& line : lines)
            QVERIFY(peer.say(host, "CT:" + keys.enc(line)));
        QCOMPARE(host.view.chat.mid(4),
                 (QStringList{QString::fromUtf8("Grüße aus Köln"), QString::fromUtf8("äöü"),
                              QString::fromUtf8("café 東京"), "one\ttwo", "ok"}));
        QCOMPARE(host.view.status.count(kKeysDiffer), 2);
    }

    void disconnectEndsTheConnectionAndBothSidesStayReady() {
        Peer host, client;
        const int port = freePort();
        QVERIFY(connectPeers(host, client, port));
        client.session->Disconnect();
        QCOMPARE(client.sent.last(), "XX:");
        QCOMPARE(client.view.status.last(), "Disconnected.");
        QVERIFY(!client.session->IsConnected() && !client.session->IsClient());
        QVERIFY(!client.view.buttons);
        QVERIFY(client.workFiles().isEmpty());
        QVERIFY(!client.services.ended);
        QVERIFY(client.services.log.isEmpty());

        // The host is told, in the status list as well as in the box.
        QVERIFY(waitFor([&] { return !host.session->IsConnected(); }));
        QCOMPARE(host.view.status.last(), "The other person ended the connection.");
        QCOMPARE(host.services.entries("message:"), QStringList{kPeerEndedBox});
        QVERIFY(!host.view.buttons);
        QVERIFY(!host.services.ended);
        QVERIFY(host.workFiles().isEmpty());

        // The same two connect again.
        QVERIFY(connectPeers(host, client, port));
        client.session->SendChat("again");
        QVERIFY(waitFor([&] { return host.view.chat.contains("again"); }));

        // Disconnect at the host ends the client's program, as leaving does.
        host.session->Disconnect();
        QCOMPARE(host.sent.last(), "XX:");
        QCOMPARE(host.view.status.last(), "Disconnected.");
        QVERIFY(!host.session->IsHost() && !host.session->IsWaiting());
        QVERIFY(waitFor([&] { return client.services.ended; }));
    }

    void disconnectEndsTheWait() {
        Peer host;
        const int port = freePort();
        host.session->Listen(QString::number(port));
        QVERIFY(host.session->IsWaiting());
        host.session->Disconnect();
        QVERIFY(!host.session->IsWaiting() && !host.session->IsHost());
        QCOMPARE(host.view.status, (QStringList{"Waiting for Connection", "Disconnected."}));
        QVERIFY(host.sent.isEmpty());

        // Nothing is listening any more.
        Peer client;
        client.view.peer = "127.0.0.1";
        client.session->Connect(QString::number(port));
        QVERIFY(!client.session->IsConnected());
        QCOMPARE(client.services.entries("message:").size(), 1);

        // With nothing to end, Disconnect does nothing.
        host.session->Disconnect();
        QCOMPARE(host.view.status.size(), 2);
    }

    void disconnectDuringATransferStopsItSoundly() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        QFile file(client.path("big.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(3'000'000, 'v'));
        file.close();
        client.session->SendFile(file.fileName(), Session::Confirm::Skip);
        QVERIFY(waitFor([&] { return host.session->receiver().RecvBlockCount() >= 5; }));
        client.session->Disconnect();
        QVERIFY(!client.session->sender().busy());
        QVERIFY(!client.view.progressVisible);
        const int stopped =
            client.view.status.indexOf("Sending stopped: the connection was ended.");
        QVERIFY(stopped >= 0);
        QCOMPARE(client.view.status.mid(stopped + 1), QStringList{"Disconnected."});

        QVERIFY(waitFor([&] { return !host.session->IsConnected(); }));
        QVERIFY(!host.session->receiver().ClientRecv());
        QVERIFY(!host.view.status.filter("File not received").isEmpty());
        QVERIFY(onlyRecvFolder(host));
    }

    // Exit (or the close box) during the connect wait ends the program; a
    // connection that completes afterwards is not used.
    void exitDuringTheConnectWait() {
        Peer host, client;
        const int port = freePort();
        QVERIFY(duringTheConnectWait(host, client, port, [&] { client.session->Exit(); }));
        QVERIFY(client.services.ended);
        QVERIFY(client.sent.isEmpty());
        QVERIFY(client.workFiles().isEmpty());
        QCOMPARE(client.view.status, QStringList{"Connecting..."});
        QVERIFY(client.services.entries("message:").isEmpty());
        QVERIFY(!client.session->IsConnected() && !client.session->IsConnecting());
        QCOMPARE(client.sock.state(), int(Socket::Closed));
        // Nothing more is made by this program.
        client.session->Connect(QString::number(port));
        QVERIFY(client.sent.isEmpty() && client.workFiles().isEmpty());
    }

    void disconnectDuringTheConnectWait() {
        Peer host, client;
        const int port = freePort();
        QVERIFY(duringTheConnectWait(host, client, port, [&] { client.session->Disconnect(); }));
        QCOMPARE(client.view.status, (QStringList{"Connecting...", "Disconnected."}));
        QVERIFY(client.services.log.isEmpty());
        QVERIFY(client.sent.isEmpty() && client.workFiles().isEmpty());
        QVERIFY(!client.session->IsConnected() && !client.session->IsConnecting());

        // The program stays ready: it connects to another host.
        Peer other;
        QVERIFY(connectAs(other, client, freePort(), "127.0.0.1", kClientText, "127.0.0.1"));
    }

    // A connection that closes before sending anything (a port scan, a
    // health check) does not end the wait.
    void probesDoNotEndTheWait() {
        Peer host;
        const int port = freePort();
        host.view.own = kHostText;
        host.session->Listen(QString::number(port));
        for (int i = 0; i < 3; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, quint16(port));
            QVERIFY(probe.waitForConnected(5000));
            QVERIFY(waitFor([&] { return host.session->IsConnected(); }));
            if (i == 1)
                probe.abort();
            else
                probe.disconnectFromHost();
            QVERIFY(waitFor([&] { return host.session->IsWaiting(); }));
            QVERIFY(!host.session->IsConnected() && !host.view.buttons);
        }
        QCOMPARE(host.view.status, QStringList{"Waiting for Connection"});

        Peer client;
        client.view.own = kClientText;
        client.view.peer = kHostText;
        client.session->Connect(QString::number(port));
        QVERIFY(client.session->IsConnected());
        QVERIFY(waitFor([&] { return host.view.status.contains("Connected."); }));
        QCOMPARE(host.session->keyCheck(), client.session->keyCheck());

        // A peer that has spoken and then goes is a lost connection.
        client.sock.close();
        QVERIFY(waitFor([&] { return host.view.status.contains("Connection lost."); }));
        QVERIFY(!host.session->IsWaiting());
    }

    // Only the first "IP:" of a connection makes keys; a flood of them gets
    // one line per connection, no boxes and no new keys.
    void repeatedAddressesAreIgnored() {
        Peer host;
        const int port = freePort();
        host.view.own = kHostText;
        PeerKeys keys(kHostText, kClientText);
        for (int round = 1; round <= 2; ++round) {
            host.session->Listen(QString::number(port));
            LiteralPeer peer;
            QVERIFY(peer.open(port));
            QVERIFY(peer.say(host, "IP:" + kClientText.toLatin1()));
            QVERIFY(waitFor([&] { return host.view.status.count("Connected.") == round; }));
            const QString check = host.session->keyCheck();
            for (int i = 0; i < 30; ++i)
                QVERIFY(peer.say(host, i % 2 ? "IP:1.2.3.4" : "IP:1.2.3.4.5.6.7.8.9"));
            QCOMPARE(host.session->keyCheck(), check);
            QCOMPARE(host.view.peer, kClientText);
            QCOMPARE(host.view.status.count(kRepeatedAddress), round);
            QCOMPARE(host.view.status.count("Connected."), round);
            QVERIFY(host.services.log.isEmpty());
            QVERIFY(peer.say(host, "CT:" + keys.enc("still readable")));
            QCOMPARE(host.view.chat.last(), "still readable");
            peer.sock.disconnectFromHost();
            QVERIFY(waitFor([&] { return !host.session->IsConnected(); }));
        }
    }

    // A peer on a single-byte code page reads what fits as its own
    // characters; the rest goes as UTF-8.
    void chatAndNamesGoAsWindows1252WhenTheyFit() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        PeerKeys keys(kHostText, kClientText);
        client.session->SendChat(QString::fromUtf8("café"));
        QCOMPARE(keys.dec(client.sent.last().mid(3)), "caf\xE9");
        QVERIFY(waitFor([&] { return host.view.chat.size() == 1; }));
        client.session->SendChat(QString::fromUtf8("café α"));
        QCOMPARE(keys.dec(client.sent.last().mid(3)), "caf\xC3\xA9 \xCE\xB1");
        QVERIFY(waitFor([&] { return host.view.chat.size() == 2; }));
        QCOMPARE(host.view.chat,
                 (QStringList{QString::fromUtf8("café"), QString::fromUtf8("café α")}));

        const QString name = QString::fromUtf8("résumé.txt");
        QFile file(client.path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("cv");
        file.close();
        client.session->SendFile(file.fileName(), Session::Confirm::Skip);
        QVERIFY(client.sent.contains("FL:r\xE9sum\xE9.txt"));
        QVERIFY(waitFor([&] { return host.view.status.contains("File Received."); }));
        QCOMPARE(readAll(host.recv() + "/" + name), "cv");
    }

    // File announcements as a hostile or a literal peer sends them.
    void announcementsWithLongNamesAndBlockPrefixes() {
        Peer rx, client;
        QVERIFY(connectPeers(rx, client, freePort()));
        PeerKeys keys(kHostText, kClientText);

        // "FB:" inside a name is part of the name.
        rx.session->channel().receive("FL:notes FB:1.txt");
        rx.session->channel().receive("FB:RM:" + keys.enc("one") + "|");
        QVERIFY(waitFor([&] { return readAll(rx.recv() + "/notes FB:1.txt") == "one"; }));
        // Also when the block arrives glued to the announcement.
        rx.session->channel().receive("FL:notes FB:2.txt" + ("FB:RM:" + keys.enc("two") + "|"));
        QVERIFY(waitFor([&] { return readAll(rx.recv() + "/notes FB:2.txt") == "two"; }));

        // A name of 800 kB: handled at once, stored under a name of its start.
        QElapsedTimer clock;
        clock.start();
        rx.session->channel().receive("FL:" + QByteArray(800'000, 'n') + ".txt");
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        rx.session->channel().receive("FB:RM:" + keys.enc("three") + "|");
        QVERIFY(waitFor([&] { return readAll(rx.recv() + "/" + QString(243, 'n')) == "three"; }));
        QCOMPARE(rx.view.status.count("File Received."), 3);
    }
};

QTEST_GUILESS_MAIN(TstIntegrationConnectionControl)
#include "tst_integration_connection_control.moc"
