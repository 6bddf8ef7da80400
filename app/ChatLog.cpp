#include "app/ChatLog.h"

#include "app/BottomFollower.h"
#include "protocol/PeerText.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

ChatLog::ChatLog(QPlainTextEdit* edit, Limits limits)
    : m_edit(edit), m_limits(limits), m_follower(new BottomFollower(edit)) {}

ChatLog::~ChatLog() = default;

QString ChatLog::shown(const QString& line) {
    return PeerText::visible(line, MaxLineChars);
}

// Appends at the end without touching the rest of the log; the text goes in
// as plain characters, never as markup.
void ChatLog::append(const QString& line) {
    const QString text = shown(line);
    QTextCursor end(m_edit->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text + QLatin1Char('\n'));
    m_lengths.push_back(text.size() + 1);
    m_chars += text.size() + 1;
    dropOldest();
}

void ChatLog::clear() {
    m_edit->clear();
    m_lengths.clear();
    m_chars = 0;
}

// Takes the oldest entries away in one edit, keeping at least the newest.
// A reader who scrolled up keeps the same lines in view.
void ChatLog::dropOldest() {
    int drop = 0;
    qsizetype lines = lineCount();
    qsizetype chars = m_chars;
    while (lines > 1 && (lines > m_limits.lines || chars > m_limits.chars)) {
        chars -= m_lengths[size_t(drop)];
        --lines;
        ++drop;
    }
    if (drop == 0)
        return;
    QTextDocument* doc = m_edit->document();
    int layoutLines = 0;
    for (QTextBlock b = doc->firstBlock(); b.isValid() && b.blockNumber() < drop; b = b.next())
        layoutLines += qMax(1, b.lineCount());
    const bool following = m_follower->following();
    const int before = m_edit->verticalScrollBar()->value();
    QTextCursor cut(doc);
    cut.setPosition(doc->findBlockByNumber(drop).position(), QTextCursor::KeepAnchor);
    cut.removeSelectedText();
    m_lengths.erase(m_lengths.begin(), m_lengths.begin() + drop);
    m_chars = chars;
    if (!following)
        m_follower->shift(before - layoutLines - m_edit->verticalScrollBar()->value());
}
