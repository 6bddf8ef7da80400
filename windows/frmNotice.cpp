#include "frmNotice.h"

#include <QFont>
#include <QPalette>
#include <QPushButton>

#include "platform/FileOps.h"
#include "platform/Services.h"
#include "ui_frmNotice.h"

const char* const frmNotice::NoticeText =
    "This is version 3 of Vantrel first released 2 June, 2005.  If you are planning on "
    "communicating with someone who has downloaded the version prior to 2 June, 2005 "
    "(version 2), they will need to upgrade before communication can take place.";

frmNotice::frmNotice(const QString& appDir, Services& services, QWidget* parent)
    : QDialog(parent), m_ui(new Ui::frmNotice), m_appDir(appDir), m_services(services) {
    m_ui->setupUi(this);
    setFixedSize(size());

    QPalette pal = m_ui->Text1->palette();
    pal.setColor(QPalette::Base, QColor(192, 192, 192));
    pal.setColor(QPalette::Text, Qt::black);
    m_ui->Text1->setPalette(pal);
    QFont f(QStringLiteral("Sans Serif"));
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(9.75);
    m_ui->Text1->setFont(f);
    m_ui->Text1->setPlainText(QString::fromLatin1(NoticeText));
    m_ui->Check1->setFocus();
    // Enter presses OK wherever the focus is.
    connect(m_ui->cmdOK, &QPushButton::clicked, this, &QDialog::accept);
}

frmNotice::~frmNotice() = default;

// Every way of closing the window ends here.
void frmNotice::done(int result) {
    if (m_ui->Check1->checkState() != Qt::Unchecked) {
        QString error;
        if (!FileOps::writeFile(m_appDir + "opt.dne", "Done\r\n", &error))
            m_services.message(QStringLiteral("Your choice not to see this notice again could "
                                              "not be stored.\n\n%1")
                                   .arg(error.isEmpty() ? m_appDir + "opt.dne" : error));
    }
    QDialog::done(result);
}
