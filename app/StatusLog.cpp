#include "app/StatusLog.h"

#include <QListWidget>
#include <QLocale>

StatusLog::StatusLog(QListWidget* list, int maxLines) : m_list(list), m_maxLines(maxLines) {}

QString StatusLog::counted(const QString& line, qint64 times) {
    if (times <= 1)
        return line;
    static const QLocale grouping(QLocale::English, QLocale::UnitedStates);
    return QStringLiteral("%1 (\u00d7%2)").arg(line, grouping.toString(times));
}

bool StatusLog::append(const QString& line) {
    if (m_times > 0 && line == m_last && m_list->count() > 0) {
        ++m_times;
        QListWidgetItem* item = m_list->item(m_list->count() - 1);
        item->setText(counted(line, m_times));
        item->setToolTip(item->text());
        return false;
    }
    m_last = line;
    m_times = 1;
    m_list->addItem(line);
    // A line longer than the list is wide can be read whole in its tooltip.
    m_list->item(m_list->count() - 1)->setToolTip(line);
    // Drops a tenth at a time, so a long run of new lines does not pay for
    // a removal each.
    if (m_list->count() > m_maxLines) {
        const int drop = m_list->count() - m_maxLines + m_maxLines / 10;
        for (int i = 0; i < drop; ++i)
            delete m_list->takeItem(0);
    }
    return true;
}

void StatusLog::clear() {
    m_list->clear();
    m_last.clear();
    m_times = 0;
}
