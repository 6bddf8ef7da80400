#include "PeerFixture.h"

#include "platform/TextCodec.h"
#include "protocol/KeySeed.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>
#include <ctime>

namespace {

const QString kWorkFiles[] = {"k1.bin", "k1.brs", "k1.bcr", "k2.bin",
                              "k3.bin", "k4.bin", "k5.bin", "k6.dat"};
const QString kCannotConnect = "message:Connection cannot be made.  Check your ip address and "
                               "port settings and try again.";

} // namespace

class TstIntegrationConnectChat : public QObject {
    Q_OBJECT
private slots:
    void connectMakesTheSameKeysOnBothSides() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        QVERIFY(host.session->IsHost() && !host.session->IsClient() && host.session->IsConnected());
        QVERIFY(client.session->IsClient() && client.session->IsConnected());

        QCOMPARE(host.view.status.mid(0, 2), (QStringList{"Waiting for Connection", "Connected."}));
        QCOMPARE(client.view.status.mid(0, 2), (QStringList{"Connecting...", "Connected"}));
        // Both show the same key check, "XXXX XXXX".
        const QString check = host.view.status.value(2);
        QVERIFY(check.contains(QRegularExpression("^Key check: [0-9A-F]{4} [0-9A-F]{4}$")));
        QCOMPARE(client.view.status.value(2), check);

        // The client announced its own address in clear; the host took it.
        QCOMPARE(client.sent.first(), "IP:10.9.8.7");
        QCOMPARE(host.view.peer, "10.9.8.7");
        QVERIFY(host.view.buttons && client.view.buttons);

