// Two main windows in one process, each in its own folder, used the way a
// person uses them: buttons, Enter, the menus, a dropped file.
#include "PeerFixture.h"
#include "RecordingDialogServices.h"
#include "WidgetLookup.h"

#include "app/frmMain.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

namespace {

struct Window {
    QTemporaryDir dir;
    RecordingDialogServices services;
    std::unique_ptr<frmMain> w;
    explicit Window(const QString& port) {
        QFile f(dir.filePath("port.dat"));
        f.open(QIODevice::WriteOnly);
        f.write(port.toLatin1() + "\r\n");
        f.close();
        QFile done(dir.filePath("opt.dne"));
        done.open(QIODevice::WriteOnly);
        done.write("Done\r\n");
        done.close();
        w = std::make_unique<frmMain>(dir.path(), services);
        child<QLineEdit>(w.get(), "txtIP")->setText("127.0.0.1");
    }
    QStringList status() const {
        QStringList lines;
        const QListWidget* list = child<QListWidget>(w.get(), "List1");
        for (int i = 0; i < list->count(); ++i)
            lines << list->item(i)->text();
        return lines;
    }
};

bool connectWindows(Window& host, Window& client) {
    child<QPushButton>(host.w.get(), "Command1")->click();
    child<QLineEdit>(client.w.get(), "txtConnect")->setText("127.0.0.1");
    child<QPushButton>(client.w.get(), "Command2")->click();
    return waitFor([&] { return host.status().contains("Connected."); });
}

} // namespace

class TstIntegrationMainWindows : public QObject {
    Q_OBJECT
private slots:
    void chatThroughTheWindows() {
        const QString port = QString::number(freePort());
        Window host(port), client(port);
        // Enter before any connection does nothing.
        QTest::keyClicks(child<QLineEdit>(client.w.get(), "txtChat"), "too early");
        QTest::keyClick(child<QLineEdit>(client.w.get(), "txtChat"), Qt::Key_Return);
        QCOMPARE(child<QLineEdit>(client.w.get(), "txtChat")->text(), "too early");
        QVERIFY(client.services.log.isEmpty());
        child<QLineEdit>(client.w.get(), "txtChat")->clear();

        QVERIFY(connectWindows(host, client));
        QCOMPARE(client.status().mid(0, 2), (QStringList{"Connecting...", "Connected"}));
        QVERIFY(child<QPushButton>(client.w.get(), "Command5")->isEnabled() &&
                child<QPushButton>(host.w.get(), "Command5")->isEnabled());
        QCOMPARE(child<QLineEdit>(host.w.get(), "txtConnect")->text(), "127.0.0.1");

        QTest::keyClicks(child<QLineEdit>(client.w.get(), "txtChat"), "hello <i>host</i>");
        QTest::keyClick(child<QLineEdit>(client.w.get(), "txtChat"), Qt::Key_Return);
        QVERIFY(child<QLineEdit>(client.w.get(), "txtChat")->text().isEmpty());
        QCOMPARE(client.w->chatLogText(), "<hello <i>host</i>>\r\n");
        QVERIFY(waitFor([&] { return !host.w->chatLogText().isEmpty(); }));
        QCOMPARE(host.w->chatLogText(), "hello <i>host</i>\r\n");
        QVERIFY(!child<QLabel>(host.w.get(), "lbRecv")->text().isEmpty());
        QVERIFY(!child<QLabel>(client.w.get(), "lbSent")->text().isEmpty());

        child<QLineEdit>(host.w.get(), "txtChat")->setText("and back");
        child<QPushButton>(host.w.get(), "Command5")->click();
        QVERIFY(waitFor([&] { return client.w->chatLogText().endsWith("and back\r\n"); }));

        // File > Exit on the client: the host is told and keeps running.
        child<QAction>(client.w.get(), "fleext")->trigger();
        QVERIFY(client.services.ended);
        QVERIFY(waitFor([&] { return !host.services.entries("message:").isEmpty(); }));
        QVERIFY(!host.services.ended);
        QVERIFY(!host.w->session().IsConnected());
    }

    void fileThroughTheWindows() {
        const QString port = QString::number(freePort());
        Window host(port), client(port);
        // Not connected: Select and the menu refuse.
        child<QPushButton>(client.w.get(), "Command3")->click();
        child<QAction>(client.w.get(), "flesend")->trigger();
        QCOMPARE(client.services.log,
                 (QStringList{"message:You are not connected.", "message:You are not connected."}));
        client.services.log.clear();
        child<QPushButton>(client.w.get(), "Command4")->click();
        QCOMPARE(client.services.log, QStringList{"message:Define or Select a File to Send."});

        QVERIFY(connectWindows(host, client));
        const QString path = client.dir.filePath("dropped file.txt");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(2500, 'v'));
        f.close();

