#include "frmMain.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QInputDialog>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMetaObject>
#include <QMimeData>
#include <QScrollBar>
#include <QShowEvent>
#include <QSysInfo>
#include <QTextCursor>
#include <QToolButton>
#include <filesystem>
#include <system_error>

#include "app/AddressPicker.h"
#include "app/BottomFollower.h"
#include "app/ChatLog.h"
#include "app/FitCaptions.h"
#include "app/GrowLayout.h"
#include "app/NearbyCopies.h"
#include "app/RouterPort.h"
#include "app/StatusLog.h"
#include "app/Trace.h"
#include "platform/DialogServices.h"
#include "platform/Discovery.h"
#include "platform/FileOps.h"
#include "platform/TextCodec.h"
#include "protocol/Session.h"
#include "ui_frmMain.h"
#include "windows/ChatAppearance.h"
#include "windows/frmAbout.h"
#include "windows/frmBrowser.h"
#include "windows/frmFont.h"
#include "windows/frmNotice.h"

namespace {

// The reason a file operation failed, naming the file.
QString reason(const QString& path, const QString& error) {
    if (!error.isEmpty())
        return error;
    return QStringLiteral("%1: the file cannot be used").arg(QDir::toNativeSeparators(path));
}

} // namespace

frmMain::frmMain(const QString& appDir, DialogServices& services, QWidget* parent)
    : frmMain(ProgramFolders::portable(appDir), services, parent) {}

