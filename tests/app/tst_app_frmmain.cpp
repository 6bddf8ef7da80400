#include <QAction>
#include <QCheckBox>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QNetworkInterface>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextBrowser>
#include <QToolButton>
#include <QtTest>

#include "NoRouter.h"
#include "RecordingDialogServices.h"
#include "WidgetLookup.h"
#include "app/frmMain.h"
#include "platform/FileOps.h"
#include "protocol/Session.h"
#include "windows/frmAbout.h"
#include "windows/frmBrowser.h"
#include "windows/frmFont.h"
#include "windows/frmNotice.h"

namespace {
QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
} // namespace

class TstAppFrmmain : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    RecordingDialogServices rec;
    std::unique_ptr<frmMain> w;

    QString file(const QString& name) const { return dir->path() + '/' + name; }
    void start() {
        w.reset();
        rec.log.clear();
        QVERIFY(writeNoRouter(dir->path()));
        w = std::make_unique<frmMain>(dir->path(), rec);
    }
    // Shows the window and lets its first-activation check run.
    void showAndSettle() {
        w->show();
        QCoreApplication::processEvents();
    }
    int notices() const { return rec.entries("modal:frmNotice").size(); }

private slots:
    void init() {
        w.reset();
        dir = std::make_unique<QTemporaryDir>();
        rec = RecordingDialogServices();
    }

    void startUpInEmptyFolder() {
        start();
        QCOMPARE(readAll(file("port.dat")), QByteArray("7777\r\n"));
        QCOMPARE(readAll(file("font.dat")), QByteArray());
        QVERIFY(QFileInfo(file("Recv")).isDir());
        QCOMPARE(w->Recv(), dir->path() + "/Recv/");
        QCOMPARE(w->PortStr(), QString("7777"));
        QCOMPARE(child<QLineEdit>(w.get(), "txtPort")->text(), QString("7777"));
        // The own address: a dotted IPv4 address this machine has, or the
        // loopback address when it has none.
        const QString shown = child<QLineEdit>(w.get(), "txtIP")->text();
        const QHostAddress address(shown);
        QVERIFY2(address.protocol() == QAbstractSocket::IPv4Protocol &&
                     shown.split('.').size() == 4 && address.toString() == shown,
                 qPrintable(shown));
        QStringList own{"127.0.0.1"};
        for (const QHostAddress& a : QNetworkInterface::allAddresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol)
                own << a.toString();
        QVERIFY2(own.contains(shown), qPrintable(shown + " not in " + own.join(' ')));
        // The file and chat buttons wait for a connection; the status list
        // says how to make one.
        for (const char* button : {"Command3", "Command4", "Command5"})
            QVERIFY2(!child<QPushButton>(w.get(), button)->isEnabled(), button);
        QListWidget* list = child<QListWidget>(w.get(), "List1");
        QCOMPARE(list->count(), 1);
        QCOMPARE(list->item(0)->text(),
                 QString("To connect: one of you presses Wait for Connect, the other types that "
                         "address and presses Connect."));
        QCOMPARE(list->item(0)->toolTip(), list->item(0)->text());
        QVERIFY(child<QProgressBar>(w.get(), "ProgressBar1")->isHidden());
        QVERIFY(rec.log.isEmpty());
        w->show();
        QTRY_COMPARE(notices(), 1);
        QCOMPARE(readAll(file("opt.dne")), QByteArray());
    }

    // The own address can be picked from this machine's addresses (IPv4 and
    // global IPv6, every one the system reports) or typed.
    void ownAddressPickedFromTheList() {
        start();
        QLineEdit* txtIP = child<QLineEdit>(w.get(), "txtIP");
        child<QAction>(w.get(), "txtIPPick")->trigger();
        QMenu* menu = child<QMenu>(w.get(), "txtIPAddresses");
        QTRY_VERIFY(menu->isVisible());
        QStringList offered;
        for (QAction* a : menu->actions())
            offered << a->data().toString();
        QStringList expected;
        for (const QHostAddress& a : QNetworkInterface::allAddresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol ||
                (a.protocol() == QAbstractSocket::IPv6Protocol && a.isGlobal()) || a.isLoopback())
                expected << QHostAddress(a.toString().section('%', 0, 0)).toString();
        QCOMPARE(QSet<QString>(offered.begin(), offered.end()),
                 QSet<QString>(expected.begin(), expected.end()));
        QVERIFY(!offered.contains(QString()));
        // The address shown is ticked; choosing another puts it in the box.
        QVERIFY(menu->actions().at(offered.indexOf(txtIP->text()))->isChecked());
        menu->actions().last()->trigger();
        QCOMPARE(txtIP->text(), offered.last());
        QVERIFY(!txtIP->isReadOnly());
        menu->close();
    }

    void secureOptionsAreKeptInSecureDat() {
        start();
        // Defaults, written at the first start: on, not required.
        QCOMPARE(readAll(file("secure.dat")), QByteArray("1\r\n0\r\n"));
        auto* secure = child<QAction>(w.get(), "optsecure");
        auto* require = child<QAction>(w.get(), "optrequire");
        QVERIFY(secure->isCheckable() && secure->isChecked());
        QVERIFY(require->isCheckable() && !require->isChecked());
        QCOMPARE(child<QMenu>(w.get(), "opt")->title(), QString("&Options"));

        // Requiring ticks both; switching secure connections off drops the
        // requirement. Each change is stored at once.
        require->trigger();
        QVERIFY(secure->isChecked() && require->isChecked());
        QCOMPARE(readAll(file("secure.dat")), QByteArray("1\r\n1\r\n"));
        QVERIFY(w->session().secureRequired());
        secure->trigger();
        QVERIFY(!secure->isChecked() && !require->isChecked());
        QCOMPARE(readAll(file("secure.dat")), QByteArray("0\r\n0\r\n"));
        QVERIFY(!w->session().channel().secureEnabled());

        start();
        QVERIFY(!child<QAction>(w.get(), "optsecure")->isChecked());
        QVERIFY(rec.log.isEmpty());

        // A stored requirement switches secure connections on; a line that
        // is neither 1 nor 0 keeps its default.
        QVERIFY(FileOps::writeFile(file("secure.dat"), "0\r\n1\r\n"));
        start();
        QVERIFY(child<QAction>(w.get(), "optsecure")->isChecked() &&
                child<QAction>(w.get(), "optrequire")->isChecked());
        QVERIFY(FileOps::writeFile(file("secure.dat"), "yes\r\n"));
        start();
        QVERIFY(child<QAction>(w.get(), "optsecure")->isChecked() &&
                !child<QAction>(w.get(), "optrequire")->isChecked());
        // Not connected: the mode label is empty.
        QVERIFY(child<QLabel>(w.get(), "lbSecure")->text().isEmpty());
    }

    // The receiving side's stop button comes with the progress line, and
    // only in a secure connection: a legacy one cannot tell the sender.
    void receiveProgressComesWithAStopButtonWhenSecure() {
        start();
        w->show();
        auto* progress = child<QLabel>(w.get(), "lbRecvProgress");
        auto* stop = child<QToolButton>(w.get(), "cmdCancelRecv");
        QVERIFY(!progress->isVisible() && !stop->isVisible());
        w->setLinkMode(SessionView::LinkMode::Legacy);
        w->setReceiveStatus("Receiving: 2.9 KB at 1.0 KB/s");
        QVERIFY(progress->isVisible() && !stop->isVisible());
        w->setLinkMode(SessionView::LinkMode::Secure);
        w->setReceiveStatus("Receiving: 42 % of 3.0 MB");
        QCOMPARE(progress->text(), QString("Receiving: 42 % of 3.0 MB"));
        QVERIFY(stop->isVisible());
        // Nothing to give up while not connected: no message, nothing sent.
        stop->click();
        QVERIFY(rec.entries("message:").isEmpty());
        w->setReceiveStatus(QString());
        QVERIFY(!progress->isVisible() && !stop->isVisible());
        w->setReceiveStatus("Receiving: 0 bytes");
        w->setLinkMode(SessionView::LinkMode::None);
        QVERIFY(!stop->isVisible());
    }

    // While the secure connection is set up the window waits with its
    // repaints, but never longer than a moment, whether or not the set-up
    // ends.
    void paintWaitsBrieflyWhileSecuring() {
        start();
        w->show();
        QWidget* contents = child<QWidget>(w.get(), "centralwidget");
        w->setLinkMode(SessionView::LinkMode::SettingUp);
        QVERIFY(!contents->updatesEnabled());
        w->setLinkMode(SessionView::LinkMode::Secure);
        QVERIFY(contents->updatesEnabled());
        w->setLinkMode(SessionView::LinkMode::SettingUp);
        QVERIFY(!contents->updatesEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(contents->updatesEnabled(), 5000); // no answer comes
        w->setLinkMode(SessionView::LinkMode::Legacy);
        QVERIFY(contents->updatesEnabled());
    }

    void startUpKeepsExistingRecvFolder() {
        QVERIFY(QDir().mkpath(file("Recv")));
        QVERIFY(FileOps::writeFile(file("Recv/kept.txt"), "x"));
        start();
        QVERIFY(rec.log.isEmpty());
        QCOMPARE(readAll(file("Recv/kept.txt")), QByteArray("x"));
    }

    void portFileShownAsStored_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("port");
        QTest::newRow("line end only") << QByteArray("\r\n") << "";
        QTest::newRow("not a port") << QByteArray("abc\r\nmore\r\n") << "abc";
        QTest::newRow("no line end") << QByteArray("9000") << "9000";
    }
    void portFileShownAsStored() {
        QFETCH(QByteArray, content);
        QVERIFY(FileOps::writeFile(file("port.dat"), content));
        start();
        QTEST(w->PortStr(), "port");
        QTEST(child<QLineEdit>(w.get(), "txtPort")->text(), "port");
        QCOMPARE(readAll(file("port.dat")), content);
    }

    void savePort_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("valid") << "8080" << QByteArray("8080\r\n");
        QTest::newRow("spaces") << " 65535 " << QByteArray("65535\r\n");
        QTest::newRow("lowest") << "1" << QByteArray("1\r\n");
        for (const char* bad : {"0", "65536", "abc", "", "80.5", "-1", "12 34", "99999999"})
            QTest::newRow(bad) << bad << QByteArray("7777\r\n");
    }
    void savePort() {
        QFETCH(QString, typed);
        QFETCH(QByteArray, stored);
        start();
        child<QLineEdit>(w.get(), "txtPort")->setText(typed);
        child<QPushButton>(w.get(), "Command6")->click();
        QCOMPARE(readAll(file("port.dat")), stored);
        QCOMPARE(rec.log, QStringList(stored != "7777\r\n"
                                          ? "message:Port saved."
                                          : "message:The port must be a whole number from 1 "
                                            "to 65535."));
        QCOMPARE(w->PortStr(), QString("7777")); // used from the next start on
        // The status list says so when the port differs from the one in use.
        QListWidget* list = child<QListWidget>(w.get(), "List1");
        const QString last = list->item(list->count() - 1)->text();
        if (stored == "8080\r\n")
            QCOMPARE(last, QString("Port 8080 saved: used from the next start."));
        else if (stored == "7777\r\n")
            QVERIFY2(!last.startsWith("Port "), qPrintable(last));
    }

    // The last "Connect to IP Addr" text pressed Connect with is there at
    // the next start.
    void peerAddressRemembered() {
        QVERIFY(FileOps::writeFile(file("port.dat"), "1\r\n")); // refused at once
        start();
        QCOMPARE(child<QLineEdit>(w.get(), "txtConnect")->text(), QString());
        child<QLineEdit>(w.get(), "txtConnect")->setText(" 127.0.0.1 ");
        rec.onMessage = [](const QString&) {};
        child<QPushButton>(w.get(), "Command2")->click(); // nothing listens: it fails
        QCOMPARE(readAll(file("connect.dat")), QByteArray("127.0.0.1\r\n"));
        start();
        QCOMPARE(child<QLineEdit>(w.get(), "txtConnect")->text(), QString("127.0.0.1"));
    }

    // Set in the Font window, then start again: only the chat log changes.
    void fontChoiceSurvivesRestart() {
        start();
        const QFont chatFont = child<QLineEdit>(w.get(), "txtChat")->font();
        rec.color = 0x00FF00;
        rec.fontChosen = true;
        rec.fontName = "DejaVu Serif";
        rec.fontSize = 8.25f;
        rec.onModal = [](QDialog& d) {
            if (auto* font = qobject_cast<frmFont*>(&d)) {
                child<QPushButton>(font, "Command1")->click();
                child<QPushButton>(font, "Command3")->click();
                child<QPushButton>(font, "Command4")->click();
            }
            return d.result();
        };
        child<QPushButton>(w.get(), "Command7")->click();
        start();
        QPlainTextEdit* log = child<QPlainTextEdit>(w.get(), "txtLog");
        QCOMPARE(log->palette().color(QPalette::Base), QColor(0, 255, 0));
        QCOMPARE(log->palette().color(QPalette::Text), Colors::toQColor(Colors::WindowText));
        QCOMPARE(log->font().family(), QString("DejaVu Serif"));
        QCOMPARE(log->font().pointSizeF(), 8.25);
        QCOMPARE(child<QLineEdit>(w.get(), "txtChat")->font(), chatFont);
        QCOMPARE(child<QLineEdit>(w.get(), "txtChat")->palette().color(QPalette::Base),
                 Colors::toQColor(Colors::WindowBackground));
    }

    // A second visit to the Font window starts from the first one's choice:
    // Set after changing only the font keeps the colour chosen before.
    void fontWindowKeepsEarlierChoices() {
        start();
        rec.onModal = [](QDialog& d) {
            if (auto* font = qobject_cast<frmFont*>(&d)) {
                child<QPushButton>(font, "Command1")->click();
                child<QPushButton>(font, "Command3")->click();
                child<QPushButton>(font, "Command4")->click();
            }
            return d.result();
        };
        rec.color = 0x00FF00;
        child<QPushButton>(w.get(), "Command7")->click();
        rec.color.reset();
        rec.fontChosen = true;
        rec.fontName = "DejaVu Serif";
        rec.fontSize = 11;
        child<QPushButton>(w.get(), "Command7")->click();
        QCOMPARE(readAll(file("font.dat")),
                 QByteArray(" 65280\r\n-2147483640\r\nDejaVu Serif\r\n 11\r\n"));
        QCOMPARE(child<QPlainTextEdit>(w.get(), "txtLog")->palette().color(QPalette::Base),
                 QColor(0, 255, 0));
        // After a restart the stored look is where the window starts.
        start();
        rec.onModal = [](QDialog& d) {
            if (auto* font = qobject_cast<frmFont*>(&d))
                child<QPushButton>(font, "Command4")->click();
            return d.result();
        };
        child<QPushButton>(w.get(), "Command7")->click();
        QCOMPARE(readAll(file("font.dat")),
                 QByteArray(" 65280\r\n-2147483640\r\nDejaVu Serif\r\n 11\r\n"));
    }

    // Fields that are missing or unusable keep the defaults.
    void damagedFontFile() {
        QVERIFY(FileOps::writeFile(file("font.dat"), "x\r\n 16711680\r\nCourier\r\n 0\r\n"));
        start();
        QCOMPARE(child<QPlainTextEdit>(w.get(), "txtLog")->palette().color(QPalette::Base),
                 Colors::toQColor(Colors::WindowBackground));
        QCOMPARE(child<QPlainTextEdit>(w.get(), "txtLog")->palette().color(QPalette::Text),
                 QColor(0, 0, 255));
        QCOMPARE(child<QPlainTextEdit>(w.get(), "txtLog")->font().family(), QString("Courier"));
        QCOMPARE(child<QPlainTextEdit>(w.get(), "txtLog")->font().pointSizeF(),
                 child<QLineEdit>(w.get(), "txtChat")->font().pointSizeF());
        QVERIFY(rec.log.isEmpty());
    }

    void noticeOncePerRun() {
        start();
        // Enter closes the notice: OK is its default button.
        bool okByEnter = false;
        rec.onModal = [&okByEnter](QDialog& d) {
            d.show();
            auto* ok = child<QPushButton>(&d, "cmdOK");
            QTest::keyClick(&d, Qt::Key_Return);
            okByEnter = ok->isDefault() && ok->text() == "OK" && d.isHidden() &&
                        d.result() == QDialog::Accepted;
            return d.result();
        };
        showAndSettle();
        QTRY_COMPARE(notices(), 1);
        QVERIFY(okByEnter);
        rec.onModal = nullptr;
        child<QAction>(w.get(), "hlpabt")->trigger();
        child<QPushButton>(w.get(), "Command7")->click();
        QCOMPARE(rec.log, QStringList({"modal:frmNotice", "modal:frmAbout", "modal:frmFont"}));
        start(); // the box was left clear: shown again at the next start
        showAndSettle();
        QTRY_COMPARE(notices(), 1);
    }

    void noticeSuppressedOnceTicked() {
        start();
        rec.onModal = [](QDialog& d) {
            if (auto* notice = qobject_cast<frmNotice*>(&d)) {
                notice->show();
                child<QCheckBox>(notice, "Check1")->setChecked(true);
                notice->close();
            }
            return d.result();
        };
        showAndSettle();
        QTRY_COMPARE(notices(), 1);
        QCOMPARE(readAll(file("opt.dne")), QByteArray("Done\r\n"));
        start();
        showAndSettle();
        child<QAction>(w.get(), "hlpabt")->trigger();
        QCOMPARE(rec.log, QStringList("modal:frmAbout"));
        QVERIFY(!w->NoticeHasShown());
    }

    // Installed: the files go to the data folder; the received-files folder
    // is left for the first file to make; About names both folders and the
    // help page comes from where the program found it.
    void installedFolders() {
        ProgramFolders folders;
        folders.mode = ProgramFolders::Mode::Installed;
        folders.programDir = file("data/Vantrel/");
        folders.recvDir = file("Downloads/Vantrel/");
        folders.makeRecvAtStartUp = false;
        folders.helpPage = file("share/vantrel/overview.htm");
        QVERIFY(folders.makeProgramDir(nullptr));
        QVERIFY(writeNoRouter(folders.programDir));
        w = std::make_unique<frmMain>(folders, rec);
        QCOMPARE(w->AppDir(), file("data/Vantrel/"));
        QCOMPARE(w->Recv(), file("Downloads/Vantrel/"));
        QCOMPARE(readAll(file("data/Vantrel/port.dat")), QByteArray("7777\r\n"));
        QCOMPARE(readAll(file("data/Vantrel/font.dat")), QByteArray());
        QVERIFY(!QFileInfo::exists(file("Downloads")));
        QVERIFY(!QFileInfo::exists(file("data/Vantrel/Recv")));
        QVERIFY(!QFileInfo::exists(file("port.dat")));
        QVERIFY(rec.log.isEmpty());

        QStringList aboutLines;
        QUrl shown;
        rec.onModal = [&](QDialog& d) {
            if (auto* about = qobject_cast<frmAbout*>(&d))
                aboutLines << child<QLabel>(about, "lbProgramFolder")->text()
                           << child<QLabel>(about, "lbRecvFolder")->text();
            if (auto* browser = qobject_cast<frmBrowser*>(&d))
                shown = child<QTextBrowser>(browser, "WebBrowser1")->source();
            return 0;
        };
        child<QAction>(w.get(), "hlpabt")->trigger();
        QCOMPARE(aboutLines, (QStringList{"Program folder: " + file("data/Vantrel/"),
                                          "Received files: " + file("Downloads/Vantrel/")}));
        QVERIFY(QDir().mkpath(file("share/vantrel")));
        QVERIFY(FileOps::writeFile(file("share/vantrel/overview.htm"), "<p>help</p>"));
        child<QAction>(w.get(), "hlp")->trigger();
        QCOMPARE(shown, QUrl::fromLocalFile(file("share/vantrel/overview.htm")));
    }

    // A long folder is shortened in the middle to fit the line, and given
    // whole in the tooltip.
    void aboutShortensLongFolder() {
        frmAbout about;
        const QString longPath = "/home/someone/" + QString(40, 'x') + "/" + QString(40, 'y') +
                                 "/" + QString(40, 'z') + "/end/";
        about.setFolders(longPath, "/short/");
        QLabel* line = child<QLabel>(&about, "lbProgramFolder");
        QVERIFY(line->text().startsWith("Program folder: /home/someone/"));
        QVERIFY(line->text().endsWith("/end/"));
        QVERIFY(line->text().contains(QChar(0x2026)));
        QVERIFY(QFontMetrics(line->font()).horizontalAdvance(line->text()) <= line->width());
        QCOMPARE(line->toolTip(), longPath);
        QCOMPARE(child<QLabel>(&about, "lbRecvFolder")->text(), QString("Received files: /short/"));
    }

    void helpShowsPageBesideProgram() {
        start();
        QUrl shown;
        rec.onModal = [&shown](QDialog& d) {
            if (auto* browser = qobject_cast<frmBrowser*>(&d))
                shown = child<QTextBrowser>(browser, "WebBrowser1")->source();
            return 0;
        };
        QVERIFY(FileOps::writeFile(file("overview.htm"), "<p>help</p>"));
        child<QAction>(w.get(), "hlp")->trigger();
        QCOMPARE(w->HelpPage(), file("overview.htm"));
        QCOMPARE(shown, QUrl::fromLocalFile(file("overview.htm")));
    }

    // A chat line that did not go out stays in the box and is not shown as
    // sent.
    void refusedChatLineStaysInTheBox() {
        start();
        w->setSendButtonsEnabled(true); // as after a lost connection
        QLineEdit* box = child<QLineEdit>(w.get(), "txtChat");
        box->setText("keep me");
        child<QPushButton>(w.get(), "Command5")->click();
        QTest::keyClick(box, Qt::Key_Return);
        QCOMPARE(rec.log, QStringList(2, "message:You are not connected."));
        QCOMPARE(box->text(), QString("keep me"));
        QCOMPARE(w->chatLogText(), QString());
    }

    // A file that cannot be used is reported by name; the program goes on
    // with the defaults.
    void unusableFiles_data() {
        QTest::addColumn<QString>("blocked");
        for (const char* name : {"port.dat", "font.dat", "Recv", "opt.dne"})
            QTest::newRow(name) << name;
    }
    void unusableFiles() {
        QFETCH(QString, blocked);
        if (blocked == "Recv")
            QVERIFY(FileOps::writeFile(file(blocked), "in the way"));
        else
            QVERIFY(QDir().mkpath(file(blocked)));
        start();
        showAndSettle();
        QTRY_COMPARE(notices(), 1);
        child<QAction>(w.get(), "hlpabt")->trigger();
        QCOMPARE(notices(), 1);
        const QStringList messages = rec.entries("message:");
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages.first().contains(file(blocked)), qPrintable(messages.first()));
        QCOMPARE(child<QLineEdit>(w.get(), "txtPort")->text(), QString("7777"));
        QVERIFY(QFileInfo::exists(file("font.dat")) && QFileInfo::exists(file("port.dat")));
    }

    void portCannotBeSaved() {
        start();
        QVERIFY(QFile::remove(file("port.dat")) && QDir().mkpath(file("port.dat")));
        child<QLineEdit>(w.get(), "txtPort")->setText("8080");
        child<QPushButton>(w.get(), "Command6")->click();
        QCOMPARE(rec.log.size(), 1);
        QVERIFY(rec.log.first().contains(file("port.dat")));
    }
};

QTEST_MAIN(TstAppFrmmain)
#include "tst_app_frmmain.moc"
