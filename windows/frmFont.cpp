#include "frmFont.h"

#include <QPlainTextEdit>

#include "platform/DialogServices.h"
#include "platform/FileOps.h"
#include "ui_frmFont.h"

const char* const frmFont::PreviewText = "This is\r\nhow we\r\nwant this\r\nto look.";

frmFont::frmFont(const QString& appDir, DialogServices& services, QPlainTextEdit* target,
                 QWidget* parent)
    : QDialog(parent), m_ui(new Ui::frmFont), m_appDir(appDir), m_services(services),
      m_target(target) {
    m_ui->setupUi(this);
    setFixedSize(size());
    m_ui->Text1->setPlainText(QString::fromLatin1(PreviewText));

    // The preview starts in the plain look of a text box, not in the chat
    // log's current look.
    m_preview.hasBackColor = m_preview.hasForeColor = true;
    m_preview.hasFontName = m_preview.hasFontSize = true;
    m_preview.fontName = m_ui->Text1->font().family();
    m_preview.fontSize = float(m_ui->Text1->font().pointSizeF());
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

// A colour of 0 from the dialog means that nothing was chosen.
void frmFont::chooseBackColor() {
    const qint32 c = m_services.chooseColor(this, m_preview.backColor);
    if (c == 0)
        return;
    m_preview.backColor = c;
    showPreview();
}

void frmFont::chooseForeColor() {
    const qint32 c = m_services.chooseColor(this, m_preview.foreColor);
    if (c == 0)
        return;
    m_preview.foreColor = c;
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