frmMain::frmMain(const ProgramFolders& folders, DialogServices& services, QWidget* parent)
    : QMainWindow(parent), m_ui(new Ui::frmMain), m_services(services), m_folders(folders) {
    m_ui->setupUi(this);
    // This program's boxes open over this window, not over whichever window
    // happens to be active (another copy's, or none).
    m_services.setOwner(this);
    m_paintHold = new QTimer(this);
    m_paintHold->setSingleShot(true);
    m_paintHold->setInterval(PaintHoldMs);
    connect(m_paintHold, &QTimer::timeout, this, [this] { holdPaint(false); });

    // Client area 9030 x 7365 twips: the size the window opens at and its
    // smallest.
    m_ui->centralwidget->resize(602, 491);

    // Separators carry names too, so every menu entry can be found by name.
    const QList<QAction*> fileItems = m_ui->fle->actions();
    for (QAction* a : fileItems)
        if (a->isSeparator())
            a->setObjectName(QStringLiteral("flediv1"));
    const QList<QAction*> helpItems = m_ui->hlps->actions();
    for (QAction* a : helpItems)
        if (a->isSeparator())
            a->setObjectName(QStringLiteral("hlpdiv"));

    for (QLabel* label : findChildren<QLabel*>())
        label->setTextFormat(Qt::PlainText);
    QPalette sent = m_ui->lbSent->palette();
    sent.setColor(QPalette::WindowText, QColor(0, 128, 0));
    m_ui->lbSent->setPalette(sent);
    QPalette recv = m_ui->lbRecv->palette();
    recv.setColor(QPalette::WindowText, QColor(0, 0, 255));
    m_ui->lbRecv->setPalette(recv);
    fitActivityBars();
    m_activity = new ActivityDisplay(m_ui->lbSent, m_ui->lbRecv, m_ui->ProgressBar1, this);
    m_chatLog = std::make_unique<ChatLog>(m_ui->txtLog);
    m_statusFollower = new BottomFollower(m_ui->List1);
    m_statusLog = std::make_unique<StatusLog>(m_ui->List1);
    // Long status lines (reasons, warnings, the secure code) wrap instead of
    // running out of sight.
    m_ui->List1->setWordWrap(true);
    m_ui->List1->setResizeMode(QListView::Adjust);
    m_ui->List1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    makeGrowable();

    // Save sits just below the port box, over the top edge of the chat frame.
    m_ui->Command6->raise();
    // This computer's addresses, one click away from the own address box.
    new AddressPicker(m_ui->txtIP);

    connect(m_ui->Command6, &QPushButton::clicked, this, &frmMain::savePort);
    connect(m_ui->Command7, &QPushButton::clicked, this, &frmMain::showFontWindow);
    connect(m_ui->hlpabt, &QAction::triggered, this, &frmMain::showAbout);
    connect(m_ui->hlp, &QAction::triggered, this, &frmMain::showHelp);

    m_appDir = m_folders.programDir;
    if (!m_appDir.endsWith(QLatin1Char('/')))
        m_appDir += QLatin1Char('/');
    makeSecureControls();
    startUp();

    m_session = std::make_unique<Session>(m_appDir, m_recv, m_sock, m_services, *this);
    m_session->setSecureOptions(m_secure.enabled, m_secure.required);
    m_router = new RouterPort(
        m_appDir, m_services, [this](const QString& line) { UpdateList(line); }, this);
    m_router->addMenuItem(findChild<QMenu*>(QStringLiteral("opt")));
    connect(m_ui->Command1, &QPushButton::clicked, this, [this] {
        m_session->Listen(m_portStr);
        if (m_session->IsWaiting())
            m_router->waitStarted(quint16(m_sock.localPort()));
    });
    // A copy chosen from the list of waiting copies is reached on its port.
    connect(m_ui->Command2, &QPushButton::clicked, this, [this] {
        rememberPeerAddress();
        m_session->Connect(m_nearby->portFor(m_ui->txtConnect->text(), m_portStr));
    });
    connect(m_ui->Command3, &QPushButton::clicked, this, &frmMain::selectFile);
    connect(m_ui->Command4, &QPushButton::clicked, this, &frmMain::sendFileButton);
    connect(m_ui->Command5, &QPushButton::clicked, this, &frmMain::sendChat);
    connect(m_ui->txtChat, &QLineEdit::returnPressed, this, [this] {
        // Enter sends only while the chat Send button can be pressed.
        if (m_ui->Command5->isEnabled())
            sendChat();
    });
    connect(m_ui->flesend, &QAction::triggered, this, &frmMain::sendFileMenu);
    connect(m_ui->cmdCancel, &QPushButton::clicked, this, [this] { m_session->CancelSend(); });
    connect(m_ui->flecancel, &QAction::triggered, this, [this] { m_session->CancelSend(); });
    connect(m_ui->fleext, &QAction::triggered, this, &frmMain::exitProgram);
    connect(m_ui->fleopen, &QAction::triggered, this, &frmMain::openReceivedFolder);
    connect(m_ui->fledisc, &QAction::triggered, this, [this] { m_session->Disconnect(); });
    // Disconnect can be chosen while there is something to end.
    connect(m_session.get(), &Session::connectionStateChanged, this, [this] {
        // The router forwards the port only while this side waits.
        if (!m_session->IsWaiting())
            m_router->waitEnded();
        m_ui->fledisc->setEnabled(m_session->IsConnected() || m_session->IsWaiting() ||
                                  m_session->IsConnecting());
        updateAnnouncement();
    });
    // An address edited while waiting is announced as it now reads.
    connect(m_ui->txtIP, &QLineEdit::textChanged, this, &frmMain::updateAnnouncement);
    // Enter in the peer's address presses Connect.
    connect(m_ui->txtConnect, &QLineEdit::returnPressed, m_ui->Command2, &QPushButton::click);
    setAcceptDrops(true);
    setUpKeyboardAndNames();
    FitCaptions::apply(this);
}

frmMain::~frmMain() {
    m_session.reset();
}

void frmMain::closeEvent(QCloseEvent* event) {
    if (!mayQuit()) {
        event->ignore();
        return;
    }
    m_router->waitEnded();
    m_session->Close();
    event->accept();
}

bool frmMain::mayQuit() {
    const bool sending = m_session->sender().busy();
    if (!sending && !m_session->receiver().ClientRecv())
        return true;
    return m_services.question(
        QStringLiteral("A file is still being %1. Quit anyway?")
            .arg(sending ? QStringLiteral("sent") : QStringLiteral("received")),
        QStringLiteral("Quit"));
}

void frmMain::exitProgram() {
    if (!mayQuit())
        return;
    m_router->waitEnded();
    m_session->Exit();
}

QString frmMain::chooseFileToSend() {
    if (!m_session->IsConnected()) {
        m_services.message(QStringLiteral("You are not connected."));
        return {};
    }
    const QString chosen = m_services.openFileName(this, dialogFolder());
    rememberDialogFolder(chosen);
    return QDir::toNativeSeparators(chosen);
}

