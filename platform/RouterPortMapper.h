#pragma once

#include <QString>
#include <QStringList>
#include <memory>

#include "platform/PortMapper.h"

class QThread;
class RouterWorker;

// Which router to ask. Both empty: the router is found on the local network
// (UPnP discovery, the default gateway for NAT-PMP). Either given: only the
// routers named are asked and nothing is discovered.
struct RouterTarget {
    // The router's UPnP description URL.
    QString upnpUrl;
    // The router's IPv4 address for NAT-PMP.
    QString natpmpGateway;

    bool discovers() const { return upnpUrl.isEmpty() && natpmpGateway.isEmpty(); }
};

// The port mapper that talks to real routers: UPnP-IGD first, NAT-PMP when
// UPnP makes no mapping. The blocking library calls run on a worker thread
// of its own; destroying the mapper removes the mapping and waits for that.
class RouterPortMapper : public PortMapper {
    Q_OBJECT
public:
    // The lease asked for unless set otherwise; renewed at half of it.
    static constexpr int DefaultLeaseSeconds = 3600;
    // Discovery and each NAT-PMP request wait this long for an answer.
    static constexpr int AnswerWaitMs = 2000;
    // The description every UPnP mapping carries.
    static constexpr const char* Description = "Vantrel";

    explicit RouterPortMapper(const RouterTarget& target, QObject* parent = nullptr);
    ~RouterPortMapper() override;

    void open(quint16 port) override;
    void release() override;

    // The lease (and NAT-PMP lifetime) asked for from now on.
    void setLeaseSeconds(int seconds);
    // Every address a request has been sent to so far, in order (discovery
    // counts as its multicast group).
    QStringList contactedAddresses() const;

private:
    QThread* m_thread = nullptr;
    RouterWorker* m_worker = nullptr;
};
