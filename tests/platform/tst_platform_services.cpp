#include "platform/EventWait.h"
#include "platform/Placement.h"
#include "platform/QtServices.h"

#include "RecordingDialogServices.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace {

// Runs `act` on the message box as soon as it is up.
void whenMessageBoxShows(std::function<void(QMessageBox*)> act) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(box);
        }
    });
    poll->start();
}

} // namespace

class TstPlatformServices : public QObject {
    Q_OBJECT

private slots:
    void processEventsWaitsForAnEvent() {
        QObject context;
        bool fired = false;
        QTimer::singleShot(50, &context, [&fired] { fired = true; });
        QElapsedTimer clock;
        clock.start();
        // Each call waits for an event when none is pending, so a handful of
        // calls see the timer fire; calls that returned at once would number
        // in the many thousands within those 50 ms.
        int calls = 0;
        while (!fired && calls < 1000 && clock.elapsed() < 20000) {
            EventWait::processEvents(20000);
            ++calls;
        }
        QVERIFY(fired);
        QVERIFY2(calls < 1000, qPrintable(QString::number(calls)));

        // Pending events run at once; with none, the wait ends at its bound.
        bool ran = false;
        QMetaObject::invokeMethod(
            &context, [&ran] { ran = true; }, Qt::QueuedConnection);
        QtServices services;
        clock.restart();
        services.processEvents(60000);
        QVERIFY(ran);
        EventWait::processEvents(50);
        QVERIFY(clock.elapsed() < 30000);
    }

    void messageIsOkOnlyWithoutIcon() {
        QtServices services;
        QString title, text;
        int icon = -1;
        QList<QMessageBox::StandardButton> buttons;
        whenMessageBoxShows([&](QMessageBox* box) {
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            for (QAbstractButton* b : box->buttons())
                buttons << box->standardButton(b);
            box->button(QMessageBox::Ok)->click();
        });
        services.message(QStringLiteral("Missing IP Address."));
        QCOMPARE(title, QStringLiteral("Vantrel"));
        QCOMPARE(text, QStringLiteral("Missing IP Address."));
        QCOMPARE(icon, int(QMessageBox::NoIcon));
        QCOMPARE(buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    }

    // A box belongs to the main window set as owner, even while another
    // window is active: it opens centred on it, wide enough for its title.
    // The program's own windows open centred on their parent.
    void boxesOpenCentredOnTheirOwner() {
        QWidget owner, other;
        owner.setGeometry(300, 200, 420, 300);
        other.setGeometry(20, 20, 200, 150);
        for (QWidget* w : {&owner, &other}) {
            w->show();
            QVERIFY(QTest::qWaitForWindowExposed(w));
        }
        other.activateWindow();
        QtServices services;
        services.setOwner(&owner);
        const auto offCentre = [&owner](const QWidget* w) {
            return (w->frameGeometry().center() - owner.frameGeometry().center()).manhattanLength();
        };
        QWidget* parent = nullptr;
        int width = 0, off = -1;
        whenMessageBoxShows([&](QMessageBox* box) {
            parent = box->parentWidget();
            width = box->width();
            off = offCentre(box);
            box->button(QMessageBox::Ok)->click();
        });
        services.message(QStringLiteral("Saved."));
        QCOMPARE(parent, &owner);
        QVERIFY2(width >= Placement::widthForTitle("Vantrel"), qPrintable(QString::number(width)));
        QVERIFY2(off >= 0 && off <= 2, qPrintable(QString::number(off)));

        QDialog dialog(&owner);
        dialog.resize(150, 100);
        QTimer::singleShot(0, &dialog, [&] {
            off = offCentre(&dialog);
            dialog.accept();
        });
        off = -1;
        QCOMPARE(services.showModal(dialog), int(QDialog::Accepted));
        QVERIFY2(off >= 0 && off <= 2, qPrintable(QString::number(off)));
    }

    void questionAnswersYesOnlyForYes() {
        QtServices services;
        for (QMessageBox::StandardButton press : {QMessageBox::Yes, QMessageBox::No}) {
            QString title;
            int buttonCount = 0;
            whenMessageBoxShows([&, press](QMessageBox* box) {
                title = box->windowTitle();
                buttonCount = int(box->buttons().size());
                box->button(press)->click();
            });
            const bool answer =
                services.question(QStringLiteral("Send it?"), QStringLiteral("File"));
            QCOMPARE(answer, press == QMessageBox::Yes);
            QCOMPARE(title, QStringLiteral("File"));
            QCOMPARE(buttonCount, 2);
        }
    }

    void endProgramLeavesEveryLoopAndHidesWindows() {
        QtServices services;
        QWidget window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        bool closeHandlerRan = false;
        struct Watch : QObject {
            bool* flag;
            explicit Watch(bool* f) : flag(f) {}
            bool eventFilter(QObject*, QEvent* e) override {
                if (e->type() == QEvent::Close)
                    *flag = true;
                return false;
            }
        } watch(&closeHandlerRan);
        window.installEventFilter(&watch);

        // Ended from inside a nested loop (a modal window, say): both loops end.
        QEventLoop outer, inner;
        int innerResult = -1;
        QTimer::singleShot(0, &outer, [&] {
            QTimer::singleShot(0, &inner, [&] { services.endProgram(); });
            innerResult = inner.exec();
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &outer, [&] { outer.exit(99); });
        guard.start(30000);
        const int outerResult = outer.exec();
        QCOMPARE(innerResult, 0);
        QCOMPARE(outerResult, 0);
        QVERIFY(services.hasEnded());
        QVERIFY(!window.isVisible());
        QVERIFY(!closeHandlerRan);
    }

    // The recorder other tests rely on: it never blocks and never exits.
    void recorderAnswersWithoutBlocking() {
        RecordingDialogServices rec;
        QDialog dialog;
        dialog.setObjectName(QStringLiteral("frmNotice"));
        QCOMPARE(rec.showModal(dialog), int(QDialog::Rejected));
        auto* box = new QCheckBox(&dialog);
        rec.onModal = [](QDialog& d) {
            d.findChild<QCheckBox*>()->setChecked(true);
            return int(QDialog::Accepted);
        };
        QCOMPARE(rec.showModal(dialog), int(QDialog::Accepted));
        QVERIFY(box->isChecked());
        rec.questionAnswer = true;
        QVERIFY(rec.question(QStringLiteral("Sure?"), QStringLiteral("Exit")));
        rec.message(QStringLiteral("Port saved."));
        rec.endProgram();
        QVERIFY(rec.ended);
        QCOMPARE(rec.log, (QStringList{"modal:frmNotice", "modal:frmNotice", "question:Exit:Sure?",
                                       "message:Port saved.", "end"}));
        QCOMPARE(rec.entries(QStringLiteral("modal:")).size(), 2);
    }
};

QTEST_MAIN(TstPlatformServices)
#include "tst_platform_services.moc"
