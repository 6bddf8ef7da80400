#include "platform/Services.h"

#include <QMetaObject>

void Services::later(std::function<void()> task) {
    QMetaObject::invokeMethod(&m_laterContext, std::move(task), Qt::QueuedConnection);
}

void Services::messageLater(const QString& text) {
    later([this, text] { message(text); });
}
