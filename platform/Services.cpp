#include "platform/Services.h"

#include <QMetaObject>

void Services::later(std::function<void()> task) {
    if (!m_laterContext)
        m_laterContext = std::make_unique<QObject>();
    QMetaObject::invokeMethod(m_laterContext.get(), std::move(task), Qt::QueuedConnection);
}

void Services::messageLater(const QString& text) {
    later([this, text] { message(text); });
}
