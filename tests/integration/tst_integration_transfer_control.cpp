// A transfer the user and the program keep in hand: a sender that stops when
// no answer comes or when cancelled, chat held back while a file goes, a
// sender that never runs ahead of a peer that does not read, and a receiver
// that answers early, shows its progress and is not fooled by a final block
// split after a "|". Most cases use a literal peer: a raw socket that takes
// each arrival as one message and answers as the test says.
#include "PeerFixture.h"

#include <QRandomGenerator>
#include <QTcpSocket>

namespace {

// The address the literal peer's side shows; the session connects to it.
const QString kLiteralText = QStringLiteral("127.0.0.1");

// The other end of one connection, as a raw socket: it waits, the session
// connects, and the test writes and reads bytes directly.
struct LiteralPeer : PeerKeys {
    QTcpServer server;
    QTcpSocket* sock = nullptr;
    QList<QByteArray> arrivals;
    // Answers "OK:" to every arrival that ends a block message.
    bool answerBlocks = false;
    // Reads nothing once set (its buffers fill up, as a stuck peer's do).
    bool stopReading = false;

    LiteralPeer() : PeerKeys(kLiteralText, kClientText) {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            sock = server.nextPendingConnection();
            sock->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            QObject::connect(sock, &QTcpSocket::readyRead, [this] { read(); });
        });
    }
    void read() {
        if (stopReading)
            return;
        const QByteArray a = sock->readAll();
        arrivals << a;
        if (answerBlocks && a.contains("FB:") && a.endsWith('|'))
            write("OK:");
    }
    void write(const QByteArray& bytes) {
        sock->write(bytes);
        sock->flush();
    }
    // How often `prefix` occurs in everything received (the announcement
    // and the first block may come in one arrival).
    int count(const QByteArray& prefix) const { return int(arrivals.join().count(prefix)); }
};

// `p` connects to the literal peer as a client would.
bool connectTo(Peer& p, LiteralPeer& lit) {
    p.view.own = kClientText;
    p.view.peer = kLiteralText;
    p.session->Connect(QString::number(lit.server.serverPort()));
    return p.session->IsConnected() && waitFor([&] { return lit.count("IP:") == 1; });
}

QByteArray noiseBytes(int n, quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray b(n, '\0');
    for (char& c : b)
        c = char(rng.bounded(256));
    return b;
}

// Writes `bytes` to the session and waits until it has handled them.
bool deliver(Peer& p, LiteralPeer& lit, const QByteArray& bytes) {
    const int bars = p.view.receiveBars;
    lit.write(bytes);
    return waitFor([&] { return p.view.receiveBars > bars; });
}

} // namespace

class TstIntegrationTransferControl : public QObject {
    Q_OBJECT
private slots:
    void senderGivesUpWhenNoAnswerComes() {
        LiteralPeer lit;
        Peer p;
        QVERIFY(connectTo(p, lit));
        fastClock(p);
        p.session->sender().setAnswerTimeout(300);
        const QString path = writeFile(p, "a.bin", noiseBytes(5000, 1));
        p.session->SendFile(path, Session::Confirm::Skip);
        QVERIFY(waitFor([&] { return lit.count("FB:") == 1; }));
        QVERIFY(waitFor([&] {
            return p.view.status.contains("Sending stopped: the other side stopped answering.");
        }));
        QVERIFY(!p.session->sender().busy());
        QVERIFY(!p.view.progressVisible);
        // A late answer sends nothing more.
        const int sent = p.sent.size();
        QVERIFY(deliver(p, lit, "OK:"));
        QCOMPARE(p.sent.size(), sent);
        // The next send is not refused.
        p.session->SendFile(path, Session::Confirm::Skip);
        QVERIFY(p.services.entries("message:").isEmpty());
        QCOMPARE(p.view.status.count("Sending " + path + "..."), 2);
    }

