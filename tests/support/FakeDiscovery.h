#pragma once

#include "platform/Discovery.h"

#include <optional>

// Discovery for tests: the test plays the network (announce(), leave(),
// setAvailable()) and reads what the program announced.
class FakeDiscovery : public Discovery {
public:
    bool available = true;
    QString whyOff = QStringLiteral("the avahi-daemon service is not running");
    bool started = false;
    // What is announced now, and how often publish() and withdraw() ran.
    std::optional<Announcement> announced;
    int publishes = 0;
    int withdrawals = 0;
    // The name publish() reports; the name asked for when empty.
    QString renameTo;

    void start() override {
        started = true;
        emit availabilityChanged(available, available ? QString() : whyOff);
    }
    void publish(const Announcement& a) override {
        announced = a;
        ++publishes;
        emit published(renameTo.isEmpty() ? a.name : renameTo);
    }
    void withdraw() override {
        announced.reset();
        ++withdrawals;
    }
    bool isAvailable() const override { return available; }

    void setAvailable(bool on) {
        available = on;
        emit availabilityChanged(on, on ? QString() : whyOff);
    }
    void announce(const WaitingCopy& copy) { emit copyFound(copy); }
    void leave(const QString& name) { emit copyLost(name); }
};
