#include "frmAbout.h"

#include "ui_frmAbout.h"

#include <QFontMetrics>

namespace {

void showPath(QLabel* label, const QString& caption, const QString& path) {
    const QFontMetrics metrics(label->font());
    const int room = label->width() - metrics.horizontalAdvance(caption);
    label->setText(caption + metrics.elidedText(path, Qt::ElideMiddle, room));
    label->setToolTip(path);
}

} // namespace

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

void frmAbout::setFolders(const QString& programFolder, const QString& recvFolder) {
    showPath(m_ui->lbProgramFolder, QStringLiteral("Program folder: "), programFolder);
    showPath(m_ui->lbRecvFolder, QStringLiteral("Received files: "), recvFolder);
}

frmAbout::~frmAbout() = default;
