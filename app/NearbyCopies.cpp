#include "app/NearbyCopies.h"

#include <QMenu>
#include <QPushButton>

namespace {

bool sameAnnouncement(const Announcement& a, const Announcement& b) {
    return a.name == b.name && a.port == b.port && a.address == b.address && a.secure == b.secure &&
           a.version == b.version;
}

// A menu caption shows '&' as itself.
QString plain(QString text) {
    return text.replace(QLatin1Char('&'), QLatin1String("&&"));
}

} // namespace

NearbyCopies::NearbyCopies(QPushButton* button, std::function<void(const QString&)> status,
                           std::function<void(const QString&)> choose, QObject* parent)
    : QObject(parent), m_button(button), m_menu(new QMenu(button)), m_status(std::move(status)),
      m_choose(std::move(choose)) {
    m_menu->setObjectName(QStringLiteral("mnuCopies"));
    m_button->setMenu(m_menu);
    m_button->setVisible(false);
    // Filled when opened: a flood of announcements changes only the count.
    connect(m_menu, &QMenu::aboutToShow, this, &NearbyCopies::fillMenu);
}

NearbyCopies::~NearbyCopies() {
    // The announcement goes before the window does.
    if (m_discovery)
        m_discovery->disconnect(this);
}

void NearbyCopies::setDiscovery(std::unique_ptr<Discovery> discovery) {
    m_discovery = std::move(discovery);
    m_copies.clear();
    m_published.clear();
    if (!m_discovery) {
        m_button->setVisible(false);
        return;
    }
    connect(m_discovery.get(), &Discovery::copyFound, this, &NearbyCopies::found);
    connect(m_discovery.get(), &Discovery::copyLost, this, &NearbyCopies::lost);
    connect(m_discovery.get(), &Discovery::availabilityChanged, this, &NearbyCopies::availability);
    connect(m_discovery.get(), &Discovery::published, this,
            [this](const QString& name) { m_published = name; });
    showCount();
    m_discovery->start();
    if (m_announced)
        m_discovery->publish(*m_announced);
}

void NearbyCopies::setAnnouncement(const std::optional<Announcement>& announcement) {
    if (announcement.has_value() == m_announced.has_value() &&
        (!announcement || sameAnnouncement(*announcement, *m_announced)))
        return;
    m_announced = announcement;
    if (!m_discovery)
        return;
    if (m_announced) {
        m_discovery->publish(*m_announced);
    } else {
        m_discovery->withdraw();
        m_published.clear();
    }
}

QString NearbyCopies::portFor(const QString& address, const QString& typedPort) const {
    if (m_chosen && m_chosen->address == address)
        return QString::number(m_chosen->port);
    return typedPort;
}

void NearbyCopies::found(const WaitingCopy& copy) {
    // Our own announcement, heard back.
    if (m_announced && copy.name == m_published)
        return;
    if (m_copies.add(copy) == WaitingCopies::Change::Added)
        showCount();
}

void NearbyCopies::lost(const QString& name) {
    if (m_copies.remove(name))
        showCount();
}

void NearbyCopies::availability(bool available, const QString& why) {
    if (available) {
        if (m_wasOff)
            m_status(QStringLiteral("Copies waiting on this network are listed again."));
        m_wasOff = false;
    } else {
        m_copies.clear();
        m_published.clear();
        if (!m_wasOff)
            m_status(
                QStringLiteral("Copies waiting on this network cannot be listed: %1.").arg(why));
        m_wasOff = true;
    }
    showCount();
}

void NearbyCopies::showCount() {
    const bool on = m_discovery && m_discovery->isAvailable();
    m_button->setVisible(on);
    const int n = m_copies.size();
    m_button->setEnabled(n > 0);
    m_button->setText(n == 0   ? QStringLiteral("None waiting")
                      : n == 1 ? QStringLiteral("1 copy waiting")
                               : QStringLiteral("%1 copies waiting").arg(n));
    m_button->setToolTip(
        QStringLiteral("Copies of Vantrel waiting for a connection on this network"));
}

void NearbyCopies::fillMenu() {
    m_menu->clear();
    for (const WaitingCopy& copy : m_copies.copies()) {
        QString caption = QStringLiteral("%1 \u2014 %2").arg(plain(copy.name), plain(copy.address));
        if (copy.secure)
            caption += QStringLiteral(" (secure)");
        QAction* item = m_menu->addAction(caption);
        item->setToolTip(QStringLiteral("Vantrel %1, port %2").arg(copy.version).arg(copy.port));
        connect(item, &QAction::triggered, this, [this, copy] {
            m_chosen = copy;
            m_choose(copy.address);
        });
    }
}
