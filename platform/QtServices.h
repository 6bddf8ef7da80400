#pragma once

#include "platform/DialogServices.h"

// The services as the user sees them: Qt's message boxes and standard
// dialogs, the system clock and the application's event loop.
class QtServices : public DialogServices {
public:
    void message(const QString& text) override;
    bool question(const QString& text, const QString& title) override;
    QString openFileName(QWidget* parent, const QString& startDir) override;
    QStringList openFileNames(QWidget* parent, const QString& startDir) override;
    bool chooseColor(QWidget* parent, qint32& colour) override;
    bool chooseFont(QWidget* parent, QString& name, float& sizePt) override;
    int showModal(QDialog& dialog) override;
    bool openFolder(const QString& folder) override;
    void alert(QWidget* window) override;
    void notify(const QString& summary, const QString& body) override;
    QString timeOfDay() override;
    void processEvents(int maxWaitMs) override;
    void endProgram() override;

    // True once endProgram() has been called.
    bool hasEnded() const { return m_ended; }

private:
    // The window a box belongs to: the owner, else the active window.
    QWidget* boxParent() const;

    bool m_ended = false;
};
