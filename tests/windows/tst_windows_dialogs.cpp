#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

#include "RecordingDialogServices.h"
#include "WidgetLookup.h"
#include "platform/FileOps.h"
#include "windows/frmBrowser.h"
#include "windows/frmFont.h"
#include "windows/frmNotice.h"

namespace {
QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
QColor baseOf(const QWidget* w) {
    return w->palette().color(QPalette::Base);
}
} // namespace

class TstWindowsDialogs : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    RecordingDialogServices rec;
    QString appDir() const { return dir->path() + '/'; }
    QString file(const char* name) const { return appDir() + name; }

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        rec = RecordingDialogServices();
    }

    void fontFileForm() {
        ChatAppearance a;
        a.backColor = 16777215;
        a.foreColor = 0;
        a.fontName = "Arial";
        a.fontSize = 12;
        QCOMPARE(a.toFileBytes(), QByteArray(" 16777215\r\n 0\r\nArial\r\n 12\r\n"));
        // Shortest form of the single-precision value, never its long form.
        QCOMPARE(ChatAppearance::sizeText(8.25f), QByteArray(" 8.25"));
        QCOMPARE(ChatAppearance::sizeText(0.1f), QByteArray(" 0.1"));
        QCOMPARE(ChatAppearance::sizeText(13.2f), QByteArray(" 13.2"));
    }

    void fontFileFields_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected"); // "back|fore|name|size", "-" when unset
        QTest::newRow("all four") << QByteArray("-2147483643\r\n 255\r\nDejaVu Serif\r\n 8.25\r\n")
                                  << "-2147483643|255|DejaVu Serif|8.25";
        QTest::newRow("one field") << QByteArray(" 65280\r\n") << "65280|-|-|-";
        QTest::newRow("size 0") << QByteArray(" 1\r\n 2\r\nMono\r\n 0\r\n") << "1|2|Mono|-";
        QTest::newRow("no numbers") << QByteArray("red\r\nblue\r\n\r\nbig\r\n") << "-|-|-|-";
        QTest::newRow("too large") << QByteArray(" 99999999999\r\n 7x\r\nA\r\n-3\r\n") << "-|7|A|-";
    }
    void fontFileFields() {
        QFETCH(QByteArray, content);
        QVERIFY(FileOps::writeFile(file("font.dat"), content));
        QList<QByteArray> fields;
        QVERIFY(FileOps::readFields(file("font.dat"), 4, fields));
        const ChatAppearance a = ChatAppearance::fromFields(fields);
        const QStringList got{a.hasBackColor ? QString::number(a.backColor) : "-",
                              a.hasForeColor ? QString::number(a.foreColor) : "-",
                              a.hasFontName ? a.fontName : "-",
                              a.hasFontSize ? QString::number(double(a.fontSize)) : "-"};
        QTEST(got.join('|'), "expected");
    }

    // With no stored look, Set at once stores the plain look.
    void fontSetAtOnceStoresDefaults() {
        QPlainTextEdit log;
        QPalette red = log.palette();
        red.setColor(QPalette::Base, Qt::red);
        log.setPalette(red);
        frmFont w(appDir(), rec, &log);
        const QFont f = child<QPlainTextEdit>(&w, "Text1")->font();
        child<QPushButton>(&w, "Command4")->click();
        QCOMPARE(w.result(), int(QDialog::Accepted));
        QCOMPARE(readAll(file("font.dat")), "-2147483643\r\n-2147483640\r\n" + f.family().toUtf8() +
                                                "\r\n" + ChatAppearance::sizeText(f.pointSizeF()) +
                                                "\r\n");
        QCOMPARE(baseOf(&log), Colors::toQColor(Colors::WindowBackground));
        QVERIFY(rec.log.isEmpty());
    }

    void fontChoicesReachPreviewAndFile() {
        QPlainTextEdit log;
        frmFont w(appDir(), rec, &log);
        for (QPushButton* b :
             {child<QPushButton>(&w, "Command1"), child<QPushButton>(&w, "Command2"),
              child<QPushButton>(&w, "Command3")})
            b->click(); // cancelled colour and font dialogs: no choice
        QCOMPARE(baseOf(child<QPlainTextEdit>(&w, "Text1")),
                 Colors::toQColor(Colors::WindowBackground));
        QCOMPARE(w.preview().foreColor, Colors::WindowText);
        rec.color = 0xFF0000; // blue
        rec.fontChosen = true;
        rec.fontName = "DejaVu Serif";
        rec.fontSize = 14.25f;
        child<QPushButton>(&w, "Command1")->click();
        child<QPushButton>(&w, "Command3")->click();
        QCOMPARE(baseOf(child<QPlainTextEdit>(&w, "Text1")), QColor(0, 0, 255));
        QCOMPARE(child<QPlainTextEdit>(&w, "Text1")->font().pointSizeF(), 14.25);
        child<QPushButton>(&w, "Command4")->click();
        QCOMPARE(readAll(file("font.dat")),
                 QByteArray(" 16711680\r\n-2147483640\r\nDejaVu Serif\r\n 14.25\r\n"));
        QCOMPARE(log.font().family(), QString("DejaVu Serif"));
        QCOMPARE(rec.entries("color:").first(), QString("color:-2147483643"));
    }

    // The preview starts from the chat log's current look, so Set keeps what
    // was chosen before; black is a colour like any other.
    void fontStartsFromCurrentLookAndTakesBlack() {
        QPlainTextEdit log;
        ChatAppearance current;
        current.backColor = 0x00FFFF; // yellow
        current.fontName = "DejaVu Serif";
        current.fontSize = 13.5f;
        current.hasBackColor = current.hasFontName = current.hasFontSize = true;
        frmFont w(appDir(), rec, &log, current);
        QPlainTextEdit* preview = child<QPlainTextEdit>(&w, "Text1");
        QCOMPARE(baseOf(preview), QColor(255, 255, 0));
        QCOMPARE(preview->font().family(), QString("DejaVu Serif"));
        QCOMPARE(preview->font().pointSizeF(), 13.5);

        rec.color = 0; // black text
        child<QPushButton>(&w, "Command2")->click();
        QCOMPARE(rec.log, QStringList{"color:-2147483640"});
        QCOMPARE(preview->palette().color(QPalette::Text), QColor(Qt::black));
        child<QPushButton>(&w, "Command4")->click();
        QCOMPARE(readAll(file("font.dat")),
                 QByteArray(" 65535\r\n 0\r\nDejaVu Serif\r\n 13.5\r\n"));
        QCOMPARE(log.palette().color(QPalette::Text), QColor(Qt::black));
        QCOMPARE(baseOf(&log), QColor(255, 255, 0));
    }

    void fontCancelChangesNothing() {
        QPlainTextEdit log;
        const QColor before = baseOf(&log);
        frmFont w(appDir(), rec, &log);
        rec.color = 0x00FF00;
        child<QPushButton>(&w, "Command1")->click();
        child<QPushButton>(&w, "Command5")->click();
        QCOMPARE(w.result(), int(QDialog::Rejected));
        QVERIFY(!QFile::exists(file("font.dat")));
        QCOMPARE(baseOf(&log), before);
    }

    void fontFileCannotBeWritten() {
        QPlainTextEdit log;
        QVERIFY(QDir().mkpath(file("font.dat")));
        frmFont w(appDir(), rec, &log);
        rec.color = 0x00FF00;
        child<QPushButton>(&w, "Command1")->click();
        child<QPushButton>(&w, "Command4")->click();
        QCOMPARE(rec.log.size(), 2);
        QVERIFY(rec.log.last().contains(file("font.dat")));
        QCOMPARE(baseOf(&log), QColor(0, 255, 0)); // still used for this run
    }

    // Every way of closing the notice honours the box.
    void noticeMarker_data() {
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<int>("how");
        for (int how = 0; how < 3; ++how) {
            QTest::addRow("clear %d", how) << false << how;
            QTest::addRow("ticked %d", how) << true << how;
        }
    }
    void noticeMarker() {
        QFETCH(bool, ticked);
        QFETCH(int, how);
        QVERIFY(FileOps::writeFile(file("opt.dne"), QByteArray()));
        frmNotice w(appDir(), rec);
        w.show();
        child<QCheckBox>(&w, "Check1")->setChecked(ticked);
        if (how == 0)
            w.close();
        else if (how == 1)
            QTest::keyClick(&w, Qt::Key_Escape);
        else
            w.accept();
        QVERIFY(!w.isVisible());
        QCOMPARE(readAll(file("opt.dne")), ticked ? QByteArray("Done\r\n") : QByteArray());
    }

    void noticeMarkerCannotBeWritten() {
        QVERIFY(QDir().mkpath(file("opt.dne")));
        frmNotice w(appDir(), rec);
        w.show();
        child<QCheckBox>(&w, "Check1")->setChecked(true);
        w.close();
        QVERIFY(!w.isVisible());
        QCOMPARE(rec.log.size(), 1);
        QVERIFY(rec.log.first().contains(file("opt.dne")));
    }

    void browserShowsPage() {
        QVERIFY(FileOps::writeFile(file("overview.htm"), "<h1>Quince marker</h1>"));
        frmBrowser w(file("overview.htm"));
        QVERIFY(child<QTextBrowser>(&w, "WebBrowser1")->toPlainText().contains("Quince marker"));
        frmBrowser missing(file("nowhere.htm"));
        QVERIFY(child<QTextBrowser>(&missing, "WebBrowser1")
                    ->toPlainText()
                    .contains(file("nowhere.htm")));
    }

    // 50 twips (3 px) inside the outer frame, never past the client area.
    void browserSizeRule() {
        QCOMPARE(frmBrowser::browserSize({500, 300}, {500, 300}), QSize(497, 297));
        QCOMPARE(frmBrowser::browserSize({502, 331}, {500, 300}), QSize(499, 300));
        QCOMPARE(frmBrowser::browserSize({2, 2}, {0, 0}), QSize(0, 0));
    }

    // The page follows the window as it is resized. The headless platform
    // draws a 2 px frame on each side, so a framed window's outer size is
    // 4 px above its client size and the page fills the client area; without
    // a frame the outer size is the client size and the page stays 3 px in.
    void browserFollowsWindowSize_data() {
        QTest::addColumn<bool>("frameless");
        QTest::addColumn<QSize>("client");
        QTest::addColumn<QSize>("page");
        QTest::newRow("framed 500x300") << false << QSize(500, 300) << QSize(500, 300);
        QTest::newRow("framed 900x640") << false << QSize(900, 640) << QSize(900, 640);
        QTest::newRow("frameless 500x300") << true << QSize(500, 300) << QSize(497, 297);
        QTest::newRow("frameless 900x640") << true << QSize(900, 640) << QSize(897, 637);
    }
    void browserFollowsWindowSize() {
        QFETCH(bool, frameless);
        QFETCH(QSize, client);
        QFETCH(QSize, page);
        if (QGuiApplication::platformName() != QLatin1String("offscreen"))
            QSKIP("the expected sizes hold for the headless platform's frame");
        frmBrowser w(file("overview.htm"));
        w.setWindowFlag(Qt::FramelessWindowHint, frameless);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.resize(client);
        QTRY_COMPARE(child<QTextBrowser>(&w, "WebBrowser1")->geometry(), QRect(QPoint(0, 0), page));
    }
};

QTEST_MAIN(TstWindowsDialogs)
#include "tst_windows_dialogs.moc"
