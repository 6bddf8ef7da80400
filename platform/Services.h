#pragma once

#include <QString>

// What the connection logic needs from the world around it: tell the user
// something, ask a Yes/No question, read the clock, let events run and end
// the program. No window types appear here, so code that only talks over the
// network builds without the widget libraries. The program installs the real
// implementation (QtServices); tests install a recorder that answers at once
// and logs what was asked, so no test ever blocks on a modal window.
class Services {
public:
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
};
