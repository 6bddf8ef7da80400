#include "frmBrowser.h"

#include <QFileInfo>
#include <QFont>
#include <QTextDocument>
#include <QUrl>

#include "ui_frmBrowser.h"

namespace {
// The page view stays 50 twips (at 15 twips a pixel) inside the outer frame.
constexpr double MarginPx = 50.0 / 15.0;
} // namespace

frmBrowser::frmBrowser(const QString& helpPage, QWidget* parent)
    : QDialog(parent), m_ui(new Ui::frmBrowser) {
    m_ui->setupUi(this);
    // A page is read at length: a size above the small one of the controls.
    QFont pageFont = m_ui->WebBrowser1->font();
    pageFont.setPointSizeF(qMax(pageFont.pointSizeF(), 10.0));
    m_ui->WebBrowser1->setFont(pageFont);
    m_ui->WebBrowser1->document()->setDocumentMargin(8);
    if (QFileInfo(helpPage).isFile()) {
        m_ui->WebBrowser1->setSource(QUrl::fromLocalFile(helpPage));
    } else {
        m_ui->WebBrowser1->setPlainText(
            QStringLiteral("The help page %1 could not be found. It belongs in the program's "
                           "folder; installing the program again puts it back.")
                .arg(helpPage));
    }
    fitBrowser();
}

frmBrowser::~frmBrowser() = default;

void frmBrowser::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    fitBrowser();
}

void frmBrowser::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    fitBrowser();
}

QSize frmBrowser::browserSize(const QSize& outer, const QSize& client) {
    const int w = qMin(qRound(outer.width() - MarginPx), client.width());
    const int h = qMin(qRound(outer.height() - MarginPx), client.height());
    return QSize(qMax(w, 0), qMax(h, 0));
}

void frmBrowser::fitBrowser() {
    m_ui->WebBrowser1->setGeometry(
        QRect(QPoint(0, 0), browserSize(frameGeometry().size(), size())));
}