// The home folder the first time, then the folder last chosen from (while it
// still exists); never the program folder with its key files.
QString frmMain::dialogFolder() {
    if (m_lastFileFolder.isEmpty() || !QFileInfo(m_lastFileFolder).isDir())
        m_lastFileFolder = QDir::homePath();
    return m_lastFileFolder;
}

void frmMain::rememberDialogFolder(const QString& chosen) {
    if (!chosen.isEmpty())
        m_lastFileFolder = QFileInfo(chosen).absolutePath();
}

void frmMain::selectFile() {
    const QString fn = chooseFileToSend();
    if (!fn.isEmpty())
        m_ui->Text2->setText(fn);
}

void frmMain::sendFileButton() {
    const QString fn = m_ui->Text2->text();
    if (fn.isEmpty()) {
        m_services.message(QStringLiteral("Define or Select a File to Send."));
        return;
    }
    m_session->SendFile(fn, Session::Confirm::Skip);
}

void frmMain::sendFileMenu() {
    if (!m_session->IsConnected()) {
        m_services.message(QStringLiteral("You are not connected."));
        return;
    }
    QStringList chosen = m_services.openFileNames(this, dialogFolder());
    if (!chosen.isEmpty())
        rememberDialogFolder(chosen.first());
    for (QString& fn : chosen)
        fn = QDir::toNativeSeparators(fn);
    if (chosen.size() == 1)
        m_session->SendFile(chosen.first(), Session::Confirm::Ask);
    else
        m_session->SendFiles(chosen, Session::Confirm::Ask);
}

void frmMain::sendChat() {
    const QString line = m_ui->txtChat->text();
    if (line.isEmpty())
        return;
    Trace::event("send", line);
    // A line that did not go out stays in the box.
    if (m_session->SendChat(line))
        m_ui->txtChat->clear();
}

namespace {

// The local files among dropped items; empty when any item is not one.
QStringList droppedFiles(const QMimeData* mime) {
    QStringList paths;
    for (const QUrl& url : mime->urls()) {
        if (!url.isLocalFile())
            return {};
        paths << QDir::toNativeSeparators(url.toLocalFile());
    }
    return paths;
}

} // namespace

