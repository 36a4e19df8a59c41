#pragma once

#include <QFileInfo>
#include <QTest>

// Skips the calling test function when node-opcua is not installed in `interopDir`, so that a
// developer without it still runs the rest; under CI (the CI variable set) it fails instead, so
// that a pipeline missing the peer cannot pass without testing against it.
#define SKIP_OR_FAIL_WITHOUT_NODE_OPCUA(interopDir)                                                \
    do {                                                                                           \
        if (!QFileInfo::exists(QString(interopDir) + "/node_modules/node-opcua/package.json")) {   \
            if (!qEnvironmentVariableIsEmpty("CI"))                                                \
                QFAIL("node-opcua is not installed; run npm ci --prefix tests/interop");           \
            QSKIP("node-opcua is not installed (run npm ci --prefix tests/interop)");              \
        }                                                                                          \
    } while (false)
