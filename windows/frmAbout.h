#pragma once

#include <memory>

#include <QDialog>

namespace Ui {
class frmAbout;
}

// Name, copyright and author of the program; "Done" closes it.
class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget* parent = nullptr);
    ~frmAbout() override;

private:
    std::unique_ptr<Ui::frmAbout> m_ui;
};
