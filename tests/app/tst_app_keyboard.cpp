// The main window used from the keyboard and through a screen reader.
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

#include "NoRouter.h"
#include "RecordingDialogServices.h"
#include "WidgetLookup.h"
#include "app/frmMain.h"

class TstAppKeyboard : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    RecordingDialogServices rec;
    std::unique_ptr<frmMain> w;

    bool startActive() {
        writeNoRouter(dir->path());
        w = std::make_unique<frmMain>(dir->path(), rec);
        w->show();
        QApplication::setActiveWindow(w.get());
        return QTest::qWaitForWindowActive(w.get());
    }

private slots:
    void init() {
        w.reset();
        dir = std::make_unique<QTemporaryDir>();
        rec = RecordingDialogServices();
        QFile done(dir->filePath("opt.dne"));
        QVERIFY(done.open(QIODevice::WriteOnly));
        done.write("Done\r\n");
    }
    void cleanup() { w.reset(); }

    // A new user types the other side's address first, and Enter there
    // presses Connect.
    void startsInConnectBoxAndEnterConnects() {
        QVERIFY(startActive());
        QLineEdit* connectBox = child<QLineEdit>(w.get(), "txtConnect");
        QCOMPARE(QApplication::focusWidget(), connectBox);
        QTest::keyClick(connectBox, Qt::Key_Return);
        QCOMPARE(rec.log, QStringList{"message:Missing IP Address."});
        // Enter in another box does not connect.
        QTest::keyClick(child<QLineEdit>(w.get(), "txtIP"), Qt::Key_Return);
        QCOMPARE(rec.log.size(), 1);
    }

    // Alt and a menu's underlined letter open that menu, from any box:
    // nothing is typed into the chat line.
    void menuMnemonics() {
        QVERIFY(startActive());
        QLineEdit* chat = child<QLineEdit>(w.get(), "txtChat");
        chat->setFocus();
        for (const auto& [key, menu] : {std::pair{Qt::Key_F, "fle"}, std::pair{Qt::Key_O, "opt"},
                                        std::pair{Qt::Key_H, "hlps"}}) {
            QMenu* shown = child<QMenu>(w.get(), menu);
            QTest::keyClick(chat, key, Qt::AltModifier);
            QTRY_VERIFY2(shown->isVisible(), menu);
            shown->hide();
        }
        QCOMPARE(chat->text(), QString());
    }

    void menuShortcuts() {
        QVERIFY(startActive());
        QTest::keyClick(w.get(), Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(rec.log, QStringList{"message:You are not connected."});
        QTest::keyClick(w.get(), Qt::Key_F1);
        QCOMPARE(rec.log.last(), QString("modal:frmBrowser"));
        QTest::keyClick(w.get(), Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(rec.log.last(), QString("end"));
        // The menus show them.
        QCOMPARE(child<QAction>(w.get(), "fleext")->shortcut(), QKeySequence("Ctrl+Q"));
    }

    // Tab goes through the controls as they stand: the top row left to
    // right, the chat, the status list, the file controls.
    void tabOrderFollowsLayout() {
        QVERIFY(startActive());
        for (const char* name : {"Command3", "Command4"})
            child<QPushButton>(w.get(), name)->setEnabled(true);
        w->setSendButtonsEnabled(true); // the chat Send button joins the order
        child<QLineEdit>(w.get(), "txtIP")->setFocus();
        QStringList visited{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 13; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(visited, (QStringList{"txtIP", "txtPort", "Command6", "Command1", "Command2",
                                       "txtConnect", "txtLog", "Command7", "txtChat", "Command5",
                                       "List1", "Text2", "Command3", "Command4"}));

        // In the chat log the arrow keys move from line to line.
        w->UpdateChatList("first line");
        w->UpdateChatList("second line");
        QPlainTextEdit* log = child<QPlainTextEdit>(w.get(), "txtLog");
        log->setFocus();
        log->moveCursor(QTextCursor::Start);
        QTest::keyClick(log, Qt::Key_Down);
        QCOMPARE(log->textCursor().block().text(), QString("second line"));
    }

    // Every control a user can reach or read is named for a screen reader,
    // and no two are called the same ("Send" alone would be ambiguous).
    void everyControlHasItsOwnName() {
        QVERIFY(writeNoRouter(dir->path()));
        w = std::make_unique<frmMain>(dir->path(), rec);
        QStringList names;
        for (QWidget* c : w->centralWidget()->findChildren<QWidget*>()) {
            const bool control = (c->focusPolicy() & Qt::TabFocus) ||
                                 qobject_cast<QProgressBar*>(c) || c->objectName().startsWith("lb");
            if (!control || c->objectName().isEmpty() || c->objectName().startsWith("qt_"))
                continue;
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(c);
            QVERIFY2(a, qPrintable(c->objectName()));
            const QString name = a->text(QAccessible::Name);
            QVERIFY2(!name.trimmed().isEmpty(), qPrintable(c->objectName() + " has no name"));
            QVERIFY2(!names.contains(name), qPrintable(c->objectName() + ": " + name));
            names << name;
        }
        QVERIFY2(names.size() >= 17, qPrintable(names.join(", ")));
        QVERIFY(names.contains("Connect to IP address") && names.contains("Send chat line") &&
                names.contains("Send file"));
    }
};

QTEST_MAIN(TstAppKeyboard)
#include "tst_app_keyboard.moc"
