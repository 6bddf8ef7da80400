#pragma once

#include <QMainWindow>
#include <QString>
#include <memory>

#include "platform/Socket.h"
#include "protocol/SessionView.h"

class QDialog;
class DialogServices;
class Session;

namespace Ui {
class frmMain;
}

// The program's main window: own address and port, the connection buttons,
// the chat log with its typing box, the status list and the file controls.
// Constructing it runs the start-up sequence: settings files, the Recv
// folder, the own address and the chat log's stored appearance.
class frmMain : public QMainWindow, public SessionView {
    Q_OBJECT
public:
    // `appDir` is the program's folder; every stored file lives there.
    frmMain(const QString& appDir, DialogServices& services, QWidget* parent = nullptr);
    ~frmMain() override;

    DialogServices& services() const { return m_services; }
    // The connection: flags, keys, chat and file transfer.
    Session& session() const { return *m_session; }

    // The program's folder, ending in "/".
    const QString& AppDir() const { return m_appDir; }
    // The help page the help window shows (set by Help > Using Vantrel).
    const QString& HelpPage() const { return m_helpPage; }
    // The port text read from port.dat at start-up.
    const QString& PortStr() const { return m_portStr; }
    // Folder for received files: AppDir() + "Recv/".
    const QString& Recv() const { return m_recv; }
    // The start-up notice has been shown in this run.
    bool NoticeHasShown() const { return m_noticeHasShown; }
    // The one network endpoint of the program.
    const Socket& sock() const { return m_sock; }

    // The status list and the chat log.
    void UpdateList(const QString& line) override;
    void UpdateChatList(const QString& line) override;
    // Index of the status line last put at the top of the list's view (0
    // while the list holds 12 lines or fewer).
    int listTopIndex() const { return m_listTop; }
    // The chat log's whole text, each line ending CR LF.
    QString chatLogText() const;

    // Shows one of the program's own windows modally; when it has closed the
    // main window is active again, so the notice check runs.
    int showOwnModal(QDialog& dialog);

    // SessionView
    QString ownAddressText() const override;
    QString peerAddressText() const override;
    void setPeerAddressText(const QString& text) override;
    void setSendButtonsEnabled(bool enabled) override;
    void setProgressValue(int value) override;
    void setProgressVisible(bool visible) override;
    void setReceiveStatus(const QString& text) override;
    void bumpReceiveBar() override;
    void bumpSendBar() override;

    // A bar starts again at one "|" when it reaches this many characters.
    static constexpr int BarWrapLength = 62;
    static constexpr const char* DefaultPort = "7777";

protected:
    void showEvent(QShowEvent* event) override;
    // Closing the window tells the peer and wipes the key files.
    void closeEvent(QCloseEvent* event) override;
    // A file dropped on the window goes into the file box.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void startUp();
    void readPort(QStringList& problems);
    void makeRecvFolder(QStringList& problems);
    void readChatAppearance(QStringList& problems);
    void fitActivityBars();
    void NoticeCheck();

    void savePort();
    // The path the user picks in the open-file dialog; empty when not
    // connected (after saying so) or when nothing was picked.
    QString chooseFileToSend();
    void selectFile();
    void sendFileButton();
    void sendFileMenu();
    void sendChat();
    void showFontWindow();
    void showAbout();
    void showHelp();

    std::unique_ptr<Ui::frmMain> m_ui;
    DialogServices& m_services;
    QString m_appDir;
    QString m_helpPage;
    QString m_portStr;
    QString m_recv;
    bool m_noticeHasShown = false;
    // Declared before the session, which uses it until it is gone.
    Socket m_sock;
    std::unique_ptr<Session> m_session;
    int m_listTop = 0;
    bool m_firstShow = true;
    bool m_noticeCheckRunning = false;
};
