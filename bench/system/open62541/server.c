/* The simulated drives on open62541's server, for run_system.py to set beside servo-sim: the
 * same nodes (namespace urn:servo-panel:sim; objects Servo2 and Servo3, each with the Int16
 * variables CommandWord, read/write, and LampWord, and the Double variables SetSpeed,
 * read/write, and ActualSpeed) stepping as servo-sim's drive model does with its default
 * settings: a 10 ms tick, the lamp word taking over a written command word 50 ms later, the
 * actual speed ramping at 1500 rpm/s towards the set point of a running drive (command word
 * 1151) with +-1 rpm of noise, so a turning drive's actual speed changes at every tick. Only
 * values that change are written to their nodes.
 *
 * Unlike servo-sim, a set speed outside 0..100 is stored by the node (open62541 calls a value
 * callback after the write), though the drive ignores it; the benchmarks never write one.
 *
 * Usage: server --port N [--seconds S]
 * Listens on 127.0.0.1 only, prints "open62541 server listening on opc.tcp://127.0.0.1:N" once
 * it serves and stops on SIGINT or SIGTERM, or after S seconds (default 600). Sampling and
 * publishing intervals down to 1 ms are granted, and a sampling interval of 0 (report every
 * write) as asked. */
#include <math.h>
#include <open62541/plugin/log_stdout.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define STOP_WORD 1150
#define RUN_WORD 1151
#define MAX_SPEED_RPM 3000.0
#define DEFAULT_SET_SPEED 70.25
#define TICK_MS 10
#define LAMP_DELAY_MS 50
#define ACCELERATION_RPM_PER_S 1500.0
#define NOISE_RPM 1.0
#define NOISE_SEED 1
#define MAX_PENDING 64

enum { COMMAND_WORD, LAMP_WORD, SET_SPEED, ACTUAL_SPEED, VARIABLES };

static const char* const variableNames[VARIABLES] = {"CommandWord", "LampWord", "SetSpeed",
                                                     "ActualSpeed"};

typedef struct
{
    int64_t dueMs;
    int16_t word;
} PendingWord;

/* One drive: its model's state as servo-sim keeps it, and the values its nodes hold. */
typedef struct
{
    const char* name;
    int64_t startMs;
    int64_t nowMs;
    int64_t ticksDone;
    int16_t commandWord;
    int16_t lampWord;
    double setSpeed;
    double trueSpeed;
    double measuredSpeed;
    PendingWord pending[MAX_PENDING];
    size_t pendingFirst;
    size_t pendingCount;
    int16_t shownLampWord;
    double shownActualSpeed;
    UA_NodeId nodes[VARIABLES];
} Drive;

static volatile sig_atomic_t stopRequested = 0;

static void requestStop(int signal)
{
    (void)signal;
    stopRequested = 1;
}

static int64_t nowMs(void)
{
    return UA_DateTime_nowMonotonic() / UA_DATETIME_MSEC;
}

/* SplitMix64's finaliser: the noise at a tick depends only on the seed and the tick. */
static uint64_t mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

static double noiseAt(int64_t tick)
{
    const uint64_t bits = mix(NOISE_SEED ^ mix((uint64_t)tick));
    const double unit = (double)(bits >> 11) * 0x1.0p-53;
    return (2.0 * unit - 1.0) * NOISE_RPM;
}

static double targetSpeed(const Drive* d)
{
    return d->commandWord == RUN_WORD ? d->setSpeed * MAX_SPEED_RPM / 100.0 : 0.0;
}

static void advanceTo(Drive* d, int64_t now)
{
    if (now <= d->nowMs)
        return;
    d->nowMs = now;
    while (d->pendingCount > 0 && d->pending[d->pendingFirst].dueMs <= now) {
        d->lampWord = d->pending[d->pendingFirst].word;
        d->pendingFirst = (d->pendingFirst + 1) % MAX_PENDING;
        --d->pendingCount;
    }
    const int64_t ticksDue = (now - d->startMs) / TICK_MS;
    if (ticksDue <= d->ticksDone)
        return;
    const double reach =
        ACCELERATION_RPM_PER_S * TICK_MS / 1000.0 * (double)(ticksDue - d->ticksDone);
    const double target = targetSpeed(d);
    d->trueSpeed = d->trueSpeed < target ? fmin(target, d->trueSpeed + reach)
                                         : fmax(target, d->trueSpeed - reach);
    d->measuredSpeed = d->trueSpeed > 0.0 ? fmax(0.0, d->trueSpeed + noiseAt(ticksDue)) : 0.0;
    d->ticksDone = ticksDue;
}

