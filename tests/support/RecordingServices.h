#pragma once

#include "platform/EventWait.h"
#include "platform/Services.h"

#include <QStringList>
#include <QTime>

#include <functional>

// Services for tests: every call is written to `log` in order and answered
// at once with the values the test has set, so nothing ever blocks on a
// modal window. `Base` is the interface recorded (Services here, the dialog
// services for window tests, see RecordingDialogServices.h).
//
// Log entries:
//   "message:<text>"               message()
//   "question:<title>:<text>"      question()
//   "end"                          endProgram()
template <class Base> class ServicesRecorder : public Base {
public:
    QStringList log;

    // Answers.
    bool questionAnswer = false;
    // Called after a message has been logged (for tests that act on it).
    std::function<void(const QString&)> onMessage;
    // Called each time the program lets events run (for tests that act in
    // the middle of a wait).
    std::function<void()> onProcessEvents;
    // The time of day; the real clock when not set.
    std::function<QString()> clock;

    bool ended = false;

    void message(const QString& text) override {
        log.append(QStringLiteral("message:") + text);
        if (onMessage)
            onMessage(text);
    }
    bool question(const QString& text, const QString& title) override {
        log.append(QStringLiteral("question:%1:%2").arg(title, text));
        return questionAnswer;
    }
    QString timeOfDay() override {
        return clock ? clock() : QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    }
    void processEvents(int maxWaitMs) override {
        if (onProcessEvents)
            onProcessEvents();
        EventWait::processEvents(maxWaitMs);
    }
    void endProgram() override {
        log.append(QStringLiteral("end"));
        ended = true;
    }

    // Log entries that begin with `prefix` (for example "message:").
    QStringList entries(const QString& prefix) const {
        QStringList found;
        for (const QString& e : log)
            if (e.startsWith(prefix))
                found.append(e);
        return found;
    }
};

using RecordingServices = ServicesRecorder<Services>;
