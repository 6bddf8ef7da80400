#pragma once

#include <memory>

#include <QDialog>
#include <QString>

namespace Ui {
class frmBrowser;
}

// Shows the help page, with the page view filling the window.
class frmBrowser : public QDialog {
    Q_OBJECT
public:
    explicit frmBrowser(const QString& helpPage, QWidget* parent = nullptr);
    ~frmBrowser() override;

    // The page view's size for a window of outer size `outer` (frame
    // included) and client size `client`: 50 twips (at 15 twips a pixel) less
    // than the outer size, but never past the client area, so that the
    // page's own scroll bars stay visible under a title bar.
    static QSize browserSize(const QSize& outer, const QSize& client);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void fitBrowser();

    std::unique_ptr<Ui::frmBrowser> m_ui;
};
