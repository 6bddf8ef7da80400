#pragma once

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

    Ui::frmBrowser* ui() const { return m_ui; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void fitBrowser();

    Ui::frmBrowser* m_ui;
};
