#include "frmFont.h"

#include <QPlainTextEdit>

#include "platform/DialogServices.h"
#include "platform/FileOps.h"
#include "ui_frmFont.h"

const char* const frmFont::PreviewText = "This is\r\nhow we\r\nwant this\r\nto look.";

frmFont::frmFont(const QString& appDir, DialogServices& services, QPlainTextEdit* target,
                 const ChatAppearance& current, QWidget* parent)
    : QDialog(parent), m_ui(new Ui::frmFont), m_appDir(appDir), m_services(services),
      m_target(target), m_preview(current) {
    m_ui->setupUi(this);
    setFixedSize(size());
    m_ui->Text1->setPlainText(QString::fromLatin1(PreviewText));

    // The preview starts in the chat log's current look, so "Set" keeps the
    // earlier choices; what was never chosen is the plain look of a text box.
    if (!m_preview.hasBackColor)
        m_preview.backColor = Colors::WindowBackground;
    if (!m_preview.hasForeColor)
        m_preview.foreColor = Colors::WindowText;
    if (!m_preview.hasFontName)
        m_preview.fontName = m_ui->Text1->font().family();
    if (!m_preview.hasFontSize)
        m_preview.fontSize = float(m_ui->Text1->font().pointSizeF());
    m_preview.hasBackColor = m_preview.hasForeColor = true;
    m_preview.hasFontName = m_preview.hasFontSize = true;
    showPreview();

    connect(m_ui->Command1, &QPushButton::clicked, this, &frmFont::chooseBackColor);
    connect(m_ui->Command2, &QPushButton::clicked, this, &frmFont::chooseForeColor);
    connect(m_ui->Command3, &QPushButton::clicked, this, &frmFont::chooseFont);
    connect(m_ui->Command4, &QPushButton::clicked, this, &frmFont::setAppearance);
    connect(m_ui->Command5, &QPushButton::clicked, this, &QDialog::reject);
}

frmFont::~frmFont() = default;

void frmFont::showPreview() {
    m_preview.applyTo(m_ui->Text1);
}

// Any colour can be chosen, black (0) included; a cancelled dialog changes
// nothing.
void frmFont::chooseBackColor() {
    if (m_services.chooseColor(this, m_preview.backColor))
        showPreview();
}

void frmFont::chooseForeColor() {
    if (m_services.chooseColor(this, m_preview.foreColor))
        showPreview();
}

void frmFont::chooseFont() {
    QString name = m_preview.fontName;
    float size = m_preview.fontSize;
    if (!m_services.chooseFont(this, name, size) || name.isEmpty())
        return;
    m_preview.fontName = name;
    if (size > 0.0f)
        m_preview.fontSize = size;
    showPreview();
}

void frmFont::setAppearance() {
    const QString path = m_appDir + "font.dat";
    QString error;
    if (!FileOps::writeFile(path, m_preview.toFileBytes(), &error))
        m_services.message(QStringLiteral("The chat appearance could not be stored.\n\n%1\n\n"
                                          "It is used until the program ends.")
                               .arg(error.isEmpty() ? path : error));
    m_preview.applyTo(m_target);
    accept();
}
