#pragma once

#include "platform/EventWait.h"
#include "platform/Services.h"

#include <QDialog>
#include <QStringList>
#include <QTime>

#include <functional>

// Services for tests: every call is written to `log` in order and answered
// at once with the values the test has set, so nothing ever blocks on a
// modal window.
//
// Log entries:
//   "message:<text>"               message()
//   "question:<title>:<text>"      question()
//   "open:<start folder>"          openFileName()
//   "color:<current>"              chooseColor()
//   "font:<name>:<size>"           chooseFont() (the values passed in)
//   "modal:<objectName or class>"  showModal()
//   "end"                          endProgram()
class RecordingServices : public Services {
public:
    QStringList log;

    // Answers.
    bool questionAnswer = false;
    QString fileName;        // openFileName(); empty means cancelled
    qint32 color = 0;        // chooseColor(); 0 means cancelled
    bool fontChosen = false; // chooseFont() fills in the two below when set
    QString fontName;
    float fontSize = 0;
    // Runs on the dialog instead of exec(): tick boxes, press buttons, and
    // return the result. Without it showModal() returns QDialog::Rejected.
    std::function<int(QDialog&)> onModal;
    // Called after a message has been logged (for tests that act on it).
    std::function<void(const QString&)> onMessage;
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
    QString openFileName(QWidget*, const QString& startDir) override {
        log.append(QStringLiteral("open:") + startDir);
        return fileName;
    }
    qint32 chooseColor(QWidget*, qint32 current) override {
        log.append(QStringLiteral("color:%1").arg(current));
        return color;
    }
    bool chooseFont(QWidget*, QString& name, float& sizePt) override {
        log.append(QStringLiteral("font:%1:%2").arg(name).arg(double(sizePt)));
        if (!fontChosen)
            return false;
        name = fontName;
        sizePt = fontSize;
        return true;
    }
    int showModal(QDialog& dialog) override {
        const QString name = dialog.objectName().isEmpty()
                                 ? QString::fromLatin1(dialog.metaObject()->className())
                                 : dialog.objectName();
        log.append(QStringLiteral("modal:") + name);
        return onModal ? onModal(dialog) : int(QDialog::Rejected);
    }
    QString timeOfDay() override {
        return clock ? clock() : QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    }
    void processEvents(int maxWaitMs) override { EventWait::processEvents(maxWaitMs); }
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
