#include <QSignalSpy>
#include <QtTest>

#include "FakeRouter.h"
#include "platform/RouterPortMapper.h"

// The router mapper against a UPnP router and a NAT-PMP gateway that live
// in this test on loopback; nothing is discovered, nothing leaves the
// machine.
class TstPlatformRouter : public QObject {
    Q_OBJECT
    FakeNatpmp natpmp;
    static constexpr quint16 Port = 7777;
    static constexpr int Lease = 2;
    // Where no NAT-PMP gateway answers.
    const QString silentGateway = QStringLiteral("127.0.0.3");

private slots:
    void initTestCase() {
        QVERIFY2(natpmp.start(QHostAddress(QStringLiteral("127.0.0.2"))),
                 qPrintable(natpmp.errorString()));
    }

    void statusLines_data() {
        QTest::addColumn<QString>("external");
        QTest::addColumn<QString>("line");
        QTest::newRow("public") << "203.0.113.7"
                                << "Reachable from the internet at 203.0.113.7:7777 (the "
                                   "router forwards the port).";
        for (const char* a :
             {"10.1.2.3", "172.31.0.1", "192.168.1.1", "100.64.0.1", "100.127.255.254"})
            QTest::newRow(a) << a << "private";
        // Just outside the private ranges.
        for (const char* a : {"172.32.0.1", "100.128.0.1", "11.0.0.1"})
            QTest::newRow(a) << a
                             << QString("Reachable from the internet at %1:7777 (the router "
                                        "forwards the port).")
                                    .arg(a);
    }
    void statusLines() {
        QFETCH(QString, external);
        QFETCH(QString, line);
        PortMapping m;
        m.outcome = PortMapping::Outcome::Forwarded;
        m.port = m.externalPort = Port;
        m.externalAddress = external;
        if (line == "private")
            QVERIFY2(m.statusLine().contains("does not make this side reachable") &&
                         m.statusLine().contains("Let the other person wait"),
                     qPrintable(m.statusLine()));
        else
            QCOMPARE(m.statusLine(), line);
    }

