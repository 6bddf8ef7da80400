#pragma once

#include "platform/Services.h"

#include <QStringList>

class QDialog;
class QWidget;

// The services the windows need on top of the plain ones: the standard
// dialogs and showing one of the program's own windows modally.
class DialogServices : public Services {
public:
    // Open-file dialog; the chosen path, or an empty text when cancelled.
    virtual QString openFileName(QWidget* parent) = 0;
    // Open-file dialog that takes several files; none when cancelled.
    virtual QStringList openFileNames(QWidget* parent) {
        const QString one = openFileName(parent);
        return one.isEmpty() ? QStringList() : QStringList{one};
    }
    // Colour dialog starting at `current`; the chosen colour as a colour value
    // (red in bits 0-7, green 8-15, blue 16-23), or 0 when nothing was chosen.
    virtual qint32 chooseColor(QWidget* parent, qint32 current) = 0;
    // Font dialog; true and name/size filled when a font was chosen.
    virtual bool chooseFont(QWidget* parent, QString& name, float& sizePt) = 0;
    // Shows one of the program's own windows modally and returns when it has
    // closed (QDialog::exec result).
    virtual int showModal(QDialog& dialog) = 0;
};