void frmMain::dragEnterEvent(QDragEnterEvent* event) {
    if (!droppedFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

// One file goes into the file box; several are sent one after another, each
// confirmed as the menu's files are.
void frmMain::dropEvent(QDropEvent* event) {
    const QStringList paths = droppedFiles(event->mimeData());
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    if (paths.size() == 1) {
        m_ui->Text2->setText(paths.first());
        return;
    }
    // Once the drop has ended: sending lets events run.
    QMetaObject::invokeMethod(
        this, [this, paths] { m_session->SendFiles(paths, Session::Confirm::Ask); },
        Qt::QueuedConnection);
}

// The start-up sequence. A settings file that cannot be used is reported
// once, together with the others, and its defaults are kept.
void frmMain::startUp() {
    QStringList problems;

    m_activity->clearBars();
    m_activity->refreshNow();
    m_recv = m_folders.recvDir;
    readPort(problems);
    m_ui->txtPort->setText(m_portStr);
    if (m_folders.makeRecvAtStartUp)
        makeRecvFolder(problems);
    m_ui->txtIP->setText(m_sock.localIP());
    m_statusLog->clear();
    m_ui->Text2->clear();
    m_ui->txtConnect->clear();
    readPeerAddress();
    m_chatLog->clear();
    m_ui->txtChat->clear();
    // The file and chat buttons follow the connection.
    setSendButtonsEnabled(false);
    m_ui->ProgressBar1->setVisible(false);
    m_ui->cmdCancel->setVisible(false);
    m_ui->lbRecvProgress->setVisible(false);
    readChatAppearance(problems);
    readSecureSettings(problems);
    readNetworkName(problems);
    UpdateList(QStringLiteral("To connect: one of you presses Wait for Connect, the other "
                              "types that address and presses Connect."));

    if (!problems.isEmpty())
        m_services.message(QStringLiteral("Vantrel could not use some of its files:\n\n%1\n\n"
                                          "The program goes on with the default settings.")
                               .arg(problems.join(QLatin1Char('\n'))));
}

void frmMain::readPort(QStringList& problems) {
    const QString path = m_appDir + QStringLiteral("port.dat");
    m_portStr = QString::fromLatin1(DefaultPort);
    QString error;
    const qint64 length = FileOps::lengthCreating(path, &error);
    if (length < 0) {
        problems << reason(path, error);
        return;
    }
    if (length == 0) {
        if (!FileOps::writeFile(path, QByteArray(DefaultPort) + "\r\n", &error))
            problems << reason(path, error);
        return;
    }
    QByteArray line;
    if (!FileOps::readFirstLine(path, line, &error)) {
        problems << reason(path, error);
        return;
    }
    // Shown as stored, even when it holds no valid port.
    m_portStr = TextCodec::fromFile(line);
}

// An existing folder is what a second start finds; only a folder that is
// still missing afterwards is worth a word.
void frmMain::makeRecvFolder(QStringList& problems) {
    QString path = m_recv;
    if (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    QString error;
    if (FileOps::makeFolder(path, &error) || QFileInfo(path).isDir())
        return;
    if (QFileInfo::exists(path))
        error = QStringLiteral("%1 is a file, not a folder").arg(QDir::toNativeSeparators(path));
    problems << QStringLiteral("Received files cannot be stored. %1").arg(reason(path, error));
}

void frmMain::readChatAppearance(QStringList& problems) {
    const QString path = m_appDir + QStringLiteral("font.dat");
    QString error;
    const qint64 length = FileOps::lengthCreating(path, &error);
    if (length < 0) {
        problems << reason(path, error);
        return;
    }
    if (length == 0)
        return;
    QList<QByteArray> fields;
    if (!FileOps::readFields(path, 4, fields, &error)) {
        problems << reason(path, error);
        return;
    }
    m_chatLook = ChatAppearance::fromFields(fields);
    m_chatLook.applyTo(m_ui->txtLog);
}

// Every control keeps its place at the opening size. A larger window gives
// its extra width to the chat log and the status list (the file frame moves
// along), and its extra height to the two of them, the chat log taking the
// larger part.
void frmMain::makeGrowable() {
    using Share = GrowLayout::Share;
    constexpr double chat = 0.6;
    constexpr double status = 1.0 - chat;
    auto* grow = new GrowLayout(m_ui->centralwidget);
    grow->add(m_ui->Frame4, Share{0, 0, 1, chat});
    grow->add(m_ui->txtLog, Share{0, 0, 1, chat});
    grow->add(m_ui->Command7, Share{0, chat, 0, 0});
    grow->add(m_ui->txtChat, Share{0, chat, 1, 0});
    grow->add(m_ui->Command5, Share{1, chat, 0, 0});
    grow->add(m_ui->Frame3, Share{0, chat, 1, status});
    grow->add(m_ui->List1, Share{0, 0, 1, status});
    grow->add(m_ui->lbSent, Share{0, status, 0.5, 0});
    grow->add(m_ui->lbRecv, Share{0.5, status, 0.5, 0});
    grow->add(m_ui->Frame1, Share{1, chat, 0, status});
    // The window opens at its smallest size.
    const QSize smallest = m_ui->centralwidget->minimumSize();
    setMinimumSize(smallest.width(), smallest.height() + menuBar()->sizeHint().height());
    resize(minimumSize());
    m_grow = grow;
}

// The bars hold up to 61 "|"; a font small enough for that many to fit the
// bar's width keeps every one of them visible.
void frmMain::fitActivityBars() {
    for (QLabel* bar : {m_ui->lbSent, m_ui->lbRecv}) {
        QFont f = bar->font();
        const QString full(BarWrapLength - 1, QLatin1Char('|'));
        int pixels = qMax(bar->height(), 4);
        for (; pixels > 4; --pixels) {
            f.setPixelSize(pixels);
            if (QFontMetrics(f).horizontalAdvance(full) <= bar->width())
                break;
        }
        f.setPixelSize(pixels);
        bar->setFont(f);
        bar->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
}

void frmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_firstShow) {
        m_firstShow = false;
        // Once the window is on screen, not while it is still being shown.
        QMetaObject::invokeMethod(this, &frmMain::NoticeCheck, Qt::QueuedConnection);
    }
}

// Runs whenever the main window becomes the program's active window: first
// shown, or one of its own modal windows closed.
void frmMain::NoticeCheck() {
    if (m_noticeHasShown || m_noticeCheckRunning)
        return;
    QString error;
    const qint64 length = FileOps::lengthCreating(m_appDir + QStringLiteral("opt.dne"), &error);
    if (length > 0)
        return;
    if (length < 0)
        m_services.message(QStringLiteral("%1\n\nThe start-up notice is shown.")
                               .arg(reason(m_appDir + QStringLiteral("opt.dne"), error)));
    m_noticeCheckRunning = true;
    frmNotice notice(m_appDir, m_services, this);
    FitCaptions::apply(&notice);
    m_services.showModal(notice);
    m_noticeCheckRunning = false;
    m_noticeHasShown = true;
}

int frmMain::showOwnModal(QDialog& dialog) {
    FitCaptions::apply(&dialog);
    const int result = m_services.showModal(dialog);
    NoticeCheck();
    return result;
}

namespace {
const char* const PeerFile = "connect.dat";
}

// An unreadable file only means an empty box.
void frmMain::readPeerAddress() {
    const QString path = m_appDir + QLatin1String(PeerFile);
    QByteArray line;
    if (QFileInfo(path).isFile() && FileOps::readFirstLine(path, line, nullptr))
        m_ui->txtConnect->setText(TextCodec::fromFile(line).trimmed());
}

void frmMain::rememberPeerAddress() {
    const QString text = m_ui->txtConnect->text().trimmed();
    if (text.isEmpty())
        return;
    const QString path = m_appDir + QLatin1String(PeerFile);
    QByteArray stored;
    if (QFileInfo(path).isFile() && FileOps::readFirstLine(path, stored, nullptr) &&
        TextCodec::fromFile(stored) == text)
        return;
    QString error;
    if (!FileOps::writeFile(path, TextCodec::toFile(text) + "\r\n", &error))
        UpdateList(QStringLiteral("The address was not kept for the next start: %1")
                       .arg(reason(path, error)));
}

void frmMain::savePort() {
    const QString text = m_ui->txtPort->text().trimmed();
    const int port = Session::parsePort(text);
    if (port == 0) {
        m_services.message(QStringLiteral("The port must be a whole number from 1 to 65535."));
        return;
    }
    const QString canonical = QString::number(port);
    QString error;
    if (!FileOps::writeFile(m_appDir + QStringLiteral("port.dat"),
                            TextCodec::toFile(canonical) + "\r\n", &error)) {
        m_services.message(QStringLiteral("The port was not saved.\n\n%1")
                               .arg(reason(m_appDir + QStringLiteral("port.dat"), error)));
        return;
    }
    m_ui->txtPort->setText(canonical);
    // Waiting and connecting keep the port read at start-up.
    if (canonical != m_portStr)
        UpdateList(QStringLiteral("Port %1 saved: used from the next start.").arg(canonical));
    m_services.message(QStringLiteral("Port saved."));
}

void frmMain::showFontWindow() {
    frmFont dialog(m_appDir, m_services, m_ui->txtLog, m_chatLook, this);
    if (showOwnModal(dialog) == QDialog::Accepted)
        m_chatLook = dialog.preview();
}

void frmMain::showAbout() {
    frmAbout dialog(this);
    dialog.setFolders(QDir::toNativeSeparators(m_appDir), QDir::toNativeSeparators(m_recv));
    showOwnModal(dialog);
}

void frmMain::showHelp() {
    m_helpPage = m_folders.helpPage;
    frmBrowser dialog(m_helpPage, this);
    showOwnModal(dialog);
}

void frmMain::UpdateList(const QString& line) {
    Trace::event("status", line);
    if (!m_statusLog->append(line))
        return; // counted on the line already in view
    // The newest line comes into view, unless the user has scrolled up to
    // read older ones.
    if (!m_statusFollower->following())
        return;
    // Once per turn of the event loop, however many lines came in it:
    // scrolling lays the list out again.
    if (!m_statusScrollPending) {
        m_statusScrollPending = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_statusScrollPending = false;
                if (m_statusFollower->following())
                    m_ui->List1->scrollToBottom();
            },
            Qt::QueuedConnection);
    }
}

