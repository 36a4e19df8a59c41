#include "app/commandline.h"
#include "app/logging.h"
#include "processdata/opcua/dataconnectionconfig.h"
#include "processdata/opcua/opcuaprocessdata.h"
#include "processdata/opcua/qteventloop.h"
#include "window/form1.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char* argv[])
{
    const servo::CommandLine line =
        servo::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (line.outcome != servo::CommandLine::Outcome::Run) {
        const bool refused = line.outcome == servo::CommandLine::Outcome::Refused;
        std::fputs(line.text.c_str(), refused ? stderr : stdout);
        return refused ? 2 : 0;
    }
    servo::installLogRouting();
    servo::routeProtocolLogToQt();
    QApplication app(argc, argv);
    servo::Form1 form(servo::makeOpcUaProcessData(servo::dataConnectionConfigPath()));
    form.show();
    return app.exec();
}
