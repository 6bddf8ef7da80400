// Two main windows in one process, each in its own folder, used the way a
// person uses them: buttons, Enter, the menus, a dropped file.
#include "NoRouter.h"
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
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QToolButton>

namespace {

struct Window {
    QTemporaryDir dir;
    RecordingDialogServices services;
    std::unique_ptr<frmMain> w;
    // `installed`: the folder is the user's data folder and received files go
    // to Downloads/Vantrel inside it, made when the first file arrives.
    explicit Window(const QString& port, bool installed = false) {
        QFile f(dir.filePath("port.dat"));
        f.open(QIODevice::WriteOnly);
        f.write(port.toLatin1() + "\r\n");
        f.close();
        QFile done(dir.filePath("opt.dne"));
        done.open(QIODevice::WriteOnly);
        done.write("Done\r\n");
        done.close();
        writeNoRouter(dir.path());
        ProgramFolders folders = ProgramFolders::portable(dir.path());
        if (installed) {
            folders.mode = ProgramFolders::Mode::Installed;
            folders.recvDir = dir.filePath("Downloads/Vantrel/");
            folders.makeRecvAtStartUp = false;
        }
        w = std::make_unique<frmMain>(folders, services);
        child<QLineEdit>(w.get(), "txtIP")->setText("127.0.0.1");
    }
    // Writes big.bin of `bytes` bytes into this side's folder and puts its
    // path into the Filename box.
    QString bigFileInTheBox(int bytes) {
        const QString path = dir.filePath("big.bin");
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(bytes, 'b'));
        f.close();
        child<QLineEdit>(w.get(), "Text2")->setText(path);
        return path;
    }
    // The status lines after the one that says how to connect.
    QStringList status() const {
        QStringList lines;
        const QListWidget* list = child<QListWidget>(w.get(), "List1");
        for (int i = 1; i < list->count(); ++i)
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
        // Each conversation begins under a line with the time.
        static const QRegularExpression separator(
            "^----- New connection \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d -----\r\n");
        QVERIFY2(client.w->chatLogText().contains(separator), qPrintable(client.w->chatLogText()));
        QVERIFY(client.w->chatLogText().endsWith("\r\n<hello <i>host</i>>\r\n"));
        QVERIFY(waitFor([&] { return host.w->chatLogText().endsWith("host</i>\r\n"); }));
        QVERIFY(host.w->chatLogText().contains(separator));
        QCOMPARE(host.w->chatLogText().section("\r\n", 1), "hello <i>host</i>\r\n");
        // The bars keep their exact values and show them a moment later.
        QVERIFY(!host.w->receiveBarText().isEmpty() && !client.w->sendBarText().isEmpty());
        QTRY_COMPARE(child<QLabel>(host.w.get(), "lbRecv")->text(), host.w->receiveBarText());
        QTRY_COMPARE(child<QLabel>(client.w.get(), "lbSent")->text(), client.w->sendBarText());

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

    // Secure: the code beside the mode label, readable and copyable, the
    // same on both sides; no legacy key check offered; no false address
    // warning; the client stays when the host leaves. Legacy: said so, with
    // the key check and the warning.
    void connectionModeShownInBothWindows() {
        const QString port = QString::number(freePort());
        Window host(port), client(port);
        // The client names an address the connection does not come from.
        child<QLineEdit>(client.w.get(), "txtIP")->setText("10.9.8.7");
        QVERIFY(connectWindows(host, client));
        auto* hostMode = child<QLabel>(host.w.get(), "lbSecure");
        auto* clientMode = child<QLabel>(client.w.get(), "lbSecure");
        QVERIFY(waitFor([&] {
            return hostMode->text().startsWith("Secure") && clientMode->text().startsWith("Secure");
        }));
        const QStringList line = host.status().filter("Secure. Code: ");
        QCOMPARE(line.size(), 1);
        QCOMPARE(client.status().filter("Secure. Code: "), line);
        const QString code = line[0].right(9);
        QCOMPARE(hostMode->text(), QString::fromUtf8("Secure \u00b7 ") + code);
        QCOMPARE(clientMode->text(), hostMode->text());
        QVERIFY(hostMode->textInteractionFlags() & Qt::TextSelectableByMouse);
        QVERIFY(QFontMetrics(hostMode->font()).height() >= 16);
        QVERIFY(QFontMetrics(hostMode->font()).horizontalAdvance(hostMode->text()) <=
                hostMode->width());
        for (const Window* w : {&host, &client}) {
            QVERIFY(w->status().filter("Key check").isEmpty());
            QVERIFY(w->status().filter("chat may not be readable").isEmpty());
        }

        // The host leaves: the client says so and stays, with its log.
        child<QAction>(host.w.get(), "fledisc")->trigger();
        QVERIFY(waitFor([&] { return clientMode->text().isEmpty(); }));
        QVERIFY(waitFor([&] { return !client.services.entries("message:").isEmpty(); }));
        QCOMPARE(client.status().last(), "The other person ended the connection.");
        QVERIFY(!client.services.ended);
        client.w->close();

        // The other side switched secure connections off: legacy, shown so.
        Window other(port);
        child<QLineEdit>(other.w.get(), "txtIP")->setText("10.9.8.7");
        child<QAction>(other.w.get(), "optsecure")->trigger();
        child<QPushButton>(host.w.get(), "Command1")->click();
        child<QLineEdit>(other.w.get(), "txtConnect")->setText("127.0.0.1");
        child<QPushButton>(other.w.get(), "Command2")->click();
        QVERIFY(waitFor([&] { return hostMode->text() == "Legacy, not secure"; }, 10000));
        QVERIFY(hostMode->toolTip().startsWith("Legacy connection"));
        QVERIFY(child<QLabel>(other.w.get(), "lbSecure")->text() == "Legacy, not secure");
        QVERIFY(waitFor([&] {
            return other.status().contains("The other side offers a secure connection; it is "
                                           "switched off here (Options), so only the legacy "
                                           "cipher protects this connection.");
        }));
        QCOMPARE(host.status().filter("chat may not be readable").size(), 1);
        QVERIFY(!host.status().filter("Key check").isEmpty());
        QVERIFY(!other.status().filter("Key check").isEmpty());
    }

    // Until it is known whether the connection will be secure, the label
    // says so and a typed line waits; it goes out once that is decided.
    void typedLineWaitsWhileSecuring() {
        QTcpServer oldHost; // a peer that never offers a secure connection
        QVERIFY(oldHost.listen(QHostAddress::LocalHost, 0));
        Window client(QString::number(oldHost.serverPort()));
        child<QLineEdit>(client.w.get(), "txtConnect")->setText("127.0.0.1");
        child<QPushButton>(client.w.get(), "Command2")->click();
        QVERIFY(waitFor([&] { return oldHost.hasPendingConnections(); }));
        QTcpSocket* peer = oldHost.nextPendingConnection();
        QCOMPARE(child<QLabel>(client.w.get(), "lbSecure")->text(),
                 QString::fromUtf8("Securing\u2026"));
        QLineEdit* box = child<QLineEdit>(client.w.get(), "txtChat");
        box->setText("typed at once");
        QTest::keyClick(box, Qt::Key_Return);
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        waitFor([&] {
            got += peer->readAll();
            return got.contains("CT:") || clock.elapsed() > 2000;
        });
        QCOMPARE(got, QByteArray("IP:127.0.0.1"));
        QVERIFY(waitFor(
            [&] {
                got += peer->readAll();
                return got.contains("CT:");
            },
            10000));
        QVERIFY(clock.elapsed() >= 2500);
        QCOMPARE(child<QLabel>(client.w.get(), "lbSecure")->text(), "Legacy, not secure");
    }

    // The file dialog opens in the home folder first, then where the last
    // file was chosen, never among the key files; an installed receiver makes
    // its download folder when the file arrives.
    void fileDialogFolderAndReceiveFolder() {
        QTemporaryDir home;
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        const QString port = QString::number(freePort());
        Window host(port, true), client(port);
        QVERIFY(!QFileInfo::exists(host.dir.filePath("Downloads")));
        QVERIFY(connectWindows(host, client));

        const QString picked = home.filePath("papers/notes.txt");
        QVERIFY(QDir().mkpath(home.filePath("papers")));
        QFile f(picked);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("notes");
        f.close();

        client.services.log.clear();
        child<QPushButton>(client.w.get(), "Command3")->click(); // cancelled
        client.services.fileName = picked;
        child<QPushButton>(client.w.get(), "Command3")->click();
        child<QPushButton>(client.w.get(), "Command3")->click();
        client.services.fileName.clear();
        child<QAction>(client.w.get(), "flesend")->trigger();
        QVERIFY(QDir(home.filePath("papers")).removeRecursively());
        child<QPushButton>(client.w.get(), "Command3")->click();
        const QString homeDir = QDir::homePath();
        QCOMPARE(
            client.services.entries("open:"),
            (QStringList{"open:" + homeDir, "open:" + homeDir, "open:" + home.filePath("papers"),
                         "open:" + home.filePath("papers"), "open:" + homeDir}));
        QCOMPARE(child<QLineEdit>(client.w.get(), "Text2")->text(),
                 QDir::toNativeSeparators(picked));

        QVERIFY(QDir().mkpath(home.filePath("papers")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("notes");
        f.close();
        child<QPushButton>(client.w.get(), "Command4")->click();
        QVERIFY(waitFor([&] { return host.status().contains("File Received."); }));
        QCOMPARE(readAll(host.dir.filePath("Downloads/Vantrel/notes.txt")), QByteArray("notes"));
        QVERIFY(!QFileInfo::exists(host.dir.filePath("Recv")));
        qputenv("HOME", oldHome);
    }

    // A line or a file that arrives while the window is in the background:
    // the taskbar entry asks for attention and a notification shows the
    // first 80 characters of the line, or the file's name. The window in
    // front stays quiet.
    void arrivalsInTheBackground() {
        const QString port = QString::number(freePort());
        Window host(port), client(port);
        QVERIFY(connectWindows(host, client));
        client.w->show();
        host.w->show();
        host.w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(host.w.get()));
        QVERIFY(!client.w->isActiveWindow());
        host.services.log.clear();
        client.services.log.clear();
        auto attention = [](const Window& win) {
            QStringList calls;
            for (const QString& entry : win.services.log)
                if (entry.startsWith("alert:") || entry.startsWith("notify:"))
                    calls << entry;
            return calls;
        };

        // 79 letters, then a character of two UTF-16 units, then more.
        const QString face = QString::fromUtf8("\xF0\x9F\x98\x80");
        const QString line = QString(79, 'a') + face + QString(20, 'b');
        child<QLineEdit>(host.w.get(), "txtChat")->setText(line);
        child<QPushButton>(host.w.get(), "Command5")->click();
        QVERIFY(waitFor([&] { return client.w->chatLogText().contains(line); }));
        QCOMPARE(
            attention(client),
            (QStringList{"alert:frmMain", "notify:Chat line received:" + QString(79, 'a') + face}));

        child<QLineEdit>(client.w.get(), "txtChat")->setText("short answer");
        child<QPushButton>(client.w.get(), "Command5")->click();
        QVERIFY(waitFor([&] { return host.w->chatLogText().contains("short answer"); }));
        QVERIFY(host.w->isActiveWindow());
        QCOMPARE(attention(host), QStringList());

        const QString path = host.dir.filePath("report.txt");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("report");
        f.close();
        child<QLineEdit>(host.w.get(), "Text2")->setText(path);
        child<QPushButton>(host.w.get(), "Command4")->click();
        QVERIFY(waitFor([&] { return client.status().contains("File Received."); }));
        const QStringList shown = client.status();
        QCOMPARE(shown.value(shown.indexOf("File Received.") + 1),
                 "Saved as " + QDir::toNativeSeparators(client.dir.filePath("Recv/report.txt")));
        QCOMPARE(attention(client).mid(2),
                 (QStringList{"alert:frmMain", "notify:File received:report.txt"}));
        QCOMPARE(attention(host), QStringList());
    }

    // File > Open Received Files makes the folder when it is still missing
    // and hands it to the file manager; a folder that cannot be made or
    // opened is reported.
    void openReceivedFiles() {
        const QString port = QString::number(freePort());
        Window installed(port, true);
        const QString downloads = installed.dir.filePath("Downloads/Vantrel");
        QVERIFY(!QFileInfo::exists(downloads));
        child<QAction>(installed.w.get(), "fleopen")->trigger();
        QVERIFY(QFileInfo(downloads).isDir());
        QCOMPARE(installed.services.log, QStringList{"openFolder:" + downloads});

        installed.services.log.clear();
        installed.services.folderOpens = false;
        child<QAction>(installed.w.get(), "fleopen")->trigger();
        QCOMPARE(installed.services.log,
                 (QStringList{"openFolder:" + downloads,
                              "message:No file manager could open the folder " + downloads + "."}));

        Window portable(port);
        QVERIFY(QDir(portable.dir.filePath("Recv")).removeRecursively());
        QFile blocker(portable.dir.filePath("Recv"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        portable.services.log.clear();
        child<QAction>(portable.w.get(), "fleopen")->trigger();
        QCOMPARE(portable.services.entries("openFolder:"), QStringList());
        QVERIFY2(portable.services.log.value(0).startsWith(
                     "message:The folder for received files, " + portable.dir.filePath("Recv") +
                     ", cannot be made: "),
                 qPrintable(portable.services.log.join('|')));
    }

    void disconnectFromTheFileMenu() {
        const QString port = QString::number(freePort());
        Window host(port), client(port);
        QAction* hostDisc = child<QAction>(host.w.get(), "fledisc");
        QAction* clientDisc = child<QAction>(client.w.get(), "fledisc");
        QVERIFY(!hostDisc->isEnabled() && !clientDisc->isEnabled());

        // While waiting it ends the wait.
        child<QPushButton>(host.w.get(), "Command1")->click();
        QVERIFY(hostDisc->isEnabled());
        hostDisc->trigger();
        QCOMPARE(host.status().last(), "Disconnected.");
        QVERIFY(!hostDisc->isEnabled());

        // While connected it ends the connection; both windows stay open.
        child<QLineEdit>(client.w.get(), "txtIP")->setText(" 127.0.0.1 ");
        QVERIFY(connectWindows(host, client));
        QCOMPARE(child<QLineEdit>(client.w.get(), "txtIP")->text(), "127.0.0.1");
        QVERIFY(hostDisc->isEnabled() && clientDisc->isEnabled());
        // The file and chat buttons follow the connection.
        const auto buttons = [&client] {
            QList<bool> enabled;
            for (const char* b : {"Command3", "Command4", "Command5"})
                enabled << child<QPushButton>(client.w.get(), b)->isEnabled();
            return enabled;
        };
        QCOMPARE(buttons(), (QList<bool>{true, true, true}));
        clientDisc->trigger();
        QCOMPARE(client.status().last(), "Disconnected.");
        QVERIFY(!clientDisc->isEnabled());
        QCOMPARE(buttons(), (QList<bool>{false, false, false}));
        QVERIFY(!client.services.ended);
        QVERIFY(waitFor(
            [&] { return host.status().contains("The other person ended the connection."); }));
        QVERIFY(!child<QPushButton>(host.w.get(), "Command5")->isEnabled());
        QVERIFY(!hostDisc->isEnabled());
        QVERIFY(!host.services.ended);
    }

    // The close box during "Connecting...": the program ends without keys,
    // though the host accepts the connection.
    void closeBoxDuringTheConnectWait() {
        const QString port = QString::number(freePort());
        Window host(port), client(port);
        child<QPushButton>(host.w.get(), "Command1")->click();
        child<QLineEdit>(client.w.get(), "txtConnect")->setText("127.0.0.1");
        bool once = false;
        client.services.onProcessEvents = [&] {
            if (!once) {
                once = true;
                client.w->close();
            }
        };
        child<QPushButton>(client.w.get(), "Command2")->click();
        QVERIFY(once);
        QCOMPARE(client.status(), QStringList{"Connecting..."});
        QVERIFY(client.services.log.isEmpty());
        QVERIFY(!client.w->session().IsConnected());
        for (const QString& n : QDir(client.dir.path()).entryList(QDir::Files))
            QVERIFY2(!n.startsWith('k'), qPrintable(n));
    }

    // In a secure connection the receiving window offers Stop Receiving
    // beside its progress line; the sending window is told why it stopped.
    void stopReceivingInASecureConnection() {
        const QString port = QString::number(freePort());
        Window host(port), client(port);
        host.w->session().setSecureWindow(1); // slow enough to stop half-way
        QVERIFY(connectWindows(host, client));
        QVERIFY(waitFor([&] {
            return child<QLabel>(host.w.get(), "lbSecure")->text().startsWith("Secure ") &&
                   child<QLabel>(client.w.get(), "lbSecure")->text().startsWith("Secure ");
        }));
        auto* stop = child<QToolButton>(host.w.get(), "cmdCancelRecv");
        auto* progress = child<QLabel>(host.w.get(), "lbRecvProgress");
        QVERIFY(stop->isHidden());

        const QString path = client.dir.filePath("big.bin");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(3000 * 1000, 'b'));
        f.close();
        child<QLineEdit>(client.w.get(), "Text2")->setText(path);
        child<QPushButton>(client.w.get(), "Command4")->click();
        QVERIFY(waitFor([&] { return host.w->session().receiver().RecvBlockCount() > 3; }));
        QVERIFY(!stop->isHidden());
        QVERIFY2(progress->text().contains(" % of 2.9 MB"), qPrintable(progress->text()));
        stop->click();
        QVERIFY(stop->isHidden() && progress->isHidden());
        QVERIFY(waitFor([&] {
            return client.status().contains(
                "Sending stopped: the other side cancelled it (cancelled by the other person).");
        }));
        QVERIFY(!QFileInfo::exists(host.dir.filePath("Recv/big.bin")));
    }

    void fileThroughTheWindows() {
        const QString port = QString::number(freePort());
        Window host(port), client(port);
        // Not connected: the file buttons wait for a connection, the menu
        // refuses.
        for (const char* button : {"Command3", "Command4"})
            QVERIFY2(!child<QPushButton>(client.w.get(), button)->isEnabled(), button);
        child<QAction>(client.w.get(), "flesend")->trigger();
        QCOMPARE(client.services.log, QStringList{"message:You are not connected."});
        client.services.log.clear();
        QVERIFY(connectWindows(host, client));
        child<QPushButton>(client.w.get(), "Command4")->click();
        QCOMPARE(client.services.log, QStringList{"message:Define or Select a File to Send."});
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

        client.bigFileInTheBox(20 * 1000 * 1000);
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

    // While a file goes the sender sees the share, the rate and the time
    // left, the receiver the rate (and the time left when it knows the size).
    // Leaving then asks first; the other side is told why its transfer ended.
    void leavingDuringATransfer_data() {
        QTest::addColumn<bool>("secure");
        QTest::addColumn<bool>("senderQuits");
        QTest::addColumn<QStringList>("otherSees");
        QTest::addColumn<QString>("receiving"); // the receiver's line, as a pattern
        const QString rate = "[\\d.,]+ [KM]B/s";
        const QString left = "(\\d+ h )?(\\d+ min )?(\\d+ s )?left";
        const QString knownSize =
            "^Receiving: \\d+ % of [\\d.,]+ MB \u00b7 " + rate + " \u00b7 " + left + "$";
        QTest::newRow("secure, the receiver quits")
            << true << false << QStringList{"Sending stopped: the other person closed the program."}
            << knownSize;
        QTest::newRow("secure, the sender quits")
            << true << true
            << QStringList{"File not received: the other person closed the program. Nothing was "
                           "saved under big.bin.",
                           "The other person closed the program."}
            << knownSize;
        QTest::newRow("legacy, the sender quits")
            << false << true
            << QStringList{"File not received: the other side ended the connection. Nothing was "
                           "saved under big.bin.",
                           "The other person ended the connection."}
            << "^Receiving: [\\d.,]+ [KM]B at " + rate + "$";
    }
    void leavingDuringATransfer() {
        QFETCH(bool, secure);
        QFETCH(bool, senderQuits);
        QFETCH(QStringList, otherSees);
        QFETCH(QString, receiving);
        const QString port = QString::number(freePort());
        Window host(port), client(port);
        if (!secure)
            child<QAction>(client.w.get(), "optsecure")->trigger();
        host.w->session().setSecureWindow(1); // slow enough to leave half-way
        QVERIFY(connectWindows(host, client));
        auto* mode = child<QLabel>(client.w.get(), "lbSecure");
        QVERIFY(
            waitFor([&] { return mode->text().startsWith(secure ? "Secure " : "Legacy"); }, 10000));
        client.services.clock = [n = 0]() mutable { return QString::number(++n); };
        client.bigFileInTheBox(40 * 1000 * 1000);
        child<QPushButton>(client.w.get(), "Command4")->click();

        static const QRegularExpression sending(
            "^\\d+ % \u00b7 [\\d.,]+ [KM]B/s \u00b7 (\\d+ h )?(\\d+ min )?(\\d+ s )?left$");
        QVERIFY2(waitFor([&] { return sending.match(client.w->progressText()).hasMatch(); }),
                 qPrintable(client.w->progressText()));
        auto* bar = child<QProgressBar>(client.w.get(), "ProgressBar1");
        QTRY_VERIFY(bar->isTextVisible() && bar->text() == client.w->progressText());
        auto* line = child<QLabel>(host.w.get(), "lbRecvProgress");
        const QRegularExpression receivingPattern(receiving);
        QVERIFY2(waitFor([&] { return receivingPattern.match(line->text()).hasMatch(); }),
                 qPrintable(line->text()));

        Window& quitting = senderQuits ? client : host;
        Window& other = senderQuits ? host : client;
        const QString question = QString("question:Quit:A file is still being %1. Quit anyway?")
                                     .arg(senderQuits ? "sent" : "received");
        quitting.services.questionAnswer = false;
        QVERIFY(!quitting.w->close());
        QCOMPARE(quitting.services.log.last(), question);
        QCOMPARE(quitting.services.boxOwners.last().data(), quitting.w.get());
        QVERIFY(client.w->session().sender().busy());
        quitting.services.questionAnswer = true;
        QVERIFY(quitting.w->close());
        for (const QString& seen : otherSees)
            QVERIFY2(waitFor([&] { return other.status().contains(seen); }),
                     qPrintable(other.status().join('\n')));
        QVERIFY2(other.status().filter("Connection lost").isEmpty() &&
                     other.status().filter("refused").isEmpty(),
                 qPrintable(other.status().join('\n')));
    }

    // Several files dropped or chosen at once go one after another, in the
    // order chosen, after one question for all of them; the Filename box
    // shows the file that is going and is empty when the queue is done.
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
        auto* fileBox = child<QLineEdit>(client.w.get(), "Text2");
        QVERIFY(waitFor([&] { return fileBox->text() == QDir::toNativeSeparators(paths[0]); }));
        QVERIFY(waitFor([&] { return host.status().count("File Received.") == 2; }));
        QVERIFY(waitFor([&] { return fileBox->text().isEmpty(); }));

        // Chosen in this order: it is the order they go in.
        client.services.fileNames = {paths[3], paths[2]};
        child<QAction>(client.w.get(), "flesend")->trigger();
        QVERIFY(waitFor([&] { return host.status().count("File Received.") == 4; }));
        QVERIFY(waitFor([&] { return fileBox->text().isEmpty(); }));
        for (const QString& path : paths)
            QCOMPARE(readAll(host.dir.filePath("Recv/" + QFileInfo(path).fileName())),
                     readAll(path));
        QCOMPARE(host.status().filter("Receiving File "),
                 (QStringList{"Receiving File one.txt", "Receiving File two.txt",
                              "Receiving File four.txt", "Receiving File three.txt"}));
        const QString native3 = QDir::toNativeSeparators(paths[3]);
        const QString native2 = QDir::toNativeSeparators(paths[2]);
        QCOMPARE(client.services.entries("question:Send Confirm:").mid(1),
                 QStringList("question:Send Confirm:Are you sure you want to send these 2 "
                             "files (2.9 KB in all)?\n\n" +
                             native3 + "\n" + native2));
        QCOMPARE(client.services.entries("question:Send Confirm:").size(), 2);
    }
};

QTEST_MAIN(TstIntegrationMainWindows)
#include "tst_integration_main_windows.moc"
