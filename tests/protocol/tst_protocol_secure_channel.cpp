#include "protocol/SecureChannel.h"

#include <QRegularExpression>
#include <QTest>
#include <sodium.h>

#include <functional>
#include <set>

namespace {

using namespace std::chrono_literals;
using SC = SecureChannel;
using Clock = SC::Clock;

const QByteArray kHostAddr = "10.1.2.3";

// One side of a test connection: its channel and everything its steps asked
// for, gathered.
struct Peer {
    explicit Peer(SC::Role role, bool enabled = true, int window = SC::MaxWindow)
        : ch(role, enabled, window) {}
    SC ch;
    QList<QByteArray> writes; // every write, in order
    QList<QByteArray> sent;
    QList<QByteArray> legacy;
    QList<QByteArray> messages;
    QStringList status;
    std::optional<QByteArray> peerAddress;
    bool closed = false;
    QByteArray outgoing; // written, not yet delivered

    void take(const SC::Step& s) {
        writes += s.writes;
        for (const QByteArray& w : s.writes)
            outgoing += w;
        sent += s.sent;
        legacy += s.legacy;
        messages += s.messages;
        status += s.status;
        if (s.peerAddress)
            peerAddress = s.peerAddress;
        closed = closed || s.close;
    }
};

// Hands `from`'s written bytes to `to`, cut into arrivals at the given
// offsets of that direction's whole stream (`delivered` counts what went
// before). An empty cut set hands everything over as one arrival.
void deliver(Peer& from, Peer& to, qsizetype& delivered, const std::set<qsizetype>& cuts,
             Clock::time_point now) {
    while (!from.outgoing.isEmpty()) {
        qsizetype n = from.outgoing.size();
        const auto next = cuts.upper_bound(delivered);
        if (next != cuts.end() && *next - delivered < n)
            n = *next - delivered;
        const QByteArray arrival = from.outgoing.left(n);
        from.outgoing.remove(0, n);
        delivered += n;
        to.take(to.ch.receive(arrival, now));
    }
}

// A whole exchange: handshake with messages held on both sides, then
// messages both ways and the host leaving. Returns the lengths of the two
// streams (host to client, client to host).
std::pair<qsizetype, qsizetype> runExchange(Peer& host, Peer& client,
                                            const std::set<qsizetype>& cuts) {
    const Clock::time_point t0{};
    qsizetype toClient = 0, toHost = 0;
    client.ch.connected(t0);
    host.take(host.ch.begin(kHostAddr, t0));
    host.take(host.ch.send("CT:held by the host"));
    deliver(host, client, toClient, cuts, t0);
    client.take(client.ch.send("CT:held by the client"));
    client.take(client.ch.send("OK:"));
    deliver(client, host, toHost, cuts, t0);
    deliver(host, client, toClient, cuts, t0);
    deliver(client, host, toHost, cuts, t0);
    host.take(host.ch.send("FB:" + QByteArray(1000, '|') + "|"));
    client.take(client.ch.send("CT:"));
    host.take(host.ch.send("XX:"));
    deliver(host, client, toClient, cuts, t0);
    deliver(client, host, toHost, cuts, t0);
    return {toClient, toHost};
}

void checkExchange(const Peer& host, const Peer& client) {
    QCOMPARE(host.ch.mode(), SC::Mode::Secure);
    QCOMPARE(client.ch.mode(), SC::Mode::Secure);
    QVERIFY(!host.closed && !client.closed);
    QVERIFY(host.legacy.isEmpty() && client.legacy.isEmpty());
    QCOMPARE(client.messages, (QList<QByteArray>{"CT:held by the host",
                                                 "FB:" + QByteArray(1000, '|') + "|", "XX:"}));
    QCOMPARE(host.messages, (QList<QByteArray>{"CT:held by the client", "OK:", "CT:"}));
    QCOMPARE(client.peerAddress, std::optional<QByteArray>(kHostAddr));
    QVERIFY(!host.ch.checkCode().isEmpty());
    QCOMPARE(host.ch.checkCode(), client.ch.checkCode());
    QCOMPARE(host.status, QStringList{SC::secureLine(host.ch.checkCode())});
    QCOMPARE(client.status, QStringList{SC::secureLine(client.ch.checkCode())});
}

// Host and client up to the switch, everything joined.
void connectPair(Peer& host, Peer& client) {
    const Clock::time_point t0{};
    qsizetype a = 0, b = 0;
    client.ch.connected(t0);
    host.take(host.ch.begin(kHostAddr, t0));
    deliver(host, client, a, {}, t0);
    deliver(client, host, b, {}, t0);
    deliver(host, client, a, {}, t0);
    deliver(client, host, b, {}, t0);
}

QByteArray u8(const QByteArray& a, int at) {
    return QByteArray::number(uchar(a[at]));
}

// The client's view of a stream that a test writes frame by frame: a host
// built here from libsodium alone, following the wire description, so that
// frames the channel would never send (other tags) can be made.
struct HandBuiltHost {
    unsigned char pk[32], sk[32], rx[32], tx[32];
    crypto_secretstream_xchacha20poly1305_state push;

