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

    // Shows where the program keeps its files and where received files go.
    // A path too long for the line is shortened in the middle; the whole
    // path is in the line's tooltip.
    void setFolders(const QString& programFolder, const QString& recvFolder);

private:
    std::unique_ptr<Ui::frmAbout> m_ui;
};
