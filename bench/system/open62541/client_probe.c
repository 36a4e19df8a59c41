/* open62541's client doing what our client_probe does, for run_system.py to set beside it: from
 * process start it connects (open62541's own way: FindServers and GetEndpoints on the first
 * channel), reads the namespace array, subscribes to the nodes at the interval asked for, runs
 * for SECONDS and prints the same "name: value unit" lines: connect_to_first_value_ms,
 * connect_to_all_values_ms, subscribed_ms, notifications, rss_mb, cpu_s, and with
 * --write-latency the writes' round trip and write-to-notification, median and p99.
 *
 * Usage: client_probe URL SECONDS NODE... [--write-latency N NODE] [--progress]
 *                     [--interval-ms X] [--security MODE POLICY DIR]
 *   --progress   prints "event progress MONO_NS REAL_NS NOTIFICATIONS CPU_S" every second
 *   --security   SignAndEncrypt or Sign with POLICY (e.g. Basic256Sha256); DIR holds the
 *                probe's certificate own/certs/open62541-probe.der and key
 *                own/private/open62541-probe.pem (application URI
 *                urn:servo-panel:open62541-probe) and, in trusted/certs, the server's */
#include "probe_common.h"

#include <dirent.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/client_highlevel_async.h>
#include <open62541/client_subscriptions.h>
#include <open62541/plugin/log_stdout.h>

#define PROBE_APPLICATION_URI "urn:servo-panel:open62541-probe"
#define MAX_TRUSTED 16
#define MAX_WRITES 100000

typedef struct
{
    const char* url;
    double seconds;
    char** nodes;
    size_t nodeCount;
    int writeCount;
    const char* writeNode;
    bool progress;
    double intervalMs;
    const char* securityMode;
    const char* securityPolicy;
    const char* pkiDir;
} Options;

typedef struct
{
    const Options* options;
    int64_t startNs;
    int64_t firstValueNs;
    int64_t allValuesNs;
    int64_t subscribedNs;
    uint64_t notifications;
    bool* seen;
    size_t seenCount;

    int writeItem;
    int writesLeft;
    bool writing;
    bool writeDue;
    int16_t writeValue;
    int16_t lastWritten;
    int64_t sentNs;
    int64_t answeredNs;
    int64_t notifiedNs;
    UA_UInt32 writeRequest;
    double* roundTripsMs;
    double* toNotificationMs;
    size_t writesDone;
} Probe;

static const char usage[] =
    "usage: client_probe URL SECONDS NODE... [--write-latency N NODE] [--progress]\n"
    "                    [--interval-ms X] [--security MODE POLICY DIR]\n";

static bool parseOptions(int argc, char** argv, Options* o, char** positional)
{
    size_t count = 0;
    memset(o, 0, sizeof *o);
    o->intervalMs = 1;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (strcmp(a, "--write-latency") == 0 && i + 2 < argc) {
            o->writeCount = atoi(argv[++i]);
            o->writeNode = argv[++i];
        } else if (strcmp(a, "--progress") == 0) {
            o->progress = true;
        } else if (strcmp(a, "--interval-ms") == 0 && i + 1 < argc) {
            o->intervalMs = atof(argv[++i]);
        } else if (strcmp(a, "--security") == 0 && i + 3 < argc) {
            o->securityMode = argv[++i];
            o->securityPolicy = argv[++i];
            o->pkiDir = argv[++i];
            if (strcmp(o->securityMode, "Sign") != 0 &&
                strcmp(o->securityMode, "SignAndEncrypt") != 0)
                return false;
        } else if (strncmp(a, "--", 2) == 0) {
            return false;
        } else {
            positional[count++] = argv[i];
        }
    }
    if (count < 3)
        return false;
    o->url = positional[0];
    o->seconds = atof(positional[1]);
    o->nodes = positional + 2;
    o->nodeCount = count - 2;
    if (o->writeNode) {
        bool listed = false;
        for (size_t i = 0; i < o->nodeCount; ++i)
            listed = listed || strcmp(o->nodes[i], o->writeNode) == 0;
        if (!listed)
            o->nodes[o->nodeCount++] = (char*)o->writeNode;
    }
    return o->seconds > 0 && o->seconds <= 3600 && o->writeCount >= 0 &&
           o->writeCount <= MAX_WRITES && o->intervalMs >= 0 && o->intervalMs <= 60000;
}

static int writeItemOf(const Options* o)
{
    for (size_t i = 0; o->writeNode && i < o->nodeCount; ++i) {
        if (strcmp(o->nodes[i], o->writeNode) == 0)
            return (int)i;
    }
    return -1;
}

