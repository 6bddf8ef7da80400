// Desktop notifications over a private session bus with a stand-in for the
// desktop's notification service.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include "platform/QtServices.h"

namespace {

// The service's one method the program calls; every call is kept.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString app, icon, summary, body;
        uint replaces = 0;
        QStringList actions;
        QVariantMap hints;
        int timeout = 0;
    };
    QList<Call> calls;

public slots:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int timeout) {
        calls.append({app, icon, summary, body, replaces, actions, hints, timeout});
        return uint(calls.size());
    }
};

QProcess* g_bus = nullptr;

} // namespace

class TstPlatformNotify : public QObject {
    Q_OBJECT
private slots:
    void notificationReachesTheService() {
        if (!g_bus)
            QSKIP("dbus-daemon is not installed");
        QDBusConnection fake = QDBusConnection::connectToBus(
            QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")), "fake");
        QVERIFY(fake.isConnected());
        FakeNotifications service;
        QVERIFY(fake.registerObject("/org/freedesktop/Notifications", &service,
                                    QDBusConnection::ExportAllSlots));
        QVERIFY(fake.registerService("org.freedesktop.Notifications"));

        QtServices services;
        // A received line is plain text, never markup for the service.
        services.notify("Chat line received", "see <a href=\"x\">this</a> & <b>that</b>");
        QTRY_COMPARE_WITH_TIMEOUT(service.calls.size(), 1, 10000);
        const FakeNotifications::Call& c = service.calls.first();
        QCOMPARE(c.app, QString("Vantrel"));
        QCOMPARE(c.summary, QString("Chat line received"));
        QCOMPARE(c.body, QString("see &lt;a href=&quot;x&quot;&gt;this&lt;/a&gt; &amp; "
                                 "&lt;b&gt;that&lt;/b&gt;"));
        QCOMPARE(c.hints.value("desktop-entry").toString(), QString("net.orvane.Vantrel"));
        QCOMPARE(c.timeout, -1);

        // Without the service nothing is started, shown or reported.
        QVERIFY(fake.unregisterService("org.freedesktop.Notifications"));
        services.notify("File received", "lost.txt");
        // The bus handles one connection's messages in order: once this
        // question on the program's connection is answered, the
        // notification before it has gone nowhere.
        QVERIFY(!QDBusConnection::sessionBus()
                     .interface()
                     ->isServiceRegistered("org.freedesktop.Notifications")
                     .value());
        QVERIFY(fake.registerService("org.freedesktop.Notifications"));
        services.notify("File received", "report.txt");
        QTRY_COMPARE_WITH_TIMEOUT(service.calls.size(), 2, 10000);
        QCOMPARE(service.calls.last().body, QString("report.txt"));
        QDBusConnection::disconnectFromBus("fake");
    }
};

int main(int argc, char** argv) {
    // A bus of our own, named before anything asks for the session bus.
    QProcess bus;
    const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
    if (!daemon.isEmpty()) {
        bus.start(daemon, {"--session", "--nofork", "--print-address"});
        if (bus.waitForStarted() && bus.waitForReadyRead(10000)) {
            qputenv("DBUS_SESSION_BUS_ADDRESS", bus.readLine().trimmed());
            g_bus = &bus;
        }
    }
    QApplication app(argc, argv);
    TstPlatformNotify t;
    const int result = QTest::qExec(&t, argc, argv);
    bus.kill();
    bus.waitForFinished();
    return result;
}

#include "tst_platform_notify.moc"