        // Both hold the keys of the pair "host.client", made here by an
        // engine of its own.
        QTemporaryDir refDir;
        SDK ref(refDir.path().toStdString());
        std::string seed = MakeSeedText("127.0.0.2", "10.9.8.7").value();
        QVERIFY(ref.CreateKeys(seed));
        std::string refCheck;
        QVERIFY(ref.KeyCheck(refCheck));
        QCOMPARE(check, "Key check: " + QString::fromStdString(refCheck));
        int compared = 0;
        for (const QString& f : kWorkFiles) {
            const QString made = QDir(refDir.path()).filePath(f);
            if (!QFile::exists(made))
                continue;
            ++compared;
            QVERIFY2(readAll(host.path(f)) == readAll(made), qPrintable("host " + f));
            QVERIFY2(readAll(client.path(f)) == readAll(made), qPrintable("client " + f));
        }
        QVERIFY(compared >= 5);
    }

    void chatGoesBothWaysEncrypted() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));

        const QString line = QString::fromUtf8("Hello there | grüße € <b>bold</b>");
        client.session->SendChat(line);
        QCOMPARE(client.view.chat, QStringList{"<" + line + ">"});
        QVERIFY(waitFor([&] { return host.view.chat.size() == 1; }));
        QCOMPARE(host.view.chat.first(), line);

        // On the wire: "CT:" and ciphertext of the same length, never the line.
        const QByteArray wire = client.sent.last();
        const QByteArray plain = TextCodec::toWire(line);
        QVERIFY(wire.startsWith("CT:"));
        QCOMPARE(wire.size(), 3 + plain.size());
        QVERIFY(!wire.contains(plain.left(5)));

        host.session->SendChat("   ");
        QVERIFY(waitFor([&] { return client.view.chat.size() == 2; }));
        QCOMPARE(client.view.chat.last(), "   ");
        QCOMPARE(host.view.chat.last(), "<   >");

        // An empty line is not sent.
        const int before = client.sent.size();
        client.session->SendChat("");
        QCOMPARE(client.sent.size(), before);
    }

    // "<line>" is shown only for a line that went out; the caller learns
    // whether it did (the window then keeps the line in its box).
    void refusedChatLineIsNotShown() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        QVERIFY(client.session->SendChat("first"));
        QVERIFY(waitFor([&] { return host.view.chat.size() == 1; }));

        // The keys are gone: the line cannot be encrypted.
        for (const QString& f : client.workFiles())
            QVERIFY(QFile::remove(client.path(f)));
        const int sentBefore = client.sent.size();
        QVERIFY(!client.session->SendChat("second"));
        QCOMPARE(client.view.chat, QStringList{"<first>"});
        QCOMPARE(client.sent.size(), sentBefore);
        const QStringList messages = client.services.entries("message:");
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages.first().startsWith("message:The line could not be encrypted"),
                 qPrintable(messages.first()));

        // The connection is gone under the session: nothing is shown as sent.
        QVERIFY(host.session->SendChat("from host"));
        host.sock.close();
        QVERIFY(waitFor([&] { return client.view.status.contains("Connection lost."); }));
        QVERIFY(!host.session->SendChat("after close"));
        QCOMPARE(host.view.chat, (QStringList{"first", "<from host>"}));

        // Never connected.
        Peer alone;
        QVERIFY(!alone.session->SendChat("hello?"));
        QVERIFY(alone.view.chat.isEmpty());
        QCOMPARE(alone.services.entries("message:"), QStringList{"message:You are not connected."});
    }

    void clientExitEndsTheConversationOnBothSides() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        client.session->Exit();
        QCOMPARE(client.sent.last(), "XX:");
        QVERIFY(client.services.ended);
        QVERIFY(client.workFiles().isEmpty());

        QVERIFY(waitFor([&] { return !host.services.entries("message:").isEmpty(); }));
        QCOMPARE(host.services.entries("message:"),
                 QStringList{"message:Your connection was terminated manually by the person.  "});
        QVERIFY(!host.services.ended);
        QVERIFY(!host.session->IsConnected());
        QVERIFY(host.workFiles().isEmpty());
        // The host can wait for the next connection at once.
        host.session->Listen(QString::number(freePort()));
        QCOMPARE(host.view.status.last(), "Waiting for Connection");
    }

    void hostExitEndsTheClientProgram() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        host.session->Exit();
        QVERIFY(host.services.ended);
        QVERIFY(host.workFiles().isEmpty());
        QVERIFY(waitFor([&] { return client.services.ended; }));
        QCOMPARE(client.services.entries("message:"),
                 QStringList{"message:Your connection was terminated manually by the person.  "
                             "The program will now terminate."});
        QVERIFY(client.workFiles().isEmpty());
    }

    void closingWhileNotConnectedSendsNothingAndWipes() {
        Peer lone;
        QFile junk(lone.path("k2.bin"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(" 20  2 \r\n");
        junk.close();
        lone.session->Close();
        QVERIFY(lone.sent.isEmpty());
        QVERIFY(lone.workFiles().isEmpty());
        QVERIFY(!lone.services.ended);
    }

    void lostPeerIsReportedAndTheHostCanWaitAgain() {
        Peer host;
        const int port = freePort();
        {
            Peer client;
            QVERIFY(connectPeers(host, client, port));
            // The client vanishes without "XX:".
            client.sock.close();
        }
        QVERIFY(waitFor([&] { return host.view.status.contains("Connection lost."); }));
        QVERIFY(!host.session->IsConnected());
        QVERIFY(host.workFiles().isEmpty());

        Peer second;
        QVERIFY(connectPeers(host, second, port));
        second.session->SendChat("again");
        QVERIFY(waitFor([&] { return host.view.chat.contains("again"); }));
    }

    void refusedConnectEndsTheWaitAtOnce() {
        Peer client;
        client.view.peer = "127.0.0.1";
        QElapsedTimer clock;
        clock.start();
        const int port = freePort();
        client.session->Connect(QString::number(port));
        // Far below the bound of the wait (2500 polls of up to 2 ms).
        QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(client.services.log, QStringList{kCannotConnect});
        // The list does not end as if still trying: it says why it failed.
        QCOMPARE(
            client.view.status,
            (QStringList{
                "Connecting...",
                QString("Cannot connect to 127.0.0.1 port %1: Connection refused.").arg(port)}));
        QVERIFY(!client.session->IsConnected() && !client.session->IsClient());
    }

    void refusalsBeforeAnythingIsSent() {
        Peer client;
        client.session->Connect("7777");
        QCOMPARE(client.services.log, QStringList{"message:Missing IP Address."});

        // A port that is not 1..65535.
        client.services.log.clear();
        client.view.peer = "127.0.0.1";
        client.session->Connect("70000");
        client.session->Listen("abc");
        QCOMPARE(client.services.entries("message:").size(), 2);
        QVERIFY(client.services.log[0].contains("70000"));
        QVERIFY(client.services.log[1].contains("\"abc\""));

        // Addresses that give no usable seed: more than eight groups.
        client.services.log.clear();
        client.view.own = "1.2.3.4.5.6.7.8.9";
        client.session->Connect(QString::number(freePort()));
        QCOMPARE(client.services.entries("message:").size(), 1);
        QVERIFY(client.services.log[0].startsWith("message:No keys can be made"));
        QVERIFY(client.view.status.isEmpty());
        QVERIFY(client.sent.isEmpty());
        QVERIFY(!client.session->IsConnected());
    }

    void listeningAgainOrOnABusyPort() {
        Peer host;
        const int port = freePort();
        host.session->Listen(QString::number(port));
        host.session->Listen(QString::number(port));
        QCOMPARE(host.view.status,
                 (QStringList{"Waiting for Connection", "Waiting for Connection"}));
        QVERIFY(host.services.log.isEmpty());

        Peer other;
        other.session->Listen(QString::number(port));
        QCOMPARE(other.services.entries("message:").size(), 1);
        QVERIFY(other.services.log[0].contains(QString::number(port)));
        QVERIFY(other.view.status.isEmpty());
        QVERIFY(!other.session->IsHost());
    }

    void hostNameConnectsAndKeysFollowTheAddress() {
        Peer host, client;
        const int port = freePort();
        host.session->Listen(QString::number(port));
        client.view.peer = "localhost";
        client.view.own = kClientText;
        client.session->Connect(QString::number(port));
        QVERIFY(client.session->IsConnected());
        QCOMPARE(client.view.peer, "127.0.0.1");
        QCOMPARE(client.sent.first(), "IP:10.9.8.7");
        QVERIFY(waitFor([&] { return host.view.status.contains("Connected."); }));
        QCOMPARE(host.session->keyCheck(), client.session->keyCheck());
        client.session->SendChat("by name");
        QVERIFY(waitFor([&] { return host.view.chat.contains("by name"); }));
    }

    // Two copies over either family: the texts are used in their short
    // form, the keys agree, chat goes both ways.
    void connectsOverIPv6AndIPv4_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("hostText");
        QTest::addColumn<QString>("clientOwn");
        QTest::addColumn<QString>("clientSends");
        QTest::addRow("::1") << "[0:0::1]"
                             << "::1"
                             << " 2001:DB8:0::7"
                             << "2001:db8::7";
        QTest::addRow("127.0.0.1") << "127.0.0.1"
                                   << "127.0.0.1"
                                   << "10.9.8.7"
                                   << "10.9.8.7";
    }
    void connectsOverIPv6AndIPv4() {
        QFETCH(QString, typed);
        QFETCH(QString, hostText);
        QFETCH(QString, clientOwn);
        QFETCH(QString, clientSends);
        Peer host, client;
        QVERIFY(connectAs(host, client, freePort(), hostText, clientOwn, typed));
        QCOMPARE(client.view.peer, hostText);
        QCOMPARE(client.view.own, clientSends);
        QCOMPARE(client.sent.first(), "IP:" + clientSends.toUtf8());
        QCOMPARE(host.view.peer, clientSends);
        PeerKeys ref(hostText, clientSends);
        std::string refCheck;
        QVERIFY(ref.engine.KeyCheck(refCheck));
        QCOMPARE(host.session->keyCheck(), QString::fromStdString(refCheck));
        QCOMPARE(client.session->keyCheck(), host.session->keyCheck());
        client.session->SendChat("over " + hostText);
        host.session->SendChat("back");
        QVERIFY(waitFor([&] {
            return host.view.chat.contains("over " + hostText) && client.view.chat.contains("back");
        }));
    }

    // The longest texts, one IPv6 address on each side: both cut the seed
    // the same way and read each other. The client connects over ::1 and
    // takes the host's own text from its offer, as across a translation.
    void fullLengthIPv6AddressesOnBothSides() {
        const QString hostText = "2001:db8:1111:2222:3333:4444:5555:6666";
        const QString clientText = "2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff";
        Peer host, client;
        host.session->setSecureOptions(true, false);
        client.session->setSecureOptions(true, false);
        QVERIFY(connectAs(host, client, freePort(), hostText, clientText, "::1"));
        QVERIFY(waitFor([&] { return client.session->channel().secure(); }));
        QCOMPARE(client.view.peer, hostText);
        // The client took the host's text: the address warning would be a
        // false alarm, and is not shown.
        QVERIFY(host.view.status.filter("chat may not be readable").isEmpty());
        PeerKeys ref(hostText, clientText);
        std::string refCheck;
        QVERIFY(ref.engine.KeyCheck(refCheck));
        QCOMPARE(host.session->keyCheck(), QString::fromStdString(refCheck));
        QCOMPARE(client.session->keyCheck(), host.session->keyCheck());
        client.session->SendChat("seventy-three");
        QVERIFY(waitFor([&] { return host.view.chat.contains("seventy-three"); }));
    }

    // A peer that reads the wire literally, on either side of an IPv6 or
    // IPv4 connection, gets exactly today's bytes.
    void literalPeerGetsTodaysBytes_data() {
        QTest::addColumn<QString>("loopback");
        QTest::addRow("::1") << "::1";
        QTest::addRow("127.0.0.1") << "127.0.0.1";
    }
    void literalPeerGetsTodaysBytes() {
        QFETCH(QString, loopback);

        // Our host, a literal client: nothing before the chat line.
        Peer host;
        host.view.own = kHostText;
        const int port = freePort();
        host.session->Listen(QString::number(port));
        QTcpSocket raw;
        QByteArray atRaw;
        QObject::connect(&raw, &QTcpSocket::readyRead, [&] { atRaw += raw.readAll(); });
        raw.connectToHost(QHostAddress(loopback), quint16(port));
        QVERIFY(raw.waitForConnected(5000));
        raw.write("IP:" + kClientText.toUtf8());
        QVERIFY(waitFor([&] { return host.view.status.contains("Connected."); }));
        QVERIFY(host.session->SendChat("hello"));
        const QByteArray expected = "CT:" + PeerKeys(kHostText, kClientText).enc("hello");
        QVERIFY(waitFor([&] { return atRaw.size() >= expected.size(); }));
        QCOMPARE(atRaw, expected);

        // Our client, a literal host: the address in clear, then its line
        // read with the keys of the pair.
        QTcpServer literal;
        QVERIFY(literal.listen(QHostAddress(loopback), 0));
        QByteArray atLiteral;
        QObject::connect(&literal, &QTcpServer::newConnection, [&] {
            QTcpSocket* s = literal.nextPendingConnection();
            // It answers once the client has told its address, as a person
            // would.
            QObject::connect(s, &QTcpSocket::readyRead, [&, s] {
                atLiteral += s->readAll();
                if (atLiteral == "IP:" + kClientText.toUtf8())
                    s->write("CT:" + PeerKeys(loopback, kClientText).enc("hi there"));
            });
        });
        Peer client;
        client.view.own = kClientText;
        client.view.peer = loopback;
        client.session->Connect(QString::number(literal.serverPort()));
        QVERIFY(client.session->IsConnected());
        QVERIFY(waitFor([&] { return !client.view.chat.isEmpty(); }));
        QCOMPARE(client.view.chat, QStringList{"hi there"});
        QCOMPARE(atLiteral, "IP:" + kClientText.toUtf8());
    }

    // A name that does not resolve says so in the status list, asking the
    // look-up only (no network here: the look-up is a stand-in).
    void unresolvableNameSaysSo() {
        Peer client;
        QStringList asked;
        client.sock.setResolver([&](const QString& name, QObject* context, auto done) {
            asked << name;
            QTimer::singleShot(10, context, [done] { done({}); });
        });
        client.view.peer = " nobody.invalid";
        client.session->Connect(QString::number(freePort()));
        QCOMPARE(asked, QStringList{"nobody.invalid"});
        QCOMPARE(client.view.status,
                 (QStringList{"Connecting...", "The name nobody.invalid could not be found."}));
        QCOMPARE(client.services.log, QStringList{kCannotConnect});
        QVERIFY(client.sent.isEmpty() && !client.session->IsConnected());
    }

    void pauseWaitsForTheSecondChangeOfTheClock() {
        Peer p;
        int calls = 0;
        // A clock that ticks every fifth reading.
        p.services.clock = [&] { return QString::number(++calls / 5); };
        p.session->Pause(2);
        QVERIFY(calls >= 10 && calls <= 16);

        // With the real clock it lasts between one and two seconds, and the
        // processor is not kept busy meanwhile.
        p.services.clock = nullptr;
        QElapsedTimer clock;
        clock.start();
        const std::clock_t cpu = std::clock();
        p.session->Pause(2);
        QVERIFY(clock.elapsed() >= 900 && clock.elapsed() <= 3000);
        const double cpuMs = double(std::clock() - cpu) * 1000.0 / CLOCKS_PER_SEC;
        QVERIFY2(cpuMs < 300, qPrintable(QString::number(cpuMs)));
    }

    void chatLatency() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        const int lines = 200;
        QElapsedTimer clock;
        qint64 total = 0, worst = 0;
        for (int i = 0; i < lines; ++i) {
            const QString line = QStringLiteral("line %1 of the latency run").arg(i);
            clock.start();
            client.session->SendChat(line);
            QVERIFY(waitFor([&] { return host.view.chat.size() == i + 1; }));
            const qint64 us = clock.nsecsElapsed() / 1000;
            total += us;
            worst = qMax(worst, us);
            QCOMPARE(host.view.chat.last(), line);
        }
        qInfo("chat latency over 127.0.0.1: mean %lld us, worst %lld us (%d lines)", total / lines,
              worst, lines);
    }
};

QTEST_GUILESS_MAIN(TstIntegrationConnectChat)
#include "tst_integration_connect_chat.moc"
