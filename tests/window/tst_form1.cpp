#include "panel/eventcycle.h"
#include "processdata/memoryfield.h"
#include "processdata/speedslider.h"
#include "window/form1.h"
#include "window/lampwidget.h"
#include "window/wrappingbutton.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>

using namespace servo;

namespace {

class FailingField final : public ProcessField
{
public:
    FieldValue value() const override { throw Failure(FailureCode::FieldReadFailed, "test"); }
    void setValue(const FieldValue&) override { throw Failure(FailureCode::FieldWriteFailed); }
};

// Keeps what the window hands the connection, and what a field finds by the connection's name.
class ProbeConnection final : public DataConnection
{
public:
    void setFailureSink(FailureSink sink) override { this->sink = std::move(sink); }
    FailureSink sink;
};

class ProbeField final : public ProcessField
{
public:
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

// Stops the ticks, shows the form active and puts the keyboard focus on Command1, which it
// returns; nullptr when the window never became active.
QPushButton* showWithFocusOnCommand1(Form1& form)
{
    form.eventCycle().stop();
    form.show();
    form.activateWindow();
    if (!QTest::qWaitForWindowActive(&form))
        return nullptr;
    auto* button = static_cast<QPushButton*>(element(form, "Command1"));
    button->setFocus();
    return button;
}

} // namespace

class Form1Test : public QObject
{
    Q_OBJECT

private slots:
    void windowSettings();
    void elementPlaces_data();
    void elementPlaces();
    void rightHalfRepeatsLeftHalf();
    void eachCaptionOncePerColumnInOrder();
    void everyTextFitsItsBox();
    void lampsShowSavedColoursBeforeFirstTick();
    void lampsAfterTick_data();
    void lampsAfterTick();
    void displaysShowTheirValuesInTheirColours();
    void focusMovesInOrder();
    void spaceBarOnFocusedButtonClicksOnce();
    void slidersStartAtTheirPositionWithMaximumAtTop();
    void enlargingMovesNothing();
    void failureInTickShowsOneReportCountingRepeats();
    void aReportNeverTakesTheKeyboardNorCoversAControl();
    void connectionFailuresReachTheReports();
    void closingStopsTheTicks();
};

void Form1Test::windowSettings()
{
    Form1 form(makeMemoryProcessData());
    QCOMPARE(form.windowTitle(), "Form1");
    QCOMPARE(form.size(), QSize(1038, 686));
    QCOMPARE(form.palette().color(QPalette::Window), QColor(0x80, 0xFF, 0xFF));
    QVERIFY(form.eventCycle().timer().isActive());
    for (const char* hidden : {"ZqNumber1", "ZqNumber2", "ZqNumber3", "ZqNumber4"})
        QVERIFY(element(form, hidden)->isHidden());
    QCOMPARE(form.findChildren<QLabel*>(Qt::FindDirectChildrenOnly).size(), 33);
    QCOMPARE(form.findChildren<QPushButton*>(Qt::FindDirectChildrenOnly).size(), 2);
}

// Figures converted by hand from the layout in twips (15 twips a pixel).
void Form1Test::elementPlaces_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("place");
    QTest::newRow("title") << "Label33" << QRect(160, 16, 649, 33);
    QTest::newRow("red caption") << "Label1" << QRect(168, 80, 129, 17);
    QTest::newRow("blue caption") << "Label2" << QRect(624, 80, 145, 17);
    QTest::newRow("Command1") << "Command1" << QRect(88, 144, 81, 57);
    QTest::newRow("Command2") << "Command2" << QRect(552, 144, 81, 57);
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

void Form1Test::elementPlaces()
{
    QFETCH(QString, name);
    QFETCH(QRect, place);
    Form1 form(makeMemoryProcessData());
    QCOMPARE(element(form, name.toLatin1())->geometry(), place);
}

void Form1Test::rightHalfRepeatsLeftHalf()
{
    Form1 form(makeMemoryProcessData());
    QList<QPair<QString, QString>> pairs{{"Command1", "Command2"},   {"ZqvbSlid1", "ZqvbSlid2"},
                                         {"Label29", "Label32"},     {"Label30", "Label31"},
                                         {"ZqNumber5", "ZqNumber7"}, {"ZqNumber6", "ZqNumber8"}};
    for (int n = 1; n <= 13; ++n)
        pairs.append({QString("Shape%1").arg(n), QString("Shape%1").arg(27 - n)});
    for (int n = 3; n <= 15; ++n)
        pairs.append({QString("Label%1").arg(n), QString("Label%1").arg(31 - n)});

    for (const auto& [left, right] : pairs) {
        const QRect l = element(form, left.toLatin1())->geometry();
        const QRect r = element(form, right.toLatin1())->geometry();
        QVERIFY2(r == l.translated(464, 0), qPrintable(left + " / " + right));
    }
    // The channel captions stand apart from the pattern.
    QCOMPARE(element(form, "Label2")->x() - element(form, "Label1")->x(), 456);
}

void Form1Test::eachCaptionOncePerColumnInOrder()
{
    const QStringList captions =
        QString("ON/OFF 1|ON/OFF 2|ON/OFF 3|ENABLE|ENABLE RAMP FUNCT GEN|FREEZ RAMP FUNC GEN|"
                "ENABLE SPEED SET POINT|COMMAND OPEN BRAKE|JOG1|JOG2|MASTER CONTROL BY PLC|"
                "SPEED CONTROLLER ENABLE|COMMAND CLOSE BRAKE")
            .split('|');
    Form1 form(makeMemoryProcessData());
    for (bool rightHalf : {false, true}) {
        QList<QLabel*> column;
        for (QLabel* label : form.findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
            if (captions.contains(label->text()) && (label->x() >= form.width() / 2) == rightHalf)
                column.append(label);
        }
        std::sort(column.begin(), column.end(),
                  [](QLabel* a, QLabel* b) { return a->y() < b->y(); });
        QStringList texts;
        for (QLabel* label : column) {
            texts.append(label->text());
            // Each caption has a lamp of its own half on its row, just left of it.
            const QWidget* lamp = form.childAt(label->x() - 24, label->y() + 8);
            QVERIFY(lamp && lamp->objectName().startsWith("Shape"));
            QCOMPARE(lamp->y(), label->y());
        }
        QCOMPARE(texts, captions);
        for (int i = 1; i < column.size(); ++i)
            QVERIFY(column[i]->y() >= column[i - 1]->y() + column[i - 1]->height());
    }
}

void Form1Test::everyTextFitsItsBox()
{
    Form1 form(makeMemoryProcessData());
    for (QLabel* label : form.findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        const QFontMetricsF metrics(label->font());
        QVERIFY2(metrics.horizontalAdvance(label->text()) <= label->width(),
                 qPrintable(label->objectName()));
        QVERIFY2(metrics.ascent() <= label->height(), qPrintable(label->objectName()));
    }
    QCOMPARE(element(form, "Label33")->property("text").toString(),
             "BRUMEDAX Q318 DEMO OPC CONTROL VIA A PC STATION");
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

void Form1Test::lampsShowSavedColoursBeforeFirstTick()
{
    Form1 form(makeMemoryProcessData());
    const QImage image = form.grab().toImage();
    for (int n = 1; n <= 26; ++n) {
        const QByteArray name = "Shape" + QByteArray::number(n);
        checkLamp(image, form, name, QColor(0x80, 0, 0), QColor(0xFF, 0, 0));
    }
}

void Form1Test::lampsAfterTick_data()
{
    QTest::addColumn<QByteArray>("lamp");
    QTest::addColumn<QColor>("fill");
    QTest::addColumn<QColor>("border");
    const QColor green(0, 0xFF, 0), darkGreen(0, 0x80, 0), red(0xFF, 0, 0), darkRed(0xC0, 0, 0);
    // Servo 2's lamp word is 1151, servo 3's 1150.
    QTest::newRow("servo 2 ON/OFF 1") << QByteArray("Shape1") << green << darkGreen;
    QTest::newRow("servo 2 JOG1") << QByteArray("Shape9") << red << darkRed;
    QTest::newRow("servo 2 MASTER CONTROL") << QByteArray("Shape11") << green << darkGreen;
    QTest::newRow("servo 3 ON/OFF 1") << QByteArray("Shape26") << red << darkRed;
    QTest::newRow("servo 3 ON/OFF 2") << QByteArray("Shape25") << green << darkGreen;
    QTest::newRow("servo 3 CLOSE BRAKE") << QByteArray("Shape14") << red << darkRed;
}

void Form1Test::lampsAfterTick()
{
    QFETCH(QByteArray, lamp);
    QFETCH(QColor, fill);
    QFETCH(QColor, border);
    ProcessData data = makeMemoryProcessData();
    data.field(3).setValue(FieldValue(std::int16_t(1151)));
    data.field(4).setValue(FieldValue(std::int16_t(1150)));
    Form1 form(std::move(data));
    form.eventCycle().stop();
    form.eventCycle().Timer1_Timer();
    checkLamp(form.grab().toImage(), form, lamp, fill, border);
}

void Form1Test::displaysShowTheirValuesInTheirColours()
{
    Form1 form(makeMemoryProcessData());
    const QImage image = form.grab().toImage();
    const QColor actual(0x80, 0xFF, 0xFF), set(0x80, 0x80, 0xFF);
    for (const auto& [name, background] : {std::pair{"ZqNumber5", actual},
                                           {"ZqNumber6", set},
                                           {"ZqNumber7", actual},
                                           {"ZqNumber8", set}}) {
        QCOMPARE(image.pixelColor(element(form, name)->geometry().topLeft() + QPoint(3, 3)),
                 background);
        QCOMPARE(element(form, name)->focusPolicy(), Qt::NoFocus);
    }
}

void Form1Test::focusMovesInOrder()
{
    Form1 form(makeMemoryProcessData());
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), element(form, "ZqvbSlid1"));
    for (const char* next : {"Command1", "Command2", "ZqvbSlid2", "ZqvbSlid1"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), element(form, next));
    }
    for (QWidget* widget : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QString name = widget->objectName();
        if (name.startsWith("Label") || name.startsWith("Shape") || name.startsWith("ZqNumber"))
            QVERIFY2(widget->focusPolicy() == Qt::NoFocus, qPrintable(name));
    }
    for (QPushButton* button : form.findChildren<QPushButton*>(Qt::FindDirectChildrenOnly))
        QVERIFY(!button->isDefault() && !button->autoDefault());
}