    void cancelSendsNothingMore() {
        LiteralPeer lit;
        Peer p;
        QVERIFY(connectTo(p, lit));
        fastClock(p);
        // The test answers the first two blocks and cancels after the third.
        const QString path = writeFile(p, "b.bin", noiseBytes(20000, 2));
        p.session->SendFile(path, Session::Confirm::Skip);
        for (int i = 1; i <= 3; ++i) {
            QVERIFY(waitFor([&] { return lit.count("FB:") == i; }));
            if (i < 3)
                lit.write("OK:");
        }
        QVERIFY(p.view.progressVisible);
        p.session->CancelSend();
        QCOMPARE(p.view.status.last(), QString("Sending cancelled."));
        QVERIFY(!p.session->sender().busy());
        QVERIFY(!p.view.progressVisible);
        const int sent = p.sent.size();
        // The legacy wire has no way to say it: nothing is sent.
        QVERIFY(!p.sent.last().startsWith("FC:"));
        QVERIFY(deliver(p, lit, "OK:"));
        QVERIFY(deliver(p, lit, "OK:"));
        QCOMPARE(p.sent.size(), sent);

        // Cancelled during the pause after the announcement: no block goes.
        p.services.clock = nullptr;
        QTimer::singleShot(50, [&] { p.session->CancelSend(); });
        p.session->SendFile(path, Session::Confirm::Skip);
        QCOMPARE(p.sent.mid(sent), QList<QByteArray>{"FL:b.bin"});
        QCOMPARE(p.view.status.last(), QString("Sending cancelled."));
    }

    void sendIsRefusedWhileAFileArrives() {
        LiteralPeer lit;
        Peer p;
        QVERIFY(connectTo(p, lit));
        fastClock(p);
        QVERIFY(deliver(p, lit, "FL:incoming.bin"));
        QVERIFY(p.session->receiver().ClientRecv());
        const int sent = p.sent.size();
        const QString path = writeFile(p, "out.bin", "out");
        p.session->SendFile(path, Session::Confirm::Skip);
        QCOMPARE(p.services.log,
                 QStringList{"message:A file is being received.  Wait until it has arrived."});
        QCOMPARE(p.sent.size(), sent);
        // Once the file is in, sending works again.
        QVERIFY(deliver(p, lit, "FB:RM:" + lit.enc("in") + "|"));
        QVERIFY(waitFor([&] { return p.view.status.contains("File Received."); }));
        p.session->SendFile(path, Session::Confirm::Skip);
        QCOMPARE(p.sent.value(sent + 1), "FL:out.bin");
    }

    // Chat typed while a file goes waits for the receiver's answer to the
    // final block, then goes line by line, in order.
    void chatWaitsUntilTheFileHasGone() {
        LiteralPeer lit;
        lit.answerBlocks = true;
        Peer p;
        QVERIFY(connectTo(p, lit));
        // A clock that moves every few readings: the announcement pause runs
        // events, and a line typed during it waits too.
        p.services.clock = [n = 0]() mutable { return QString::number(++n / 4); };
        QTimer::singleShot(0, [&] { p.session->SendChat("zero"); });
        // Every block is answered except the final one, which the test
        // answers itself.
        const QString path = writeFile(p, "c.bin", noiseBytes(3500, 3));
        QObject::connect(p.session.get(), &Session::messageSent, [&](const QByteArray& m) {
            if (m.startsWith("FB:RM:"))
                lit.answerBlocks = false;
        });
        p.session->SendFile(path, Session::Confirm::Skip);
        for (const char* line : {"one", "two", "three"})
            p.session->SendChat(line);
        QCOMPARE(p.view.chat.mid(0, 4), (QStringList{"<zero>", "<one>", "<two>", "<three>"}));
        QCOMPARE(p.view.status.count("Chat lines are sent when the file has gone."), 1);
        QVERIFY(waitFor([&] { return lit.count("FB:RM:") == 1; }));
        // The file has gone but is not answered yet: nothing else goes, and
        // the sender has not finished.
        QCOMPARE(lit.count("CT:"), 0);
        QCOMPARE(p.session->heldChatLines(), 4);
        QVERIFY(p.session->sender().busy());
        QVERIFY(!p.view.status.contains("File Transferred."));
        // Typed now, still after the others.
        p.session->SendChat("four");
        lit.write("OK:");
        QVERIFY(waitFor([&] { return lit.count("CT:") == 5; }));
        QVERIFY(p.view.status.contains("File Transferred."));
        // Each line came as an arrival of its own, in the order typed.
        QStringList lines;
        for (const QByteArray& a : lit.arrivals)
            if (a.startsWith("CT:"))
                lines << QString::fromUtf8(lit.dec(a.mid(3)));
        QCOMPARE(lines, (QStringList{"zero", "one", "two", "three", "four"}));
        // Once the held lines have gone, chat goes straight away again.
        p.session->SendChat("five");
        QCOMPARE(p.sent.last().left(3), "CT:");
        QCOMPARE(p.session->heldChatLines(), 0);
    }

