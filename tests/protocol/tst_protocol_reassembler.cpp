#include "protocol/Reassembler.h"
#include "protocol/Wire.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>

namespace {

using R = Reassembler::Result;
constexpr auto kIdle = Reassembler::Reception::Idle;
constexpr auto kRunning = Reassembler::Reception::Running;

QByteArray randomBytes(QRandomGenerator& rng, int n) {
    QByteArray b(n, '\0');
    for (char& c : b)
        c = char(rng.bounded(256));
    return b;
}

QByteArray fullBlock(const QByteArray& payload) {
    return "FB:" + payload + '|';
}

// Everything that comes out for the given arrivals.
QList<QByteArray> drain(Reassembler& r, const QList<QByteArray>& arrivals,
                        Reassembler::Reception reception, bool* overflow = nullptr) {
    QList<QByteArray> out;
    for (const QByteArray& a : arrivals) {
        r.push(a);
        QByteArray m;
        for (;;) {
            const R res = r.next(reception, m);
            if (res == R::NeedMore)
                break;
            if (res == R::Overflow) {
                if (overflow)
                    *overflow = true;
                r.clear();
                break;
            }
            out << m;
        }
    }
    return out;
}

} // namespace

class TstProtocolReassembler : public QObject {
    Q_OBJECT
private slots:
    void wireMessagesAreByteExact() {
        using wire::Kind;
        QCOMPARE(wire::message(Kind::Address, "10.9.8.7"), "IP:10.9.8.7");
        QCOMPARE(wire::message(Kind::Chat, "x|y"), "CT:x|y");
        QCOMPARE(wire::message(Kind::FileName, "a b.txt"), "FL:a b.txt");
        QCOMPARE(wire::message(Kind::Block, "abc"), "FB:abc|");
        QCOMPARE(wire::message(Kind::FinalBlock, ""), "FB:RM:|");
        QCOMPARE(wire::message(Kind::Ack), "OK:");
        QCOMPARE(wire::message(Kind::End), "XX:");
        QCOMPARE(wire::message(Kind::Block, QByteArray(wire::kBlockSize, 'b')).size(), 1004);

        // Read back: the final block is told from a full one by its whole
        // prefix; anything else is not a message of ours.
        const QList<std::pair<QByteArray, Kind>> kinds = {
            {"IP:", Kind::Address},  {"CT:z", Kind::Chat},         {"FL:n", Kind::FileName},
            {"FB:RM|", Kind::Block}, {"FB:RM:", Kind::FinalBlock}, {"OK:OK:", Kind::Ack},
            {"XX:", Kind::End},      {"XX", Kind::Unknown},        {"ok:", Kind::Unknown},
            {"", Kind::Unknown},     {" CT:", Kind::Unknown}};
        for (const auto& [m, kind] : kinds)
            QVERIFY2(wire::kindOf(m) == kind, m.constData());
        QCOMPARE(wire::payloadOf("FB:RM:abc|"), "abc|");
        QCOMPARE(wire::payloadOf("FB:RMabc"), "RMabc");
        QCOMPARE(wire::payloadOf("CT:"), "");
        QCOMPARE(wire::payloadOf("junk"), "junk");
    }

    void outsideReceptionEveryArrivalIsOneMessage() {
        Reassembler r;
        // Two chat messages joined by the transport stay one message, and a
        // split one stays two: without a reception nothing is collected.
        const auto out = drain(r, {"CT:abcCT:def", "CT:ab", "c|", "|"}, kIdle);
        QCOMPARE(out, (QList<QByteArray>{"CT:abcCT:def", "CT:ab", "c|", "|"}));
        QCOMPARE(r.buffered(), 0);
    }

    void emptyMessagesSplitFromWhatFollows() {
        Reassembler r;
        QCOMPARE(drain(r, {"OK:FL:name.txt", "OK:garbage", "XX:OK:"}, kIdle),
                 (QList<QByteArray>{"OK:", "FL:name.txt", "OK:garbage", "XX:", "OK:"}));
    }

    void announcementGluedToItsFirstBlock() {
        Reassembler r;
        // Encrypted bytes: among them one that no file name holds.
        QByteArray payload(1000, 'z');
        payload[40] = '/';
        const QByteArray block = fullBlock(payload);
        QByteArray m;
        r.push("FL:a.txt" + block.left(300));
        QCOMPARE(r.next(kIdle, m), R::Message);
        QCOMPARE(m, "FL:a.txt");
        // The rest belongs to the reception the announcement opened.
        QCOMPARE(r.next(kRunning, m), R::NeedMore);
        r.push(block.mid(300));
        QCOMPARE(r.next(kRunning, m), R::Message);
        QCOMPARE(m, "FB:" + payload);
        // A name that merely contains the letters stays whole.
        r.push("FL:FB:x.txt");
        QCOMPARE(r.next(kIdle, m), R::Message);
        QCOMPARE(m, "FL:FB:x.txt");
    }

