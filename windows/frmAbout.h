#pragma once

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

    Ui::frmAbout* ui() const { return m_ui; }

private:
    Ui::frmAbout* m_ui;
};
