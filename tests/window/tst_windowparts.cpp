#include "processdata/memoryfield.h"
#include "window/fonts.h"
#include "window/lampwidget.h"
#include "window/reportbox.h"
#include "window/valuedisplay.h"

#include <QAbstractButton>
#include <QTest>

using namespace servo;

Q_DECLARE_METATYPE(FieldValue)
Q_DECLARE_METATYPE(DisplayState)

namespace {

// Counts the paint events a widget receives.
class PaintCounter final : public QObject
{
public:
    explicit PaintCounter(QWidget& widget) { widget.installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

} // namespace

class WindowPartsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { loadSubstituteFonts(); }

    void displayText_data()
    {
        QTest::addColumn<FieldValue>("value");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<DisplayState>("state");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty is blank") << FieldValue() << 2 << DisplayState::Blank << "";
        QTest::newRow("null has no data")
            << FieldValue::null() << 2 << DisplayState::NoData << "----";
        QTest::newRow("int16 as integer")
            << FieldValue(std::int16_t(-1151)) << 2 << DisplayState::Value << "-1151";
        QTest::newRow("int32 as integer")
            << FieldValue(std::int32_t(70000)) << 1 << DisplayState::Value << "70000";
        QTest::newRow("float rounded")
            << FieldValue(2107.46f) << 1 << DisplayState::Value << "2107.5";
        QTest::newRow("double fixed") << FieldValue(70.0) << 2 << DisplayState::Value << "70.00";
        QTest::newRow("negative double")
            << FieldValue(-0.125) << 2 << DisplayState::Value << "-0.13";
        QTest::newRow("boolean") << FieldValue(true) << 0 << DisplayState::Value << "True";
        QTest::newRow("text as is")
            << FieldValue("12,5 rpm") << 2 << DisplayState::Value << "12,5 rpm";
    }

    void displayText()
    {
        QFETCH(FieldValue, value);
        QFETCH(int, decimals);
        QFETCH(DisplayState, state);
        QFETCH(QString, text);
        const DisplayText shown = servo::displayText(value, decimals);
        QCOMPARE(shown.state, state);
        QCOMPARE(shown.text, text);
    }

    void displayFollowsItsField()
    {
        MemoryField field(FieldValue(std::int16_t(5)));
        ValueDisplay display(field, kFieldSettings[4], 1);
        QCOMPARE(display.shown().text, "5");
        field.setValue(FieldValue(4512.34));
        QCOMPARE(display.shown().text,
                 "4512.3"); // the number pairs (3000, -3000) neither clamp nor scale
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
        PaintCounter counter(lamp);
        for (int tick = 0; tick < 100; ++tick) {
            lamp.setFillColour(kSavedLampColours.fill);
            lamp.setBorderColour(kSavedLampColours.border);
        }
        QTest::qWait(20);
        QCOMPARE(counter.paints, 0);
        lamp.setFillColour(kBitSetColours.fill);
        lamp.setBorderColour(kBitSetColours.border);
        QTRY_COMPARE(counter.paints, 1);
    }

    void reportBoxRefreshesRarelyAndCountsOnlyTheOperatorsDismissal()
    {
        QWidget parent;
        ReportBox reports(&parent, "Form1");
        int dismissed = 0;
        reports.onDismissed([&] { ++dismissed; });
        reports.showReport({1001, "Field value could not be read", 1});
        QVERIFY(reports.box().isVisible());
        QCOMPARE(reports.box().text(), "Error 1001: Field value could not be read");
        QCOMPARE(reports.box().windowModality(), Qt::NonModal);
        for (int repeats = 2; repeats <= 1000; ++repeats)
            reports.updateRepeats(repeats);
        // The text waits for the refresh rather than changing a thousand times.
        QCOMPARE(reports.box().text(), "Error 1001: Field value could not be read");
        QTRY_COMPARE(reports.box().text(),
                     "Error 1001: Field value could not be read\n(repeated 1000 times)");

        auto* ok = reports.box().findChild<QAbstractButton*>();
        QVERIFY(ok);
        ok->click();
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
        // every text of the window fits its box shows in the window's own test.
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
};

QTEST_MAIN(WindowPartsTest)
#include "tst_windowparts.moc"