static void writeCommandWord(Drive* d, int16_t word, int64_t now)
{
    advanceTo(d, now);
    d->commandWord = word;
    if (d->pendingCount == MAX_PENDING) {
        d->lampWord = d->pending[d->pendingFirst].word;
        d->pendingFirst = (d->pendingFirst + 1) % MAX_PENDING;
        --d->pendingCount;
    }
    d->pending[(d->pendingFirst + d->pendingCount) % MAX_PENDING] =
        (PendingWord){d->nowMs + LAMP_DELAY_MS, word};
    ++d->pendingCount;
}

/* Writes the drive's lamp word and actual speed to their nodes where they changed. */
static void publish(UA_Server* server, Drive* d)
{
    UA_Variant value;
    if (d->lampWord != d->shownLampWord) {
        d->shownLampWord = d->lampWord;
        UA_Variant_setScalar(&value, &d->shownLampWord, &UA_TYPES[UA_TYPES_INT16]);
        UA_Server_writeValue(server, d->nodes[LAMP_WORD], value);
    }
    if (d->measuredSpeed != d->shownActualSpeed) {
        d->shownActualSpeed = d->measuredSpeed;
        UA_Variant_setScalar(&value, &d->shownActualSpeed, &UA_TYPES[UA_TYPES_DOUBLE]);
        UA_Server_writeValue(server, d->nodes[ACTUAL_SPEED], value);
    }
}

static void stepDrives(UA_Server* server, void* data)
{
    Drive* drives = (Drive*)data;
    const int64_t now = nowMs();
    for (int i = 0; i < 2; ++i) {
        advanceTo(&drives[i], now);
        publish(server, &drives[i]);
    }
    /* A lamp take-over due before the next tick is stepped at its own time. */
    for (int i = 0; i < 2; ++i) {
        const Drive* d = &drives[i];
        const int64_t nextTick = d->startMs + (d->ticksDone + 1) * TICK_MS;
        if (d->pendingCount > 0 && d->pending[d->pendingFirst].dueMs < nextTick)
            UA_Server_addTimedCallback(server, stepDrives, data,
                                       UA_DateTime_nowMonotonic() +
                                           (d->pending[d->pendingFirst].dueMs - now) *
                                               UA_DATETIME_MSEC,
                                       NULL);
    }
}

/* Called by the server after a client's write was stored; the drive takes the value at its
 * next step, as the server's lock is held here. */
static void onWrite(UA_Server* server, const UA_NodeId* sessionId, void* sessionContext,
                    const UA_NodeId* nodeId, void* nodeContext, const UA_NumericRange* range,
                    const UA_DataValue* data)
{
    (void)server;
    (void)sessionId;
    (void)sessionContext;
    (void)range;
    Drive* d = (Drive*)nodeContext;
    if (!data->hasValue)
        return;
    if (UA_NodeId_equal(nodeId, &d->nodes[COMMAND_WORD]) &&
        UA_Variant_hasScalarType(&data->value, &UA_TYPES[UA_TYPES_INT16]))
        writeCommandWord(d, *(const int16_t*)data->value.data, nowMs());
    else if (UA_NodeId_equal(nodeId, &d->nodes[SET_SPEED]) &&
             UA_Variant_hasScalarType(&data->value, &UA_TYPES[UA_TYPES_DOUBLE])) {
        const double percent = *(const double*)data->value.data;
        if (percent >= 0.0 && percent <= 100.0) {
            advanceTo(d, nowMs());
            d->setSpeed = percent;
        }
    }
}

