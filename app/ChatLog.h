#pragma once

#include <QString>
#include <QtGlobal>

#include <deque>

class BottomFollower;
class QPlainTextEdit;

// The chat log's content. Every entry is shown as one line: line breaks and
// other control characters become visible symbols, so a received line can
// never pass for another entry, and an overlong line is cut. The oldest
// entries are dropped once the log holds too many lines or characters, and
// the view follows the newest line only while the user has not scrolled up.
class ChatLog {
public:
    struct Limits {
        qsizetype lines;
        qsizetype chars;
    };
    // About 20,000 lines or 20 MB of text (two bytes a character).
    static constexpr Limits DefaultLimits{20000, 10 * 1024 * 1024};
    // A longer entry is cut to this many characters, the last being "…".
    static constexpr qsizetype MaxLineChars = 64 * 1024;

    explicit ChatLog(QPlainTextEdit* edit, Limits limits = DefaultLimits);
    ~ChatLog();

    void append(const QString& line);
    void clear();

    // Entries kept, and their characters (line ends included).
    qsizetype lineCount() const { return qsizetype(m_lengths.size()); }
    qsizetype charCount() const { return m_chars; }
    BottomFollower& follower() { return *m_follower; }

    // How `line` is shown: cut to MaxLineChars, and every character that
    // would break the line or act unseen replaced by a visible symbol
    // ("␤" for a line break, "␉" for a tab, "␀" ... for the other controls).
    static QString shown(const QString& line);

private:
    void dropOldest();

    QPlainTextEdit* m_edit;
    Limits m_limits;
    BottomFollower* m_follower;
    std::deque<qsizetype> m_lengths;
    qsizetype m_chars = 0;
};