int frmMain::listTopIndex() const {
    const QListWidget* list = m_ui->List1;
    return qMax(0, list->indexAt(list->viewport()->rect().topLeft()).row());
}

void frmMain::UpdateChatList(const QString& line) {
    m_chatLog->append(line);
    Trace::event("chat", line);
}

QString frmMain::chatLogText() const {
    QString text = m_ui->txtLog->toPlainText();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
}

QString frmMain::ownAddressText() const {
    return m_ui->txtIP->text();
}

void frmMain::setOwnAddressText(const QString& text) {
    m_ui->txtIP->setText(text);
}

QString frmMain::peerAddressText() const {
    return m_ui->txtConnect->text();
}

void frmMain::setPeerAddressText(const QString& text) {
    m_ui->txtConnect->setText(text);
}

// One line box: the lines go back in the order typed, before whatever has
// been typed since.
void frmMain::returnUnsentChat(const QStringList& lines) {
    QStringList text = lines;
    if (!m_ui->txtChat->text().isEmpty())
        text << m_ui->txtChat->text();
    m_ui->txtChat->setText(text.join(QLatin1Char(' ')));
}

void frmMain::setSendButtonsEnabled(bool enabled) {
    m_ui->Command3->setEnabled(enabled);
    m_ui->Command4->setEnabled(enabled);
    m_ui->Command5->setEnabled(enabled);
}

