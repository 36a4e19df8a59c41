// The operator window drawn offscreen: its parts alone, then the whole of it.

#include "panel/eventcycle.h"
#include "processdata/memoryfield.h"
#include "processdata/speedslider.h"
#include "window/fonts.h"
#include "window/form1.h"
#include "window/lampwidget.h"
#include "window/reportbox.h"
#include "window/valuedisplay.h"
#include "window/wrappingbutton.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>

using namespace servo;

Q_DECLARE_METATYPE(FieldValue)

namespace {

// Counts the paint events a widget receives.
struct PaintCounter final : QObject
{
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
    int paints = 0;
};

// Keeps what the window hands the connection, and what a field finds by the connection's name.
struct ProbeConnection final : DataConnection
{
    void setFailureSink(FailureSink sink) override { this->sink = std::move(sink); }
    void setReportChangeSink(ReportChangeSink sink) override { change = std::move(sink); }
    FailureSink sink;
    ReportChangeSink change;
};

struct ProbeField final : ProcessField
{
    FieldValue value() const override { return {}; }
    void setValue(const FieldValue&) override {}
    void findConnection(const ElementLookup& elements) override
    {
        found = elements.dataConnection("DatCon1");
    }
    DataConnection* found = nullptr;
};

QWidget* element(QWidget& form, const char* name)
{
    auto* widget = form.findChild<QWidget*>(QLatin1String(name));
    if (!widget)
        qFatal("no element %s", name);
    return widget;
}

// The centre of a lamp shows its fill; two pixels in from its top edge lies on the border.
void checkLamp(const QImage& image, QWidget& form, const char* lamp, QColor fill, QColor border)
{
    const QPoint origin = element(form, lamp)->geometry().topLeft();
    QCOMPARE(image.pixelColor(origin + QPoint(8, 8)), fill);
    QCOMPARE(image.pixelColor(origin + QPoint(8, 2)), border);
    QCOMPARE(image.pixelColor(origin + QPoint(14, 8)), border);
    QCOMPARE(image.pixelColor(origin), QColor(0x80, 0xFF, 0xFF)); // the corner shows the window
}

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { loadSubstituteFonts(); }

    void displayText_data()
    {
        QTest::addColumn<FieldValue>("value");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty is blank") << FieldValue() << 2 << "";
        QTest::newRow("null has no data") << FieldValue::null() << 2 << "----";
        QTest::newRow("int16 as integer") << FieldValue(std::int16_t(-1151)) << 2 << "-1151";
        QTest::newRow("int32 as integer") << FieldValue(std::int32_t(70000)) << 1 << "70000";
        QTest::newRow("float rounded") << FieldValue(2107.46f) << 1 << "2107.5";
        QTest::newRow("double fixed") << FieldValue(70.0) << 2 << "70.00";
        QTest::newRow("negative double") << FieldValue(-0.125) << 2 << "-0.13";
        QTest::newRow("boolean") << FieldValue(true) << 0 << "True";
        QTest::newRow("text as is") << FieldValue("12,5 rpm") << 2 << "12,5 rpm";
    }

    // A display is blank without a value, shows "----" for a value that has no data, and the
    // value's text otherwise.
    void displayText()
    {
        QFETCH(FieldValue, value);
        QFETCH(int, decimals);
        QFETCH(QString, text);
        const DisplayText shown = servo::displayText(value, decimals);
        QCOMPARE(shown.state, text.isEmpty()   ? DisplayState::Blank
                              : text == "----" ? DisplayState::NoData
                                               : DisplayState::Value);
        QCOMPARE(shown.text, text);
    }

    void displayFollowsItsField()
    {
        MemoryField field(FieldValue(std::int16_t(5)));
        ValueDisplay display(field, kFieldSettings[4], 1);
        QCOMPARE(display.shown().text, "5");
        field.setValue(FieldValue(4512.34));
        // The number pairs (3000, -3000) neither clamp nor scale.
        QCOMPARE(display.shown().text, "4512.3");
        field.setValue(FieldValue::null());
        QCOMPARE(display.shown().state, DisplayState::NoData);
        display.detach();
        field.setValue(FieldValue(std::int16_t(7)));
        QCOMPARE(display.shown().state, DisplayState::NoData);
    }