static void finishWriteIfDone(Probe* p)
{
    if (!p->writing || p->answeredNs == 0 || p->notifiedNs == 0)
        return;
    p->writing = false;
    p->roundTripsMs[p->writesDone] = (double)(p->answeredNs - p->sentNs) / 1e6;
    p->toNotificationMs[p->writesDone] = (double)(p->notifiedNs - p->sentNs) / 1e6;
    ++p->writesDone;
    p->lastWritten = p->writeValue;
    /* The next write leaves from the main loop, not from inside this callback. */
    p->writeDue = p->writesLeft > 0;
}

static void onDataChange(UA_Client* client, UA_UInt32 subId, void* subContext, UA_UInt32 monId,
                         void* monContext, UA_DataValue* value)
{
    (void)subId;
    (void)subContext;
    (void)monId;
    Probe* p = (Probe*)UA_Client_getContext(client);
    const size_t item = (size_t)(uintptr_t)monContext;
    const int64_t now = probe_monotonic_ns();
    ++p->notifications;
    if (!value->hasValue || (value->hasStatus && value->status >= 0x80000000))
        return;
    if (p->firstValueNs == 0)
        p->firstValueNs = now;
    if (item < p->options->nodeCount && !p->seen[item]) {
        p->seen[item] = true;
        if (++p->seenCount == p->options->nodeCount) {
            p->allValuesNs = now;
            p->writesLeft = p->options->writeCount;
            p->writeDue = p->writesLeft > 0;
        }
    }
    if ((int)item != p->writeItem ||
        !UA_Variant_hasScalarType(&value->value, &UA_TYPES[UA_TYPES_INT16]))
        return;
    const int16_t number = *(const int16_t*)value->value.data;
    if (!p->writing)
        p->lastWritten = number;
    else if (number == p->writeValue) {
        p->notifiedNs = now;
        finishWriteIfDone(p);
    }
}

static void onWriteAnswered(UA_Client* client, void* userdata, UA_UInt32 requestId,
                            UA_WriteResponse* response)
{
    (void)client;
    Probe* p = (Probe*)userdata;
    if (!p->writing || requestId != p->writeRequest)
        return;
    if (response->responseHeader.serviceResult != UA_STATUSCODE_GOOD ||
        response->resultsSize != 1 || response->results[0] != UA_STATUSCODE_GOOD)
        fprintf(stderr, "client_probe: write failed\n");
    p->answeredNs = probe_monotonic_ns();
    finishWriteIfDone(p);
}

static void nextWrite(UA_Client* client, Probe* p, const UA_NodeId* node)
{
    p->writeDue = false;
    if (p->writesLeft <= 0)
        return;
    --p->writesLeft;
    p->writeValue = p->lastWritten == 1151 ? 1150 : 1151;
    p->writing = true;
    p->answeredNs = 0;
    p->notifiedNs = 0;
    p->sentNs = probe_monotonic_ns();
    UA_Variant value;
    UA_Variant_setScalar(&value, &p->writeValue, &UA_TYPES[UA_TYPES_INT16]);
    if (UA_Client_writeValueAttribute_async(client, *node, &value, onWriteAnswered, p,
                                            &p->writeRequest) != UA_STATUSCODE_GOOD) {
        p->writing = false;
        fprintf(stderr, "client_probe: the write could not be sent\n");
    }
}

static bool readFile(const char* path, UA_ByteString* out)
{
    FILE* f = fopen(path, "rb");
    if (!f)
        return false;
    fseek(f, 0, SEEK_END);
    const long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    bool ok = size > 0 && size < 1 << 20 &&
              UA_ByteString_allocBuffer(out, (size_t)size) == UA_STATUSCODE_GOOD;
    ok = ok && fread(out->data, 1, (size_t)size, f) == (size_t)size;
    fclose(f);
    return ok;
}

