#include "window/reportbox.h"

#include <QApplication>
#include <QEvent>
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
    // Before the panel is shown the window system has not placed it, and a box placed against
    // it would land anywhere.
    QWidget* const panel = m_box.parentWidget();
    if (panel && !panel->isVisible()) {
        if (!m_waitingForPanel)
            panel->installEventFilter(this);
        m_waitingForPanel = true;
        return;
    }
    QWidget* const active = QApplication::activeWindow();
    place();
    m_box.show();
    // Some window systems activate every window they show whatever it asks for: the offscreen
    // platform does, and so do window managers that ignore the request. The window that had the
    // activation asks for it back at once, before the operator can type anything.
    if (active)
        active->activateWindow();
}

bool ReportBox::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Show && m_waitingForPanel) {
        watched->removeEventFilter(this);
        m_waitingForPanel = false;
        // The window system places the panel as it shows it; the box follows from the event loop.
        QTimer::singleShot(0, this, [this] {
            if (!m_box.isVisible()) {
                refresh();
                open();
            }
        });
    }
    return QObject::eventFilter(watched, event);
}

QPoint ReportBox::placeFor(const QRect& panel, int controlsBottom, const QSize& box,
                           const QRect& screen)
{
    const auto inside = [&](QPoint at) {
        at.setX(std::max(screen.left(), std::min(at.x(), screen.right() + 1 - box.width())));
        at.setY(std::max(screen.top(), std::min(at.y(), screen.bottom() + 1 - box.height())));
        return at;
    };
    const int centred = panel.left() + (panel.width() - box.width()) / 2;
    const QPoint below(centred, panel.bottom() + 1 + kGap);
    if (below.y() + box.height() - 1 <= screen.bottom())
        return inside(below);
    const QPoint right(panel.right() + 1 + kGap, panel.bottom() + 1 - box.height());
    if (right.x() + box.width() - 1 <= screen.right())
        return inside(right);
    const QPoint left(panel.left() - kGap - box.width(), panel.bottom() + 1 - box.height());
    if (left.x() >= screen.left())
        return inside(left);
    // Seeing the report matters more than keeping it off the controls: on a screen too small
    // for both, it moves up until all of it shows.
    return inside(QPoint(centred, controlsBottom + 1 + kGap));
}

void ReportBox::place()
{
    const QWidget* panel = m_box.parentWidget();
    if (!panel)
        return;
    m_box.adjustSize();
    const QSize size = m_box.frameGeometry().size();
    const int controlsBottom = panel->mapToGlobal(QPoint(0, panel->childrenRect().bottom())).y();
    if (const QScreen* screen = panel->screen())
        m_box.move(
            placeFor(panel->frameGeometry(), controlsBottom, size, screen->availableGeometry()));
}

} // namespace servo
