// The main window's two logs and its transfer indicators as a user sees
// them: what is kept, what is in view, and how often the bars are drawn.
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

#include "NoRouter.h"
#include "RecordingDialogServices.h"
#include "WidgetLookup.h"
#include "app/ChatLog.h"
#include "app/StatusLog.h"
#include "app/frmMain.h"

namespace {

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* w) { w->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// Lets the views finish their delayed layout and scrolling.
void settle() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

} // namespace

class TstAppLogs : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    RecordingDialogServices rec;
    std::unique_ptr<frmMain> w;

    void start() {
        w.reset();
        QVERIFY(writeNoRouter(dir->path()));
        w = std::make_unique<frmMain>(dir->path(), rec);
    }
    void startShown() {
        start();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
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

    // The list shows about six lines: each new line comes into view at once
    // (not only from the 13th on), unless the user has scrolled up to read.
    void statusListFollowsNewestLine() {
        startShown();
        QListWidget* list = child<QListWidget>(w.get(), "List1");
        const int first = list->count(); // after the line that says how to connect
        const auto topRow = [list] { return list->indexAt(QPoint(2, 2)).row(); };
        const auto inView = [list, first](int line) {
            const QListWidgetItem* item = list->item(first + line - 1);
            return list->viewport()->rect().contains(list->visualItemRect(item));
        };
        for (int i = 1; i <= 20; ++i) {
            w->UpdateList(QString("line %1").arg(i));
            QTRY_VERIFY2(inView(i), qPrintable(QString("line %1").arg(i)));
        }
        QVERIFY(!inView(1));
        QVERIFY2(topRow() > first + 8, qPrintable(QString::number(topRow()))); // fewer than 12
        QCOMPARE(w->listTopIndex(), topRow());

        // Scrolled up to read: new lines arrive below, the view stays.
        list->verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
        QCOMPARE(topRow(), 0);
        for (int i = 21; i <= 25; ++i)
            w->UpdateList(QString("line %1").arg(i));
        settle();
        QCOMPARE(topRow(), 0);
        QVERIFY(!inView(25));

        // Back at the bottom: following again.
        list->verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
        w->UpdateList("line 26");
        QTRY_VERIFY(inView(26));
        QCOMPARE(list->count(), first + 26);
        QCOMPARE(list->item(first + 25)->text(), QString("line 26"));
        // A line longer than the list is wide wraps and is whole in view.
        const QString longLine = QString("a long reason ").repeated(12).trimmed();
        w->UpdateList(longLine);
        QTRY_VERIFY(inView(27));
        QVERIFY(list->visualItemRect(list->item(first + 26)).height() >
                2 * list->visualItemRect(list->item(first + 25)).height());
    }

    // A flood of status lines: a run of the same line is one row with its
    // count, the list keeps the newest few thousand rows, and each line
    // costs little.
    void statusListStaysBounded() {
        start();
        QListWidget* list = child<QListWidget>(w.get(), "List1");
        QElapsedTimer clock;
        clock.start();
        const int before = list->count(); // the first start's guidance line
        w->UpdateList("Receiving File a.bin");
        for (int i = 0; i < 20000; ++i)
            w->UpdateList("A second file was announced while one is being received; it was "
                          "refused.");
        QCOMPARE(list->count(), before + 2);
        QCOMPARE(list->item(before + 1)->text(),
                 QString::fromUtf8("A second file was announced while one "
                                   "is being received; it was refused. "
                                   "(\u00d720,000)"));
        w->UpdateList("Receiving File a.bin"); // a new run
        QCOMPARE(list->count(), before + 3);
        QCOMPARE(list->item(before + 2)->text(), "Receiving File a.bin");

        for (int i = 0; i < StatusLog::MaxLines + 10; ++i)
            w->UpdateList(QString("line %1").arg(i));
        // Each line costs the same however long the list: a flood of them
        // (here in a fraction of a second) never takes minutes.
        QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(list->count() <= StatusLog::MaxLines);
        QVERIFY(list->count() >= StatusLog::MaxLines * 8 / 10);
        QCOMPARE(list->item(list->count() - 1)->text(),
                 QString("line %1").arg(StatusLog::MaxLines + 9));
    }

    void chatLogAppendsPlainText() {
        start();
        int removed = 0;
        connect(child<QPlainTextEdit>(w.get(), "txtLog")->document(),
                &QTextDocument::contentsChange, this,
                [&removed](int, int r, int) { removed += r; });
        w->UpdateChatList("<b>bold</b> &amp;");
        w->UpdateChatList(QString());
        w->UpdateChatList("<own line>");
        QCOMPARE(w->chatLogText(), QString("<b>bold</b> &amp;\r\n\r\n<own line>\r\n"));
        QCOMPARE(removed, 0); // appended, never rewritten
    }

    // The log follows the newest line only while the view is at the bottom.
    void chatLogFollowsOnlyFromTheBottom() {
        startShown();
        QPlainTextEdit* log = child<QPlainTextEdit>(w.get(), "txtLog");
        QScrollBar* bar = log->verticalScrollBar();
        const auto inView = [log](int line) {
            const QTextCursor at(log->document()->findBlockByNumber(line));
            return log->viewport()->rect().contains(log->cursorRect(at).center());
        };
        for (int i = 0; i < 300; ++i)
            w->UpdateChatList(QString("chat line %1").arg(i));
        QTRY_VERIFY(inView(299));

        bar->triggerAction(QAbstractSlider::SliderToMinimum);
        QVERIFY(inView(0));
        for (int i = 300; i < 350; ++i)
            w->UpdateChatList(QString("chat line %1").arg(i));
        settle();
        QCOMPARE(bar->value(), 0);
        QVERIFY(inView(0) && !inView(349));

        bar->triggerAction(QAbstractSlider::SliderToMaximum);
        w->UpdateChatList("chat line 350");
        QTRY_VERIFY(inView(350));
        QVERIFY(!inView(0));
    }

    // A received line holding line breaks or other control characters is
    // still one entry, so it cannot show a fake "<...>" line of the user's.
    void receivedLineStaysOneLine() {
        start();
        const QString spoof = QString("hi\n<my own words>\r\n\x01\t\x7f") + QChar(0x2028) +
                              QChar(0x2029) + QChar(0x85) + QChar(0x9B) + QChar(0x202E) +
                              ">sdrow<" + QChar(0x2067) + QChar(0x1F600);
        w->UpdateChatList(spoof);
        w->UpdateChatList("next");
        QPlainTextEdit* log = child<QPlainTextEdit>(w.get(), "txtLog");
        QCOMPARE(log->document()->blockCount(), 3); // two entries and the empty last line
        QCOMPARE(w->chatLogText(), QString::fromUtf8("hi␤<my own words>␍␤␁␉␡␤␤␤��>sdrow<�") +
                                       QChar(0x1F600) + "\r\nnext\r\n");
        // Plain text and other scripts pass unchanged.
        QCOMPARE(ChatLog::shown(QString::fromUtf8("grüße € שלום <b>")),
                 QString::fromUtf8("grüße € שלום <b>"));
    }

    // A flood of chat does not grow the log without end: long lines are cut,
    // the oldest lines go first.
    void chatLogKeepsABoundedHistory() {
        start();
        QPlainTextEdit* log = child<QPlainTextEdit>(w.get(), "txtLog");
        w->UpdateChatList(QString(70000, 'x'));
        const QString first = log->document()->firstBlock().text();
        QCOMPARE(first.size(), ChatLog::MaxLineChars);
        QCOMPARE(first.left(ChatLog::MaxLineChars - 1), QString(ChatLog::MaxLineChars - 1, 'x'));
        QCOMPARE(first.back(), QChar(0x2026));
        // A character made of two code units is never cut in half.
        const QString face = QString(QChar(0xD83D)) + QChar(0xDE00);
        QString faces;
        while (faces.size() < ChatLog::MaxLineChars + 10)
            faces += face;
        QCOMPARE(ChatLog::shown("a" + faces).right(2), QString(QChar(0xDE00)) + QChar(0x2026));

        for (int i = 0; i < ChatLog::DefaultLimits.lines + 4; ++i)
            w->UpdateChatList(QString("line %1").arg(i));
        QCOMPARE(log->document()->blockCount() - 1, int(ChatLog::DefaultLimits.lines));
        QCOMPARE(log->document()->firstBlock().text(), QString("line 4"));
        QCOMPARE(log->document()->lastBlock().previous().text(),
                 QString("line %1").arg(ChatLog::DefaultLimits.lines + 3));

        // Long lines: the characters kept stay under the bound.
        const QString big(ChatLog::MaxLineChars, 'y');
        const int lines = int(ChatLog::DefaultLimits.chars / big.size()) + 20;
        for (int i = 0; i < lines; ++i)
            w->UpdateChatList(big);
        QVERIFY(log->document()->characterCount() <= ChatLog::DefaultLimits.chars + 1);
        QVERIFY(log->document()->characterCount() >
                ChatLog::DefaultLimits.chars - 2 * ChatLog::MaxLineChars);
        QCOMPARE(log->document()->lastBlock().previous().text().size(), ChatLog::MaxLineChars);
    }

    // Dropping old lines keeps a reader's place: the lines in view stay.
    void readerKeepsPlaceWhileOldLinesGo() {
        QPlainTextEdit edit;
        edit.resize(300, 200);
        edit.show();
        QVERIFY(QTest::qWaitForWindowExposed(&edit));
        ChatLog log(&edit, {100, 1000000});
        for (int i = 0; i < 100; ++i)
            log.append(QString("old %1").arg(i));
        settle();
        edit.verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
        for (int i = 0; i < 5; ++i)
            edit.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        const QString before = edit.cursorForPosition(QPoint(4, 4)).block().text();
        QCOMPARE(before, QString("old 5"));
        for (int i = 0; i < 3; ++i)
            log.append(QString("new %1").arg(i));
        settle();
        QCOMPARE(log.lineCount(), 100);
        QCOMPARE(edit.document()->firstBlock().text(), QString("old 3"));
        QCOMPARE(edit.cursorForPosition(QPoint(4, 4)).block().text(), before);
    }

    void activityBarsKeepExactValues() {
        start();
        for (int i = 0; i < 61; ++i)
            w->bumpReceiveBar();
        w->bumpSendBar();
        QCOMPARE(w->receiveBarText(), QString(61, '|'));
        QCOMPARE(w->sendBarText(), QString("|"));
        QTRY_COMPARE(child<QLabel>(w.get(), "lbRecv")->text(), QString(61, '|'));
        QTRY_COMPARE(child<QLabel>(w.get(), "lbSent")->text(), QString("|"));
        w->bumpReceiveBar();
        QCOMPARE(w->receiveBarText(), QString("|"));
        QTRY_COMPARE(child<QLabel>(w.get(), "lbRecv")->text(), QString("|"));

        w->setProgressValue(37);
        QCOMPARE(w->progressValue(), 37);
        w->setProgressValue(250);
        QCOMPARE(w->progressValue(), 100);
        QTRY_COMPARE(child<QProgressBar>(w.get(), "ProgressBar1")->value(), 100);
        // Shown and hidden with the exact value.
        w->setProgressValue(42);
        w->setProgressVisible(true);
        QCOMPARE(child<QProgressBar>(w.get(), "ProgressBar1")->value(), 42);
    }

    // Thousands of arrivals a second: the bars and the progress bar are drawn
    // about 30 times a second, and they catch up with the exact values.
    void activityPaintsAtScreenPace() {
        startShown();
        QLabel* recv = child<QLabel>(w.get(), "lbRecv");
        QProgressBar* progress = child<QProgressBar>(w.get(), "ProgressBar1");
        w->setProgressVisible(true);
        settle();
        PaintCounter recvPaints(recv), progressPaints(progress);
        QElapsedTimer clock;
        clock.start();
        int events = 0;
        while (clock.elapsed() < 600) {
            w->bumpReceiveBar();
            w->setProgressValue(events % 101);
            ++events;
            QCoreApplication::processEvents();
        }
        const qint64 ms = clock.elapsed();
        QVERIFY2(events > 200, qPrintable(QString::number(events)));
        const int allowed = int(ms / ActivityDisplay::RefreshIntervalMs) + 5;
        QVERIFY2(recvPaints.paints <= allowed && progressPaints.paints <= allowed,
                 qPrintable(QString("%1 and %2 paints in %3 ms for %4 events")
                                .arg(recvPaints.paints)
                                .arg(progressPaints.paints)
                                .arg(ms)
                                .arg(events)));
        QVERIFY(recvPaints.paints >= 2 && progressPaints.paints >= 2);
        QTRY_COMPARE(recv->text(), w->receiveBarText());
        QTRY_COMPARE(progress->value(), w->progressValue());
    }
};

QTEST_MAIN(TstAppLogs)
#include "tst_app_logs.moc"