/* The probe's certificate and key, and every certificate in trusted/certs as the trust list. */
static UA_StatusCode configureSecurity(UA_ClientConfig* config, const Options* o)
{
    char path[4096];
    UA_ByteString certificate = UA_BYTESTRING_NULL, key = UA_BYTESTRING_NULL;
    UA_ByteString trusted[MAX_TRUSTED];
    size_t trustedCount = 0;
    snprintf(path, sizeof path, "%s/own/certs/open62541-probe.der", o->pkiDir);
    const bool haveCertificate = readFile(path, &certificate);
    snprintf(path, sizeof path, "%s/own/private/open62541-probe.pem", o->pkiDir);
    if (!haveCertificate || !readFile(path, &key)) {
        fprintf(stderr, "client_probe: no certificate or key under %s/own\n", o->pkiDir);
        return UA_STATUSCODE_BADCONFIGURATIONERROR;
    }
    snprintf(path, sizeof path, "%s/trusted/certs", o->pkiDir);
    DIR* folder = opendir(path);
    for (struct dirent* entry; folder && (entry = readdir(folder)) && trustedCount < MAX_TRUSTED;) {
        char file[4096 + 256];
        snprintf(file, sizeof file, "%s/%s", path, entry->d_name);
        if (entry->d_name[0] != '.' && readFile(file, &trusted[trustedCount]))
            ++trustedCount;
    }
    if (folder)
        closedir(folder);
    UA_StatusCode status = UA_ClientConfig_setDefaultEncryption(config, certificate, key, trusted,
                                                                trustedCount, NULL, 0);
    UA_ByteString_clear(&certificate);
    UA_ByteString_clear(&key);
    for (size_t i = 0; i < trustedCount; ++i)
        UA_ByteString_clear(&trusted[i]);
    config->securityMode = strcmp(o->securityMode, "Sign") == 0
                               ? UA_MESSAGESECURITYMODE_SIGN
                               : UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
    char uri[256];
    snprintf(uri, sizeof uri, "http://opcfoundation.org/UA/SecurityPolicy#%s", o->securityPolicy);
    UA_String_clear(&config->securityPolicyUri);
    config->securityPolicyUri = UA_STRING_ALLOC(uri);
    return status;
}

static UA_StatusCode subscribe(UA_Client* client, const Options* o, const UA_NodeId* nodes)
{
    UA_UInt32 subscriptionId = 0;
    UA_StatusCode status = probe_create_subscription(client, o->intervalMs, &subscriptionId);
    if (status != UA_STATUSCODE_GOOD)
        return status;

    UA_MonitoredItemCreateRequest* items =
        (UA_MonitoredItemCreateRequest*)calloc(o->nodeCount, sizeof(UA_MonitoredItemCreateRequest));
    void** contexts = (void**)calloc(o->nodeCount, sizeof(void*));
    UA_Client_DataChangeNotificationCallback* callbacks =
        (UA_Client_DataChangeNotificationCallback*)calloc(
            o->nodeCount, sizeof(UA_Client_DataChangeNotificationCallback));
    for (size_t i = 0; i < o->nodeCount; ++i) {
        items[i] = UA_MonitoredItemCreateRequest_default(nodes[i]);
        items[i].requestedParameters.samplingInterval = o->intervalMs;
        items[i].requestedParameters.queueSize = 1;
        items[i].requestedParameters.discardOldest = true;
        contexts[i] = (void*)(uintptr_t)i;
        callbacks[i] = onDataChange;
    }
    UA_CreateMonitoredItemsRequest create;
    UA_CreateMonitoredItemsRequest_init(&create);
    create.subscriptionId = subscriptionId;
    create.timestampsToReturn = UA_TIMESTAMPSTORETURN_NEITHER;
    create.itemsToCreate = items;
    create.itemsToCreateSize = o->nodeCount;
    UA_CreateMonitoredItemsResponse created =
        UA_Client_MonitoredItems_createDataChanges(client, create, contexts, callbacks, NULL);
    status = created.responseHeader.serviceResult;
    for (size_t i = 0; status == UA_STATUSCODE_GOOD && i < created.resultsSize; ++i)
        status = created.results[i].statusCode;
    UA_CreateMonitoredItemsResponse_clear(&created);
    free(items);
    free(contexts);
    free(callbacks);
    return status;
}

static void printFigures(const Probe* p)
{
    const double first = p->firstValueNs ? (double)(p->firstValueNs - p->startNs) / 1e6 : NAN;
    const double all = p->allValuesNs ? (double)(p->allValuesNs - p->startNs) / 1e6 : NAN;
    const double subscribed = p->subscribedNs ? (double)(p->subscribedNs - p->startNs) / 1e6 : NAN;
    probe_figure("connect_to_first_value_ms", first, "ms");
    probe_figure("connect_to_all_values_ms", all, "ms");
    probe_figure("subscribed_ms", subscribed, "ms");
    probe_figure("notifications", (double)p->notifications, "count");
    if (p->options->writeCount > 0) {
        probe_figure("writes", (double)p->writesDone, "count");
        probe_figure("write_round_trip_median", probe_quantile(p->roundTripsMs, p->writesDone, 0.5),
                     "ms");
        probe_figure("write_round_trip_p99", probe_quantile(p->roundTripsMs, p->writesDone, 0.99),
                     "ms");
        probe_figure("write_to_notification_median",
                     probe_quantile(p->toNotificationMs, p->writesDone, 0.5), "ms");
        probe_figure("write_to_notification_p99",
                     probe_quantile(p->toNotificationMs, p->writesDone, 0.99), "ms");
    }
}

