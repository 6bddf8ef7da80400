#pragma once

#include <QString>

class QDialog;
class QWidget;

// Everything that shows a modal window, asks the user, reads the clock or ends
// the program goes through this interface. The program installs the real
// implementation (QtServices); tests install a recorder that answers at once
// and logs what was asked, so no test ever blocks on a modal window.
class Services {
public:
    virtual ~Services() = default;

    // OK-only message box without icon, captioned "Vantrel".
    virtual void message(const QString& text) = 0;
    // Yes/No question with its own title; true only for Yes.
    virtual bool question(const QString& text, const QString& title) = 0;
    // Open-file dialog starting in `startDir`; the chosen path, or an empty
    // text when cancelled.
    virtual QString openFileName(QWidget* parent, const QString& startDir) = 0;
    // Colour dialog starting at `current`; the chosen colour as a colour value
    // (red in bits 0-7, green 8-15, blue 16-23), or 0 when nothing was chosen.
    virtual qint32 chooseColor(QWidget* parent, qint32 current) = 0;
    // Font dialog; true and name/size filled when a font was chosen.
    virtual bool chooseFont(QWidget* parent, QString& name, float& sizePt) = 0;
    // Shows one of the program's own windows modally and returns when it has
    // closed (QDialog::exec result).
    virtual int showModal(QDialog& dialog) = 0;
    // Time of day as text to the second ("HH:MM:SS").
    virtual QString timeOfDay() = 0;
    // Lets pending window and socket events run once, waiting up to `maxWaitMs`
    // for one to arrive (0: only those already pending).
    virtual void processEvents(int maxWaitMs) = 0;
    // Ends the program at once, without further window events.
    virtual void endProgram() = 0;
};