        // The file is dropped on the window, then sent with the Send button.
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(client.w.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(client.w.get(), &drop);
        QCOMPARE(child<QLineEdit>(client.w.get(), "Text2")->text(), path);

        child<QPushButton>(client.w.get(), "Command4")->click();
        QVERIFY(waitFor([&] { return host.status().contains("File Received."); }));
        QCOMPARE(readAll(host.dir.filePath("Recv/dropped file.txt")), QByteArray(2500, 'v'));
        QVERIFY(waitFor([&] { return client.status().contains("File Transferred."); }));
        QVERIFY(child<QProgressBar>(client.w.get(), "ProgressBar1")->isHidden());
        QCOMPARE(child<QProgressBar>(client.w.get(), "ProgressBar1")->value(), 100);

        // The menu asks first; Yes sends the chosen file.
        client.services.fileName = path;
        client.services.questionAnswer = true;
        child<QAction>(client.w.get(), "flesend")->trigger();
        QVERIFY(client.services.log.contains("question:Send Confirm:Are you sure you want to "
                                             "send the file " +
                                             path + "?"));
        QVERIFY(
            waitFor([&] { return QFile::exists(host.dir.filePath("Recv/dropped file (2).txt")); }));

        // Closing the host window ends the client's program.
        host.w->close();
        QVERIFY(waitFor([&] { return client.services.ended; }));
        for (Window* win : {&host, &client})
            for (const QString& n : QDir(win->dir.path()).entryList(QDir::Files))
                QVERIFY2(!n.startsWith('k'), qPrintable(n));
    }

    // The sender's Cancel button and menu item exist while a file goes; the
    // receiver's progress line while one arrives.
    void cancelAndProgressThroughTheWindows() {
        const QString port = QString::number(freePort());
        Window host(port), client(port);
        QVERIFY(connectWindows(host, client));
        client.services.clock = [n = 0]() mutable { return QString::number(++n); };
        host.w->session().receiver().setSilenceTimeout(300);
        auto* cancel = child<QPushButton>(client.w.get(), "cmdCancel");
        auto* cancelItem = child<QAction>(client.w.get(), "flecancel");
        auto* progress = child<QLabel>(host.w.get(), "lbRecvProgress");
        QVERIFY(cancel->isHidden() && !cancelItem->isEnabled() && progress->isHidden());

        const QString path = client.dir.filePath("big.bin");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(20 * 1000 * 1000, 'b'));
        f.close();
        child<QLineEdit>(client.w.get(), "Text2")->setText(path);
        for (int round = 0; round < 2; ++round) {
            const int cancelled = client.status().count("Sending cancelled.");
            child<QPushButton>(client.w.get(), "Command4")->click();
            QVERIFY(!cancel->isHidden() && cancelItem->isEnabled());
            QCOMPARE(cancel->text(), QString("Cancel"));
            QVERIFY(waitFor([&] { return progress->text().startsWith("Receiving: "); }));
            QVERIFY(!progress->isHidden());
            if (round == 0)
                cancel->click();
            else
                cancelItem->trigger();
            QCOMPARE(client.status().count("Sending cancelled."), cancelled + 1);
            QVERIFY(cancel->isHidden() && !cancelItem->isEnabled());
            QVERIFY(!client.w->session().sender().busy());
            // The receiver, hearing nothing more, ends its reception.
            QVERIFY(waitFor([&] { return progress->isHidden(); }));
            QVERIFY(!host.w->session().receiver().ClientRecv());
        }
        QVERIFY(!QFile::exists(host.dir.filePath("Recv/big.bin")));
    }

    // Several files dropped or chosen at once go one after another, each
    // confirmed first.
    void severalFilesThroughTheWindows() {
        const QString port = QString::number(freePort());
        Window host(port), client(port);
        QVERIFY(connectWindows(host, client));
        client.services.clock = [n = 0]() mutable { return QString::number(++n); };
        client.services.questionAnswer = true;
        QStringList paths;
        for (const char* name : {"one.txt", "two.txt", "three.txt", "four.txt"}) {
            paths << client.dir.filePath(name);
            QFile f(paths.last());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(1500, name[1]));
        }
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(paths[0]), QUrl::fromLocalFile(paths[1])});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(client.w.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(client.w.get(), &drop);
        QVERIFY(child<QLineEdit>(client.w.get(), "Text2")->text().isEmpty());
        QVERIFY(waitFor([&] { return host.status().count("File Received.") == 2; }));

        client.services.fileNames = paths.mid(2);
        child<QAction>(client.w.get(), "flesend")->trigger();
        QVERIFY(waitFor([&] { return host.status().count("File Received.") == 4; }));
        for (const QString& path : paths)
            QCOMPARE(readAll(host.dir.filePath("Recv/" + QFileInfo(path).fileName())),
                     readAll(path));
        QCOMPARE(client.services.entries("question:Send Confirm:").size(), 4);
    }
};

QTEST_MAIN(TstIntegrationMainWindows)
#include "tst_integration_main_windows.moc"