    void heldChatGoesWhenTheSendStops() {
        LiteralPeer lit;
        Peer p;
        QVERIFY(connectTo(p, lit));
        fastClock(p);
        p.session->SendFile(writeFile(p, "d.bin", noiseBytes(5000, 4)), Session::Confirm::Skip);
        p.session->SendChat("held");
        QCOMPARE(p.session->heldChatLines(), 1);
        p.session->CancelSend();
        QVERIFY(waitFor([&] { return lit.count("CT:") == 1; }));
        QCOMPARE(p.session->heldChatLines(), 0);

        // Lines that cannot go any more are named, not dropped silently.
        p.session->SendFile(writeFile(p, "e.bin", noiseBytes(5000, 5)), Session::Confirm::Skip);
        p.session->SendChat("lost 1");
        p.session->SendChat("lost 2");
        lit.sock->close();
        QVERIFY(waitFor([&] { return p.view.status.contains("Connection lost."); }));
        QVERIFY(p.view.status.contains("2 chat lines were not sent: the connection ended."));
    }

    // A peer that answers every block at once but reads nothing: the sender
    // keeps at most one block waiting for an answer and no more than about
    // a megabyte in its send buffer, then gives up.
    void answerFloodDoesNotPileUpBlocks() {
        LiteralPeer lit;
        Peer p;
        QVERIFY(connectTo(p, lit));
        fastClock(p);
        p.session->sender().setAnswerTimeout(1000);
        qint64 largestBacklog = 0;
        int mostOutstanding = 0;
        QObject::connect(p.session.get(), &Session::messageSent, [&](const QByteArray&) {
            largestBacklog = qMax(largestBacklog, p.sock.bytesToWrite());
            mostOutstanding = qMax(mostOutstanding, p.session->sender().outstanding());
        });
        const int blocks = 12000;
        const QString path = writeFile(p, "f.bin", QByteArray(blocks * 1000, 'f'));
        // Answers flood in from the announcement on; none is read.
        QObject::connect(lit.sock, &QTcpSocket::readyRead, [&] {
            if (lit.stopReading)
                return;
            lit.stopReading = true;
            lit.sock->setReadBufferSize(1);
            QByteArray flood;
            for (int i = 0; i < blocks + 100; ++i)
                flood += "OK:";
            lit.write(flood);
        });
        p.session->SendFile(path, Session::Confirm::Skip);
        QVERIFY(waitFor(
            [&] {
                return p.view.status.contains("Sending stopped: the other side stopped answering.");
            },
            30000));
        QVERIFY2(largestBacklog <= FileSender::kMaxBacklog + 1004,
                 qPrintable(QString::number(largestBacklog)));
        QCOMPARE(mostOutstanding, 0); // counted as each block goes, before it is waited for
        QVERIFY2(p.sent.size() < blocks, qPrintable(QString::number(p.sent.size())));
    }

