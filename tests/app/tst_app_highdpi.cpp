// The windows at a scale factor of 2: every caption shows whole and the main
// window fits a 1920 x 1080 screen.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "NoRouter.h"
#include "RecordingDialogServices.h"
#include "app/FitCaptions.h"
#include "app/frmMain.h"
#include "windows/frmAbout.h"
#include "windows/frmFont.h"
#include "windows/frmNotice.h"

namespace {

// Captions that are cut: "objectName: needs N, has M".
QStringList cutCaptions(QWidget* root) {
    QStringList cut;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        const int needed = FitCaptions::neededWidth(w);
        if (needed > w->width())
            cut << QStringLiteral("%1: needs %2, has %3")
                       .arg(w->objectName())
                       .arg(needed)
                       .arg(w->width());
    }
    return cut;
}

} // namespace

class TstAppHighdpi : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    RecordingDialogServices rec;

private slots:
    void scaled() { QCOMPARE(qApp->devicePixelRatio(), 2.0); }

    void mainWindowFitsScreen() {
        QVERIFY(writeNoRouter(dir.path()));
        frmMain w(dir.path(), rec);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QStringList cut = cutCaptions(&w);
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join("; ")));
        // Device pixels, with room for a title bar of 40 device pixels.
        const QSize device = w.frameGeometry().size() * 2;
        QVERIFY2(device.width() <= 1920 && device.height() + 40 <= 1080,
                 qPrintable(QStringLiteral("%1 x %2").arg(device.width()).arg(device.height())));
        // The captions keep a readable size.
        QVERIFY(w.findChild<QPushButton*>("Command1")->font().pointSizeF() >= 8.0 * 0.7);
    }

    // The small windows as the main window shows them.
    void ownWindowsShowCaptionsWhole() {
        QTemporaryDir fresh;
        rec.log.clear();
        QVERIFY(writeNoRouter(fresh.path()));
        frmMain w(fresh.path(), rec);
        QStringList cut;
        rec.onModal = [&cut](QDialog& d) {
            if (auto* about = qobject_cast<frmAbout*>(&d))
                about->setFolders("/home/someone/.local/share/Vantrel/",
                                  "/home/someone/Downloads/Vantrel/");
            cut << cutCaptions(&d);
            return 0;
        };
        w.findChild<QAction*>("hlpabt")->trigger();
        w.findChild<QPushButton*>("Command7")->click();
        w.show(); // the start-up notice
        QTRY_COMPARE(rec.entries("modal:"),
                     (QStringList{"modal:frmAbout", "modal:frmNotice", "modal:frmFont"}));
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join("; ")));
    }
};

int main(int argc, char** argv) {
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    // The program's own font (see main.cpp).
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.0);
    QApplication::setFont(font);
    TstAppHighdpi t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_app_highdpi.moc"
