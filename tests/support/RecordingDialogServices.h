#pragma once

#include "RecordingServices.h"
#include "platform/DialogServices.h"

#include <QDialog>

#include <optional>

// The recorder for window tests: the plain services plus the dialogs.
//
// Further log entries:
//   "open:<start folder>"          openFileName()
//   "color:<current>"              chooseColor()
//   "font:<name>:<size>"           chooseFont() (the values passed in)
//   "modal:<objectName or class>"  showModal()
//   "openFolder:<folder>"          openFolder()
//   "alert:<objectName or class>"  alert()
//   "notify:<summary>:<body>"      notify()
class RecordingDialogServices : public ServicesRecorder<DialogServices> {
public:
    QString fileName;            // openFileName(); empty means cancelled
    QStringList fileNames;       // openFileNames() when set, else fileName alone
    std::optional<qint32> color; // chooseColor(); none means cancelled
    bool fontChosen = false;     // chooseFont() fills in the two below when set
    QString fontName;
    float fontSize = 0;
    // Runs on the dialog instead of exec(): tick boxes, press buttons, and
    // return the result. Without it showModal() returns QDialog::Rejected.
    std::function<int(QDialog&)> onModal;
    bool folderOpens = true; // openFolder()'s answer
    // The window each message and question belonged to, in order.
    QList<QPointer<QWidget>> boxOwners;

    void message(const QString& text) override {
        boxOwners << owner();
        ServicesRecorder::message(text);
    }
    bool question(const QString& text, const QString& title) override {
        boxOwners << owner();
        return ServicesRecorder::question(text, title);
    }

    QString openFileName(QWidget*, const QString& startDir) override {
        log.append(QStringLiteral("open:") + startDir);
        return fileName;
    }
    QStringList openFileNames(QWidget* parent, const QString& startDir) override {
        if (fileNames.isEmpty())
            return DialogServices::openFileNames(parent, startDir);
        log.append(QStringLiteral("open:") + startDir);
        return fileNames;
    }
    bool chooseColor(QWidget*, qint32& colour) override {
        log.append(QStringLiteral("color:%1").arg(colour));
        if (!color)
            return false;
        colour = *color;
        return true;
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
    bool openFolder(const QString& folder) override {
        log.append(QStringLiteral("openFolder:") + folder);
        return folderOpens;
    }
    void alert(QWidget* window) override {
        log.append(QStringLiteral("alert:") +
                   (window->objectName().isEmpty()
                        ? QString::fromLatin1(window->metaObject()->className())
                        : window->objectName()));
    }
    void notify(const QString& summary, const QString& body) override {
        log.append(QStringLiteral("notify:%1:%2").arg(summary, body));
    }
};
