#include "app/RouterPort.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>

#include "platform/FileOps.h"
#include "platform/Services.h"

RouterPort::Choice RouterPort::choiceFromBytes(const QByteArray& bytes) {
    const QByteArray line = bytes.left(bytes.indexOf('\n')).trimmed();
    if (line == "1")
        return Choice::Yes;
    if (line == "0")
        return Choice::No;
    return Choice::NotAsked;
}

RouterPort::RouterPort(const QString& appDir, Services& services,
                       std::function<void(const QString&)> status, QObject* parent)
    : QObject(parent), m_path(appDir + QLatin1String(FileName)), m_services(services),
      m_status(std::move(status)) {
    QFile f(m_path);
    // Unreadable is as good as not asked: the question comes, and the
    // answer says whether it could be kept.
    if (f.open(QIODevice::ReadOnly))
        m_choice = choiceFromBytes(f.read(64));
}

RouterPort::~RouterPort() = default;

QAction* RouterPort::addMenuItem(QMenu* menu) {
    menu->addSeparator();
    m_item = menu->addAction(QStringLiteral("&Open Port on Router"));
    m_item->setObjectName(QStringLiteral("optrouter"));
    m_item->setCheckable(true);
    m_item->setChecked(m_choice == Choice::Yes);
    m_item->setToolTip(QStringLiteral("While you wait for a connection, ask the router to "
                                      "forward the port to this computer"));
    connect(m_item, &QAction::triggered, this, [this](bool on) {
        setChoice(on ? Choice::Yes : Choice::No);
        if (on && m_waiting)
            openPort();
        else if (!on)
            closePort();
    });
    return m_item;
}

void RouterPort::setMapper(std::unique_ptr<PortMapper> mapper) {
    m_mapper = std::move(mapper);
    connect(m_mapper.get(), &PortMapper::finished, this, &RouterPort::mapped);
}

void RouterPort::setChoice(Choice choice) {
    m_choice = choice;
    if (m_item)
        m_item->setChecked(choice == Choice::Yes);
    QString error;
    if (!FileOps::writeFile(m_path, choice == Choice::Yes ? "1\r\n" : "0\r\n", &error))
        m_services.message(QStringLiteral("The setting was not saved.\n\n%1")
                               .arg(error.isEmpty() ? QDir::toNativeSeparators(m_path) : error));
}

void RouterPort::waitStarted(quint16 port) {
    m_waiting = true;
    m_port = port;
    if (m_choice == Choice::NotAsked) {
        const bool yes = m_services.question(
            QStringLiteral(
                "Someone on the internet can connect to you only when your router lets the "
                "connection in. Vantrel can ask the router to forward port %1 to this computer "
                "while you wait for a connection (UPnP or NAT-PMP, if the router allows it); "
                "the port is closed again when the wait ends.\n\n"
                "Ask the router to open the port?\n\n"
                "You can change this later in the Options menu (Open Port on Router).")
                .arg(port),
            QStringLiteral("Open Port on Router"));
        setChoice(yes ? Choice::Yes : Choice::No);
    }
    // The wait may have ended while the question was open.
    if (m_choice == Choice::Yes && m_waiting && m_port == port)
        openPort();
}

void RouterPort::waitEnded() {
    m_waiting = false;
    closePort();
}

void RouterPort::closePort() {
    if (!m_opened)
        return;
    m_opened = false;
    mapper().release();
}

void RouterPort::openPort() {
    m_opened = true;
    mapper().open(m_port);
}

PortMapper& RouterPort::mapper() {
    if (!m_mapper)
        setMapper(std::make_unique<RouterPortMapper>(m_target));
    return *m_mapper;
}

// An answer that comes after the wait has ended tells nothing useful.
void RouterPort::mapped(const PortMapping& result) {
    if (m_waiting && m_opened)
        m_status(result.statusLine());
}
