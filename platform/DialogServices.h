#pragma once

#include "platform/Services.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

class QDialog;

// The services the windows need on top of the plain ones: the standard
// dialogs and showing one of the program's own windows modally.
class DialogServices : public Services {
public:
    // Open-file dialog starting in `startDir`; the chosen path, or an empty
    // text when cancelled.
    virtual QString openFileName(QWidget* parent, const QString& startDir) = 0;
    // Open-file dialog that takes several files, starting in `startDir`;
    // none when cancelled.
    virtual QStringList openFileNames(QWidget* parent, const QString& startDir) {
        const QString one = openFileName(parent, startDir);
        return one.isEmpty() ? QStringList() : QStringList{one};
    }
    // Colour dialog starting at `colour`; true and `colour` set to the chosen
    // colour value (red in bits 0-7, green 8-15, blue 16-23; black is 0) when
    // a colour was chosen, false when the dialog was cancelled.
    virtual bool chooseColor(QWidget* parent, qint32& colour) = 0;
    // Font dialog; true and name/size filled when a font was chosen.
    virtual bool chooseFont(QWidget* parent, QString& name, float& sizePt) = 0;
    // Shows one of the program's own windows modally and returns when it has
    // closed (QDialog::exec result).
    virtual int showModal(QDialog& dialog) = 0;
    // Opens `folder` in the desktop's file manager; false when nothing could
    // open it.
    virtual bool openFolder(const QString& folder) = 0;

    // Asks for the user's attention to `window` (the taskbar entry flashes)
    // without taking the focus.
    virtual void alert(QWidget* window) = 0;
    // A desktop notification, where the desktop offers a notification
    // service; without one nothing happens. `body` is plain text.
    virtual void notify(const QString& summary, const QString& body) = 0;

    // The main window that message boxes and questions belong to: they open
    // centred on it. Without one they belong to the active window.
    void setOwner(QWidget* window) { m_owner = window; }
    QWidget* owner() const { return m_owner; }

private:
    QPointer<QWidget> m_owner;
};
