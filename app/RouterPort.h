#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "platform/RouterPortMapper.h"

class QAction;
class QMenu;
class Services;

// Opening the listening port on the home router while the program waits for
// a connection, as the user chose: the choice is kept in router.dat in the
// program folder, one line, "1" yes or "0" no; a missing or empty file means
// the user has not been asked yet. With "0" nothing is ever sent to a router.
class RouterPort : public QObject {
    Q_OBJECT
public:
    enum class Choice { NotAsked, Yes, No };
    static constexpr const char* FileName = "router.dat";
    static Choice choiceFromBytes(const QByteArray& bytes);

    // `status` appends a line to the status list.
    RouterPort(const QString& appDir, Services& services,
               std::function<void(const QString&)> status, QObject* parent = nullptr);
    ~RouterPort() override;

    Choice choice() const { return m_choice; }
    // Options > Open Port on Router, ticked while the choice is yes.
    QAction* addMenuItem(QMenu* menu);
    // The routers to ask (command line); discovery when none is named.
    void setTarget(const RouterTarget& target) { m_target = target; }
    // The mapper to use instead of the routers (tests).
    void setMapper(std::unique_ptr<PortMapper> mapper);

    // Wait for Connect listens on `port`: the first time the user is asked,
    // then the router is, when the user agreed.
    void waitStarted(quint16 port);
    // The wait is over (a connection came, Disconnect, Exit, the window
    // closed): the mapping is removed.
    void waitEnded();

private:
    void setChoice(Choice choice);
    void openPort();
    void closePort();
    PortMapper& mapper();
    void mapped(const PortMapping& result);

    const QString m_path;
    Services& m_services;
    std::function<void(const QString&)> m_status;
    Choice m_choice = Choice::NotAsked;
    RouterTarget m_target;
    std::unique_ptr<PortMapper> m_mapper;
    QAction* m_item = nullptr;
    bool m_waiting = false;
    bool m_opened = false;
    quint16 m_port = 0;
};
