#pragma once

#include "protocol/SessionView.h"

#include <QList>
#include <QStringList>

// A main window stand-in that keeps everything the session shows it.
class TestView : public SessionView {
public:
    void UpdateList(const QString& line) override { status << line; }
    void UpdateChatList(const QString& line) override { chat << line; }
    QString ownAddressText() const override { return own; }
    void setOwnAddressText(const QString& text) override { own = text; }
    QString peerAddressText() const override { return peer; }
    void setPeerAddressText(const QString& text) override { peer = text; }
    void setSendButtonsEnabled(bool enabled) override { buttons = enabled; }
    void setProgressValue(int value) override { progress << value; }
    void setProgressVisible(bool visible) override { progressVisible = visible; }
    void setReceiveStatus(const QString& text) override {
        receiveStatus = text;
        if (!text.isEmpty())
            receiveStatusLines << text;
    }
    void bumpReceiveBar() override { ++receiveBars; }
    void bumpSendBar() override { ++sendBars; }
    void setLinkMode(LinkMode mode) override { modes << mode; }
    void returnUnsentChat(const QStringList& lines) override { returned << lines; }
    void chatArrived(const QString& line) override { arrivals << "chat:" + line; }
    void fileArrived(const QString& path) override { arrivals << "file:" + path; }

    QStringList status;
    QStringList chat;
    QString own = QStringLiteral("127.0.0.1");
    QString peer;
    bool buttons = false;
    QList<int> progress;
    bool progressVisible = false;
    QString receiveStatus;          // empty: hidden
    QStringList receiveStatusLines; // every text shown, in order
    int receiveBars = 0;
    int sendBars = 0;
    QList<LinkMode> modes;
    QStringList returned; // chat lines given back unsent
    QStringList arrivals; // "chat:<line>" and "file:<stored path>"
};
