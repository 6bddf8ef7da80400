#pragma once

#include <QString>
#include <QtGlobal>

class QListWidget;

// The status list's content. A run of the same line shows once, with how
// many times it came ("File Received. (×3)"), and the oldest lines are
// dropped once the list holds MaxLines: a peer that floods the connection
// cannot make the window draw or keep one line per message.
class StatusLog {
public:
    static constexpr int MaxLines = 5000;

    explicit StatusLog(QListWidget* list, int maxLines = MaxLines);

    // Appends `line`; true when it took a row of its own, false when it
    // counted as one more of the line before it.
    bool append(const QString& line);
    void clear();

    // `line` as shown the `times`-th time in a row: "line (×20,000)".
    static QString counted(const QString& line, qint64 times);

private:
    QListWidget* m_list;
    int m_maxLines;
    QString m_last;
    qint64 m_times = 0;
};
