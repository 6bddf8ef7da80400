#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class QLabel;
class QProgressBar;

// The two activity bars and the file-sending progress bar. Their values
// change with every arrival and every block, far faster than anyone can
// see; they are kept here exactly and put on screen at most
// RefreshIntervalMs apart, so what is shown is never more than about that
// much behind.
class ActivityDisplay : public QObject {
    Q_OBJECT
public:
    ActivityDisplay(QLabel* sendBar, QLabel* receiveBar, QProgressBar* progress,
                    QObject* parent = nullptr);

    // One more "|" on a bar; at WrapLength characters it starts again at one.
    void bumpSend();
    void bumpReceive();
    void clearBars();
    // The progress value, kept within 0..100.
    void setProgress(int value);
    // The text in the progress bar; the bar shows none when it is empty.
    void setProgressText(const QString& text);

    const QString& sendBarText() const { return m_sendBar; }
    const QString& receiveBarText() const { return m_receiveBar; }
    int progressValue() const { return m_progress; }
    const QString& progressText() const { return m_progressText; }

    // Puts the kept values on screen now.
    void refreshNow();

    static constexpr int WrapLength = 62;
    // About 30 refreshes a second.
    static constexpr int RefreshIntervalMs = 33;

private:
    void changed();

    QLabel* m_sendBarLabel;
    QLabel* m_receiveBarLabel;
    QProgressBar* m_progressBar;
    QString m_sendBar;
    QString m_receiveBar;
    int m_progress = 0;
    QString m_progressText;
    QTimer m_timer;
    QElapsedTimer m_sinceRefresh;
};