    QByteArray h() {
        crypto_kx_keypair(pk, sk);
        QByteArray m = "SX:H";
        m += char(1);
        m += char(0x00);
        m += char(0x10); // window 16
        m += SC::commitmentOf(key());
        m += char(0);
        return m;
    }
    QByteArray key() const { return QByteArray(reinterpret_cast<const char*>(pk), 32); }
    QByteArray s(const QByteArray& r) {
        const auto* clientPk = reinterpret_cast<const unsigned char*>(r.constData()) + 7;
        if (crypto_kx_server_session_keys(rx, tx, pk, sk, clientPk) != 0)
            return {};
        unsigned char header[24];
        crypto_secretstream_xchacha20poly1305_init_push(&push, header, tx);
        return "SX:S" + key() + QByteArray(reinterpret_cast<const char*>(header), 24);
    }
    QByteArray frame(const QByteArray& inner, unsigned char tag) {
        QByteArray f(4 + inner.size() + 17, '\0');
        const quint32 l = quint32(inner.size() + 17);
        for (int i = 0; i < 4; ++i)
            f[i] = char(l >> (24 - 8 * i));
        crypto_secretstream_xchacha20poly1305_push(
            &push, reinterpret_cast<unsigned char*>(f.data()) + 4, nullptr,
            reinterpret_cast<const unsigned char*>(inner.constData()), inner.size(), nullptr, 0,
            tag);
        return f;
    }
};

constexpr unsigned char kMsg = crypto_secretstream_xchacha20poly1305_TAG_MESSAGE;
constexpr unsigned char kFinal = crypto_secretstream_xchacha20poly1305_TAG_FINAL;

} // namespace

