#pragma once

#include <memory>

#include <QDialog>
#include <QString>

class Services;

namespace Ui {
class frmNotice;
}

// The start-up notice. Closing it in any way with "Do not show this again"
// ticked writes the marker opt.dne, which keeps the notice away for good.
class frmNotice : public QDialog {
    Q_OBJECT
public:
    frmNotice(const QString& appDir, Services& services, QWidget* parent = nullptr);
    ~frmNotice() override;

    static const char* const NoticeText;

    void done(int result) override;

private:
    std::unique_ptr<Ui::frmNotice> m_ui;
    QString m_appDir;
    Services& m_services;
};
