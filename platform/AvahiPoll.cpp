#include "platform/AvahiPoll.h"

#include <QSocketNotifier>
#include <QTimer>

#include <avahi-common/timeval.h>
#include <avahi-common/watch.h>

// Avahi may free a watch or a timeout from inside its own callback; such an
// object is only marked then and deleted once the callback has returned.
// The Qt objects behind it go with deleteLater(), since one of them may be
// the sender of the signal being handled.

struct AvahiWatch {
    int fd = -1;
    AvahiWatchEvent wanted = AvahiWatchEvent(0);
    AvahiWatchEvent happened = AvahiWatchEvent(0);
    AvahiWatchCallback callback = nullptr;
    void* userdata = nullptr;
    QSocketNotifier* in = nullptr;
    QSocketNotifier* out = nullptr;
    bool inCallback = false;
    bool freed = false;
};

struct AvahiTimeout {
    QTimer* timer = nullptr;
    AvahiTimeoutCallback callback = nullptr;
    void* userdata = nullptr;
    bool inCallback = false;
    bool freed = false;
};

namespace {

void destroyWatch(AvahiWatch* w) {
    for (QSocketNotifier* n : {w->in, w->out}) {
        n->setEnabled(false);
        n->deleteLater();
    }
    delete w;
}

void dispatchWatch(AvahiWatch* w, AvahiWatchEvent event) {
    if (w->freed)
        return;
    w->happened = event;
    w->inCallback = true;
    w->callback(w, w->fd, event, w->userdata);
    w->inCallback = false;
    if (w->freed)
        destroyWatch(w);
    else
        w->happened = AvahiWatchEvent(0);
}

void watchUpdate(AvahiWatch* w, AvahiWatchEvent event) {
    w->wanted = event;
    w->in->setEnabled(event & (AVAHI_WATCH_IN | AVAHI_WATCH_HUP | AVAHI_WATCH_ERR));
    w->out->setEnabled(event & AVAHI_WATCH_OUT);
}

AvahiWatch* watchNew(const AvahiPoll*, int fd, AvahiWatchEvent event, AvahiWatchCallback callback,
                     void* userdata) {
    auto* w = new AvahiWatch;
    w->fd = fd;
    w->callback = callback;
    w->userdata = userdata;
    w->in = new QSocketNotifier(fd, QSocketNotifier::Read);
    w->out = new QSocketNotifier(fd, QSocketNotifier::Write);
    QObject::connect(w->in, &QSocketNotifier::activated, w->in,
                     [w] { dispatchWatch(w, AVAHI_WATCH_IN); });
    QObject::connect(w->out, &QSocketNotifier::activated, w->out,
                     [w] { dispatchWatch(w, AVAHI_WATCH_OUT); });
    watchUpdate(w, event);
    return w;
}

AvahiWatchEvent watchGetEvents(AvahiWatch* w) {
    return w->happened;
}

void watchFree(AvahiWatch* w) {
    w->freed = true;
    w->in->setEnabled(false);
    w->out->setEnabled(false);
    if (!w->inCallback)
        destroyWatch(w);
}

// `tv` is an absolute time of day; none switches the timeout off.
void timeoutUpdate(AvahiTimeout* t, const struct timeval* tv) {
    if (!tv) {
        t->timer->stop();
        return;
    }
    const AvahiUsec late = avahi_age(tv); // negative while still to come
    t->timer->start(late >= 0 ? 0 : int((-late + 999) / 1000));
}

AvahiTimeout* timeoutNew(const AvahiPoll*, const struct timeval* tv, AvahiTimeoutCallback callback,
                         void* userdata) {
    auto* t = new AvahiTimeout;
    t->callback = callback;
    t->userdata = userdata;
    t->timer = new QTimer;
    t->timer->setSingleShot(true);
    QObject::connect(t->timer, &QTimer::timeout, t->timer, [t] {
        if (t->freed)
            return;
        t->inCallback = true;
        t->callback(t, t->userdata);
        t->inCallback = false;
        if (t->freed) {
            t->timer->deleteLater();
            delete t;
        }
    });
    timeoutUpdate(t, tv);
    return t;
}

void timeoutFree(AvahiTimeout* t) {
    t->freed = true;
    t->timer->stop();
    if (t->inCallback)
        return;
    t->timer->deleteLater();
    delete t;
}

} // namespace

QtAvahiPoll::QtAvahiPoll() : m_poll(new AvahiPoll) {
    m_poll->userdata = this;
    m_poll->watch_new = watchNew;
    m_poll->watch_update = watchUpdate;
    m_poll->watch_get_events = watchGetEvents;
    m_poll->watch_free = watchFree;
    m_poll->timeout_new = timeoutNew;
    m_poll->timeout_update = timeoutUpdate;
    m_poll->timeout_free = timeoutFree;
}

QtAvahiPoll::~QtAvahiPoll() = default;
