/* A load of many subscribed clients in one process, the same for any server run_system.py
 * measures: CLIENTS open62541 clients sharing one event loop each open a session without
 * security, read the namespace array and subscribe to ITEMS monitored items, taking the NODEs
 * in turn (26 items over the drives' eight nodes watch each node three or four times), at the
 * publishing interval asked for and sampling interval 0 (every change the server sees). It
 * prints "event subscribed MONO_NS REAL_NS CLIENTS" once every client is subscribed, then
 * "event progress MONO_NS REAL_NS NOTIFICATIONS CPU_S" every second (notifications delivered to
 * all clients so far) until SECONDS after that, and at the end the total "notifications".
 *
 * Usage: load URL SECONDS CLIENTS ITEMS NODE... [--publishing-ms X] */
#include "probe_common.h"

#include <open62541/client_config_default.h>
#include <open62541/client_subscriptions.h>
#include <open62541/plugin/log_stdout.h>

#define MAX_CLIENTS 1000
#define MAX_ITEMS 1000

static uint64_t notifications = 0;

static void onDataChange(UA_Client* client, UA_UInt32 subId, void* subContext, UA_UInt32 monId,
                         void* monContext, UA_DataValue* value)
{
    (void)client;
    (void)subId;
    (void)subContext;
    (void)monId;
    (void)monContext;
    (void)value;
    ++notifications;
}

static UA_StatusCode subscribe(UA_Client* client, const UA_NodeId* nodes, size_t nodeCount,
                               size_t items, double publishingMs)
{
    UA_UInt32 subscriptionId = 0;
    UA_StatusCode status = probe_create_subscription(client, publishingMs, &subscriptionId);
    if (status != UA_STATUSCODE_GOOD)
        return status;

    UA_MonitoredItemCreateRequest requests[MAX_ITEMS];
    void* contexts[MAX_ITEMS];
    UA_Client_DataChangeNotificationCallback callbacks[MAX_ITEMS];
    for (size_t i = 0; i < items; ++i) {
        requests[i] = UA_MonitoredItemCreateRequest_default(nodes[i % nodeCount]);
        requests[i].requestedParameters.samplingInterval = 0;
        requests[i].requestedParameters.queueSize = 1;
        contexts[i] = NULL;
        callbacks[i] = onDataChange;
    }
    UA_CreateMonitoredItemsRequest create;
    UA_CreateMonitoredItemsRequest_init(&create);
    create.subscriptionId = subscriptionId;
    create.timestampsToReturn = UA_TIMESTAMPSTORETURN_NEITHER;
    create.itemsToCreate = requests;
    create.itemsToCreateSize = items;
    UA_CreateMonitoredItemsResponse created =
        UA_Client_MonitoredItems_createDataChanges(client, create, contexts, callbacks, NULL);
    status = created.responseHeader.serviceResult;
    for (size_t i = 0; status == UA_STATUSCODE_GOOD && i < created.resultsSize; ++i)
        status = created.results[i].statusCode;
    UA_CreateMonitoredItemsResponse_clear(&created);
    return status;
}

/* A client on the first client's event loop, or the first client with a loop of its own. */
static UA_Client* newClient(UA_EventLoop* shared)
{
    UA_ClientConfig config;
    memset(&config, 0, sizeof config);
    config.logging = UA_Log_Stdout_new(UA_LOGLEVEL_ERROR);
    if (shared) {
        config.eventLoop = shared;
        config.externalEventLoop = true;
    }
    UA_ClientConfig_setDefault(&config);
    return UA_Client_newWithConfig(&config);
}

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    char* positional[4 + MAX_ITEMS];
    size_t count = 0;
    double publishingMs = 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--publishing-ms") == 0 && i + 1 < argc)
            publishingMs = atof(argv[++i]);
        else if (count < sizeof positional / sizeof *positional)
            positional[count++] = argv[i];
    }
    const double seconds = count >= 5 ? atof(positional[1]) : 0;
    const long clients = count >= 5 ? atol(positional[2]) : 0;
    const long items = count >= 5 ? atol(positional[3]) : 0;
    if (count < 5 || !(seconds > 0 && seconds <= 3600) || clients < 1 || clients > MAX_CLIENTS ||
        items < 1 || items > MAX_ITEMS || !(publishingMs >= 0 && publishingMs <= 60000)) {
        fputs("usage: load URL SECONDS CLIENTS ITEMS NODE... [--publishing-ms X]\n", stderr);
        return 2;
    }
    const char* url = positional[0];
    char** nodeTexts = positional + 4;
    const size_t nodeCount = count - 4;

    UA_Client* all[MAX_CLIENTS];
    UA_NodeId nodes[MAX_ITEMS];
    memset(nodes, 0, sizeof nodes);
    all[0] = newClient(NULL);
    UA_EventLoop* loop = UA_Client_getConfig(all[0])->eventLoop;
    UA_StatusCode status = UA_Client_connect(all[0], url);
    if (status == UA_STATUSCODE_GOOD)
        status = probe_resolve_nodes(all[0], nodeTexts, nodeCount, nodes);
    long made = 1;
    for (long i = 0; status == UA_STATUSCODE_GOOD && i < clients; ++i) {
        if (i > 0) {
            all[i] = newClient(loop);
            made = i + 1;
            status = UA_Client_connect(all[i], url);
        }
        if (status == UA_STATUSCODE_GOOD)
            status = subscribe(all[i], nodes, nodeCount, (size_t)items, publishingMs);
    }
    if (status != UA_STATUSCODE_GOOD) {
        fprintf(stderr, "load: client %ld of %ld cannot subscribe at %s: %s\n", made, clients, url,
                UA_StatusCode_name(status));
    } else {
        printf("event subscribed %lld %lld %ld\n", (long long)probe_monotonic_ns(),
               (long long)probe_realtime_ns(), clients);
        const int64_t endNs = probe_monotonic_ns() + (int64_t)(seconds * 1e9);
        int64_t nextProgressNs = probe_monotonic_ns() + 1000000000;
        while (probe_monotonic_ns() < endNs && status == UA_STATUSCODE_GOOD) {
            status = loop->run(loop, 100);
            const int64_t now = probe_monotonic_ns();
            if (now >= nextProgressNs) {
                printf("event progress %lld %lld %llu %.6f\n", (long long)now,
                       (long long)probe_realtime_ns(), (unsigned long long)notifications,
                       probe_cpu_seconds());
                nextProgressNs += 1000000000;
            }
        }
        probe_figure("notifications", (double)notifications, "count");
        probe_figure("cpu_s", probe_cpu_seconds(), "s");
    }
    /* The clients on the shared loop go first; the first owns the loop. */
    for (long i = made - 1; i >= 0; --i) {
        UA_Client_disconnect(all[i]);
        UA_Client_delete(all[i]);
    }
    for (size_t i = 0; i < nodeCount; ++i)
        UA_NodeId_clear(&nodes[i]);
    return status == UA_STATUSCODE_GOOD ? 0 : 1;
}