    // "notes FB:1.txt" is a legal name: a block is split off only where one
    // can begin behind the whole name.
    void namesHoldingTheBlockPrefix_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("block");
        QRandomGenerator rng(14);
        QByteArray cipher = randomBytes(rng, 1000);
        cipher[500] = '/';
        const QByteArray shortCipher = cipher.left(10).replace('|', '!');
        QTest::newRow("alone") << QByteArray("FL:notes FB:1.txt") << QByteArray();
        QTest::newRow("alone, final prefix") << QByteArray("FL:a FB:RM:b") << QByteArray();
        QTest::newRow("alone, ends in a bar") << QByteArray("FL:x FB:y|") << QByteArray();
        QTest::newRow("full block") << QByteArray("FL:notes FB:1.txt") << fullBlock(cipher);
        QTest::newRow("final block")
            << QByteArray("FL:notes FB:1.txt") << "FB:RM:" + shortCipher + '|';
        QTest::newRow("final prefix in the name, final block")
            << QByteArray("FL:a FB:RM:b.txt") << "FB:RM:" + shortCipher + '|';
        QTest::newRow("empty final block") << QByteArray("FL:a FB:b") << QByteArray("FB:RM:|");
        QTest::newRow("block cut short") << QByteArray("FL:notes FB:1.txt") << cipher.left(600);
        // Nothing tells these bytes from more name: one announcement.
        QTest::newRow("short piece without a telling byte")
            << QByteArray("FL:notes FB:1.txt") << QByteArray("FB:abc");
    }
    void namesHoldingTheBlockPrefix() {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, block);
        const bool cut = !block.isEmpty() && block != "FB:abc";
        QByteArray glued = block;
        if (cut && !block.startsWith("FB:"))
            glued = "FB:" + block; // a full block's first bytes
        Reassembler r;
        r.push(name + glued);
        QByteArray m;
        QCOMPARE(r.next(kIdle, m), R::Message);
        QCOMPARE(m, cut ? name : name + glued);
        QCOMPARE(r.buffered(), cut ? glued.size() : 0);
    }

    // Only the end of an announcement can hold its first block, so a huge
    // name costs one pass, not one per "FB:" in it.
    void hugeAnnouncementsAreCutQuickly() {
        QRandomGenerator rng(13);
        QByteArray cipher = randomBytes(rng, 1000);
        const QByteArray block = fullBlock(cipher);
        QByteArray name = "FL:";
        while (name.size() < 8'000'000)
            name += "a FB:";
        QElapsedTimer clock;
        clock.start();
        for (const QByteArray& tail : {QByteArray(), block, QByteArray("FB:RM:xyz|")}) {
            Reassembler r;
            r.push(name + tail);
            QByteArray m;
            QCOMPARE(r.next(kIdle, m), R::Message);
            QCOMPARE(m.size(), name.size());
            QCOMPARE(r.buffered(), tail.size());
        }
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    }

    void fullBlockIsCutByLengthNotByBar() {
        QRandomGenerator rng(7);
        QByteArray payload = randomBytes(rng, 1000);
        payload[499] = '|'; // the arrival below ends right after this byte
        payload[0] = '|';
        const QByteArray msg = fullBlock(payload);
        Reassembler r;
        const auto out = drain(r, {msg.left(3 + 500), msg.mid(503, 200), msg.mid(703)}, kRunning);
        QCOMPARE(out.size(), 1);
        QCOMPARE(out[0], "FB:" + payload);
        QCOMPARE(r.buffered(), 0);
    }

    void finalBlockForms() {
        Reassembler r;
        // Empty payload: the message is exactly "FB:RM:".
        QCOMPARE(drain(r, {"FB:RM:|"}, kRunning), QList<QByteArray>{"FB:RM:"});
        // Split in the prefix itself.
        QCOMPARE(drain(r, {"FB", ":R", "M:abc", "|"}, kRunning), QList<QByteArray>{"FB:RM:abc"});
        // A "|" inside the payload followed by more payload does not end it.
        QCOMPARE(drain(r, {"FB:RM:a|b|"}, kRunning), QList<QByteArray>{"FB:RM:a|b"});
        // A chat line glued behind the final block is a message of its own.
        QCOMPARE(drain(r, {"FB:RM:xyz|CT:hello"}, kRunning),
                 (QList<QByteArray>{"FB:RM:xyz", "CT:hello"}));
    }

    void otherMessagesBetweenBlocksStayApart() {
        QRandomGenerator rng(11);
        const QByteArray p1 = randomBytes(rng, 1000);
        const QByteArray p2 = randomBytes(rng, 1000);
        Reassembler r;
        // "OK:" of a transfer in the other direction, a chat line and an end
        // message glued to the blocks around them.
        const auto out = drain(r,
                               {"OK:" + fullBlock(p1).left(10), fullBlock(p1).mid(10),
                                "CT:line" + fullBlock(p2), "XX:"},
                               kRunning);
        QCOMPARE(out, (QList<QByteArray>{"OK:", "FB:" + p1, "CT:line", "FB:" + p2, "XX:"}));
    }

    void peerThatBreaksTheFormatIsCutOff() {
        Reassembler r;
        bool overflow = false;
        // 1000 payload bytes not followed by the terminator.
        drain(r, {"FB:" + QByteArray(1001, 'x')}, kRunning, &overflow);
        QVERIFY(overflow);
        overflow = false;
        // A final block that never ends.
        drain(r, {"FB:RM:" + QByteArray(600, 'x'), QByteArray(600, 'y')}, kRunning, &overflow);
        QVERIFY(overflow);
    }

    // A reception's stream (full blocks, acknowledgements and chat lines of
    // the other direction, the final block), cut at random places and glued
    // together at random, comes out as exactly the messages that were sent.
    void randomSplitsAndJoinsGiveTheSameMessages() {
        QRandomGenerator rng(2024);
        for (int round = 0; round < 300; ++round) {
            QList<QByteArray> sent;
            QByteArray stream;
            QList<qsizetype> atoms; // offsets where a cut may not fall inside
            const int blocks = rng.bounded(1, 6);
            for (int b = 0; b <= blocks; ++b) {
                QByteArray msg;
                if (b == blocks) {
                    msg = "FB:RM:" + randomBytes(rng, rng.bounded(0, 1000));
                    // A "|" followed by a prefix inside the final payload is
                    // what cannot be told apart; keep the payload clear of it.
                    msg.replace('|', '!');
                    sent << msg;
                    stream += msg + '|';
                } else {
                    msg = "FB:" + randomBytes(rng, 1000);
                    sent << msg;
                    stream += msg + '|';
                }
                if (rng.bounded(3) == 0 && b < blocks) {
                    const QByteArray other = rng.bounded(2)
                                                 ? QByteArray("OK:")
                                                 : "CT:" + QByteArray(rng.bounded(1, 40), 'c');
                    atoms << stream.size();
                    sent << other;
                    stream += other;
                    atoms << stream.size();
                }
            }
            // Cut points: anywhere except inside a chat or acknowledgement.
            QList<QByteArray> arrivals;
            qsizetype pos = 0;
            while (pos < stream.size()) {
                qsizetype len = rng.bounded(1, 2500);
                qsizetype end = qMin(stream.size(), pos + len);
                for (int i = 0; i + 1 < atoms.size(); i += 2) {
                    if (end > atoms[i] && end < atoms[i + 1])
                        end = atoms[i + 1];
                }
                arrivals << stream.mid(pos, end - pos);
                pos = end;
            }
            Reassembler r;
            const auto out = drain(r, arrivals, kRunning);
            QCOMPARE(out.size(), sent.size());
            QCOMPARE(out, sent);
        }
    }

    void garbageNeverGrowsTheBuffer() {
        QRandomGenerator rng(99);
        Reassembler r;
        qsizetype largest = 0;
        for (int i = 0; i < 5000; ++i) {
            QByteArray arrival = randomBytes(rng, rng.bounded(1, 1500));
            if (rng.bounded(4) == 0)
                arrival.prepend(rng.bounded(2) ? "FB:" : "FB:RM:");
            r.push(arrival);
            QByteArray m;
            for (;;) {
                const R res = r.next(rng.bounded(5) != 0 ? kRunning : kIdle, m);
                if (res == R::NeedMore)
                    break;
                if (res == R::Overflow) {
                    r.clear();
                    break;
                }
            }
            largest = qMax(largest, r.buffered());
        }
        // "FB:RM:" + 999 bytes + "|" is the largest message held back.
        QVERIFY2(largest <= 1006, qPrintable(QString::number(largest)));
    }
};

QTEST_APPLESS_MAIN(TstProtocolReassembler)
#include "tst_protocol_reassembler.moc"
