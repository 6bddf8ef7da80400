#include "app/ActivityDisplay.h"

#include <QLabel>
#include <QProgressBar>

namespace {

void bump(QString& bar) {
    bar += QLatin1Char('|');
    if (bar.size() >= ActivityDisplay::WrapLength)
        bar = QStringLiteral("|");
}

} // namespace

ActivityDisplay::ActivityDisplay(QLabel* sendBar, QLabel* receiveBar, QProgressBar* progress,
                                 QObject* parent)
    : QObject(parent), m_sendBarLabel(sendBar), m_receiveBarLabel(receiveBar),
      m_progressBar(progress), m_sendBar(sendBar->text()), m_receiveBar(receiveBar->text()),
      m_progress(progress->value()) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ActivityDisplay::refreshNow);
    m_sinceRefresh.start();
}

void ActivityDisplay::bumpSend() {
    bump(m_sendBar);
    changed();
}

void ActivityDisplay::bumpReceive() {
    bump(m_receiveBar);
    changed();
}

void ActivityDisplay::clearBars() {
    m_sendBar.clear();
    m_receiveBar.clear();
    changed();
}

void ActivityDisplay::setProgress(int value) {
    m_progress = qBound(0, value, 100);
    changed();
}

void ActivityDisplay::setProgressText(const QString& text) {
    m_progressText = text;
    changed();
}

// The first change after a quiet spell shows at once (the timer fires at
// the next turn of the event loop); later ones wait for the next refresh.
void ActivityDisplay::changed() {
    if (m_timer.isActive())
        return;
    const qint64 wait = RefreshIntervalMs - m_sinceRefresh.elapsed();
    m_timer.start(wait > 0 ? int(wait) : 0);
}

void ActivityDisplay::refreshNow() {
    m_timer.stop();
    m_sinceRefresh.restart();
    if (m_sendBarLabel->text() != m_sendBar)
        m_sendBarLabel->setText(m_sendBar);
    if (m_receiveBarLabel->text() != m_receiveBar)
        m_receiveBarLabel->setText(m_receiveBar);
    if (m_progressBar->value() != m_progress)
        m_progressBar->setValue(m_progress);
    // The text is ours: "% " is none of the bar's placeholders (%p, %v, %m).
    if (m_progressBar->format() != m_progressText) {
        m_progressBar->setFormat(m_progressText);
        m_progressBar->setTextVisible(!m_progressText.isEmpty());
    }
}
