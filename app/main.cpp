#include "form1.h"
#include "processdata.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    servo::Form1 form(servo::makeMemoryProcessData());
    form.show();
    return app.exec();
}
