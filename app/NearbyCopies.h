#pragma once

#include "platform/Discovery.h"
#include "platform/WaitingCopies.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QMenu;
class QPushButton;

// The copies waiting on this network, shown on a drop-down button beside the
// peer's address, and this copy's own announcement while it waits. Choosing
// a copy puts the address text it published into the peer's address box.
class NearbyCopies : public QObject {
    Q_OBJECT
public:
    // `status` adds one line to the status list; `choose` fills in the
    // peer's address.
    NearbyCopies(QPushButton* button, std::function<void(const QString&)> status,
                 std::function<void(const QString&)> choose, QObject* parent = nullptr);
    ~NearbyCopies() override;

    // Starts finding copies with `discovery`; without one the button stays
    // hidden and nothing is announced.
    void setDiscovery(std::unique_ptr<Discovery> discovery);
    Discovery* discovery() const { return m_discovery.get(); }

    // What to announce while this copy waits; none when it does not wait.
    void setAnnouncement(const std::optional<Announcement>& announcement);

    const WaitingCopies& copies() const { return m_copies; }
    // The name this copy is announced under now (empty when it is not).
    const QString& publishedName() const { return m_published; }
    // The port to connect to for the peer address `address`: that of the
    // copy chosen from the list while the box still holds its address,
    // otherwise `typedPort`.
    QString portFor(const QString& address, const QString& typedPort) const;

    // Fills the drop-down menu with the copies listed now.
    void fillMenu();

private:
    void found(const WaitingCopy& copy);
    void lost(const QString& name);
    void availability(bool available, const QString& why);
    void showCount();

    QPushButton* m_button;
    QMenu* m_menu;
    std::function<void(const QString&)> m_status;
    std::function<void(const QString&)> m_choose;
    std::unique_ptr<Discovery> m_discovery;
    WaitingCopies m_copies;
    std::optional<Announcement> m_announced;
    QString m_published;
    std::optional<WaitingCopy> m_chosen;
    // Discovery has been off: its return is worth a line.
    bool m_wasOff = false;
};