void Form1Test::spaceBarOnFocusedButtonClicksOnce()
{
    Form1 form(makeMemoryProcessData());
    QPushButton* button = showWithFocusOnCommand1(form);
    QVERIFY(button);
    QSignalSpy clicks(button, &QPushButton::clicked);
    QTest::keyClick(button, Qt::Key_Space);
    QCOMPARE(clicks.size(), 1);
    QCOMPARE(form.processData().field(1).value(), FieldValue(std::int16_t(1151)));
    QVERIFY(form.processData().field(2).value().isEmpty());
}

void Form1Test::slidersStartAtTheirPositionWithMaximumAtTop()
{
    Form1 form(makeMemoryProcessData());
    form.eventCycle().stop();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    for (const char* name : {"ZqvbSlid1", "ZqvbSlid2"}) {
        auto* slider = dynamic_cast<SpeedSlider*>(element(form, name));
        QVERIFY(slider);
        QCOMPARE(slider->position(), 2107.5);
        auto* widget = element(form, name);
        QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(widget->width() / 2, 3));
        QVERIFY(slider->position() > 2107.5);
        const double afterMouse = slider->position();
        widget->setFocus();
        QTest::keyClick(widget, Qt::Key_Down);
        QVERIFY(slider->position() < afterMouse);
    }
}

