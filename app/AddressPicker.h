#pragma once

#include <QObject>

class QLineEdit;
class QMenu;

// Lets the user put one of this computer's addresses into an address box
// without typing it: a button at the box's right end, or Alt+Down in the
// box, opens a menu of the addresses as they are at that moment (IPv4 and
// global IPv6, then the loopback ones). Typing in the box stays possible.
class AddressPicker : public QObject {
    Q_OBJECT
public:
    // The button is the box's action named objectName() + "Pick", the menu
    // its child named objectName() + "Addresses".
    explicit AddressPicker(QLineEdit* box);

    // Fills the menu afresh and opens it below the box.
    void showMenu();

private:
    QLineEdit* m_box;
    QMenu* m_menu;
};