    void lampRepaintsOnlyWhenAColourChanges()
    {
        LampWidget lamp(5);
        lamp.resize(17, 17);
        lamp.show();
        QVERIFY(QTest::qWaitForWindowExposed(&lamp));
        PaintCounter counter;
        lamp.installEventFilter(&counter);
        lamp.setFillColour(kSavedLampColours.fill);
        lamp.setBorderColour(kSavedLampColours.border);
        QTest::qWait(20);
        QCOMPARE(counter.paints, 0);
        lamp.setFillColour(kBitSetColours.fill);
        lamp.setBorderColour(kBitSetColours.border);
        QTRY_COMPARE(counter.paints, 1);
    }

    void reportBoxRefreshesRarelyAndCountsOnlyTheOperatorsDismissal()
    {
        QWidget parent;
        parent.show();
        ReportBox reports(&parent, "Form1");
        int dismissed = 0;
        reports.onDismissed([&] { ++dismissed; });
        reports.showReport({1001, "Field value could not be read", 1});
        QVERIFY(reports.box().isVisible());
        QCOMPARE(reports.box().text(), "Error 1001: Field value could not be read");
        for (int repeats = 2; repeats <= 1000; ++repeats)
            reports.updateRepeats(repeats);
        // The text waits for the refresh rather than changing a thousand times.
        QCOMPARE(reports.box().text(), "Error 1001: Field value could not be read");
        QTRY_COMPARE(reports.box().text(),
                     "Error 1001: Field value could not be read\n(repeated 1000 times)");

        reports.box().button(QMessageBox::Ok)->click();
        QCOMPARE(dismissed, 1);
        QVERIFY(!reports.box().isVisible());
        reports.showReport({13, "Type mismatch", 1});
        QVERIFY(reports.box().isVisible());
        reports.hide();
        QCOMPARE(dismissed, 1); // hiding as the window closes is not the operator's dismissal
    }

    void textShrinksOnlyAsFarAsItMust()
    {
        // The title shrinks, no further than it must; a caption that fits keeps its font. That
        // every text of the window fits its box shows in everyTextFitsItsBox.
        const QFont title = substituteFont({"Roman", 21.75, true});
        const QString text = "BRUMEDAX Q318 DEMO OPC CONTROL VIA A PC STATION";
        const double size =
            fitText(title, text, QSize(649, 33), Wrap::SingleLine).font.pointSizeF();
        QVERIFY(size < 21.75 && size > 12);
        const QFont caption = substituteFont({"Arial", 12, true});
        QCOMPARE(fitText(caption, "RED SERVO 2", QSize(129, 17), Wrap::SingleLine).font, caption);

        // A bitmap font cannot shrink; a scalable one takes its place.
        const QFont bitmap = substituteFont({"MS Sans Serif", 8.25, false});
        const QString wide = "SPEED CONTROLLER ENABLE";
        const QFont shrunk = fitText(bitmap, wide, QSize(100, 17), Wrap::SingleLine).font;
        QVERIFY(QFontMetricsF(shrunk).horizontalAdvance(wide) <= 100);
    }

    void windowKeepsItsSettingsFromCreationToClosing()
    {
        Form1 form(makeMemoryProcessData());
        QCOMPARE(form.windowTitle(), "Form1");
        QCOMPARE(form.size(), QSize(1038, 686));
        for (const char* hidden : {"ZqNumber1", "ZqNumber2", "ZqNumber3", "ZqNumber4"})
            QVERIFY(element(form, hidden)->isHidden());
        QCOMPARE(form.findChildren<QLabel*>(Qt::FindDirectChildrenOnly).size(), 33);
        QCOMPARE(form.findChildren<QPushButton*>(Qt::FindDirectChildrenOnly).size(), 2);
        const QList<QWidget*> elements = form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (QWidget* widget : elements) {
            const QString name = widget->objectName();
            if (name.startsWith("Label") || name.startsWith("Shape") || name.startsWith("ZqNumber"))
                QVERIFY2(widget->focusPolicy() == Qt::NoFocus, qPrintable(name));
        }
        for (QPushButton* button : form.findChildren<QPushButton*>(Qt::FindDirectChildrenOnly))
            QVERIFY(!button->isDefault() && !button->autoDefault());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        // Enlarging the window moves nothing; closing it stops the ticks.
        QMap<QString, QRect> before;
        for (QWidget* widget : elements)
            before.insert(widget->objectName(), widget->geometry());
        form.resize(1400, 900);
        QTRY_COMPARE(form.size(), QSize(1400, 900));
        for (QWidget* widget : elements)
            QCOMPARE(widget->geometry(), before.value(widget->objectName()));
        form.close();
        QVERIFY(!form.eventCycle().timer().isActive());
    }