/* Runs the client until SECONDS have passed and the writes asked for are done, never more
 * than a minute beyond; a write neither answered nor reported back within two seconds is
 * given up. */
static void run(UA_Client* client, Probe* p, const UA_NodeId* nodes)
{
    const int64_t endNs = probe_monotonic_ns() + (int64_t)(p->options->seconds * 1e9);
    const int64_t hardEndNs = endNs + 60000000000LL;
    int64_t nextProgressNs = probe_monotonic_ns() + 1000000000;
    while (true) {
        const int64_t now = probe_monotonic_ns();
        const bool writesDone = p->writesLeft == 0 && !p->writing;
        if ((now >= endNs && writesDone) || now >= hardEndNs)
            return;
        if (p->writing && now - p->sentNs > 2000000000) {
            fprintf(stderr, "client_probe: a write was not reported back in time\n");
            p->writing = false;
            p->writeDue = true;
        }
        if (p->writeDue)
            nextWrite(client, p, &nodes[p->writeItem]);
        if (p->options->progress && now >= nextProgressNs) {
            printf("event progress %lld %lld %llu %.6f\n", (long long)now,
                   (long long)probe_realtime_ns(), (unsigned long long)p->notifications,
                   probe_cpu_seconds());
            nextProgressNs += 1000000000;
        }
        int64_t waitNs = (now < endNs ? endNs : now + 10000000) - now;
        if (p->options->progress && nextProgressNs - now < waitNs)
            waitNs = nextProgressNs - now;
        if (waitNs > 100000000)
            waitNs = 100000000;
        const UA_StatusCode status = UA_Client_run_iterate(client, (UA_UInt32)(waitNs / 1000000));
        if (status != UA_STATUSCODE_GOOD) {
            fprintf(stderr, "client_probe: connection lost: %s\n", UA_StatusCode_name(status));
            return;
        }
    }
}

int main(int argc, char** argv)
{
    Probe probe;
    memset(&probe, 0, sizeof probe);
    probe.startNs = probe_start_ns();
    setvbuf(stdout, NULL, _IOLBF, 0);
    Options options;
    char** positional = (char**)calloc((size_t)argc + 1, sizeof(char*));
    if (!parseOptions(argc, argv, &options, positional)) {
        fputs(usage, stderr);
        return 2;
    }
    probe.options = &options;
    probe.writeItem = writeItemOf(&options);
    probe.seen = (bool*)calloc(options.nodeCount, sizeof(bool));
    probe.roundTripsMs = (double*)calloc((size_t)options.writeCount + 1, sizeof(double));
    probe.toNotificationMs = (double*)calloc((size_t)options.writeCount + 1, sizeof(double));

    UA_ClientConfig config;
    memset(&config, 0, sizeof config);
    config.logging = UA_Log_Stdout_new(UA_LOGLEVEL_ERROR);
    UA_ClientConfig_setDefault(&config);
    UA_String_clear(&config.clientDescription.applicationUri);
    config.clientDescription.applicationUri = UA_STRING_ALLOC(PROBE_APPLICATION_URI);
    config.clientContext = &probe;
    if (options.securityMode && configureSecurity(&config, &options) != UA_STATUSCODE_GOOD)
        return 1;
    UA_Client* client = UA_Client_newWithConfig(&config);
    UA_NodeId* nodes = (UA_NodeId*)calloc(options.nodeCount, sizeof(UA_NodeId));

    UA_StatusCode status = UA_Client_connect(client, options.url);
    if (status == UA_STATUSCODE_GOOD)
        status = probe_resolve_nodes(client, options.nodes, options.nodeCount, nodes);
    if (status == UA_STATUSCODE_GOOD)
        status = subscribe(client, &options, nodes);
    if (status != UA_STATUSCODE_GOOD) {
        fprintf(stderr, "client_probe: cannot subscribe at %s: %s\n", options.url,
                UA_StatusCode_name(status));
        UA_Client_delete(client);
        return 1;
    }
    probe.subscribedNs = probe_monotonic_ns();
    run(client, &probe, nodes);

    const double cpu = probe_cpu_seconds();
    const double rss = probe_resident_mb();
    printFigures(&probe);
    probe_figure("rss_mb", rss, "MB");
    probe_figure("cpu_s", cpu, "s");
    fflush(stdout);

    UA_Client_disconnect(client);
    UA_Client_delete(client);
    for (size_t i = 0; i < options.nodeCount; ++i)
        UA_NodeId_clear(&nodes[i]);
    free(nodes);
    free(probe.seen);
    free(probe.roundTripsMs);
    free(probe.toNotificationMs);
    free(positional);
    return 0;
}
