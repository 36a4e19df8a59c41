#include "dataconnectionconfig.h"
#include "form1.h"
#include "opcuaprocessdata.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    servo::Form1 form(servo::makeOpcUaProcessData(servo::loadDataConnectionConfig()));
    form.show();
    return app.exec();
}
