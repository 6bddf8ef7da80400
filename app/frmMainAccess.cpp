// The main window for keyboard and screen-reader users: menu shortcuts, the
// start-up focus, the tab order and what each control is called.
#include "frmMain.h"

#include <QAction>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QToolButton>

#include "ui_frmMain.h"

namespace {

struct ControlName {
    QWidget* widget;
    const char* name;
    const char* description;
};

} // namespace

void frmMain::setUpKeyboardAndNames() {
    Ui::frmMain& ui = *m_ui;

    ui.fleext->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    ui.flesend->setShortcut(QKeySequence(QStringLiteral("Ctrl+O")));
    ui.hlp->setShortcut(QKeySequence(Qt::Key_F1));

    // The chat log can be read line by line with the arrow keys (being read
    // only, it passes Tab on).
    ui.txtLog->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    // Left to right along the top row, then the chat, the status list and
    // the file controls, as they stand in the window.
    const QList<QWidget*> order{ui.txtIP,      ui.txtPort,  ui.Command6, ui.Command1, ui.Command2,
                                ui.txtConnect, m_cmdCopies, ui.txtLog,   ui.Command7, ui.txtChat,
                                ui.Command5,   ui.List1,    ui.Text2,    ui.Command3, ui.Command4};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    const ControlName names[] = {
        {ui.txtIP, "Your IP address",
         "This computer's address as the other person knows it; the keys are made from it; "
         "Alt+Down lists this computer's addresses"},
        {ui.txtPort, "Port", "The port used to wait and to connect"},
        {ui.Command6, "Save port", "Stores the port for the next start"},
        {ui.Command1, "Wait for Connect", "Waits for the other person to connect"},
        {ui.Command2, "Connect", "Connects to the address in Connect to IP address"},
        {ui.txtConnect, "Connect to IP address", "The other person's address; Enter connects"},
        {m_cmdCopies, "Copies waiting nearby",
         "Copies of Vantrel waiting on this network; choosing one fills in its address"},
        {ui.txtLog, "Chat log", "The conversation; your own lines are shown between < and >"},
        {ui.Command7, "Chat font", "Chooses the chat log's colours and font"},
        {ui.txtChat, "Chat line", "The line to send; Enter sends it"},
        {ui.Command5, "Send chat line", ""},
        {ui.List1, "Status", "Connection and file transfer events, newest last"},
        {ui.lbSent, "Sending activity", ""},
        {ui.lbRecv, "Receiving activity", ""},
        {ui.Text2, "File to send", "The path of the file to send"},
        {ui.Command3, "Select file", "Chooses the file to send"},
        {ui.Command4, "Send file", "Sends the file named in File to send"},
        {ui.ProgressBar1, "File sending progress", ""},
        {m_lbSecure, "Connection protection", "Secure, legacy, or being set up"},
        {m_cmdCancelRecv, "Stop receiving", "Gives up the file being received"},
    };
    for (const ControlName& n : names) {
        n.widget->setAccessibleName(QString::fromUtf8(n.name));
        n.widget->setAccessibleDescription(QString::fromUtf8(n.description));
    }
    // The address of the other side is what a new user types first.
    ui.txtConnect->setFocus(Qt::OtherFocusReason);
}
