#pragma once

#include <QMainWindow>
#include <QString>
#include <QTimer>
#include <memory>

#include "app/ActivityDisplay.h"
#include "app/ProgramFolders.h"
#include "app/SecureSettings.h"
#include "platform/Socket.h"
#include "protocol/SessionView.h"
#include "windows/ChatAppearance.h"

class QAction;
class BottomFollower;
class Discovery;
class NearbyCopies;
class ChatLog;
class StatusLog;
class QDialog;
class QLabel;
class QPushButton;
class QToolButton;
class RouterPort;
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
    // The program folder, the received-files folder and the help page as
    // decided at start (portable, installed or chosen with --folder).
    frmMain(const ProgramFolders& folders, DialogServices& services, QWidget* parent = nullptr);
    ~frmMain() override;

    DialogServices& services() const { return m_services; }
    const ProgramFolders& folders() const { return m_folders; }
    // The connection: flags, keys, chat and file transfer.
    Session& session() const { return *m_session; }

    // The program's folder, ending in "/".
    const QString& AppDir() const { return m_appDir; }
    // The help page the help window shows (set by Help > Using Vantrel).
    const QString& HelpPage() const { return m_helpPage; }
    // The port text read from port.dat at start-up.
    const QString& PortStr() const { return m_portStr; }
    // Folder for received files, ending in "/" (AppDir() + "Recv/" unless
    // installed).
    const QString& Recv() const { return m_recv; }
    // The start-up notice has been shown in this run.
    bool NoticeHasShown() const { return m_noticeHasShown; }
    // The one network endpoint of the program.
    const Socket& sock() const { return m_sock; }

    // The status list and the chat log.
    void UpdateList(const QString& line) override;
    void UpdateChatList(const QString& line) override;
    // Index of the status line last put at the top of the list's view: the
    // view ends at the newest line unless the user has scrolled up to read.
    int listTopIndex() const { return m_listTop; }
    // The chat log's whole text, each line ending CR LF.
    QString chatLogText() const;

    // Shows one of the program's own windows modally; when it has closed the
    // main window is active again, so the notice check runs.
    int showOwnModal(QDialog& dialog);

    // SessionView
    QString ownAddressText() const override;
    void setOwnAddressText(const QString& text) override;
    QString peerAddressText() const override;
    void setPeerAddressText(const QString& text) override;
    void setSendButtonsEnabled(bool enabled) override;
    void returnUnsentChat(const QStringList& lines) override;
    void setProgressValue(int value) override;
    void setProgressVisible(bool visible) override;
    void chatArrived(const QString& line) override;
    void fileArrived(const QString& path) override;
    void setReceiveStatus(const QString& text) override;
    void bumpReceiveBar() override;
    void bumpSendBar() override;
    void setLinkMode(LinkMode mode) override;

    // Lists the copies waiting on this network and announces this one while
    // it waits; without it (tests, --no-discovery) neither happens.
    void setDiscovery(std::unique_ptr<Discovery> discovery);
    const NearbyCopies& nearbyCopies() const { return *m_nearby; }
    // The name this copy is announced under while it waits: the one chosen
    // in Options (kept in name.dat), or the computer's name.
    QString networkName() const;
    // What the mode label shows in a secure connection with `code`:
    // "Secure · 8F22 371A".
    static QString secureLabel(const QString& code);
    // Opening the port on the router while waiting (router.dat).
    RouterPort& routerPort() const { return *m_router; }

    // The Options menu's settings as in use (and in secure.dat).
    const SecureSettings& secureSettings() const { return m_secure; }

    // The exact values of the activity bars and the progress bar; the
    // widgets show them a few times a second.
    const QString& sendBarText() const { return m_activity->sendBarText(); }
    const QString& receiveBarText() const { return m_activity->receiveBarText(); }
    int progressValue() const { return m_activity->progressValue(); }

    // A bar starts again at one "|" when it reaches this many characters.
    static constexpr int BarWrapLength = ActivityDisplay::WrapLength;
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
    // The Options menu and the connection's mode label in the status frame.
    void makeSecureControls();
    void readSecureSettings(QStringList& problems);
    void readNetworkName(QStringList& problems);
    // Options > Name on This Network...
    void chooseNetworkName();
    // Announces this copy while it waits, with what it shows now.
    void updateAnnouncement();
    // A ticked or cleared Options item: applied and stored.
    void secureOptionChanged(QAction* item);
    // The receiving side's stop button: while a file arrives in a secure
    // connection.
    void showCancelRecv();
    void fitActivityBars();
    void setUpKeyboardAndNames();
    int statusRowsShown() const;
    void NoticeCheck();

    void savePort();
    // The path the user picks in the open-file dialog; empty when not
    // connected (after saying so) or when nothing was picked.
    QString dialogFolder();
    void rememberDialogFolder(const QString& chosen);
    QString chooseFileToSend();
    void selectFile();
    void sendFileButton();
    void sendFileMenu();
    void sendChat();
    void showFontWindow();
    void showAbout();
    void showHelp();
    // File > Open Received Files.
    void openReceivedFolder();
    // Taskbar attention and a desktop notification for an arrival while the
    // window is in the background.
    void drawAttention(const QString& summary, const QString& text);

    std::unique_ptr<Ui::frmMain> m_ui;
    DialogServices& m_services;
    ProgramFolders m_folders;
    // The folder the file dialog opens in: the one last chosen from.
    QString m_lastFileFolder;
    QString m_appDir;
    QString m_helpPage;
    QString m_portStr;
    QString m_recv;
    bool m_noticeHasShown = false;
    // Declared before the session, which uses it until it is gone.
    Socket m_sock;
    std::unique_ptr<Session> m_session;
    ActivityDisplay* m_activity = nullptr;
    std::unique_ptr<ChatLog> m_chatLog;
    BottomFollower* m_statusFollower = nullptr;
    std::unique_ptr<StatusLog> m_statusLog;
    bool m_statusScrollPending = false;
    // The chat log's look as last read from or stored in font.dat.
    ChatAppearance m_chatLook;
    int m_listTop = 0;
    bool m_firstShow = true;
    bool m_noticeCheckRunning = false;
    SecureSettings m_secure;
    QAction* m_optSecure = nullptr;
    QAction* m_optRequire = nullptr;
    QLabel* m_lbSecure = nullptr;
    QToolButton* m_cmdCancelRecv = nullptr;
    NearbyCopies* m_nearby = nullptr;
    QPushButton* m_cmdCopies = nullptr;
    // As in name.dat; empty for the computer's name.
    QString m_networkName;
    RouterPort* m_router = nullptr;
    LinkMode m_linkMode = LinkMode::None;
    // While the secure connection is set up the window is not repainted,
    // for at most PaintHoldMs: each repaint waits for the display server,
    // and the handshake's messages would wait behind it.
    static constexpr int PaintHoldMs = 150;
    QTimer* m_paintHold = nullptr;
    void holdPaint(bool hold);
};