void Form1Test::enlargingMovesNothing()
{
    Form1 form(makeMemoryProcessData());
    form.eventCycle().stop();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QMap<QString, QRect> before;
    for (QWidget* widget : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        before.insert(widget->objectName(), widget->geometry());
    form.resize(1400, 900);
    QTRY_COMPARE(form.size(), QSize(1400, 900));
    for (QWidget* widget : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        QCOMPARE(widget->geometry(), before.value(widget->objectName()));
}

void Form1Test::failureInTickShowsOneReportCountingRepeats()
{
    ProcessData data = makeMemoryProcessData();
    data.ZqNumber[2] = std::make_unique<FailingField>();
    Form1 form(std::move(data));
    form.eventCycle().stop();
    for (int i = 0; i < 5; ++i)
        form.eventCycle().Timer1_Timer();

    const auto boxes = [] {
        int visible = 0;
        for (QWidget* window : QApplication::topLevelWidgets())
            visible += qobject_cast<QMessageBox*>(window) && window->isVisible();
        return visible;
    };
    QCOMPARE(boxes(), 1);
    QCOMPARE(form.failureReports().openReport()->repeats, 5);
    QVERIFY(form.reportBox().box().text().startsWith("Error 1001: "));
    QTRY_VERIFY(form.reportBox().box().text().endsWith("(repeated 5 times)"));
    QCOMPARE(boxes(), 1);
}

void Form1Test::aReportNeverTakesTheKeyboardNorCoversAControl()
{
    ProcessData data = makeMemoryProcessData();
    data.ZqNumber[2] = std::make_unique<FailingField>();
    Form1 form(std::move(data));
    QPushButton* button = showWithFocusOnCommand1(form);
    QVERIFY(button);
    QSignalSpy clicks(button, &QPushButton::clicked);
    auto* box = form.findChild<QMessageBox*>("FailureReport");
    QVERIFY(box);

    // As a failure on every tick does: the report opens, counts a repeat, and opens again as
    // soon as the operator has closed it.
    for (int round = 1; round <= 2; ++round) {
        form.eventCycle().Timer1_Timer();
        form.eventCycle().Timer1_Timer();
        QCoreApplication::processEvents();
        QVERIFY(box->isVisible());
        QCOMPARE(QApplication::activeWindow(), &form);
        QCOMPARE(QApplication::focusWidget(), button);
        QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Space);
        QCOMPARE(clicks.size(), round);
        for (QWidget* control : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const QRect place(control->mapToGlobal(QPoint(0, 0)), control->size());
            QVERIFY2(control->isWindow() || control->isHidden() ||
                         !box->frameGeometry().intersects(place),
                     qPrintable(control->objectName()));
        }
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        QVERIFY(!box->isVisible());
        QVERIFY(!form.failureReports().openReport());
    }

    // The operator who goes to the report closes it from the keyboard.
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

void Form1Test::connectionFailuresReachTheReports()
{
    ProcessData data = makeMemoryProcessData();
    auto* connection = new ProbeConnection;
    data.DatCon1.reset(connection);
    auto* field = new ProbeField;
    data.ZqNumber[4].reset(field);
    Form1 form(std::move(data));
    QCOMPARE(field->found, connection);
    QVERIFY(connection->sink);
    connection->sink(Failure(FailureCode::ConnectionLost));
    QCOMPARE(form.failureReports().openReport()->number, 1013);
    QVERIFY(form.reportBox().box().isVisible());
}

void Form1Test::closingStopsTheTicks()
{
    Form1 form(makeMemoryProcessData());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.close();
    QVERIFY(!form.eventCycle().timer().isActive());
}

QTEST_MAIN(Form1Test)
#include "tst_form1.moc"
