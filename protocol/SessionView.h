#pragma once

#include <QString>
#include <QStringList>

// What the connection and transfer logic needs from the main window. The
// window implements it; tests may implement it with a recorder.
class SessionView {
public:
    virtual ~SessionView() = default;

    // Appends a line to the status list.
    virtual void UpdateList(const QString& line) = 0;
    // Appends a line (and a line end) to the chat log.
    virtual void UpdateChatList(const QString& line) = 0;

    // txtIP: this side's own address as shown (possibly edited by the user).
    virtual QString ownAddressText() const = 0;
    virtual void setOwnAddressText(const QString& text) = 0;
    // txtConnect: the peer's address.
    virtual QString peerAddressText() const = 0;
    virtual void setPeerAddressText(const QString& text) = 0;

    // Select, file Send and chat Send (Command3, Command4, Command5).
    virtual void setSendButtonsEnabled(bool enabled) = 0;

    // The file-sending progress bar (0..100).
    virtual void setProgressValue(int value) = 0;
    virtual void setProgressVisible(bool visible) = 0;

    // The line that shows how a reception is going; hidden when `text` is
    // empty.
    virtual void setReceiveStatus(const QString& text) { Q_UNUSED(text); }
    // How the file being sent is going ("42 % · 11.3 MB/s · 6 s left");
    // empty when no file is going.
    virtual void setSendStatus(const QString& text) { Q_UNUSED(text); }
    // The file of a queue that is going now; empty once the queue is done.
    virtual void setQueuedFile(const QString& path) { Q_UNUSED(path); }
    // A new connection has begun (accepted, or made by this side).
    virtual void connectionBegan() {}

    // Activity bars: one more "|" on lbRecv / lbSent.
    virtual void bumpReceiveBar() = 0;
    virtual void bumpSendBar() = 0;

    // Chat lines that were typed but never sent go back into the chat box.
    virtual void returnUnsentChat(const QStringList& lines) { Q_UNUSED(lines); }

    // How the connection is protected, shown while connected.
    enum class LinkMode { None, SettingUp, Secure, Legacy };
    virtual void setLinkMode(LinkMode) {}
    // The other side's chat line has been shown / its file has been stored
    // under `path`. The window draws the user's attention to it when it is
    // in the background.
    virtual void chatArrived(const QString& line) { Q_UNUSED(line); }
    virtual void fileArrived(const QString& path) { Q_UNUSED(path); }
};
