// Address texts as both sides must write them, and the key seed made from
// two of them.
#include "platform/NetAddress.h"
#include "protocol/KeySeed.h"

#include <QTest>

namespace {

// Two IPv6 addresses without a zero group: their pair gives the longest
// seed two addresses can give.
const QString kLongHost = QStringLiteral("2001:db8:1111:2222:3333:4444:5555:6666");
const QString kLongClient = QStringLiteral("2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff");

} // namespace

class TstProtocolAddresses : public QObject {
    Q_OBJECT
private slots:
    void canonicalForms_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("used");
        // Another way to write the same address, or empty for a name.
        QTest::addColumn<QString>("sameAs");
        QTest::addRow("upper case, zeros written out") << "2001:DB8:0:0:0:0:0:1"
                                                       << "2001:db8::1"
                                                       << "2001:db8::0:1";
        QTest::addRow("brackets and blanks") << "  [::1] "
                                             << "::1"
                                             << "0:0:0:0:0:0:0:1";
        QTest::addRow("longest zero run compressed") << "2001:0:0:1:0:0:0:1"
                                                     << "2001:0:0:1::1"
                                                     << "2001::1:0:0:0:1";
        QTest::addRow("one zero group stays") << "2001:db8:0:1:1:1:1:1"
                                              << "2001:db8:0:1:1:1:1:1"
                                              << "2001:DB8::1:1:1:1:1";
        QTest::addRow("leading zeros of a group") << "2001:0DB8:00AB::0001"
                                                  << "2001:db8:ab::1"
                                                  << "[2001:db8:ab:0::1]";
        QTest::addRow("IPv4-mapped") << "::FFFF:192.0.2.1"
                                     << "::ffff:192.0.2.1"
                                     << "192.0.2.1";
        QTest::addRow("dotted IPv4 stays as typed") << "192.168.001.10"
                                                    << "192.168.001.10"
                                                    << "192.168.1.10";
        QTest::addRow("dotted IPv4, blanks removed") << " 10.0.0.1\t"
                                                     << "10.0.0.1"
                                                     << "::ffff:10.0.0.1";
        QTest::addRow("host name stays as typed") << "Desk.Example.org"
                                                  << "Desk.Example.org"
                                                  << "";
        QTest::addRow("brackets around a name stay") << "[peer]"
                                                     << "[peer]"
                                                     << "";
        QTest::addRow("not quite IPv6") << "2001:db8::1::2"
                                        << "2001:db8::1::2"
                                        << "";
    }
    void canonicalForms() {
        QFETCH(QString, typed);
        QFETCH(QString, used);
        QFETCH(QString, sameAs);
        QCOMPARE(NetAddress::canonical(typed), used);
        // Writing it again changes nothing: both sides end with one text.
        QCOMPARE(NetAddress::canonical(used), used);
        QCOMPARE(NetAddress::isLiteral(typed), !sameAs.isEmpty());
        if (!sameAs.isEmpty()) {
            QVERIFY(NetAddress::sameAddress(typed, sameAs));
            QVERIFY(!NetAddress::sameAddress(typed, "2001:db8::99"));
        }
    }

    void seedTexts_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("client");
        QTest::addColumn<QByteArray>("seed");
        // Pairs of dotted addresses give today's seeds, byte for byte.
        QTest::addRow("IPv4 LAN") << "192.168.1.10"
                                  << "192.168.1.20"
                                  << QByteArray("21198261162891111168192192121681");
        QTest::addRow("IPv4 zero parts") << "203.0.113.7"
                                         << "10.0.0.1" << QByteArray("1213713111311237111");
        QTest::addRow("IPv4 longest")
            << "255.255.255.255"
            << "255.255.255.255" << QByteArray("525525525525525525525525255255255255255255255255");
        QTest::addRow("IPv4 all zeros") << "0.0.0.0"
                                        << "0.0.0.0" << QByteArray("11111111");
        // IPv6 texts as they are written, each ":" and letter as a digit
        // (":" 5, "a" 8, "b" 9, "c" 1, "d" 2, "e" 3, "f" 4): the text before
        // that is "12:1::1d:b:811121:db8::111::11".
        QTest::addRow("IPv6 short") << "2001:db8::1"
                                    << "::1" << QByteArray("125155125958111215298551115511");
        // Longer than key generation takes: its first 73 characters.
        QTest::addRow("IPv6 full length, cut")
            << kLongHost << kLongClient
            << QByteArray("4241454259383531315121252222521215131353939594945484858585558595265"
                          "616261");
        QTest::addRow("host name")
            << "desk-7.example"
            << "10.0.0.1" << QByteArray("12133819512783441112389171134825131");
    }
    void seedTexts() {
        QFETCH(QString, host);
        QFETCH(QString, client);
        QFETCH(QByteArray, seed);
        const Outcome<std::string> made = MakeSeedText(host.toStdString(), client.toStdString());
        QVERIFY(made);
        QCOMPARE(QByteArray::fromStdString(made.value()), seed);
        QVERIFY(seed.size() <= 73);
        // Only digits 1 to 9 make rotors that decrypt.
        for (const char c : seed)
            QVERIFY2(c >= '1' && c <= '9', seed.constData());
        QVERIFY2(SeedTextUsable(made.value()), qPrintable(SeedTextUsable(made.value()).error()));
    }
};

QTEST_GUILESS_MAIN(TstProtocolAddresses)
#include "tst_protocol_addresses.moc"
