/* What the open62541 probes share: clocks, the process's own figures, the "name: value unit"
 * lines and the node ids of the simulated drives. Plain C, so that run_system.py can compile
 * the probes with the system's C compiler against any open62541 build. */
#ifndef SERVO_PANEL_BENCH_OPEN62541_PROBE_COMMON_H
#define SERVO_PANEL_BENCH_OPEN62541_PROBE_COMMON_H

#include <math.h>
#include <open62541/client.h>
#include <open62541/client_highlevel.h>
#include <open62541/client_subscriptions.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

/* The namespace of the drives' nodes, as servo-sim names it. */
#define PROBE_NAMESPACE_URI "urn:servo-panel:sim"

static inline int64_t probe_clock_ns(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static inline int64_t probe_monotonic_ns(void)
{
    return probe_clock_ns(CLOCK_MONOTONIC);
}

static inline int64_t probe_realtime_ns(void)
{
    return probe_clock_ns(CLOCK_REALTIME);
}

/* The process's start on the monotonic clock: the harness sets BENCH_T0_MONO_NS just before it
 * starts the probe; run by hand, the probe counts from main. */
static inline int64_t probe_start_ns(void)
{
    const char* given = getenv("BENCH_T0_MONO_NS");
    return given ? atoll(given) : probe_monotonic_ns();
}

static inline double probe_resident_mb(void)
{
    FILE* status = fopen("/proc/self/status", "r");
    char line[256];
    double kb = 0;
    while (status && fgets(line, sizeof line, status)) {
        if (strncmp(line, "VmRSS:", 6) == 0)
            kb = atof(line + 6);
    }
    if (status)
        fclose(status);
    return kb / 1024.0;
}

static inline double probe_cpu_seconds(void)
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 +
           (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
}

/* Whole numbers as they are, others with four significant digits, as client_probe prints. */
static inline void probe_figure(const char* name, double value, const char* unit)
{
    if (isfinite(value) && fabs(value) < 1e15 && value == floor(value))
        printf("%s: %lld %s\n", name, (long long)value, unit);
    else if (isfinite(value) && fabs(value) >= 1000)
        printf("%s: %.1f %s\n", name, value, unit);
    else
        printf("%s: %.4g %s\n", name, value, unit);
}

static inline int probe_compare_doubles(const void* a, const void* b)
{
    const double x = *(const double*)a;
    const double y = *(const double*)b;
    return (x > y) - (x < y);
}

/* Nearest-rank quantile; sorts the samples in place. */
static inline double probe_quantile(double* samples, size_t count, double q)
{
    if (count == 0)
        return 0;
    qsort(samples, count, sizeof *samples, probe_compare_doubles);
    size_t rank = (size_t)ceil(q * (double)count);
    if (rank > 0)
        --rank;
    return samples[rank < count ? rank : count - 1];
}

/* "nsu=URI;s=Name" (or "ns=N;s=Name") as a node id, with URI looked up in the server's
 * namespace array. False for any other form or an unknown namespace. */
static inline bool probe_resolve_node(const char* text, const UA_String* namespaces,
                                      size_t namespaceCount, UA_NodeId* out)
{
    const char* name = strstr(text, ";s=");
    if (!name)
        return false;
    if (strncmp(text, "ns=", 3) == 0) {
        *out = UA_NODEID_STRING_ALLOC((UA_UInt16)atoi(text + 3), name + 3);
        return true;
    }
    if (strncmp(text, "nsu=", 4) != 0)
        return false;
    const size_t uriLength = (size_t)(name - (text + 4));
    for (size_t i = 0; i < namespaceCount; ++i) {
        if (namespaces[i].length == uriLength &&
            memcmp(namespaces[i].data, text + 4, uriLength) == 0) {
            *out = UA_NODEID_STRING_ALLOC((UA_UInt16)i, name + 3);
            return true;
        }
    }
    return false;
}

/* Reads the server's namespace array and resolves every node of `texts` into `out`. */
static inline UA_StatusCode probe_resolve_nodes(UA_Client* client, char* const* texts, size_t count,
                                                UA_NodeId* out)
{
    UA_Variant array;
    UA_Variant_init(&array);
    UA_StatusCode status = UA_Client_readValueAttribute(
        client, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_NAMESPACEARRAY), &array);
    if (status == UA_STATUSCODE_GOOD && array.type != &UA_TYPES[UA_TYPES_STRING])
        status = UA_STATUSCODE_BADTYPEMISMATCH;
    for (size_t i = 0; status == UA_STATUSCODE_GOOD && i < count; ++i) {
        if (!probe_resolve_node(texts[i], (const UA_String*)array.data, array.arrayLength,
                                &out[i])) {
            fprintf(stderr, "open62541 probe: cannot resolve node %s\n", texts[i]);
            status = UA_STATUSCODE_BADNODEIDUNKNOWN;
        }
    }
    UA_Variant_clear(&array);
    return status;
}

/* Creates a subscription publishing every `publishingMs`, with a keep-alive every 1000
 * intervals, and gives its id. */
static inline UA_StatusCode probe_create_subscription(UA_Client* client, double publishingMs,
                                                      UA_UInt32* subscriptionId)
{
    UA_CreateSubscriptionRequest request = UA_CreateSubscriptionRequest_default();
    request.requestedPublishingInterval = publishingMs;
    request.requestedLifetimeCount = 60000;
    request.requestedMaxKeepAliveCount = 1000;
    request.maxNotificationsPerPublish = 0;
    UA_CreateSubscriptionResponse subscription =
        UA_Client_Subscriptions_create(client, request, NULL, NULL, NULL);
    const UA_StatusCode status = subscription.responseHeader.serviceResult;
    *subscriptionId = subscription.subscriptionId;
    UA_CreateSubscriptionResponse_clear(&subscription);
    return status;
}

#endif
