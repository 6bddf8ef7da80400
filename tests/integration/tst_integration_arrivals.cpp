#include "PeerFixture.h"

#include <QRandomGenerator>

namespace {

// Encrypts as the client would: an engine of its own, keys made from the
// two address texts.
struct Sender : PeerKeys {
    Sender(const Peer& host, const Peer& client) : PeerKeys(host.view.own, client.view.own) {}
};

QByteArray randomBytes(QRandomGenerator& rng, int n) {
    QByteArray b(n, '\0');
    for (char& c : b)
        c = char(rng.bounded(256));
    return b;
}

// A conversation: chat lines, then a file of `size` bytes, then more chat.
QList<QByteArray> conversation(Sender& s, const QByteArray& file) {
    QList<QByteArray> msgs;
    msgs << "CT:" + s.enc("first line") << "FL:data.bin";
    qsizetype at = 0;
    for (; file.size() - at >= 1000; at += 1000)
        msgs << "FB:" + s.enc(file.mid(at, 1000)) + '|';
    const QByteArray rest = file.mid(at);
    msgs << "FB:RM:" + (rest.isEmpty() ? QByteArray() : s.enc(rest)) + '|';
    msgs << "CT:" + s.enc("second line");
    return msgs;
}

} // namespace

class TstIntegrationArrivals : public QObject {
    Q_OBJECT
private slots:
    void oneMessagePerArrivalIsHandledExactly() {
        Peer rx, client;
        QVERIFY(connectPeers(rx, client, freePort()));
        Sender s(rx, client);
        const int bars = rx.view.receiveBars;

        QRandomGenerator rng(5);
        QByteArray file = randomBytes(rng, 2500);
        file[999] = '|';
        file[1000] = '|';
        for (const QByteArray& m : conversation(s, file))
            rx.session->channel().receive(m);
        QCOMPARE(rx.view.chat, (QStringList{"first line", "second line"}));
        QCOMPARE(readAll(rx.recv() + "/data.bin"), file);
        // Behind the key check, the note that 10.9.8.7 is not where the
        // connection comes from.
        QCOMPARE(rx.view.status.mid(4, 2),
                 (QStringList{"Receiving File data.bin", "File Received."}));
        QCOMPARE(rx.view.receiveBars - bars, 6);
        // Each arrival is announced once, the file only when it is whole.
        QCOMPARE(rx.view.arrivals,
                 (QStringList{"chat:first line", "file:" + rx.recv() + "/data.bin",
                              "chat:second line"}));

        rx.session->channel().receive("XX:");
        QVERIFY(!rx.session->IsConnected());
        // The box comes once the arrival's handler has returned.
        QVERIFY(waitFor([&] { return rx.services.entries("message:").size() == 1; }));
        QVERIFY(rx.workFiles().isEmpty());
    }

    void randomSplitsJoinsAndGarbageNeverHurt() {
        Peer rx, client;
        QVERIFY(connectPeers(rx, client, freePort()));
        Sender s(rx, client);
        QRandomGenerator rng(77);

        for (int round = 0; round < 400; ++round) {
            const QByteArray file = randomBytes(rng, rng.bounded(0, 4000));
            QByteArray stream;
            for (const QByteArray& m : conversation(s, file))
                stream += m;
            // Some rounds carry garbage, an unannounced block or a message
            // much larger than a block.
            switch (rng.bounded(6)) {
            case 0:
                stream.insert(rng.bounded(stream.size()), randomBytes(rng, rng.bounded(1, 3000)));
                break;
            case 1:
                stream.prepend("FB:" + randomBytes(rng, 1000) + '|');
                break;
            case 2:
                stream.insert(rng.bounded(stream.size()), "FB:RM:" + QByteArray(5000, 'x'));
                break;
            default:
                break;
            }
            for (qsizetype pos = 0; pos < stream.size();) {
                const qsizetype len = rng.bounded(1, 3000);
                rx.session->channel().receive(stream.mid(pos, len));
                pos += len;
                QVERIFY(rx.session->channel().pendingBytes() <= 1006);
            }
        }
        // Whatever arrived, nothing was written outside the receive folder.
        for (const QFileInfo& e :
             QDir(rx.dir.path()).entryInfoList(QDir::NoDotAndDotDot | QDir::AllEntries))
            QVERIFY2(e.fileName() == "Recv" || e.fileName().startsWith('k'),
                     qPrintable(e.fileName()));
        for (const QString& n : QDir(rx.recv()).entryList(QDir::Files))
            QVERIFY2(n.startsWith("data"), qPrintable(n));
    }

    // A name may begin with ':' (which Qt's path helpers take for a
    // built-in resource): such a file is received under its own name, and
    // an existing one is not overwritten.
    void namesBeginningWithAColonAreReceived() {
        Peer rx, client;
        QVERIFY(connectPeers(rx, client, freePort()));
        Sender s(rx, client);
        writeFile(rx, "Recv/:notes.txt", "old");
        rx.session->channel().receive("FL::notes.txt");
        rx.session->channel().receive("FB:RM:" + s.enc("new") + '|');
        QVERIFY(waitFor([&] { return !rx.session->receiver().ClientRecv(); }));
        QCOMPARE(readAll(rx.recv() + "/:notes (2).txt"), QByteArray("new"));
        QCOMPARE(readAll(rx.recv() + "/:notes.txt"), QByteArray("old"));
    }

    void stringsOfNothingButGarbage() {
        Peer rx;
        QRandomGenerator rng(3);
        for (int i = 0; i < 3000; ++i) {
            QByteArray a = randomBytes(rng, rng.bounded(0, 2000));
            if (i % 7 == 0)
                a.prepend(QByteArrayList{"IP:", "CT:", "FL:", "FB:", "OK:", "FB:RM:"}[i % 6]);
            rx.session->channel().receive(a);
            QVERIFY(rx.session->channel().pendingBytes() <= 1006);
        }
        // Without keys nothing could be decrypted, and it was said, not shown.
        QVERIFY(rx.view.chat.isEmpty());
        QVERIFY(!rx.services.ended);
    }
};

QTEST_GUILESS_MAIN(TstIntegrationArrivals)
#include "tst_integration_arrivals.moc"
