#include "window/reportbox.h"

namespace servo {

ReportBox::ReportBox(QWidget* parent, const QString& title) : m_box(parent)
{
    m_box.setObjectName(QStringLiteral("FailureReport"));
    m_box.setWindowModality(Qt::NonModal);
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
    m_box.show();
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

} // namespace servo
