#include "app/AddressPicker.h"

#include "platform/NetAddress.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QShortcut>
#include <QStyle>

AddressPicker::AddressPicker(QLineEdit* box) : QObject(box), m_box(box), m_menu(new QMenu(box)) {
    auto* button = new QAction(box);
    button->setObjectName(box->objectName() + QStringLiteral("Pick"));
    button->setIcon(box->style()->standardIcon(QStyle::SP_ArrowDown));
    button->setToolTip(tr("Choose one of this computer's addresses (Alt+Down)"));
    box->addAction(button, QLineEdit::TrailingPosition);
    m_menu->setObjectName(box->objectName() + QStringLiteral("Addresses"));
    connect(button, &QAction::triggered, this, &AddressPicker::showMenu);
    auto* key = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Down), box);
    key->setContext(Qt::WidgetShortcut);
    connect(key, &QShortcut::activated, this, &AddressPicker::showMenu);
}

void AddressPicker::showMenu() {
    m_menu->clear();
    for (const NetAddress::Local& a : NetAddress::localAddresses()) {
        const QString where = a.loopback ? tr("this computer only") : a.device;
        QAction* item = m_menu->addAction(QStringLiteral("%1\t%2").arg(a.text, where));
        item->setData(a.text);
        item->setCheckable(true);
        item->setChecked(a.text == m_box->text());
        connect(item, &QAction::triggered, m_box, [box = m_box, text = a.text] {
            box->setText(text);
            box->setFocus(Qt::OtherFocusReason);
        });
    }
    if (m_menu->isEmpty())
        m_menu->addAction(tr("No network address found"))->setEnabled(false);
    m_menu->popup(m_box->mapToGlobal(QPoint(0, m_box->height())));
}
