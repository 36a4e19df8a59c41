// Draws the window Form1 into a PNG file without a display:
//
//   render-window [--before-tick] [out.png]
//
// The window is built with in-memory process data holding example values. Unless
// --before-tick is given, one tick runs first, so the lamps show both states: servo 2's lamp
// word is 1151 (running), servo 3's is 1150 (stopped). The actual speed of servo 3 has no data,
// to show how a display marks that.

#include "panel/eventcycle.h"
#include "processdata/processdata.h"
#include "window/form1.h"

#include <QApplication>
#include <QPixmap>
#include <QTextStream>
#include <cstdio>

using namespace servo;

namespace {

ProcessData exampleData()
{
    ProcessData data = makeMemoryProcessData();
    data.field(1).setValue(FieldValue(std::int16_t(1151)));
    data.field(2).setValue(FieldValue(std::int16_t(1150)));
    data.field(3).setValue(FieldValue(std::int16_t(1151)));
    data.field(4).setValue(FieldValue(std::int16_t(1150)));
    data.field(5).setValue(FieldValue(2107.5));
    data.field(6).setValue(FieldValue(70.25));
    data.field(7).setValue(FieldValue::null());
    data.field(8).setValue(FieldValue(std::int16_t(0)));
    return data;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    bool tick = true;
    QString out = QStringLiteral("screenshot.png");
    for (const QString& argument : app.arguments().mid(1)) {
        if (argument == QLatin1String("--before-tick")) {
            tick = false;
        } else if (argument.startsWith(QLatin1Char('-'))) {
            QTextStream(stderr) << "usage: render-window [--before-tick] [out.png]\n";
            return 2;
        } else {
            out = argument;
        }
    }

    Form1 form(exampleData());
    form.eventCycle().stop();
    if (tick)
        form.eventCycle().Timer1_Timer();
    form.show();
    QApplication::processEvents();
    if (!form.grab().save(out, "PNG")) {
        QTextStream(stderr) << "render-window: cannot write " << out << "\n";
        return 1;
    }
    return 0;
}