void frmMain::setProgressValue(int value) {
    m_activity->setProgress(value);
}

// Shown and hidden with its exact value.
void frmMain::setProgressVisible(bool visible) {
    m_activity->refreshNow();
    m_ui->ProgressBar1->setVisible(visible);
    // A send can be stopped while its bar shows.
    m_ui->cmdCancel->setVisible(visible);
    m_ui->flecancel->setEnabled(visible);
}

void frmMain::setSendStatus(const QString& text) {
    m_activity->setProgressText(text);
}

void frmMain::setQueuedFile(const QString& path) {
    m_ui->Text2->setText(path);
}

// Two conversations do not run together: each connection starts under a
// line with the time it began.
void frmMain::connectionBegan() {
    const QString when =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    m_chatLog->append(QStringLiteral("----- New connection %1 -----").arg(when));
}

void frmMain::setReceiveStatus(const QString& text) {
    QLabel* line = m_ui->lbRecvProgress;
    // The line beside "Filename" is narrow: a long one is drawn a little
    // smaller (down to three quarters of the size) rather than cut, and is
    // whole in its tooltip.
    QFont f = m_ui->Label3->font();
    const qreal full = f.pointSizeF();
    for (qreal size = full; size > full * 0.75; size -= 0.25) {
        f.setPointSizeF(size);
        if (QFontMetrics(f).horizontalAdvance(text) <= line->width())
            break;
    }
    if (line->font() != f)
        line->setFont(f);
    line->setText(text);
    line->setToolTip(text);
    line->setVisible(!text.isEmpty());
    showCancelRecv();
}

void frmMain::bumpReceiveBar() {
    m_activity->bumpReceive();
}

void frmMain::bumpSendBar() {
    m_activity->bumpSend();
}

void frmMain::openReceivedFolder() {
    QString folder = m_recv;
    if (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    // An installed copy makes the folder when the first file arrives; it
    // may not be there yet.
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), error);
    if (!QFileInfo(folder).isDir()) {
        m_services.message(QStringLiteral("The folder for received files, %1, cannot be made: %2")
                               .arg(QDir::toNativeSeparators(folder),
                                    error ? QString::fromLocal8Bit(error.message().c_str())
                                          : QStringLiteral("it is not a folder")));
        return;
    }
    if (!m_services.openFolder(folder))
        m_services.message(QStringLiteral("No file manager could open the folder %1.")
                               .arg(QDir::toNativeSeparators(folder)));
}

void frmMain::chatArrived(const QString& line) {
    drawAttention(QStringLiteral("Chat line received"), line);
}

void frmMain::fileArrived(const QString& path) {
    drawAttention(QStringLiteral("File received"), QFileInfo(path).fileName());
}

void frmMain::drawAttention(const QString& summary, const QString& text) {
    if (isActiveWindow())
        return;
    // The first 80 characters; one made of two UTF-16 units counts once and
    // is never cut in half.
    qsizetype units = 0;
    for (int chars = 0; chars < 80 && units < text.size(); ++chars)
        units += text.at(units).isHighSurrogate() && units + 1 < text.size() &&
                         text.at(units + 1).isLowSurrogate()
                     ? 2
                     : 1;
    m_services.alert(this);
    m_services.notify(summary, text.left(units));
}

// ------------------------------------------------------ secure connections

