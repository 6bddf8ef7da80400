#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

#include "platform/AvahiDiscovery.h"

// The real path through an avahi-daemon: avahi_netns.sh starts a private one
// inside a network namespace and names it in VANTREL_AVAHI_PID. Three
// clients of that daemon: one waiting copy, one that looks for copies, and a
// second waiting copy that asks for the first one's name.
class TstPlatformAvahi : public QObject {
    Q_OBJECT

    static constexpr int Timeout = 20000;

    // The last copy of that name the spy saw found, or an empty one.
    static WaitingCopy lastFound(const QSignalSpy& spy, const QString& name) {
        WaitingCopy last;
        for (const QList<QVariant>& args : spy)
            if (const auto c = args.at(0).value<WaitingCopy>(); c.name == name)
                last = c;
        return last;
    }
    static QStringList names(const QSignalSpy& spy) {
        QStringList out;
        for (const QList<QVariant>& args : spy)
            out << (args.at(0).canConvert<QString>() ? args.at(0).toString()
                                                     : args.at(0).value<WaitingCopy>().name);
        return out;
    }

private slots:
    void initTestCase() {
        qRegisterMetaType<WaitingCopy>();
        if (const QString why = qEnvironmentVariable("VANTREL_AVAHI_SKIP"); !why.isEmpty())
            QSKIP(qPrintable("No private avahi-daemon: " + why));
        if (qEnvironmentVariableIsEmpty("VANTREL_AVAHI_PID"))
            QSKIP("Run through avahi_netns.sh, which starts a private avahi-daemon inside a "
                  "network namespace");
    }

    void announceFindWithdrawAndStop() {
        AvahiDiscovery host, looker, rival;
        QSignalSpy found(&looker, &Discovery::copyFound);
        QSignalSpy lost(&looker, &Discovery::copyLost);
        QSignalSpy lookerState(&looker, &Discovery::availabilityChanged);
        QSignalSpy hostFound(&host, &Discovery::copyFound);
        QSignalSpy hostName(&host, &Discovery::published);
        QSignalSpy rivalName(&rival, &Discovery::published);
        for (Discovery* d : {static_cast<Discovery*>(&host), static_cast<Discovery*>(&looker),
                             static_cast<Discovery*>(&rival)})
            d->start();
        QTRY_VERIFY_WITH_TIMEOUT(host.isAvailable() && looker.isAvailable() && rival.isAvailable(),
                                 Timeout);

        const QString alice = QStringLiteral("Alice's copy & more");
        host.publish({alice, 7777, QStringLiteral("192.0.2.1"), true, QStringLiteral("3.0")});
        QTRY_COMPARE_WITH_TIMEOUT(names(hostName), QStringList{alice}, Timeout);
        QTRY_COMPARE_WITH_TIMEOUT(lastFound(found, alice).address, QString("192.0.2.1"), Timeout);
        WaitingCopy seen = lastFound(found, alice);
        QCOMPARE(seen.port, quint16(7777));
        QVERIFY(seen.secure);
        QCOMPARE(seen.version, QString("3.0"));

        // What the waiting copy shows changes: the looker hears it.
        host.publish({alice, 7777, QStringLiteral("2001:db8::1"), false, QStringLiteral("3.0")});
        QTRY_COMPARE_WITH_TIMEOUT(lastFound(found, alice).address, QString("2001:db8::1"), Timeout);
        QVERIFY(!lastFound(found, alice).secure);

        // A second copy asking for the same name gets another one.
        rival.publish({alice, 7778, QStringLiteral("192.0.2.2"), true, QStringLiteral("3.0")});
        QTRY_COMPARE_WITH_TIMEOUT(rivalName.size(), 1, Timeout);
        const QString second = rivalName.at(0).at(0).toString();
        QVERIFY2(second != alice && second.startsWith(alice), qPrintable(second));
        QTRY_COMPARE_WITH_TIMEOUT(lastFound(found, second).port, quint16(7778), Timeout);
        // A waiting copy lists the other one, never itself.
        QTRY_VERIFY_WITH_TIMEOUT(names(hostFound).contains(second), Timeout);
        QVERIFY(!names(hostFound).contains(alice));

        host.withdraw();
        QTRY_VERIFY_WITH_TIMEOUT(names(lost).contains(alice), Timeout);
        QVERIFY(!names(lost).contains(second));

        // The daemon stops: discovery is off and nothing stays listed.
        const qint64 pid = qEnvironmentVariable("VANTREL_AVAHI_PID").toLongLong();
        QCOMPARE(::kill(pid_t(pid), SIGTERM), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!looker.isAvailable(), Timeout);
        QCOMPARE(lookerState.last().at(0).toBool(), false);
        QVERIFY(!lookerState.last().at(1).toString().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(names(lost).contains(second), Timeout);
    }
};

QTEST_GUILESS_MAIN(TstPlatformAvahi)
#include "tst_platform_avahi.moc"
