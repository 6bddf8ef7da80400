#include <QAction>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "FakeDiscovery.h"
#include "RecordingDialogServices.h"
#include "WidgetLookup.h"
#include "app/NearbyCopies.h"
#include "app/frmMain.h"
#include "platform/FileOps.h"
#include "protocol/Session.h"

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

WaitingCopy copy(const QString& name, const QString& address, bool secure = true,
                 quint16 port = 7777) {
    return WaitingCopy{name, address, port, secure, QStringLiteral("3.0")};
}

} // namespace

// The list of copies waiting on this network and this copy's announcement,
// with the network played by a fake behind the discovery interface.
class TstAppNearby : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    RecordingDialogServices rec;
    std::unique_ptr<frmMain> w;
    FakeDiscovery* fake = nullptr;
    quint16 port = 0;

    void start(bool available = true) {
        dir = std::make_unique<QTemporaryDir>();
        QTcpServer probe; // a port free on loopback
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
        probe.close();
        QVERIFY(FileOps::writeFile(dir->filePath("port.dat"), QByteArray::number(port) + "\r\n"));
        QVERIFY(FileOps::writeFile(dir->filePath("opt.dne"), "1"));
        rec = RecordingDialogServices();
        w = std::make_unique<frmMain>(dir->path(), rec);
        auto owned = std::make_unique<FakeDiscovery>();
        fake = owned.get();
        fake->available = available;
        w->setDiscovery(std::move(owned));
        QVERIFY(fake->started);
    }
    QPushButton* button() const { return child<QPushButton>(w.get(), "cmdCopies"); }
    QStringList listed() const {
        QStringList names;
        for (const WaitingCopy& c : w->nearbyCopies().copies().copies())
            names << c.name;
        return names;
    }
    // The menu as the user opens it.
    QList<QAction*> menuItems() const {
        QMenu* menu = button()->menu();
        emit menu->aboutToShow();
        return menu->actions();
    }
    QStringList statusLines() const {
        QStringList lines;
        auto* list = child<QListWidget>(w.get(), "List1");
        for (int i = 0; i < list->count(); ++i)
            if (!list->item(i)->text().startsWith("To connect:")) // the first start's guidance
                lines << list->item(i)->text();
        return lines;
    }

