// What the user reads and where: every window's title, each control's
// caption and place, the menus, and the notice and About texts. Positions are
// written in twips as the layout gives them (15 twips to a pixel), so a moved
// or renamed control fails here.
#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>

#include "NoRouter.h"
#include "RecordingDialogServices.h"
#include "WidgetLookup.h"
#include "app/frmMain.h"
#include "windows/frmAbout.h"
#include "windows/frmBrowser.h"
#include "windows/frmFont.h"
#include "windows/frmNotice.h"

namespace {

constexpr int kTwipsPerPixel = 15;

QRect fromTwips(int left, int top, int width, int height) {
    return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
                 height / kTwipsPerPixel);
}

// The caption a control shows: a label's or button's text, a frame's title.
QString captionOf(QWidget* w) {
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        return button->text();
    if (auto* frame = qobject_cast<QGroupBox*>(w))
        return frame->title();
    return QString();
}

} // namespace

class TstAppLayout : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    RecordingDialogServices m_rec;
    std::unique_ptr<frmMain> m_main;
    std::unique_ptr<frmFont> m_font;
    std::unique_ptr<frmNotice> m_notice;
    std::unique_ptr<frmAbout> m_about;
    std::unique_ptr<frmBrowser> m_browser;

    QWidget* window(const QString& name) const {
        if (name == "frmMain")
            return m_main.get();
        if (name == "frmFont")
            return m_font.get();
        if (name == "frmNotice")
            return m_notice.get();
        if (name == "frmAbout")
            return m_about.get();
        return m_browser.get();
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        const QString appDir = m_dir.path() + '/';
        QVERIFY(writeNoRouter(appDir));
        m_main = std::make_unique<frmMain>(appDir, m_rec);
        m_font = std::make_unique<frmFont>(appDir, m_rec, nullptr);
        m_notice = std::make_unique<frmNotice>(appDir, m_rec);
        m_about = std::make_unique<frmAbout>();
        m_browser = std::make_unique<frmBrowser>(appDir + "overview.htm");
    }

    void windowTitles_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("title");
        QTest::newRow("main") << "frmMain"
                              << "Orvane Encryption Vantrel v3";
        QTest::newRow("font") << "frmFont"
                              << "Font";
        QTest::newRow("notice") << "frmNotice"
                                << "Important Notice";
        QTest::newRow("about") << "frmAbout"
                               << "About Orvane Encryption Vantrel 3";
        QTest::newRow("help") << "frmBrowser"
                              << "Help File";
    }
    void windowTitles() {
        QFETCH(QString, window);
        QTEST(this->window(window)->windowTitle(), "title");
    }

    // The area inside each window's frame (below the menu bar on the main
    // window).
    void clientAreas_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QSize>("size");
        QTest::newRow("main") << "frmMain" << fromTwips(0, 0, 9030, 7365).size();
        QTest::newRow("font") << "frmFont" << fromTwips(0, 0, 5550, 2775).size();
        QTest::newRow("notice") << "frmNotice" << fromTwips(0, 0, 4740, 2385).size();
        QTest::newRow("help") << "frmBrowser" << fromTwips(0, 0, 10545, 7350).size();
    }
    void clientAreas() {
        QFETCH(QString, window);
        QWidget* w = this->window(window);
        if (auto* main = qobject_cast<QMainWindow*>(w))
            w = main->centralWidget();
        QTEST(w->size(), "size");
    }

    void controls_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("container"); // empty: the window's client area
        QTest::addColumn<QString>("caption");   // null: the control shows no caption
        QTest::addColumn<QRect>("place");
        const QString none;
        const auto row = [](const char* window, const char* control, const char* container,
                            const QString& caption, QRect place) {
            QTest::addRow("%s.%s", window, control)
                << QString(window) << QString(control) << QString(container) << caption << place;
        };
        row("frmMain", "Label1", "", "Your IP Addr", fromTwips(720, 0, 975, 255));
        // The three address and port boxes are 2 px lower than laid out (17 px, not
        // 19) and Save starts 2 px further down (34, 16 px high), so that Save no
        // longer hides the bottom of the port box.
        row("frmMain", "txtIP", "", none, fromTwips(360, 240, 1815, 285).adjusted(0, 0, 0, -2));
        row("frmMain", "Label4", "", "Port", fromTwips(2280, 0, 735, 255));
        row("frmMain", "txtPort", "", none, fromTwips(2280, 240, 735, 285).adjusted(0, 0, 0, -2));
        row("frmMain", "Command6", "", "Save", fromTwips(2280, 480, 735, 255).adjusted(0, 2, 0, 1));
        row("frmMain", "Command1", "", "Wait for Connect", fromTwips(3360, 240, 1455, 375));
        row("frmMain", "Command2", "", "Connect", fromTwips(5280, 240, 1215, 375));
        row("frmMain", "Label2", "", "Connect to IP Addr", fromTwips(6840, 0, 1935, 255));
        row("frmMain", "txtConnect", "", none,
            fromTwips(6840, 240, 1935, 285).adjusted(0, 0, 0, -2));
        row("frmMain", "Frame4", "", "Chat", fromTwips(0, 720, 9015, 4695));
        row("frmMain", "txtLog", "Frame4", none, fromTwips(120, 240, 8775, 3735));
        row("frmMain", "Command7", "Frame4", "Font...", fromTwips(120, 4080, 855, 375));
        row("frmMain", "txtChat", "Frame4", none, fromTwips(1080, 4200, 6135, 285));
        row("frmMain", "Command5", "Frame4", "Send", fromTwips(7320, 4200, 615, 255));
        row("frmMain", "Frame3", "", "Status", fromTwips(120, 5520, 3975, 1815));
        row("frmMain", "List1", "Frame3", none, fromTwips(120, 360, 3735, 1230));
        row("frmMain", "lbSent", "Frame3", "", fromTwips(120, 1560, 1815, 135));
        row("frmMain", "lbRecv", "Frame3", "", fromTwips(2040, 1560, 1815, 135));
        row("frmMain", "Frame1", "", "Send File", fromTwips(4200, 5520, 4695, 1815));
        row("frmMain", "Label3", "Frame1", "Filename", fromTwips(120, 240, 4335, 255));
        row("frmMain", "Text2", "Frame1", none, fromTwips(120, 480, 4335, 285));
        row("frmMain", "Command3", "Frame1", "Select", fromTwips(120, 960, 855, 375));
        row("frmMain", "Command4", "Frame1", "Send", fromTwips(3480, 960, 855, 375));
        row("frmMain", "ProgressBar1", "Frame1", none, fromTwips(120, 1440, 4455, 255));
        row("frmMain", "cmdCancel", "Frame1", "Cancel", fromTwips(2520, 960, 855, 375));
        row("frmMain", "lbRecvProgress", "Frame1", "", fromTwips(1080, 240, 3375, 255));

        row("frmFont", "Text1", "", none, fromTwips(240, 240, 2175, 2415));
        row("frmFont", "Command1", "", "Background Color", fromTwips(2880, 240, 2055, 375));
        row("frmFont", "Command2", "", "Character Color", fromTwips(2880, 840, 2055, 375));
        row("frmFont", "Command3", "", "Font", fromTwips(3360, 1440, 1095, 375));
        row("frmFont", "Command4", "", "Set", fromTwips(2760, 2280, 1095, 375));
        row("frmFont", "Command5", "", "Cancel", fromTwips(4320, 2280, 1095, 375));

        row("frmNotice", "Text1", "", none, fromTwips(0, 0, 4695, 1695));
        // The check box is wider than laid out (200 px, not 129) so that its
        // caption is not cut off in the platform's font.
        row("frmNotice", "Check1", "", "Do not show this again",
            fromTwips(120, 1920, 1935, 255).adjusted(0, 0, 71, 0));

        row("frmBrowser", "WebBrowser1", "", none,
            QRect(QPoint(0, 0), fromTwips(0, 0, 10545, 7350).size()));
    }
    void controls() {
        QFETCH(QString, window);
        QFETCH(QString, control);
        QFETCH(QString, container);
        QFETCH(QString, caption);
        QFETCH(QRect, place);
        QWidget* root = this->window(window);
        auto* w = child<QWidget>(root, control.toLatin1().constData());
        QWidget* expectedParent = container.isEmpty()
                                      ? (qobject_cast<QMainWindow*>(root)
                                             ? qobject_cast<QMainWindow*>(root)->centralWidget()
                                             : root)
                                      : child<QWidget>(root, container.toLatin1().constData());
        QCOMPARE(w->parentWidget(), expectedParent);
        if (!caption.isNull())
            QCOMPARE(captionOf(w), caption);
        if (control == "WebBrowser1")
            QCOMPARE(w->pos(), place.topLeft()); // sized to the window when shown
        else
            QCOMPARE(w->geometry(), place);
    }

    void menus() {
        QStringList shown;
        for (QAction* top : m_main->menuBar()->actions()) {
            shown << top->text();
            for (QAction* item : top->menu()->actions())
                shown << "  " + (item->isSeparator() ? QString("-") : item->text());
        }
        QCOMPARE(
            shown,
            (QStringList{"File", "  Send File", "  Cancel Sending", "  Open Received Files",
                         "  Disconnect", "  -", "  Exit", "Options", "  Secure Connections",
                         "  Require Secure Connections", "  -", "  Name on This Network...", "  -",
                         "  Open Port on Router", "Help", "  About", "  -", "  Using Vantrel"}));
        QCOMPARE(child<QMenu>(m_main.get(), "fle")->title(), QString("File"));
        QCOMPARE(child<QAction>(m_main.get(), "flesend")->text(), QString("Send File"));
        QCOMPARE(child<QAction>(m_main.get(), "flecancel")->text(), QString("Cancel Sending"));
        QCOMPARE(child<QAction>(m_main.get(), "fleopen")->text(), QString("Open Received Files"));
        QCOMPARE(child<QAction>(m_main.get(), "fledisc")->text(), QString("Disconnect"));
        QCOMPARE(child<QAction>(m_main.get(), "fleext")->text(), QString("Exit"));
        QCOMPARE(child<QMenu>(m_main.get(), "hlps")->title(), QString("Help"));
        QCOMPARE(child<QAction>(m_main.get(), "hlpabt")->text(), QString("About"));
        QCOMPARE(child<QAction>(m_main.get(), "hlp")->text(), QString("Using Vantrel"));
    }

    void windowTexts() {
        QCOMPARE(child<QPlainTextEdit>(m_notice.get(), "Text1")->toPlainText(),
                 QString("This is version 3 of Vantrel first released 2 June, 2005.  If you are "
                         "planning on communicating with someone who has downloaded the version "
                         "prior to 2 June, 2005 (version 2), they will need to upgrade before "
                         "communication can take place."));
        QCOMPARE(child<QPlainTextEdit>(m_font.get(), "Text1")->toPlainText().split('\n'),
                 (QStringList{"This is", "how we", "want this", "to look."}));
        QCOMPARE(child<QLabel>(m_about.get(), "Label1")->text(),
                 QString("Orvane Encryption Vantrel 3"));
        QCOMPARE(child<QAbstractButton>(m_about.get(), "Command1")->text(), QString("Done"));
        for (const char* line : {"Label2", "Label3", "Label4"})
            QVERIFY2(!child<QLabel>(m_about.get(), line)->text().trimmed().isEmpty(), line);
    }
};

QTEST_MAIN(TstAppLayout)
#include "tst_app_layout.moc"
