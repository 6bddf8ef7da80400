#pragma once

#include <memory>

#include <QDialog>
#include <QString>

#include "windows/ChatAppearance.h"

class QPlainTextEdit;
class DialogServices;

namespace Ui {
class frmFont;
}

// Lets the user pick the chat log's background colour, text colour and font
// on a preview box. "Set" stores the choice in font.dat and applies it to the
// chat log; "Cancel" and the close box change nothing.
class frmFont : public QDialog {
    Q_OBJECT
public:
    // `target` is the chat log that "Set" restyles (may be null); the preview
    // starts in its look `current`, the plain look of a text box standing in
    // for what `current` leaves unset.
    frmFont(const QString& appDir, DialogServices& services, QPlainTextEdit* target,
            const ChatAppearance& current = ChatAppearance(), QWidget* parent = nullptr);
    ~frmFont() override;

    // The appearance currently shown on the preview.
    const ChatAppearance& preview() const { return m_preview; }

    static const char* const PreviewText;

private:
    void chooseBackColor();
    void chooseForeColor();
    void chooseFont();
    void setAppearance();
    void showPreview();

    std::unique_ptr<Ui::frmFont> m_ui;
    QString m_appDir;
    DialogServices& m_services;
    QPlainTextEdit* m_target;
    ChatAppearance m_preview;
};