    void receiverAnswersEarlyButTheFinalBlockOnlyWhenSaved() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        fastClock(client);
        const QByteArray bytes = noiseBytes(3500, 6);
        const QString target = host.recv() + "/g.bin";
        // What the receiver had stored each time it answered.
        QList<int> storedAtAnswer;
        QByteArray savedAtFinalAnswer;
        QObject::connect(host.session.get(), &Session::messageSent, [&](const QByteArray& m) {
            if (m != "OK:")
                return;
            storedAtAnswer << host.session->receiver().RecvBlockCount();
            savedAtFinalAnswer = readAll(target);
        });
        client.session->SendFile(writeFile(client, "g.bin", bytes), Session::Confirm::Skip);
        QVERIFY(waitFor([&] { return client.view.status.contains("File Transferred."); }));
        // Full blocks are answered before they are stored ...
        QCOMPARE(storedAtAnswer, (QList<int>{0, 1, 2, 3}));
        // ... the final one once the file is there under its name.
        QCOMPARE(savedAtFinalAnswer, bytes);
    }

    void receiverShowsProgressUntilTheEnd() {
        LiteralPeer lit;
        Peer p;
        QVERIFY(connectTo(p, lit));
        QVERIFY(deliver(p, lit, "FL:h.bin"));
        QCOMPARE(p.view.receiveStatus, QString("Receiving: 0 bytes"));
        for (int i = 0; i < 3; ++i)
            QVERIFY(deliver(p, lit, "FB:" + lit.enc(QByteArray(1000, 'h')) + "|"));
        // Refreshed by a timer, with the rate once blocks have come.
        QVERIFY(waitFor([&] { return p.view.receiveStatus.startsWith("Receiving: 2.9 KB at "); }));
        QVERIFY(p.view.receiveStatus.endsWith("/s"));
        QVERIFY(deliver(p, lit, "FB:RM:" + lit.enc("end") + "|"));
        QVERIFY(waitFor([&] { return p.view.status.contains("File Received."); }));
        QCOMPARE(p.view.receiveStatus, QString());

        // A reception that ends otherwise hides it too.
        QVERIFY(deliver(p, lit, "FL:i.bin"));
        QVERIFY(!p.view.receiveStatus.isEmpty());
        lit.sock->close();
        QVERIFY(waitFor([&] { return p.view.status.contains("Connection lost."); }));
        QCOMPARE(p.view.receiveStatus, QString());
    }
    void receiverRateCountsFromTheFirstBlock() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        // The real pause: one to two seconds between announcement and block.
        client.session->SendFile(writeFile(client, "k.bin", noiseBytes(2500, 7)),
                                 Session::Confirm::Skip);
        QVERIFY(waitFor([&] { return host.view.status.contains("File Received."); }));
        const QString summary = host.view.status.last();
        QVERIFY2(summary.startsWith("2,500 bytes in 0."), qPrintable(summary));
    }

    void severalFilesGoOneAfterAnother() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        fastClock(client);
        const QByteArray a = noiseBytes(30 * 1000 + 1, 11), b = noiseBytes(999, 12),
                         c = noiseBytes(2000, 13);
        const QStringList paths = {writeFile(client, "qa.bin", a), client.path("missing.bin"),
                                   writeFile(client, "qb.bin", b)};
        client.session->SendFiles(paths, Session::Confirm::Skip);
        // Added while the first goes; chat typed meanwhile goes between files.
        client.session->SendFiles({writeFile(client, "qc.bin", c)}, Session::Confirm::Skip);
        client.session->SendChat("between");
        QVERIFY(waitFor([&] { return host.view.status.count("File Received.") == 3; }));
        QCOMPARE(readAll(host.recv() + "/qa.bin"), a);
        QCOMPARE(readAll(host.recv() + "/qb.bin"), b);
        QCOMPARE(readAll(host.recv() + "/qc.bin"), c);
        QCOMPARE(host.view.chat, QStringList{"between"});
        // In order, the chat line right after the first file.
        QStringList order;
        for (const QByteArray& m : client.sent)
            if (m.startsWith("FL:") || m.startsWith("CT:"))
                order << QString::fromUtf8(m.left(3) == "CT:" ? "CT:" : m);
        QCOMPARE(order, (QStringList{"FL:qa.bin", "CT:", "FL:qb.bin", "FL:qc.bin"}));
        QCOMPARE(client.services.log, QStringList{"message:The file " + client.path("missing.bin") +
                                                  " does not exist."});
        QVERIFY(client.view.status.contains("3 files waiting."));
        QVERIFY2(client.view.status.contains("2 more files waiting."),
                 qPrintable(client.view.status.join("|")));
        QCOMPARE(client.session->waitingFiles(), 0);
    }

    void waitingFilesAreAskedAboutAndDroppedOnCancel() {
        LiteralPeer lit;
        Peer p;
        QVERIFY(connectTo(p, lit));
        fastClock(p);
        const QStringList paths = {writeFile(p, "r1.bin", noiseBytes(5000, 14)),
                                   writeFile(p, "r2.bin", "x"), writeFile(p, "r3.bin", "y")};
        // Each file is asked about; one answered No stays out.
        int asked = 0;
        p.services.questionAnswer = true;
        p.services.onMessage = nullptr;
        p.session->SendFiles(paths.mid(0, 1), Session::Confirm::Ask);
        p.services.questionAnswer = false;
        p.session->SendFiles(paths.mid(1, 1), Session::Confirm::Ask);
        p.services.questionAnswer = true;
        p.session->SendFiles(paths.mid(2, 1), Session::Confirm::Ask);
        for (const QString& e : p.services.log)
            asked += e.startsWith("question:Send Confirm:");
        QCOMPARE(asked, 3);
        QCOMPARE(p.session->waitingFiles(), 1);
        QVERIFY(waitFor([&] { return lit.count("FB:") == 1; }));
        p.session->CancelSend();
        QCOMPARE(p.session->waitingFiles(), 0);
        QVERIFY(p.view.status.contains("1 file waiting not sent: sending was cancelled."));
        QCOMPARE(lit.count("FL:"), 1);
    }

    // The network may cut a final block message just after a "|" inside its
    // payload; the rest that follows at once belongs to it.
    void finalBlockSplitAfterABarIsJoined() {
        LiteralPeer lit;
        Peer p;
        QVERIFY(connectTo(p, lit));
        // A final block whose encrypted payload holds a "|" early on.
        QByteArray plain, cipher;
        qsizetype bar = -1;
        for (quint32 seed = 1; bar < 0; ++seed) {
            plain = noiseBytes(600, seed);
            cipher = lit.enc(plain);
            bar = cipher.indexOf('|');
            if (bar > 500)
                bar = -1;
        }
        QVERIFY(deliver(p, lit, "FL:l.bin"));
        QVERIFY(deliver(p, lit, "FB:RM:" + cipher.left(bar + 1)));
        QVERIFY(deliver(p, lit, cipher.mid(bar + 1) + "|"));
        QVERIFY(waitFor([&] { return p.view.status.contains("File Received."); }));
        QCOMPARE(readAll(p.recv() + "/l.bin"), plain);
        QCOMPARE(p.sent.count("OK:"), 1);

        // A final block followed at once by chat: both stand as sent.
        QVERIFY(deliver(p, lit, "FL:m.bin"));
        QVERIFY(deliver(p, lit, "FB:RM:" + cipher + "|"));
        QVERIFY(deliver(p, lit, "CT:" + lit.enc("right after")));
        QVERIFY(waitFor([&] { return p.view.chat.contains("right after"); }));
        QVERIFY(waitFor([&] { return p.view.status.count("File Received.") == 2; }));
        QCOMPARE(readAll(p.recv() + "/m.bin"), plain);
    }
};

QTEST_GUILESS_MAIN(TstIntegrationTransferControl)
#include "tst_integration_transfer_control.moc"
