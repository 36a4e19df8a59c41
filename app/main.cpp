#include "processdata/opcua/dataconnectionconfig.h"
#include "processdata/opcua/opcuaprocessdata.h"
#include "window/form1.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    servo::Form1 form(servo::makeOpcUaProcessData(servo::loadDataConnectionConfig()));
    form.show();
    return app.exec();
}
