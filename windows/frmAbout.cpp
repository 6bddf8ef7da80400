#include "frmAbout.h"

#include "ui_frmAbout.h"

frmAbout::frmAbout(QWidget* parent) : QDialog(parent), m_ui(new Ui::frmAbout) {
    m_ui->setupUi(this);
    setFixedSize(size());
    m_ui->Label2->setText(QStringLiteral("Copyright \u00A9 2005 Orvane Encryption. "
                                         "All rights reserved."));
    m_ui->Label4->setText(QStringLiteral(
        "This program is protected by copyright. You may use it and pass on unchanged "
        "copies free of charge. Selling it, or handing on altered copies, needs the written "
        "permission of Orvane Encryption. The program is provided as it is, without any "
        "warranty."));
}

frmAbout::~frmAbout() = default;