static UA_StatusCode addDrive(UA_Server* server, UA_UInt16 ns, Drive* d)
{
    UA_ObjectAttributes object = UA_ObjectAttributes_default;
    object.displayName = UA_LOCALIZEDTEXT("", (char*)d->name);
    const UA_NodeId objectId = UA_NODEID_STRING(ns, (char*)d->name);
    UA_StatusCode status = UA_Server_addObjectNode(
        server, objectId, UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER),
        UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES), UA_QUALIFIEDNAME(ns, (char*)d->name),
        UA_NODEID_NUMERIC(0, UA_NS0ID_BASEOBJECTTYPE), object, NULL, NULL);
    for (int v = 0; v < VARIABLES && status == UA_STATUSCODE_GOOD; ++v) {
        char id[64];
        snprintf(id, sizeof id, "%s.%s", d->name, variableNames[v]);
        const bool isWord = v == COMMAND_WORD || v == LAMP_WORD;
        const bool writable = v == COMMAND_WORD || v == SET_SPEED;
        UA_VariableAttributes attributes = UA_VariableAttributes_default;
        attributes.displayName = UA_LOCALIZEDTEXT("", (char*)variableNames[v]);
        attributes.dataType =
            isWord ? UA_TYPES[UA_TYPES_INT16].typeId : UA_TYPES[UA_TYPES_DOUBLE].typeId;
        attributes.accessLevel =
            UA_ACCESSLEVELMASK_READ | (writable ? UA_ACCESSLEVELMASK_WRITE : 0);
        attributes.minimumSamplingInterval = 0;
        const double speed = v == SET_SPEED ? d->setSpeed : 0.0;
        if (isWord)
            UA_Variant_setScalar(&attributes.value, &d->commandWord, &UA_TYPES[UA_TYPES_INT16]);
        else
            UA_Variant_setScalar(&attributes.value, (void*)&speed, &UA_TYPES[UA_TYPES_DOUBLE]);
        d->nodes[v] = UA_NODEID_STRING_ALLOC(ns, id);
        status = UA_Server_addVariableNode(
            server, d->nodes[v], objectId, UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT),
            UA_QUALIFIEDNAME(ns, (char*)variableNames[v]),
            UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attributes, d, NULL);
        if (status == UA_STATUSCODE_GOOD && writable) {
            UA_ValueCallback callback = {NULL, onWrite};
            status = UA_Server_setVariableNode_valueCallback(server, d->nodes[v], callback);
        }
    }
    return status;
}

static void configure(UA_ServerConfig* config, UA_UInt16 port)
{
    config->logging = UA_Log_Stdout_new(UA_LOGLEVEL_ERROR);
    UA_ServerConfig_setMinimal(config, port, NULL);
    char url[64];
    snprintf(url, sizeof url, "opc.tcp://127.0.0.1:%u", (unsigned)port);
    UA_Array_delete(config->serverUrls, config->serverUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
    config->serverUrls = UA_String_new();
    *config->serverUrls = UA_STRING_ALLOC(url);
    config->serverUrlsSize = 1;
    config->maxSecureChannels = 1000;
    config->maxSessions = 1000;
    config->maxSubscriptions = 10000;
    config->maxMonitoredItems = 100000;
    config->publishingIntervalLimits = (UA_DurationRange){1.0, 3600.0 * 1000.0};
    config->samplingIntervalLimits = (UA_DurationRange){0.0, 24.0 * 3600.0 * 1000.0};
}

int main(int argc, char** argv)
{
    long port = 0;
    double seconds = 600;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--port") == 0)
            port = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--seconds") == 0)
            seconds = atof(argv[i + 1]);
    }
    if (port <= 0 || port > 65535 || !(seconds > 0 && seconds <= 3600) || argc % 2 == 0) {
        fputs("usage: server --port N [--seconds S]\n", stderr);
        return 2;
    }
    signal(SIGINT, requestStop);
    signal(SIGTERM, requestStop);
    setvbuf(stdout, NULL, _IOLBF, 0);

    UA_ServerConfig config;
    memset(&config, 0, sizeof config);
    configure(&config, (UA_UInt16)port);
    UA_Server* server = UA_Server_newWithConfig(&config);
    const UA_UInt16 ns = UA_Server_addNamespace(server, "urn:servo-panel:sim");
    const int64_t start = nowMs();
    Drive drives[2];
    memset(drives, 0, sizeof drives);
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    for (int i = 0; i < 2 && status == UA_STATUSCODE_GOOD; ++i) {
        Drive* d = &drives[i];
        d->name = i == 0 ? "Servo2" : "Servo3";
        d->startMs = d->nowMs = start;
        d->commandWord = d->lampWord = d->shownLampWord = STOP_WORD;
        d->setSpeed = DEFAULT_SET_SPEED;
        status = addDrive(server, ns, d);
    }
    if (status == UA_STATUSCODE_GOOD)
        status = UA_Server_addRepeatedCallback(server, stepDrives, drives, TICK_MS, NULL);
    if (status == UA_STATUSCODE_GOOD)
        status = UA_Server_run_startup(server);
    if (status != UA_STATUSCODE_GOOD) {
        fprintf(stderr, "server: cannot serve on port %ld: %s\n", port, UA_StatusCode_name(status));
        UA_Server_delete(server);
        return 1;
    }
    printf("open62541 server listening on opc.tcp://127.0.0.1:%ld\n", port);
    const int64_t endMs = start + (int64_t)(seconds * 1000);
    while (!stopRequested && nowMs() < endMs)
        UA_Server_run_iterate(server, true);
    UA_Server_run_shutdown(server);
    for (int i = 0; i < 2; ++i) {
        for (int v = 0; v < VARIABLES; ++v)
            UA_NodeId_clear(&drives[i].nodes[v]);
    }
    UA_Server_delete(server);
    return 0;
}