private slots:
    void cleanup() {
        w.reset();
        // Discovery never shows a message box.
        QCOMPARE(rec.entries("message:"), QStringList());
    }

    // Each step is what the network brings, then what the list shows.
    void listFollowsTheNetwork() {
        start();
        QVERIFY(!button()->isHidden());
        QVERIFY(!button()->isEnabled());
        struct Step {
            const char* what;
            bool leave;
            WaitingCopy copy;
            QStringList names;
        };
        const QString longName(64, QLatin1Char('n'));
        const Step steps[] = {
            {"first copy", false, copy("alice", "192.0.2.5"), {"alice"}},
            {"second copy", false, copy("bob", "2001:db8::2", false), {"alice", "bob"}},
            {"first changes its address", false, copy("alice", "192.0.2.9"), {"alice", "bob"}},
            {"address of two lines", false, copy("eve", "1.2.3.4\nIP:5.6.7.8"), {"alice", "bob"}},
            {"empty address", false, copy("eve", " "), {"alice", "bob"}},
            {"no name", false, copy("", "192.0.2.3"), {"alice", "bob"}},
            {"name too long", false, copy(longName, "192.0.2.3"), {"alice", "bob"}},
            {"no port", false, copy("eve", "192.0.2.3", true, 0), {"alice", "bob"}},
            {"unknown copy leaves", true, copy("carol", ""), {"alice", "bob"}},
            {"first leaves", true, copy("alice", ""), {"bob"}},
            {"second leaves", true, copy("bob", ""), {}},
        };
        for (const Step& s : steps) {
            if (s.leave)
                fake->leave(s.copy.name);
            else
                fake->announce(s.copy);
            QVERIFY2(listed() == s.names, s.what);
            const int n = int(s.names.size());
            QCOMPARE(menuItems().size(), n);
            QCOMPARE(button()->isEnabled(), n > 0);
            QCOMPARE(button()->text(), n == 0   ? QString("None waiting")
                                       : n == 1 ? QString("1 copy waiting")
                                                : QString("%1 copies waiting").arg(n));
        }
        // The changed address is the one listed.
        fake->announce(copy("alice", "192.0.2.9"));
        QCOMPARE(w->nearbyCopies().copies().find("alice")->address, QString("192.0.2.9"));
    }

    // Choosing a copy puts its published address text into the box as it
    // is, and Connect goes to the port that copy waits on.
    void choosingACopyConnectsToIt() {
        start();
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::LocalHost));
        QVERIFY(other.serverPort() != port);
        fake->announce(copy("Tom & Jerry", "2001:db8::7"));
        fake->announce(copy("loop", "127.0.0.1", false, other.serverPort()));
        const QList<QAction*> items = menuItems();
        QCOMPARE(items.size(), 2);
        QCOMPARE(items[0]->text(), QString("Tom && Jerry \u2014 2001:db8::7 (secure)"));
        QCOMPARE(items[1]->text(), QString("loop \u2014 127.0.0.1"));
        auto* txtConnect = child<QLineEdit>(w.get(), "txtConnect");
        items[0]->trigger();
        QCOMPARE(txtConnect->text(), QString("2001:db8::7"));
        items[1]->trigger();
        QCOMPARE(txtConnect->text(), QString("127.0.0.1"));
        child<QPushButton>(w.get(), "Command2")->click();
        QTRY_VERIFY_WITH_TIMEOUT(other.hasPendingConnections(), 10000);
        QVERIFY(w->session().IsConnected());
        // A typed address uses the port of port.dat again.
        txtConnect->setText("127.0.0.2");
        QCOMPARE(w->nearbyCopies().portFor("127.0.0.2", "7777"), QString("7777"));
    }

    // Announced from Wait for Connect until the wait ends, by Disconnect or
    // by a connection; what the window shows is what is announced.
    void announcedWhileWaiting() {
        start();
        QVERIFY(!fake->announced);
        child<QPushButton>(w.get(), "Command1")->click();
        QVERIFY(w->session().IsWaiting());
        QVERIFY(fake->announced);
        QCOMPARE(fake->announced->name, QSysInfo::machineHostName());
        QCOMPARE(fake->announced->port, port);
        QCOMPARE(fake->announced->address, child<QLineEdit>(w.get(), "txtIP")->text());
        QVERIFY(fake->announced->secure);
        QCOMPARE(fake->announced->version, QString(VANTREL_VERSION));

        child<QLineEdit>(w.get(), "txtIP")->setText("2001:db8::42");
        QCOMPARE(fake->announced->address, QString("2001:db8::42"));
        child<QAction>(w.get(), "optsecure")->trigger();
        QVERIFY(!fake->announced->secure);
        rec.onModal = [](QDialog& d) {
            static_cast<QInputDialog&>(d).setTextValue("  Kitchen   laptop ");
            return int(QDialog::Accepted);
        };
        child<QAction>(w.get(), "optname")->trigger();
        QCOMPARE(fake->announced->name, QString("Kitchen laptop"));
        QCOMPARE(readAll(dir->filePath("name.dat")), QByteArray("Kitchen laptop\r\n"));

        // Heard back under the name the network gave it: not listed.
        fake->renameTo = "Kitchen laptop #2";
        child<QLineEdit>(w.get(), "txtIP")->setText("192.0.2.42");
        fake->announce(copy("Kitchen laptop #2", "192.0.2.42"));
        QCOMPARE(listed(), QStringList());

        child<QAction>(w.get(), "fledisc")->trigger();
        QVERIFY(!fake->announced);

        child<QPushButton>(w.get(), "Command1")->click();
        QVERIFY(fake->announced);
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QTRY_VERIFY_WITH_TIMEOUT(w->session().IsConnected(), 10000);
        QVERIFY(!fake->announced);

        // The name chosen is kept for the next start.
        w.reset();
        w = std::make_unique<frmMain>(dir->path(), rec);
        QCOMPARE(w->networkName(), QString("Kitchen laptop"));
    }

    // No daemon, or one that stops: one quiet line each time, the list
    // emptied and the button gone, never a message box.
    void daemonMissingOrStopping() {
        start(false);
        const QString off =
            "Copies waiting on this network cannot be listed: the avahi-daemon service is not "
            "running.";
        QCOMPARE(statusLines(), QStringList{off});
        QVERIFY(button()->isHidden());
        fake->setAvailable(false);
        QCOMPARE(statusLines(), QStringList{off});
        fake->setAvailable(true);
        QVERIFY(!button()->isHidden());
        QCOMPARE(statusLines(),
                 (QStringList{off, "Copies waiting on this network are listed again."}));
        fake->announce(copy("alice", "192.0.2.5"));
        fake->setAvailable(false);
        QCOMPARE(listed(), QStringList());
        QVERIFY(button()->isHidden());
        QCOMPARE(statusLines().size(), 3);
        QCOMPARE(statusLines().last(), off);
    }

    // 10,000 announcements and withdrawals: never more than 64 listed or in
    // the menu, and a slot freed by a copy that leaves is used again.
    void floodStaysBounded() {
        start();
        constexpr int N = 10000;
        int most = 0;
        for (int i = 0; i < N; ++i) {
            fake->announce(copy(QStringLiteral("copy %1").arg(i), "192.0.2.1"));
            if (i % 2)
                fake->leave(QStringLiteral("copy %1").arg(i - 1));
            most = qMax(most, int(listed().size()));
        }
        // Full at 64: each new name gets in only after one has left.
        QCOMPARE(most, WaitingCopies::Capacity);
        QCOMPARE(listed().size(), WaitingCopies::Capacity - 1);
        fake->announce(copy("x", "192.0.2.1"));
        fake->announce(copy("y", "192.0.2.1"));
        QCOMPARE(listed().size(), WaitingCopies::Capacity);
        QVERIFY(!listed().contains("y"));
        QCOMPARE(menuItems().size(), WaitingCopies::Capacity);
        QCOMPARE(button()->text(), QString("64 copies waiting"));
        fake->leave("x");
        for (int i = 0; i < N; ++i)
            fake->leave(QStringLiteral("copy %1").arg(i));
        QCOMPARE(listed(), QStringList());
        QCOMPARE(menuItems().size(), 0);
        fake->announce(copy("late", "192.0.2.2"));
        QCOMPARE(listed(), QStringList{"late"});
    }
};

QTEST_MAIN(TstAppNearby)
#include "tst_app_nearby.moc"
