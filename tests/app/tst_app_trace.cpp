// The opt-in trace that lets a benchmark watch the window from outside.
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <ctime>

#include "NoRouter.h"
#include "RecordingDialogServices.h"
#include "WidgetLookup.h"
#include "app/frmMain.h"

namespace {
long long nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}
} // namespace

class TstAppTrace : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        // Read once, at the first event.
        qputenv("VANTREL_TRACE", QFile::encodeName(dir.filePath("trace.txt")));
    }

    // Status lines, chat lines and a pressed chat Send each give one line
    // "<monotonic ns> <event> <text>", in order, readable while the program
    // runs; line ends inside a text do not split the record.
    void windowEventsAreRecorded() {
        QTemporaryDir folder;
        RecordingDialogServices rec;
        QVERIFY(writeNoRouter(folder.path()));
        frmMain w(folder.path(), rec);
        const long long before = nowNs();
        w.UpdateList("Waiting for Connection");
        w.UpdateChatList("first\nsecond");
        child<QLineEdit>(&w, "txtChat")->setText("hello there");
        child<QPushButton>(&w, "Command5")->setEnabled(true);
        child<QPushButton>(&w, "Command5")->click();
        const long long after = nowNs();

        QFile f(dir.filePath("trace.txt"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        QCOMPARE(lines.size(), 4 + 1); // the last line ends too
        QVERIFY(lines.last().isEmpty());
        QVERIFY2(lines.first().contains(" status To connect: "), lines.first().constData());
        const QList<QByteArray> want = {"status Waiting for Connection", "chat first second",
                                        "send hello there"};
        long long previous = before;
        for (int i = 0; i < want.size(); ++i) {
            const QByteArray& line = lines[i + 1]; // after the start-up line
            const qsizetype space = line.indexOf(' ');
            bool ok = false;
            const long long ns = line.left(space).toLongLong(&ok);
            QVERIFY2(ok, line.constData());
            QVERIFY(ns >= previous && ns <= after);
            previous = ns;
            QCOMPARE(line.mid(space + 1), want[i]);
        }
    }
};

QTEST_MAIN(TstAppTrace)
#include "tst_app_trace.moc"
