#include "window/reportbox.h"

#include <QApplication>
#include <QScreen>
#include <algorithm>

namespace servo {

ReportBox::ReportBox(QWidget* parent, const QString& title) : m_box(parent)
{
    m_box.setObjectName(QStringLiteral("FailureReport"));
    m_box.setWindowModality(Qt::NonModal);
    m_box.setAttribute(Qt::WA_ShowWithoutActivating);
    m_box.setIcon(QMessageBox::Warning);
    m_box.setWindowTitle(title);
    m_box.setStandardButtons(QMessageBox::Ok);
    connect(&m_box, &QDialog::finished, this, [this] {
        m_refresh.stop();
        if (m_dismissed)
            m_dismissed();
    });
    m_refresh.setSingleShot(true);
    m_refresh.setInterval(kRefreshInterval);
    connect(&m_refresh, &QTimer::timeout, this, &ReportBox::refresh);
}

QString ReportBox::text(const Report& report)
{
    QString text = QStringLiteral("Error %1: %2")
                       .arg(report.number)
                       .arg(QString::fromStdString(report.description));
    if (report.repeats > 1)
        text += QStringLiteral("\n(repeated %1 times)").arg(report.repeats);
    return text;
}

void ReportBox::showReport(const Report& report)
{
    m_report = report;
    if (m_box.isVisible()) {
        if (!m_refresh.isActive())
            m_refresh.start();
        return;
    }
    refresh();
    open();
}

void ReportBox::updateRepeats(int repeats)
{
    m_report.repeats = repeats;
    if (!m_refresh.isActive())
        m_refresh.start();
}

void ReportBox::hide()
{
    m_refresh.stop();
    m_box.hide();
}

void ReportBox::refresh()
{
    m_box.setText(text(m_report));
}

void ReportBox::open()
{
    QWidget* const active = QApplication::activeWindow();
    place();
    m_box.show();
    // Some window systems activate every window they show whatever it asks for: the offscreen
    // platform does, and so do window managers that ignore the request. The window that had the
    // activation asks for it back at once, before the operator can type anything.
    if (active)
        active->activateWindow();
}

void ReportBox::place()
{
    const QWidget* panel = m_box.parentWidget();
    if (!panel)
        return;
    m_box.adjustSize();
    const QSize size = m_box.frameGeometry().size();
    const QPoint below(0, panel->childrenRect().bottom() + 1 + kGap);
    QPoint at = panel->mapToGlobal(below) + QPoint((panel->width() - size.width()) / 2, 0);
    // Seeing the report matters more than keeping it off the controls: on a screen too small
    // for both, it moves up until all of it shows.
    if (const QScreen* screen = panel->screen()) {
        const QRect room = screen->availableGeometry();
        at.setX(std::max(room.left(), std::min(at.x(), room.right() + 1 - size.width())));
        at.setY(std::max(room.top(), std::min(at.y(), room.bottom() + 1 - size.height())));
    }
    m_box.move(at);
}

} // namespace servo
