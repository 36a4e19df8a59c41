#pragma once

#include "panel/failurereports.h"

#include <QMessageBox>
#include <QTimer>
#include <functional>

namespace servo {

// Shows the operator the open failure report in one non-modal message box, which leaves the
// event loop running. The text is "Error <number>: <description>", followed by
// "(repeated N times)" once the failure has been raised N > 1 times. A failure repeating on
// every tick would change the text a thousand times a second, so after the box has opened its
// text is refreshed at most once per kRefreshInterval.
//
// The box never takes the keyboard: it opens without being activated, so a failure that comes
// back on every tick cannot pull the focus away from the panel's buttons. The operator reaches
// it by clicking it or switching to it, and closes it with its button, Enter or Escape.
//
// It opens once the panel (its parent) has been shown, beside or below the panel where the screen
// has room, so it covers none of the panel; only where the screen has no room outside the panel
// does it open over the panel, below its controls.
class ReportBox final : public QObject, public ReportView
{
    Q_OBJECT
public:
    static constexpr int kRefreshInterval = 250; // milliseconds
    static constexpr int kGap = 8;               // pixels between the panel's controls and the box

    // The box is a dialog over parent, with the given title.
    ReportBox(QWidget* parent, const QString& title);

    // Called when the operator closes the box.
    void onDismissed(std::function<void()> dismissed) { m_dismissed = std::move(dismissed); }

    void showReport(const Report& report) override;
    void updateRepeats(int repeats) override;

    // Hides the box without counting as the operator's dismissal, as the window closes.
    void hide();

    const QMessageBox& box() const { return m_box; }
    static QString text(const Report& report);

    // Where a box of the given size opens, for a panel whose window (with its frame) takes
    // panel and whose controls end at controlsBottom, on a screen whose free area is screen:
    // below the panel, else to its right, else to its left, else over the panel below its
    // controls; always inside the screen.
    static QPoint placeFor(const QRect& panel, int controlsBottom, const QSize& box,
                           const QRect& screen);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();
    void open();
    void place();

    QMessageBox m_box;
    QTimer m_refresh;
    Report m_report;
    std::function<void()> m_dismissed;
    bool m_waitingForPanel = false; // a report waits for the panel to be shown
};

} // namespace servo