void frmMain::makeSecureControls() {
    auto* opt = new QMenu(QStringLiteral("&Options"), this);
    opt->setObjectName(QStringLiteral("opt"));
    m_optSecure = opt->addAction(QStringLiteral("&Secure Connections"));
    m_optSecure->setObjectName(QStringLiteral("optsecure"));
    m_optRequire = opt->addAction(QStringLiteral("&Require Secure Connections"));
    m_optRequire->setObjectName(QStringLiteral("optrequire"));
    for (QAction* item : {m_optSecure, m_optRequire}) {
        item->setCheckable(true);
        connect(item, &QAction::triggered, this, [this, item] { secureOptionChanged(item); });
    }
    opt->addSeparator();
    QAction* name = opt->addAction(QStringLiteral("&Name on This Network..."));
    name->setObjectName(QStringLiteral("optname"));
    connect(name, &QAction::triggered, this, &frmMain::chooseNetworkName);
    menuBar()->insertMenu(m_ui->hlps->menuAction(), opt);

    // Below the peer's address, over the chat frame's top edge as Save is:
    // the copies waiting on this network.
    m_cmdCopies = new QPushButton(m_ui->centralwidget);
    m_cmdCopies->setObjectName(QStringLiteral("cmdCopies"));
    m_cmdCopies->setGeometry(456, 34, 129, 16);
    m_cmdCopies->setAutoDefault(false);
    m_cmdCopies->raise();
    m_nearby = new NearbyCopies(
        m_cmdCopies, [this](const QString& line) { UpdateList(line); },
        [this](const QString& address) { m_ui->txtConnect->setText(address); }, this);

    // In the status frame's title row: how this connection is protected.
    // The secure code stands here, large enough to read aloud and
    // selectable, so that it can be copied.
    m_lbSecure = new QLabel(m_ui->Frame3);
    m_lbSecure->setObjectName(QStringLiteral("lbSecure"));
    m_lbSecure->setGeometry(64, 0, 197, 20);
    m_lbSecure->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_lbSecure->setTextFormat(Qt::PlainText);
    m_lbSecure->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont codeFont = m_lbSecure->font();
    codeFont.setBold(true);
    codeFont.setPixelSize(15);
    m_lbSecure->setFont(codeFont);
    m_grow->add(m_lbSecure, GrowLayout::Share{1, 0, 0, 0}); // stays at the frame's right
    // Beside the file buttons: gives up the incoming file. Only a secure
    // connection can tell the sender so; shown while a file arrives in one.
    m_cmdCancelRecv = new QToolButton(m_ui->Frame1);
    m_cmdCancelRecv->setObjectName(QStringLiteral("cmdCancelRecv"));
    m_cmdCancelRecv->setGeometry(72, 64, 89, 25);
    m_cmdCancelRecv->setText(QStringLiteral("Stop Receiving"));
    m_cmdCancelRecv->setToolTip(QStringLiteral("Stop receiving this file"));
    m_cmdCancelRecv->setVisible(false);
    connect(m_cmdCancelRecv, &QToolButton::clicked, this, [this] { m_session->CancelReceiving(); });
    setLinkMode(LinkMode::None);
}

void frmMain::readSecureSettings(QStringList& problems) {
    const QString path = m_appDir + QLatin1String(SecureSettings::FileName);
    QString error;
    if (!SecureSettings::load(path, m_secure, &error))
        problems << reason(path, error);
    m_optSecure->setChecked(m_secure.enabled);
    m_optRequire->setChecked(m_secure.required);
}

void frmMain::secureOptionChanged(QAction* item) {
    // Requiring secure connections needs them on; switching them off drops
    // the requirement.
    if (item == m_optRequire && m_optRequire->isChecked())
        m_optSecure->setChecked(true);
    if (item == m_optSecure && !m_optSecure->isChecked())
        m_optRequire->setChecked(false);
    m_secure.enabled = m_optSecure->isChecked();
    m_secure.required = m_optRequire->isChecked();
    m_session->setSecureOptions(m_secure.enabled, m_secure.required);
    updateAnnouncement();
    const QString path = m_appDir + QLatin1String(SecureSettings::FileName);
    QString error;
    if (!m_secure.save(path, &error))
        m_services.message(
            QStringLiteral("The setting was not saved.\n\n%1").arg(reason(path, error)));
}