    // Figures converted by hand from the layout in twips (15 twips a pixel).
    void elementPlaces_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("place");
        QTest::newRow("title") << "Label33" << QRect(160, 16, 649, 33);
        QTest::newRow("red caption") << "Label1" << QRect(168, 80, 129, 17);
        QTest::newRow("blue caption") << "Label2" << QRect(624, 80, 145, 17);
        QTest::newRow("Command1") << "Command1" << QRect(88, 144, 81, 57);
        QTest::newRow("ZqvbSlid2") << "ZqvbSlid2" << QRect(664, 144, 59, 297);
        QTest::newRow("ON/OFF 1 lamp, servo 2") << "Shape1" << QRect(264, 144, 17, 17);
        QTest::newRow("ENABLE lamp, servo 3") << "Shape23" << QRect(728, 212, 17, 17);
        QTest::newRow("CLOSE BRAKE lamp, servo 2") << "Shape13" << QRect(264, 416, 17, 17);
        QTest::newRow("SPEED CONTROLLER caption") << "Label14" << QRect(296, 393, 161, 17);
        QTest::newRow("FREEZ caption, servo 3") << "Label23" << QRect(760, 257, 137, 17);
        QTest::newRow("red actual speed") << "Label29" << QRect(200, 456, 137, 17);
        QTest::newRow("ZqNumber5") << "ZqNumber5" << QRect(344, 456, 57, 25);
        QTest::newRow("ZqNumber8") << "ZqNumber8" << QRect(808, 496, 57, 25);
    }

    void elementPlaces()
    {
        QFETCH(QString, name);
        QFETCH(QRect, place);
        Form1 form(makeMemoryProcessData());
        QCOMPARE(element(form, name.toLatin1())->geometry(), place);
    }

    // Lamp row r has Shape<r + 1> and its caption Label<r + 3> on the left, and Shape<26 - r> and
    // Label<28 - r> on the right; the rows go down in the order of the captions.
    void rightHalfRepeatsLeftHalfWithTheSameCaptions()
    {
        const QStringList captions =
            QString("ON/OFF 1|ON/OFF 2|ON/OFF 3|ENABLE|ENABLE RAMP FUNCT GEN|FREEZ RAMP FUNC GEN|"
                    "ENABLE SPEED SET POINT|COMMAND OPEN BRAKE|JOG1|JOG2|MASTER CONTROL BY PLC|"
                    "SPEED CONTROLLER ENABLE|COMMAND CLOSE BRAKE")
                .split('|');
        Form1 form(makeMemoryProcessData());
        const auto place = [&form](const QString& name) {
            return element(form, name.toLatin1())->geometry();
        };
        QList<QPair<QString, QString>> pairs{
            {"Command1", "Command2"}, {"ZqvbSlid1", "ZqvbSlid2"}, {"Label29", "Label32"},
            {"Label30", "Label31"},   {"ZqNumber5", "ZqNumber7"}, {"ZqNumber6", "ZqNumber8"}};
        int rowTop = 0;
        for (int r = 0; r < captions.size(); ++r) {
            const QString left = QString("Label%1").arg(r + 3),
                          right = QString("Label%1").arg(28 - r);
            pairs.append({left, right});
            pairs.append({QString("Shape%1").arg(r + 1), QString("Shape%1").arg(26 - r)});
            for (const QString& label : {left, right})
                QCOMPARE(element(form, label.toLatin1())->property("text").toString(), captions[r]);
            const QRect lamp = place(QString("Shape%1").arg(r + 1)), caption = place(left);
            QCOMPARE(lamp.y(), caption.y());
            QVERIFY(lamp.right() < caption.left() && caption.left() - lamp.right() < 24);
            QVERIFY(caption.top() >= rowTop);
            rowTop = caption.bottom() + 1;
        }
        for (const auto& [left, right] : pairs)
            QVERIFY2(place(right) == place(left).translated(464, 0),
                     qPrintable(left + " / " + right));
    }

    void everyTextFitsItsBox()
    {
        Form1 form(makeMemoryProcessData());
        for (QLabel* label : form.findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
            const QFontMetricsF metrics(label->font());
            QVERIFY2(metrics.horizontalAdvance(label->text()) <= label->width(),
                     qPrintable(label->objectName()));
            QVERIFY2(metrics.ascent() <= label->height(), qPrintable(label->objectName()));
        }
        for (const char* name : {"Command1", "Command2"}) {
            auto* button = static_cast<WrappingButton*>(element(form, name));
            const FittedText caption = button->drawnCaption();
            const QStringList lines = caption.text.split('\n');
            QCOMPARE(lines.size(), 2);
            QCOMPARE(lines.join(' '), button->text());
            QCOMPARE(lines[0], "Start/Stop");
            for (const QString& line : lines)
                QVERIFY(QFontMetricsF(caption.font).horizontalAdvance(line) < button->width());
        }
    }

    // Before the first tick every lamp shows its saved colours; after it, each shows its bit as
    // green (dark green border) or red (dark red border): servo 2's word 1151 from Shape1 down,
    // servo 3's word 1150 from Shape26 up.
    void lampsAndDisplaysShowTheirColours()
    {
        ProcessData data = makeMemoryProcessData();
        data.field(3).setValue(FieldValue(std::int16_t(1151)));
        data.field(4).setValue(FieldValue(std::int16_t(1150)));
        Form1 form(std::move(data));
        form.eventCycle().stop();
        const QImage before = form.grab().toImage();
        form.eventCycle().Timer1_Timer();
        const QImage after = form.grab().toImage();
        const QString shown = "GGGGGGGRRRGRR"
                              "RRGRRRGGGGGGR";
        const QColor green(0, 0xFF, 0), darkGreen(0, 0x80, 0), red(0xFF, 0, 0), darkRed(0xC0, 0, 0);
        for (int n = 1; n <= 26; ++n) {
            const QByteArray name = "Shape" + QByteArray::number(n);
            checkLamp(before, form, name, QColor(0x80, 0, 0), red);
            const bool on = shown[n - 1] == 'G';
            checkLamp(after, form, name, on ? green : red, on ? darkGreen : darkRed);
        }

        // The displays of the actual speeds (ZqNumber5 and 7) and of the set points (6 and 8).
        for (int n = 5; n <= 8; ++n) {
            const QPoint inside = element(form, "ZqNumber" + QByteArray::number(n))->pos();
            QCOMPARE(before.pixelColor(inside + QPoint(3, 3)),
                     n % 2 ? QColor(0x80, 0xFF, 0xFF) : QColor(0x80, 0x80, 0xFF));
        }
    }

    void slidersStartAtTheirPositionWithMaximumAtTop()
    {
        Form1 form(makeMemoryProcessData());
        form.eventCycle().stop();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        for (const char* name : {"ZqvbSlid1", "ZqvbSlid2"}) {
            QWidget* widget = element(form, name);
            auto* slider = dynamic_cast<SpeedSlider*>(widget);
            QVERIFY(slider);
            QCOMPARE(slider->position(), 2107.5);
            QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(widget->width() / 2, 3));
            QVERIFY(slider->position() > 2107.5);
            const double afterMouse = slider->position();
            widget->setFocus();
            QTest::keyClick(widget, Qt::Key_Down);
            QVERIFY(slider->position() < afterMouse);
        }
    }

    // The operator moves the focus with Tab and works Command1 from the keyboard while a lamp
    // word that is not a number fails every tick: the report of it never takes the keyboard.
    void aReportNeverTakesTheKeyboardNorCoversAControl()
    {
        ProcessData data = makeMemoryProcessData();
        data.field(3).setValue(FieldValue("not a number"));
        Form1 form(std::move(data));
        form.eventCycle().stop();
        form.show();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QCOMPARE(QApplication::focusWidget(), element(form, "ZqvbSlid1"));
        for (const char* next : {"Command1", "Command2", "ZqvbSlid2", "ZqvbSlid1", "Command1"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), element(form, next));
        }
        auto* button = static_cast<QPushButton*>(element(form, "Command1"));
        QSignalSpy clicks(button, &QPushButton::clicked);
        auto* box = form.findChild<QMessageBox*>("FailureReport");
        QVERIFY(box);

        // As a failure on every tick does: the report opens and counts a repeat.
        form.eventCycle().Timer1_Timer();
        form.eventCycle().Timer1_Timer();
        QCoreApplication::processEvents();
        QVERIFY(box->isVisible());
        QVERIFY(box->text().startsWith("Error 13: "));
        QTRY_VERIFY(box->text().endsWith("(repeated 2 times)"));
        QCOMPARE(QApplication::activeWindow(), &form);
        QCOMPARE(QApplication::focusWidget(), button);
        QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Space);
        QCOMPARE(clicks.size(), 1);
        QCOMPARE(form.processData().field(1).value(), FieldValue(std::int16_t(1151)));
        QVERIFY(form.processData().field(2).value().isEmpty()); // Command1 leaves servo 3 alone
        for (QWidget* control : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const QRect place(control->mapToGlobal(QPoint(0, 0)), control->size());
            QVERIFY2(control->isWindow() || control->isHidden() ||
                         !box->frameGeometry().intersects(place),
                     qPrintable(control->objectName()));
        }
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        QVERIFY(!form.failureReports().openReport());

        // The next failure opens it again; the operator who goes to it closes it from the
        // keyboard.
        form.eventCycle().Timer1_Timer();
        QCoreApplication::processEvents();
        box->activateWindow();
        // A transient window counts as active while its parent is, so qWaitForWindowActive would
        // not wait for the box itself.
        QTRY_COMPARE(QApplication::activeWindow(), box);
        QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Escape);
        QVERIFY(!box->isVisible());
        QVERIFY(!form.failureReports().openReport());
    }

    void connectionFailuresReachTheReports()
    {
        ProcessData data = makeMemoryProcessData();
        auto* connection = new ProbeConnection;
        data.DatCon1.reset(connection);
        auto* field = new ProbeField;
        data.ZqNumber[4].reset(field);
        Form1 form(std::move(data));
        QCOMPARE(field->found, connection);
        QVERIFY(connection->sink);
        const Failure lost(FailureCode::ConnectionLost, "gone");
        connection->sink(lost);
        QCOMPARE(form.failureReports().openReport()->number, 1013);

        // The report waits until the panel is shown, and so placed, and then follows the change
        // of its outage.
        const auto* box = &form.reportBox().box();
        QCoreApplication::processEvents();
        QVERIFY(!box->isVisible());
        form.show();
        QTRY_VERIFY(box->isVisible());
        connection->change(lost, Failure(FailureCode::ConnectionLost, "gone, now back"));
        QTRY_COMPARE(box->text(), "Error 1013: Connection to the server lost: gone, now back");
    }

    // Where a report opens against the panel's window (100,100 1040x720 with its frame, its
    // controls ending at y 700) on screens of several sizes: below it, beside it, and only on
    // a screen without room for either over it, below its controls.
    void reportPlacement_data()
    {
        QTest::addColumn<QRect>("screen");
        QTest::addColumn<QPoint>("place");
        const QSize box(300, 120);
        const int centred = 100 + (1040 - box.width()) / 2;
        QTest::newRow("below on a tall screen") << QRect(0, 0, 1600, 1200) << QPoint(centred, 828);
        QTest::newRow("right on a wide low screen")
            << QRect(0, 0, 1600, 900) << QPoint(1148, 820 - 120);
        QTest::newRow("left when the panel sits at the right")
            << QRect(-400, 0, 1540, 900) << QPoint(100 - 8 - 300, 700);
        QTest::newRow("over the panel below its controls on a narrow screen")
            << QRect(0, 0, 1024, 900) << QPoint(centred, 709);
        QTest::newRow("moved up into a screen too small for that")
            << QRect(0, 0, 1024, 760) << QPoint(centred, 640);
    }

    void reportPlacement()
    {
        QFETCH(QRect, screen);
        QFETCH(QPoint, place);
        QCOMPARE(ReportBox::placeFor(QRect(100, 100, 1040, 720), 700, QSize(300, 120), screen),
                 place);
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
