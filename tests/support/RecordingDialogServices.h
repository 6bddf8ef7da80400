#pragma once

#include "RecordingServices.h"
#include "platform/DialogServices.h"

#include <QDialog>

// The recorder for window tests: the plain services plus the dialogs.
//
// Further log entries:
//   "open"                         openFileName()
//   "color:<current>"              chooseColor()
//   "font:<name>:<size>"           chooseFont() (the values passed in)
//   "modal:<objectName or class>"  showModal()
class RecordingDialogServices : public ServicesRecorder<DialogServices> {
public:
    QString fileName;        // openFileName(); empty means cancelled
    QStringList fileNames;   // openFileNames() when set, else fileName alone
    qint32 color = 0;        // chooseColor(); 0 means cancelled
    bool fontChosen = false; // chooseFont() fills in the two below when set
    QString fontName;
    float fontSize = 0;
    // Runs on the dialog instead of exec(): tick boxes, press buttons, and
    // return the result. Without it showModal() returns QDialog::Rejected.
    std::function<int(QDialog&)> onModal;

    QString openFileName(QWidget*) override {
        log.append(QStringLiteral("open"));
        return fileName;
    }
    QStringList openFileNames(QWidget* parent) override {
        if (fileNames.isEmpty())
            return DialogServices::openFileNames(parent);
        log.append(QStringLiteral("open"));
        return fileNames;
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
};