class TstProtocolSecureChannel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(SC::cryptoReady()); }

    void handshakeSurvivesEverySplitAndJoin() {
        // Everything joined, then one cut at every offset of both streams,
        // then byte by byte.
        qsizetype longest = 0;
        {
            Peer host(SC::Role::Host), client(SC::Role::Client);
            const auto lengths = runExchange(host, client, {});
            checkExchange(host, client);
            longest = std::max(lengths.first, lengths.second);
        }
        for (qsizetype k = 1; k < longest; ++k) {
            Peer host(SC::Role::Host), client(SC::Role::Client);
            runExchange(host, client, {k});
            checkExchange(host, client);
            if (QTest::currentTestFailed())
                QFAIL(qPrintable(QStringLiteral("cut at %1").arg(k)));
        }
        std::set<qsizetype> every;
        for (qsizetype k = 1; k < longest; ++k)
            every.insert(k);
        Peer host(SC::Role::Host), client(SC::Role::Client);
        runExchange(host, client, every);
        checkExchange(host, client);
    }

    void handshakeMessagesAndFramesByteByByte() {
        Peer host(SC::Role::Host, true, 300), client(SC::Role::Client, true, 4096);
        const Clock::time_point t0{};
        client.ch.connected(t0);
        host.take(host.ch.begin(kHostAddr, t0));
        QCOMPARE(host.writes.size(), 1);
        const QByteArray h = host.writes[0];
        QCOMPARE(h.size(), SC::HFixedSize + kHostAddr.size());
        QCOMPARE(h.left(4), QByteArray("SX:H"));
        QCOMPARE(u8(h, 4), QByteArray("1"));
        QCOMPARE(h.mid(5, 2), QByteArray("\x01\x2c", 2)); // 300
        QCOMPARE(h.mid(7, 32), SC::commitmentOf(host.ch.publicKey()));
        unsigned char digest[32];
        crypto_generichash(digest, 32,
                           reinterpret_cast<const unsigned char*>(host.ch.publicKey().constData()),
                           32, nullptr, 0);
        QCOMPARE(h.mid(7, 32), QByteArray(reinterpret_cast<const char*>(digest), 32));
        QCOMPARE(u8(h, 39), QByteArray::number(kHostAddr.size()));
        QCOMPARE(h.mid(40), kHostAddr);

        client.take(client.ch.receive(h, t0));
        QCOMPARE(client.writes.size(), 1);
        const QByteArray r = client.writes[0];
        QCOMPARE(r.size(), 39);
        QCOMPARE(r.left(4), QByteArray("SX:R"));
        QCOMPARE(u8(r, 4), QByteArray("1"));
        QCOMPARE(r.mid(5, 2), QByteArray("\x10\x00", 2)); // 4096
        QCOMPARE(r.mid(7), client.ch.publicKey());
        QCOMPARE(client.ch.peerWindow(), 300);

        host.take(host.ch.receive(r, t0));
        QCOMPARE(host.writes.size(), 2);
        const QByteArray s = host.writes[1];
        QCOMPARE(s.size(), 60);
        QCOMPARE(s.left(4), QByteArray("SX:S"));
        QCOMPARE(s.mid(4, 32), host.ch.publicKey());
        QCOMPARE(host.ch.peerWindow(), 4096);
        QCOMPARE(host.ch.peerPublicKey(), client.ch.publicKey());

        client.take(client.ch.receive(s, t0));
        QCOMPARE(client.writes.size(), 2);
        const QByteArray c = client.writes[1];
        QCOMPARE(c.size(), 28);
        QCOMPARE(c.left(4), QByteArray("SX:C"));
        host.take(host.ch.receive(c, t0));

        // The check code: the first four bytes of the hash of the label and
        // both keys, host's first.
        const QByteArray in =
            "Vantrel secure check v1" + host.ch.publicKey() + client.ch.publicKey();
        crypto_generichash(digest, 32, reinterpret_cast<const unsigned char*>(in.constData()),
                           in.size(), nullptr, 0);
        const QByteArray hex =
            QByteArray(reinterpret_cast<const char*>(digest), 4).toHex().toUpper();
        QCOMPARE(host.ch.checkCode(), QString::fromLatin1(hex.left(4) + ' ' + hex.mid(4)));
        QVERIFY(QRegularExpression("^[0-9A-F]{4} [0-9A-F]{4}$")
                    .match(client.ch.checkCode())
                    .hasMatch());
        QCOMPARE(client.ch.checkCode(), host.ch.checkCode());

        // A frame: four bytes of length, then the sealed message; the length
        // counts the 17 bytes the sealing adds.
        host.writes.clear();
        host.take(host.ch.send("OK:"));
        QCOMPARE(host.writes.size(), 1);
        QCOMPARE(host.writes[0].size(), 4 + 3 + 17);
        QCOMPARE(host.writes[0].left(4), QByteArray("\0\0\0\x14", 4));
        client.take(client.ch.receive(host.writes[0], t0));
        QCOMPARE(client.messages, QList<QByteArray>{"OK:"});
        // The largest message fits; one byte more is refused.
        host.writes.clear();
        host.take(host.ch.send(QByteArray(SC::MaxInnerMessage, 'a')));
        host.take(host.ch.send(QByteArray(SC::MaxInnerMessage + 1, 'a')));
        QCOMPARE(host.writes.size(), 1);
        QCOMPARE(host.writes[0].left(4), QByteArray("\0\x01\0\x11", 4)); // 65553
        client.take(client.ch.receive(host.writes[0], t0));
        QCOMPARE(client.messages.size(), 2);
        QCOMPARE(client.messages.last().size(), SC::MaxInnerMessage);
        QVERIFY(!client.closed);
    }

    void addressTooLongIsNotSent() {
        Peer host(SC::Role::Host), client(SC::Role::Client);
        const Clock::time_point t0{};
        client.ch.connected(t0);
        host.take(host.ch.begin(QByteArray(74, 'x'), t0));
        QCOMPARE(host.writes[0].size(), SC::HFixedSize);
        QCOMPARE(u8(host.writes[0], 39), QByteArray("0"));
        client.take(client.ch.receive(host.writes[0], t0));
        QVERIFY(!client.peerAddress);
        QCOMPARE(client.writes.size(), 1); // answered all the same
    }

    void hostSplitsLegacyMessagesFromR() {
        const Clock::time_point t0{};
        Peer host(SC::Role::Host), client(SC::Role::Client);
        client.ch.connected(t0);
        host.take(host.ch.begin(kHostAddr, t0));
        // A client that sends a chat line before R (another build: ours
        // holds it), and R right after it: the transport may glue them.
        client.take(client.ch.receive(host.writes[0], t0));
        const QByteArray r = client.writes.last();

        host.take(host.ch.receive("OK:", t0)); // a plain legacy arrival
        host.take(host.ch.receive("CT:typed early" + r.left(10), t0));
        QCOMPARE(host.writes.size(), 1); // glued and split: nothing yet
        host.take(host.ch.receive(r.mid(10), t0));
        QCOMPARE(host.legacy, (QList<QByteArray>{"OK:", "CT:typed early"}));
        QCOMPARE(host.writes.size(), 2);
        QCOMPARE(host.writes[1].left(4), QByteArray("SX:S"));

        // Glued whole.
        Peer host2(SC::Role::Host), client2(SC::Role::Client);
        client2.ch.connected(t0);
        host2.take(host2.ch.begin(kHostAddr, t0));
        client2.take(client2.ch.receive(host2.writes[0], t0));
        host2.take(host2.ch.receive("CT:abc" + client2.writes[0], t0));
        QCOMPARE(host2.legacy, QList<QByteArray>{"CT:abc"});
        QCOMPARE(host2.writes.last().left(4), QByteArray("SX:S"));

        // What looked like the start of R but was not: each arrival stays
        // one legacy message, in order.
        Peer host3(SC::Role::Host);
        host3.take(host3.ch.begin(kHostAddr, t0));
        host3.take(host3.ch.receive("SX", t0));
        QVERIFY(host3.legacy.isEmpty());
        host3.take(host3.ch.receive("CT:hi", t0));
        host3.take(host3.ch.receive("CT:aSX:R\x02", t0)); // wrong version: no R
        QCOMPARE(host3.legacy, (QList<QByteArray>{"SX", "CT:hi", "CT:aSX:R\x02"}));
        host3.take(host3.ch.receive("S", t0));
        host3.take(host3.ch.expire(t0 + 3s));
        QCOMPARE(host3.legacy.last(), QByteArray("S"));
        QCOMPARE(host3.ch.mode(), SC::Mode::Legacy);
    }

    // Own messages wait until it is decided how the connection is carried,
    // then go in that mode; when a secure connection is required and none
    // comes, they never go.
    void ownMessagesWaitForTheDecision_data() {
        QTest::addColumn<bool>("host");
        QTest::addColumn<bool>("required");
        QTest::addColumn<bool>("peerUpgrades");
        QTest::newRow("client, secure") << false << false << true;
        QTest::newRow("client, legacy") << false << false << false;
        QTest::newRow("client, required, legacy") << false << true << false;
        QTest::newRow("host, legacy") << true << false << false;
        QTest::newRow("host, required, legacy") << true << true << false;
    }
    void ownMessagesWaitForTheDecision() {
        QFETCH(bool, host);
        QFETCH(bool, required);
        QFETCH(bool, peerUpgrades);
        const Clock::time_point t0{};
        Peer me(host ? SC::Role::Host : SC::Role::Client);
        me.ch.setRequired(required);
        if (host)
            me.take(me.ch.begin(kHostAddr, t0));
        else
            me.ch.connected(t0);
        const qsizetype before = me.writes.size();
        if (!host) {
            me.take(me.ch.send("IP:10.9.8.7")); // opens the connection: never held
            QCOMPARE(me.writes.mid(before), QList<QByteArray>{"IP:10.9.8.7"});
        }
        me.take(me.ch.send("CT:typed"));
        QVERIFY(me.ch.holdingOwnMessages());
        QCOMPARE(me.writes.size(), before + (host ? 0 : 1));

        if (peerUpgrades) {
            Peer h(SC::Role::Host);
            h.take(h.ch.begin(kHostAddr, t0));
            me.take(me.ch.receive(h.writes[0], t0));
            const QByteArray r = me.writes.last();
            me.take(me.ch.send("IP:again"));             // between R and S: held like any other
            h.take(h.ch.receive(r, t0));                 // R
            me.take(me.ch.receive(h.writes.last(), t0)); // S
            QCOMPARE(me.ch.mode(), SC::Mode::Secure);
            for (const QByteArray& w : me.writes)
                QVERIFY(!w.contains("CT:typed"));
            h.take(h.ch.receive(me.outgoing.mid(me.outgoing.indexOf("SX:C")), t0));
            QCOMPARE(h.messages, (QList<QByteArray>{"CT:typed", "IP:again"}));
            return;
        }
        me.take(me.ch.expire(t0 + 3s));
        QCOMPARE(me.ch.mode(), SC::Mode::Legacy);
        QCOMPARE(me.writes.contains("CT:typed"), !required);
        me.take(me.ch.send("CT:later"));
        QCOMPARE(me.writes.last(), QByteArray("CT:later"));
    }

    // While the host waits for R it holds no more than can still be the
    // start of R, however much arrives that ends like one.
    void hostHoldsOnlyWhatCanBeR() {
        const Clock::time_point t0{};
        Peer host(SC::Role::Host);
        host.take(host.ch.begin(kHostAddr, t0));
        // Each arrival ends like the start of R; the next one's first byte
        // (no window is that large) shows it was none.
        const QByteArray partialR = "SX:R\x01";
        qsizetype fed = 0;
        for (int i = 0; i < 200; ++i) {
            const QByteArray arrival = QByteArray(10000, char('a' + i % 26)) + partialR;
            fed += arrival.size();
            host.take(host.ch.receive(arrival, t0));
            QVERIFY2(host.ch.heldBytes() < SC::RSize, qPrintable(QString::number(i)));
        }
        qsizetype passed = 0;
        for (const QByteArray& m : host.legacy)
            passed += m.size();
        QCOMPARE(passed + host.ch.heldBytes(), fed);
        QCOMPARE(host.ch.heldBytes(), partialR.size());
        // The held start still completes an R.
        Peer client(SC::Role::Client);
        client.ch.connected(t0);
        client.take(client.ch.receive(host.writes[0], t0));
        const QByteArray r = client.writes[0];
        Peer host2(SC::Role::Host);
        host2.take(host2.ch.begin(kHostAddr, t0));
        host2.take(host2.ch.receive(QByteArray(5000, 'x') + r.left(30), t0));
        QVERIFY(host2.ch.heldBytes() == 30);
        host2.take(host2.ch.receive(r.mid(30), t0));
        QCOMPARE(host2.ch.mode(), SC::Mode::Secure);
        QCOMPARE(host2.legacy, QList<QByteArray>{QByteArray(5000, 'x')});
    }

    void timeouts() {
        const Clock::time_point t0{};
        // Host: no R within 3 s -> legacy, held messages go out plainly.
        {
            Peer host(SC::Role::Host);
            host.take(host.ch.begin(kHostAddr, t0));
            QCOMPARE(host.ch.deadline(), std::optional<Clock::time_point>(t0 + 3s));
            QVERIFY(host.ch.holdingOwnMessages());
            host.take(host.ch.send("CT:one"));
            host.take(host.ch.send("FL:two"));
            host.take(host.ch.expire(t0 + 2999ms));
            QCOMPARE(host.ch.mode(), SC::Mode::SettingUp);
            QCOMPARE(host.writes.size(), 1);
            host.take(host.ch.expire(t0 + 3s));
            QCOMPARE(host.ch.mode(), SC::Mode::Legacy);
            QCOMPARE(host.status, QStringList{SC::NoOfferLine});
            QCOMPARE(host.writes.mid(1), (QList<QByteArray>{"CT:one", "FL:two"}));
            QCOMPARE(host.sent, (QList<QByteArray>{"CT:one", "FL:two"}));
            QVERIFY(!host.ch.deadline());
            host.take(host.ch.send("OK:"));
            QCOMPARE(host.writes.last(), QByteArray("OK:"));
            QVERIFY(!host.closed);
        }
        // Client: no H within 3 s of connecting.
        {
            Peer client(SC::Role::Client);
            client.ch.connected(t0);
            client.take(client.ch.receive("CT:from an old host", t0));
            QCOMPARE(client.legacy, QList<QByteArray>{"CT:from an old host"});
            client.take(client.ch.expire(t0 + 3s));
            QCOMPARE(client.status, QStringList{SC::NoOfferLine});
            QCOMPARE(client.ch.mode(), SC::Mode::Legacy);
            QVERIFY(!client.closed);
        }
        // Client: no S within 10 s of R; host: no C within 10 s of S.
        {
            Peer host(SC::Role::Host), client(SC::Role::Client);
            client.ch.connected(t0);
            host.take(host.ch.begin(kHostAddr, t0));
            client.take(client.ch.receive(host.writes[0], t0 + 1s));
            QVERIFY(client.ch.holdingOwnMessages());
            QCOMPARE(client.ch.deadline(), std::optional<Clock::time_point>(t0 + 11s));
            client.take(client.ch.expire(t0 + 10s));
            QVERIFY(!client.closed);
            client.take(client.ch.expire(t0 + 11s));
            QVERIFY(client.closed);
            QCOMPARE(client.status, QStringList{SC::SetupFailedLine});
            QCOMPARE(client.ch.mode(), SC::Mode::Closed);

            host.take(host.ch.receive(client.writes[0], t0 + 2s));
            QVERIFY(!host.ch.holdingOwnMessages()); // S sent: frames may go
            // The host has switched and says so; C would only open the
            // client's direction.
            QCOMPARE(host.ch.mode(), SC::Mode::Secure);
            const QStringList switched{SC::secureLine(host.ch.checkCode())};
            QCOMPARE(host.status, switched);
            host.take(host.ch.expire(t0 + 12s));
            QVERIFY(host.closed);
            QCOMPARE(host.status, switched + QStringList{SC::SetupFailedLine});
            QVERIFY(host.ch.publicKey().isEmpty()); // keys zeroed
        }
    }

    void peersThatDoNotUpgrade() {
        const Clock::time_point t0{};
        Peer host(SC::Role::Host);
        host.take(host.ch.begin(kHostAddr, t0));
        const QByteArray h = host.writes[0];

        // Another version: ignored, legacy, said so.
        QByteArray v2 = h;
        v2[4] = char(2);
        Peer c1(SC::Role::Client);
        c1.ch.connected(t0);
        c1.take(c1.ch.receive(v2, t0));
        QVERIFY(c1.writes.isEmpty());
        QCOMPARE(c1.ch.mode(), SC::Mode::Legacy);
        QCOMPARE(c1.status, QStringList{SC::NoOfferLine});

        // Secure connections off: H passes to the legacy handling (which
        // ignores its unknown prefix), nothing is answered or shown.
        Peer c2(SC::Role::Client, false);
        c2.ch.connected(t0);
        c2.take(c2.ch.receive(h, t0));
        c2.take(c2.ch.receive(h, t0));
        QVERIFY(c2.writes.isEmpty());
        QCOMPARE(c2.status, QStringList{SC::OfferedButOffLine}); // once
        QVERIFY(c2.ch.offerDeclined());
        QCOMPARE(c2.legacy, (QList<QByteArray>{h, h}));
        c2.take(c2.ch.send("CT:x"));
        QCOMPARE(c2.writes, QList<QByteArray>{"CT:x"});

        // A transfer running: H ignored, what follows it is legacy.
        Peer c3(SC::Role::Client);
        c3.ch.connected(t0);
        c3.ch.setTransferRunning(true);
        c3.take(c3.ch.receive(h + "OK:", t0));
        QVERIFY(c3.writes.isEmpty());
        QCOMPARE(c3.legacy, QList<QByteArray>{"OK:"});
        QCOMPARE(c3.status, QStringList{SC::BusyLine});

        // A host with secure connections off writes no H.
        Peer h2(SC::Role::Host, false);
        h2.take(h2.ch.begin(kHostAddr, t0));
        QVERIFY(h2.writes.isEmpty());
        QCOMPARE(h2.ch.mode(), SC::Mode::Legacy);

        // The host gave up waiting while our R travelled: its legacy
        // messages end our wait, and our held messages go out plainly.
        Peer c4(SC::Role::Client);
        c4.ch.connected(t0);
        c4.take(c4.ch.receive(h, t0));
        c4.take(c4.ch.send("CT:held"));
        c4.take(c4.ch.receive("CT:late", t0));
        QCOMPARE(c4.ch.mode(), SC::Mode::Legacy);
        QCOMPARE(c4.legacy, QList<QByteArray>{"CT:late"});
        QCOMPARE(c4.writes.last(), QByteArray("CT:held"));
        QCOMPARE(c4.status, QStringList{SC::NoOfferLine});
    }

    void leavingDuringTheHandshake() {
        const Clock::time_point t0{};
        Peer host(SC::Role::Host), client(SC::Role::Client);
        client.ch.connected(t0);
        host.take(host.ch.begin(kHostAddr, t0));
        host.take(host.ch.send("CT:queued"));
        host.take(host.ch.send("XX:"));
        QCOMPARE(host.writes.mid(1), QList<QByteArray>{"XX:"}); // at once, plainly
        host.take(host.ch.send("CT:after"));
        QCOMPARE(host.writes.size(), 2);

        client.take(client.ch.receive(host.writes[0], t0));
        client.take(client.ch.receive("XX:", t0)); // waiting for S
        QCOMPARE(client.legacy, QList<QByteArray>{"XX:"});
        QVERIFY(!client.closed);
    }

    void leavingDuringTheHandshakeMayArriveInPieces() {
        // The client waits for S and the host for C; each gets "XX:" a byte
        // at a time: the other user left, the handshake did not fail.
        const Clock::time_point t0{};
        Peer host(SC::Role::Host), client(SC::Role::Client);
        qsizetype a = 0, b = 0;
        client.ch.connected(t0);
        host.take(host.ch.begin(kHostAddr, t0));
        deliver(host, client, a, {}, t0);
        deliver(client, host, b, {}, t0);
        for (Peer* p : {&client, &host}) {
            for (const char* piece : {"X", "X", ":"})
                p->take(p->ch.receive(piece, t0));
            QCOMPARE(p->legacy, QList<QByteArray>{"XX:"});
            QVERIFY(!p->closed);
        }
    }

    void commitmentMismatchIsRefused() {
        // A relay that swaps the host's key in S for its own.
        const Clock::time_point t0{};
        Peer host(SC::Role::Host), client(SC::Role::Client);
        client.ch.connected(t0);
        host.take(host.ch.begin(kHostAddr, t0));
        client.take(client.ch.receive(host.writes[0], t0));
        host.take(host.ch.receive(client.writes[0], t0));
        QByteArray s = host.writes[1];
        unsigned char pk[32], sk[32];
        crypto_kx_keypair(pk, sk);
        s.replace(4, 32, QByteArray(reinterpret_cast<const char*>(pk), 32));
        client.take(client.ch.receive(s, t0));
        QVERIFY(client.closed);
        QCOMPARE(client.status, QStringList{SC::CommitmentLine});
        QCOMPARE(client.writes.size(), 1); // no C
        QCOMPARE(client.ch.mode(), SC::Mode::Closed);
    }

    void relayInTheMiddleShowsDifferentCodes() {
        // The relay answers the host as a client and the client as a host.
        const Clock::time_point t0{};
        Peer host(SC::Role::Host), client(SC::Role::Client);
        Peer relayToHost(SC::Role::Client), relayToClient(SC::Role::Host);
        qsizetype a = 0, b = 0, c = 0, d = 0;
        client.ch.connected(t0);
        relayToHost.ch.connected(t0);
        host.take(host.ch.begin(kHostAddr, t0));
        relayToClient.take(relayToClient.ch.begin(kHostAddr, t0));
        for (int round = 0; round < 3; ++round) {
            deliver(host, relayToHost, a, {}, t0);
            deliver(relayToHost, host, b, {}, t0);
            deliver(relayToClient, client, c, {}, t0);
            deliver(client, relayToClient, d, {}, t0);
        }
        QCOMPARE(host.ch.mode(), SC::Mode::Secure);
        QCOMPARE(client.ch.mode(), SC::Mode::Secure);
        QCOMPARE(host.ch.checkCode(), relayToHost.ch.checkCode());
        QCOMPARE(client.ch.checkCode(), relayToClient.ch.checkCode());
        QVERIFY(host.ch.checkCode() != client.ch.checkCode());
    }

    void damageClosesTheConnection_data() {
        QTest::addColumn<QString>("what");
        for (const char* w :
             {"flipped bit", "flipped length bit", "dropped frame", "repeated frame",
              "swapped frames", "legacy bytes after the switch", "length too small",
              "length too large", "data after the last frame", "push tag", "rekey tag"})
            QTest::newRow(w) << QString::fromLatin1(w);
    }

    void damageClosesTheConnection() {
        QFETCH(QString, what);
        const Clock::time_point t0{};
        HandBuiltHost hb;
        Peer client(SC::Role::Client);
        client.ch.connected(t0);
        client.take(client.ch.receive(hb.h(), t0));
        const QByteArray s = hb.s(client.writes[0]);
        QVERIFY(!s.isEmpty());
        client.take(client.ch.receive(s, t0));
        QCOMPARE(client.ch.mode(), SC::Mode::Secure);
        QCOMPARE(client.ch.peerWindow(), 16);

        const QByteArray f1 = hb.frame("CT:first", kMsg);
        QByteArray stream = f1;
        qsizetype damageAt = -1; // where the damage must be seen, when known
        if (what == "flipped bit") {
            QByteArray f2 = hb.frame("CT:second", kMsg);
            f2[10] = char(f2[10] ^ 0x04);
            stream += f2;
        } else if (what == "flipped length bit") {
            QByteArray f2 = hb.frame("CT:second", kMsg);
            f2[3] = char(f2[3] ^ 0x01);
            stream += f2 + hb.frame("CT:third", kMsg);
        } else if (what == "dropped frame") {
            hb.frame("CT:dropped", kMsg);
            stream += hb.frame("CT:third", kMsg);
        } else if (what == "repeated frame") {
            stream += f1;
        } else if (what == "swapped frames") {
            const QByteArray f2 = hb.frame("CT:second", kMsg);
            stream += hb.frame("CT:third", kMsg) + f2;
        } else if (what == "legacy bytes after the switch") {
            stream += "CT:plain";
        } else if (what == "length too small") {
            stream += QByteArray("\0\0\0\x10", 4) + QByteArray(16, 'a');
        } else if (what == "length too large") {
            stream += QByteArray("\0\x01\0\x12", 4);
        } else if (what == "data after the last frame") {
            // Seen at its first byte: no frame can follow the last one.
            stream += hb.frame("XX:", kFinal);
            damageAt = stream.size();
            stream += hb.frame("CT:after", kMsg);
        } else if (what == "push tag") {
            stream += hb.frame("CT:second", crypto_secretstream_xchacha20poly1305_TAG_PUSH);
        } else if (what == "rekey tag") {
            stream += hb.frame("CT:second", crypto_secretstream_xchacha20poly1305_TAG_REKEY);
        }
        // Fed byte by byte, so damage is seen as soon as it can be.
        qsizetype at = 0;
        for (; at < stream.size() && !client.closed; ++at)
            client.take(client.ch.receive(stream.mid(at, 1), t0));
        QVERIFY(client.closed);
        if (damageAt >= 0)
            QCOMPARE(at - 1, damageAt);
        QCOMPARE(client.status.last(), SC::DamagedLine);
        QCOMPARE(client.ch.mode(), SC::Mode::Closed);
        // What came before the damage was genuine; nothing after it is let in.
        QCOMPARE(client.messages.first(), QByteArray("CT:first"));
        QVERIFY(!client.messages.contains("CT:third") && !client.messages.contains("CT:after") &&
                !client.messages.contains("CT:second"));
        const int count = client.messages.size();
        client.take(client.ch.receive(hb.frame("CT:more", kMsg), t0));
        QCOMPARE(client.messages.size(), count);
        QVERIFY(client.ch.send("CT:x").writes.isEmpty());
    }

    void truncatedStreamIsDamage() {
        Peer host(SC::Role::Host), client(SC::Role::Client);
        connectPair(host, client);
        host.take(host.ch.send("CT:whole"));
        host.take(host.ch.send("CT:cut short"));
        const Clock::time_point t0{};
        client.take(client.ch.receive(host.outgoing.left(host.outgoing.size() - 5), t0));
        QCOMPARE(client.messages, QList<QByteArray>{"CT:whole"});
        client.take(client.ch.connectionLost());
        QVERIFY(client.closed);
        QCOMPARE(client.status.last(), SC::DamagedLine);

        // Ending between frames is an ordinary loss.
        Peer host2(SC::Role::Host), client2(SC::Role::Client);
        connectPair(host2, client2);
        const SC::Step lost = client2.ch.connectionLost();
        QVERIFY(!lost.close && lost.status.isEmpty());
    }

    void resetForgetsTheConnection() {
        Peer host(SC::Role::Host), client(SC::Role::Client);
        connectPair(host, client);
        QVERIFY(!client.ch.publicKey().isEmpty());
        client.ch.reset();
        QCOMPARE(client.ch.mode(), SC::Mode::Idle);
        QVERIFY(client.ch.publicKey().isEmpty() && client.ch.peerPublicKey().isEmpty());
        QVERIFY(client.ch.checkCode().isEmpty());
        // A fresh connection on the same object works, with fresh keys.
        const QByteArray oldHostKey = host.ch.publicKey();
        host.ch.reset();
        Peer freshHost(SC::Role::Host);
        client.ch.connected(Clock::time_point{});
        SC::Step h = freshHost.ch.begin(kHostAddr, Clock::time_point{});
        SC::Step r = client.ch.receive(h.writes[0], Clock::time_point{});
        QCOMPARE(r.writes.size(), 1);
        QVERIFY(freshHost.ch.publicKey() != oldHostKey);
    }
};

QTEST_GUILESS_MAIN(TstProtocolSecureChannel)
#include "tst_protocol_secure_channel.moc"
