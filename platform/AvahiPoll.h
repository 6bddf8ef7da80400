#pragma once

#include <memory>

struct AvahiPoll;

// Runs Avahi's client on the Qt event loop of the thread that makes it: file
// descriptors are watched with QSocketNotifier and timeouts are QTimers, so
// every Avahi callback arrives on that thread, between other events.
class QtAvahiPoll {
public:
    QtAvahiPoll();
    ~QtAvahiPoll();
    QtAvahiPoll(const QtAvahiPoll&) = delete;
    QtAvahiPoll& operator=(const QtAvahiPoll&) = delete;

    const AvahiPoll* poll() const { return m_poll.get(); }

private:
    std::unique_ptr<AvahiPoll> m_poll;
};