void frmMain::holdPaint(bool hold) {
    // The window's contents, not the window itself: a top-level window
    // whose updates were switched off does not paint again under X11.
    QWidget* contents = m_ui->centralwidget;
    if (hold == !contents->updatesEnabled())
        return;
    if (hold)
        m_paintHold->start();
    else
        m_paintHold->stop();
    contents->setUpdatesEnabled(!hold); // enabling repaints the contents once
}

void frmMain::setLinkMode(LinkMode mode) {
    m_linkMode = mode;
    holdPaint(mode == LinkMode::SettingUp);
    showCancelRecv();
    QString text;
    QString tip;
    QColor colour;
    switch (mode) {
    case LinkMode::Secure:
        text = secureLabel(m_session ? m_session->channel().checkCode() : QString());
        tip = QStringLiteral("Secure connection: encrypted and checked against tampering. "
                             "Read this code to the other person, by voice or in person: it "
                             "must be the same on both sides. A different code means someone "
                             "is in the middle: disconnect.");
        colour = QColor(0, 128, 0);
        break;
    case LinkMode::Legacy:
        text = QStringLiteral("Legacy, not secure");
        tip = QStringLiteral("Legacy connection: only the legacy cipher protects it; an "
                             "eavesdropper who knows the two addresses can read it. Its key "
                             "check only catches a mistyped address.");
        colour = QColor(176, 64, 0);
        break;
    case LinkMode::SettingUp:
        text = QStringLiteral("Securing\u2026");
        tip = QStringLiteral("A secure connection is being set up.");
        colour = palette().color(QPalette::WindowText);
        break;
    case LinkMode::None:
        break;
    }
    QPalette p = m_lbSecure->palette();
    p.setColor(QPalette::WindowText, colour);
    m_lbSecure->setPalette(p);
    m_lbSecure->setText(text);
    m_lbSecure->setToolTip(tip);
}

QString frmMain::secureLabel(const QString& code) {
    return code.isEmpty() ? QStringLiteral("Secure") : QStringLiteral("Secure \u00b7 ") + code;
}

void frmMain::showCancelRecv() {
    m_cmdCancelRecv->setVisible(m_linkMode == LinkMode::Secure &&
                                !m_ui->lbRecvProgress->text().isEmpty());
}

// ------------------------------------------------ copies on this network

void frmMain::setDiscovery(std::unique_ptr<Discovery> discovery) {
    m_nearby->setDiscovery(std::move(discovery));
}

QString frmMain::networkName() const {
    return m_networkName.isEmpty() ? QSysInfo::machineHostName() : m_networkName;
}

void frmMain::readNetworkName(QStringList& problems) {
    const QString path = m_appDir + QStringLiteral("name.dat");
    if (!QFileInfo::exists(path))
        return;
    QByteArray line;
    QString error;
    if (!FileOps::readFirstLine(path, line, &error)) {
        problems << reason(path, error);
        return;
    }
    m_networkName = TextCodec::fromFile(line).trimmed();
}

void frmMain::chooseNetworkName() {
    QInputDialog dialog(this);
    dialog.setObjectName(QStringLiteral("dlgNetworkName"));
    dialog.setWindowTitle(QStringLiteral("Name on This Network"));
    dialog.setLabelText(QStringLiteral("While this copy waits for a connection, copies on the same "
                                       "network list it under this name.\nLeave it empty for the "
                                       "computer's name (%1).")
                            .arg(QSysInfo::machineHostName()));
    dialog.setTextValue(m_networkName);
    if (showOwnModal(dialog) != QDialog::Accepted)
        return;
    const QString chosen = dialog.textValue().simplified();
    const QString path = m_appDir + QStringLiteral("name.dat");
    QString error;
    if (!FileOps::writeFile(path, TextCodec::toFile(chosen) + "\r\n", &error)) {
        m_services.message(
            QStringLiteral("The name was not saved.\n\n%1").arg(reason(path, error)));
        return;
    }
    m_networkName = chosen;
    updateAnnouncement();
}

void frmMain::updateAnnouncement() {
    if (!m_session || !m_session->IsWaiting()) {
        m_nearby->setAnnouncement(std::nullopt);
        return;
    }
    Announcement a;
    a.name = networkName();
    a.port = quint16(m_sock.localPort());
    a.address = m_ui->txtIP->text();
    a.secure = m_secure.enabled;
    a.version = QStringLiteral(VANTREL_VERSION);
    m_nearby->setAnnouncement(a);
}
