#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// What the connection logic needs from the world around it: tell the user
// something, ask a Yes/No question, read the clock, let events run and end
// the program. No window types appear here, so code that only talks over the
// network builds without the widget libraries. The program installs the real
// implementation (QtServices); tests install a recorder that answers at once
// and logs what was asked, so no test ever blocks on a modal window.
class Services {
public:
    Services() = default;
    // A copy has no tasks waiting of its own (see later()).
    Services(const Services&) {}
    Services& operator=(const Services&) { return *this; }
    virtual ~Services() = default;

    // OK-only message box without icon, captioned "Vantrel".
    virtual void message(const QString& text) = 0;
    // Yes/No question with its own title; true only for Yes.
    virtual bool question(const QString& text, const QString& title) = 0;
    // Time of day as text to the second ("HH:MM:SS").
    virtual QString timeOfDay() = 0;
    // Lets pending window and socket events run once, waiting up to `maxWaitMs`
    // for one to arrive (0: only those already pending).
    virtual void processEvents(int maxWaitMs) = 0;
    // Ends the program at once, without further window events.
    virtual void endProgram() = 0;

    // Runs `task` from the event loop once the handler that calls this has
    // returned. A network or timer handler tells the user through this: a
    // modal box opened inside it would run a nested event loop, in which the
    // connection can end under the handler. Dropped if the services go first.
    void later(std::function<void()> task);
    // message() from the event loop, as later().
    void messageLater(const QString& text);

private:
    // Owns the tasks waiting in the event loop; made on first use.
    std::unique_ptr<QObject> m_laterContext;
};