    // One row per kind of router; each opens the port, lets the mapping be
    // renewed, and removes it.
    void mapping_data() {
        QTest::addColumn<bool>("upnp");          // the UPnP router is named
        QTest::addColumn<int>("addError");       // its answer to every AddPortMapping
        QTest::addColumn<bool>("permanentOnly"); // it refuses leases other than 0
        QTest::addColumn<QString>("external");   // its internet address
        QTest::addColumn<bool>("natpmpAnswers");
        QTest::addColumn<QString>("via");       // "upnp", "natpmp" or ""
        QTest::addColumn<QString>("line");      // the status line, or a part of it
        QTest::addColumn<QList<int>>("leases"); // the leases of the first UPnP requests

        const QString reachable7 = "Reachable from the internet at 203.0.113.7:7777 (the router "
                                   "forwards the port).";
        const QString reachable9 = "Reachable from the internet at 203.0.113.9:7777 (the router "
                                   "forwards the port).";
        QTest::newRow("UPnP wins over NAT-PMP") << true << 0 << false << "203.0.113.7" << true
                                                << "upnp" << reachable7 << QList<int>{Lease};
        QTest::newRow("UPnP only permanent leases") << true << 0 << true << "203.0.113.7" << false
                                                    << "upnp" << reachable7 << QList<int>{Lease, 0};
        QTest::newRow("UPnP behind carrier-grade NAT")
            << true << 0 << false << "100.64.7.9" << false << "upnp"
            << "does not make this side reachable" << QList<int>{Lease};
        QTest::newRow("UPnP conflict, NAT-PMP maps")
            << true << 718 << false << "203.0.113.7" << true << "natpmp" << reachable9
            << QList<int>{Lease};
        QTest::newRow("NAT-PMP alone")
            << false << 0 << false << "" << true << "natpmp" << reachable9 << QList<int>{};
        QTest::newRow("UPnP conflict, no NAT-PMP")
            << true << 718 << false << "203.0.113.7" << false << ""
            << "The port could not be opened on the router automatically: the router already "
               "forwards port 7777 to another computer."
            << QList<int>{Lease};
        QTest::newRow("no router")
            << false << 0 << false << "" << false << ""
            << "The port could not be opened on the router automatically." << QList<int>{};
    }
    void mapping() {
        QFETCH(bool, upnp);
        QFETCH(int, addError);
        QFETCH(bool, permanentOnly);
        QFETCH(QString, external);
        QFETCH(bool, natpmpAnswers);
        QFETCH(QString, via);
        QFETCH(QString, line);
        QFETCH(QList<int>, leases);

        FakeIgd igd;
        QVERIFY(igd.start());
        igd.addError = addError;
        igd.permanentOnly = permanentOnly;
        igd.externalAddress = external;
        natpmp.requests.clear();
        // A named UPnP router that is not there: a closed port on loopback.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString nobody = QString("http://127.0.0.1:%1/rootDesc.xml").arg(closed.serverPort());
        closed.close();

        QElapsedTimer clock;
        clock.start();
        {
            RouterPortMapper mapper({upnp ? igd.descriptionUrl() : nobody,
                                     natpmpAnswers ? QStringLiteral("127.0.0.2") : silentGateway});
            mapper.setLeaseSeconds(Lease);
            QSignalSpy done(&mapper, &PortMapper::finished);
            mapper.open(Port);
            QVERIFY(done.wait(20000));
            const auto result = done.first().first().value<PortMapping>();
            QVERIFY2(result.statusLine().contains(line), qPrintable(result.statusLine()));
            QCOMPARE(result.outcome == PortMapping::Outcome::Forwarded, !via.isEmpty());
            // A router that does not answer is given up within a few seconds.
            QVERIFY2(clock.elapsed() < 4 * RouterPortMapper::AnswerWaitMs,
                     qPrintable(QString::number(clock.elapsed())));

            const auto adds = igd.callsTo("AddPortMapping");
            QCOMPARE(adds.size(), leases.size());
            for (int i = 0; i < adds.size(); ++i) {
                const auto& a = adds[i].args;
                QCOMPARE(a.value("NewExternalPort"), QString::number(Port));
                QCOMPARE(a.value("NewInternalPort"), QString::number(Port));
                QCOMPARE(a.value("NewInternalClient"), QString("127.0.0.1"));
                QCOMPARE(a.value("NewProtocol"), QString("TCP"));
                QCOMPARE(a.value("NewPortMappingDescription"), QString("Vantrel"));
                QCOMPARE(a.value("NewLeaseDuration"), QString::number(leases[i]));
            }
            // UPnP wins: NAT-PMP is asked only when UPnP made no mapping.
            QCOMPARE(natpmp.mappings().isEmpty(), via != "natpmp");

            // Renewed at half the lease: the same mapping again; a permanent
            // one never.
            const bool renews = via == "natpmp" || (via == "upnp" && leases.last() != 0);
            const auto requests = [&] {
                return via == "natpmp" ? natpmp.mappings().size()
                                       : igd.callsTo("AddPortMapping").size();
            };
            const int before = requests();
            QTest::qWait(Lease * 1000 + 500);
            QCOMPARE(requests() > before, renews);
            if (via == "upnp")
                QCOMPARE(igd.callsTo("AddPortMapping").last().args, adds.last().args);
            if (via == "natpmp") {
                QCOMPARE(natpmp.mappings().last().privatePort, Port);
                QCOMPARE(natpmp.mappings().last().publicPort, Port);
                QCOMPARE(natpmp.mappings().last().lifetime, quint32(Lease));
            }

            mapper.release();
            if (via == "upnp") {
                QTRY_COMPARE_WITH_TIMEOUT(igd.callsTo("DeletePortMapping").size(), 1, 10000);
                QCOMPARE(igd.callsTo("DeletePortMapping").first().args.value("NewExternalPort"),
                         QString::number(Port));
            } else if (via == "natpmp") {
                QTRY_COMPARE_WITH_TIMEOUT(natpmp.mappings().last().lifetime, quint32(0), 10000);
            }
            // Nothing to remove is not removed twice (the destructor below).
            QTest::qWait(100);

            const QStringList contacted = mapper.contactedAddresses();
            QVERIFY(!contacted.isEmpty());
            for (const QString& a : contacted)
                QVERIFY2(QHostAddress(a).isInSubnet(QHostAddress("127.0.0.0"), 8), qPrintable(a));
        }
        QVERIFY(igd.callsTo("DeletePortMapping").size() <= 1);
    }

    // The program ends while the port is open: the mapping goes first.
    void destroyedMapperRemovesTheMapping() {
        FakeIgd igd;
        QVERIFY(igd.start());
        {
            RouterPortMapper mapper({igd.descriptionUrl(), silentGateway});
            QSignalSpy done(&mapper, &PortMapper::finished);
            mapper.open(Port);
            QVERIFY(done.wait(20000));
        }
        QCOMPARE(igd.callsTo("DeletePortMapping").size(), 1);
    }
};

QTEST_GUILESS_MAIN(TstPlatformRouter)
#include "tst_platform_router.moc"
