#include <QAction>
#include <QListWidget>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "FakeRouter.h"
#include "RecordingDialogServices.h"
#include "WidgetLookup.h"
#include "app/RouterPort.h"
#include "app/frmMain.h"
#include "platform/FileOps.h"

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Records what the window asks of the router.
class RecordingMapper : public PortMapper {
public:
    explicit RecordingMapper(QStringList& log) : m_log(log) {}
    void open(quint16 port) override { m_log << QStringLiteral("open:%1").arg(port); }
    void release() override { m_log << QStringLiteral("release"); }

private:
    QStringList& m_log;
};

} // namespace

// The router question, router.dat, the Options item, and when the main
// window opens and closes the port.
class TstAppRouter : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    RecordingDialogServices rec;
    std::unique_ptr<frmMain> w;
    QStringList mapperLog;
    quint16 port = 0;

    QString file(const char* name) const { return dir->path() + '/' + name; }
    // A window on a fresh folder; `routerDat` is router.dat's content
    // ("<missing>": no file). `recording`: the router is a recorder.
    void start(const QByteArray& routerDat, bool recording = true) {
        w.reset();
        dir = std::make_unique<QTemporaryDir>();
        rec = RecordingDialogServices();
        mapperLog.clear();
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
        probe.close();
        QVERIFY(FileOps::writeFile(file("port.dat"), QByteArray::number(port) + "\r\n"));
        QVERIFY(FileOps::writeFile(file("opt.dne"), "Done\r\n"));
        if (routerDat != "<missing>")
            QVERIFY(FileOps::writeFile(file("router.dat"), routerDat));
        w = std::make_unique<frmMain>(dir->path(), rec);
        if (recording)
            w->routerPort().setMapper(std::make_unique<RecordingMapper>(mapperLog));
    }
    void waitForConnect() { child<QPushButton>(w.get(), "Command1")->click(); }
    QAction* item() const { return child<QAction>(w.get(), "optrouter"); }
    QString opened() const { return QStringLiteral("open:%1").arg(port); }

private slots:
    void cleanup() { w.reset(); }

    void choice_data() {
        QTest::addColumn<QByteArray>("routerDat");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("not asked, yes")
            << QByteArray("<missing>") << true << true << true << QByteArray("1\r\n");
        QTest::newRow("empty file, no")
            << QByteArray() << false << true << false << QByteArray("0\r\n");
        QTest::newRow("unreadable line, no")
            << QByteArray("maybe\r\n") << false << true << false << QByteArray("0\r\n");
        QTest::newRow("no: never asked, nothing sent")
            << QByteArray("0\r\n") << true << false << false << QByteArray("0\r\n");
        QTest::newRow("yes") << QByteArray("1\r\n") << false << false << true
                             << QByteArray("1\r\n");
    }
    // Asked once, on the first Wait for Connect; the answer kept; the port
    // opened on each wait and released when the wait is ended.
    void choice() {
        QFETCH(QByteArray, routerDat);
        QFETCH(bool, answer);
        QFETCH(bool, asked);
        QFETCH(bool, opens);
        QFETCH(QByteArray, stored);
        start(routerDat);
        QCOMPARE(item()->isChecked(), routerDat.startsWith('1'));
        rec.questionAnswer = answer;
        waitForConnect();
        waitForConnect();
        QCOMPARE(rec.entries("question:Open Port on Router:").size(), asked ? 1 : 0);
        QCOMPARE(readAll(file("router.dat")), stored);
        QCOMPARE(item()->isChecked(), opens);
        child<QAction>(w.get(), "fledisc")->trigger();
        QCOMPARE(mapperLog, (opens ? QStringList{opened(), opened(), "release"} : QStringList()));
    }

    // The Options item opens the port during a wait and closes it again.
    void menuItemDuringWait() {
        start("0\r\n");
        waitForConnect();
        item()->trigger();
        QCOMPARE(readAll(file("router.dat")), QByteArray("1\r\n"));
        item()->trigger();
        QCOMPARE(readAll(file("router.dat")), QByteArray("0\r\n"));
        QCOMPARE(mapperLog, (QStringList{opened(), "release"}));
        QVERIFY(rec.entries("question:").isEmpty());
    }

    // The wait ends with a connection, or with Exit: the port is closed.
    void waitEnds_data() {
        QTest::addColumn<bool>("byConnection");
        QTest::newRow("a connection comes") << true;
        QTest::newRow("Exit") << false;
    }
    void waitEnds() {
        QFETCH(bool, byConnection);
        start("1\r\n");
        waitForConnect();
        QTcpSocket peer;
        if (byConnection)
            peer.connectToHost(QHostAddress::LocalHost, port);
        else
            child<QAction>(w.get(), "fleext")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(mapperLog, (QStringList{opened(), "release"}), 20000);
        QCOMPARE(rec.ended, !byConnection);
    }

    // With a router on loopback: the line that tells where the other person
    // can connect, and the mapping gone on Exit.
    void reachableLineAndExit() {
        FakeIgd igd;
        QVERIFY(igd.start());
        start("1\r\n", false);
        w->routerPort().setTarget({igd.descriptionUrl(), "127.0.0.3"});
        waitForConnect();
        auto* list = child<QListWidget>(w.get(), "List1");
        const QString line = QStringLiteral("Reachable from the internet at 203.0.113.7:%1 (the "
                                            "router forwards the port).")
                                 .arg(port);
        QTRY_COMPARE_WITH_TIMEOUT(list->item(list->count() - 1)->text(), line, 20000);
        QCOMPARE(igd.callsTo("AddPortMapping").size(), 1);
        child<QAction>(w.get(), "fleext")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(igd.callsTo("DeletePortMapping").size(), 1, 20000);
        QCOMPARE(igd.callsTo("DeletePortMapping").first().args.value("NewExternalPort"),
                 QString::number(port));
    }
};

QTEST_MAIN(TstAppRouter)
#include "tst_app_router.moc"
