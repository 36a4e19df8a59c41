#pragma once

#include "opcua/messages.h"

#include <cstdint>
#include <variant>
#include <vector>

// The messages of subscriptions, monitored items and publishing, and the structures they carry;
// the conventions of messages.h apply.
namespace opcua {

// ---------------------------------------------------------------------------------------------
// Subscriptions

struct CreateSubscriptionRequest
{
    static constexpr uint32_t kBinaryEncodingId = 787;
    RequestHeader requestHeader;
    double requestedPublishingInterval = 0; // ms
    uint32_t requestedLifetimeCount = 0;
    uint32_t requestedMaxKeepAliveCount = 0;
    uint32_t maxNotificationsPerPublish = 0;
    bool publishingEnabled = true;
    uint8_t priority = 0;
    friend bool operator==(const CreateSubscriptionRequest&,
                           const CreateSubscriptionRequest&) = default;
};

struct CreateSubscriptionResponse
{
    static constexpr uint32_t kBinaryEncodingId = 790;
    ResponseHeader responseHeader;
    uint32_t subscriptionId = 0;
    double revisedPublishingInterval = 0; // ms
    uint32_t revisedLifetimeCount = 0;
    uint32_t revisedMaxKeepAliveCount = 0;
    friend bool operator==(const CreateSubscriptionResponse&,
                           const CreateSubscriptionResponse&) = default;
};

struct ModifySubscriptionRequest
{
    static constexpr uint32_t kBinaryEncodingId = 793;
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    double requestedPublishingInterval = 0;
    uint32_t requestedLifetimeCount = 0;
    uint32_t requestedMaxKeepAliveCount = 0;
    uint32_t maxNotificationsPerPublish = 0;
    uint8_t priority = 0;
    friend bool operator==(const ModifySubscriptionRequest&,
                           const ModifySubscriptionRequest&) = default;
};

struct ModifySubscriptionResponse
{
    static constexpr uint32_t kBinaryEncodingId = 796;
    ResponseHeader responseHeader;
    double revisedPublishingInterval = 0;
    uint32_t revisedLifetimeCount = 0;
    uint32_t revisedMaxKeepAliveCount = 0;
    friend bool operator==(const ModifySubscriptionResponse&,
                           const ModifySubscriptionResponse&) = default;
};

struct DeleteSubscriptionsRequest
{
    static constexpr uint32_t kBinaryEncodingId = 847;
    RequestHeader requestHeader;
    std::vector<uint32_t> subscriptionIds;
    friend bool operator==(const DeleteSubscriptionsRequest&,
                           const DeleteSubscriptionsRequest&) = default;
};

struct DeleteSubscriptionsResponse
{
    static constexpr uint32_t kBinaryEncodingId = 850;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const DeleteSubscriptionsResponse&,
                           const DeleteSubscriptionsResponse&) = default;
};

struct SetPublishingModeRequest
{
    static constexpr uint32_t kBinaryEncodingId = 799;
    RequestHeader requestHeader;
    bool publishingEnabled = true;
    std::vector<uint32_t> subscriptionIds;
    friend bool operator==(const SetPublishingModeRequest&,
                           const SetPublishingModeRequest&) = default;
};

struct SetPublishingModeResponse
{
    static constexpr uint32_t kBinaryEncodingId = 802;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const SetPublishingModeResponse&,
                           const SetPublishingModeResponse&) = default;
};

// ---------------------------------------------------------------------------------------------
// Monitored items

// Carried in MonitoringParameters::filter via packBody.
struct DataChangeFilter
{
    static constexpr uint32_t kBinaryEncodingId = 724;
    DataChangeTrigger trigger = DataChangeTrigger::StatusValue;
    uint32_t deadbandType = 0; // 0 none, 1 absolute, 2 percent
    double deadbandValue = 0;
    friend bool operator==(const DataChangeFilter&, const DataChangeFilter&) = default;
};

struct MonitoringParameters
{
    uint32_t clientHandle = 0;
    double samplingInterval = 0; // ms; -1 means the publishing interval
    ExtensionObject filter;      // null for none, or a DataChangeFilter
    uint32_t queueSize = 1;
    bool discardOldest = true;
    friend bool operator==(const MonitoringParameters&, const MonitoringParameters&) = default;
};

struct MonitoredItemCreateRequest
{
    ReadValueId itemToMonitor;
    MonitoringMode monitoringMode = MonitoringMode::Reporting;
    MonitoringParameters requestedParameters;
    friend bool operator==(const MonitoredItemCreateRequest&,
                           const MonitoredItemCreateRequest&) = default;
};

struct MonitoredItemCreateResult
{
    StatusCode statusCode;
    uint32_t monitoredItemId = 0;
    double revisedSamplingInterval = 0;
    uint32_t revisedQueueSize = 0;
    ExtensionObject filterResult;
    friend bool operator==(const MonitoredItemCreateResult&,
                           const MonitoredItemCreateResult&) = default;
};

struct CreateMonitoredItemsRequest
{
    static constexpr uint32_t kBinaryEncodingId = 751;
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Both;
    std::vector<MonitoredItemCreateRequest> itemsToCreate;
    friend bool operator==(const CreateMonitoredItemsRequest&,
                           const CreateMonitoredItemsRequest&) = default;
};

struct CreateMonitoredItemsResponse
{
    static constexpr uint32_t kBinaryEncodingId = 754;
    ResponseHeader responseHeader;
    std::vector<MonitoredItemCreateResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const CreateMonitoredItemsResponse&,
                           const CreateMonitoredItemsResponse&) = default;
};

struct DeleteMonitoredItemsRequest
{
    static constexpr uint32_t kBinaryEncodingId = 781;
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    std::vector<uint32_t> monitoredItemIds;
    friend bool operator==(const DeleteMonitoredItemsRequest&,
                           const DeleteMonitoredItemsRequest&) = default;
};

struct DeleteMonitoredItemsResponse
{
    static constexpr uint32_t kBinaryEncodingId = 784;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const DeleteMonitoredItemsResponse&,
                           const DeleteMonitoredItemsResponse&) = default;
};

// ---------------------------------------------------------------------------------------------
// Publish

struct SubscriptionAcknowledgement
{
    uint32_t subscriptionId = 0;
    uint32_t sequenceNumber = 0;
    friend bool operator==(const SubscriptionAcknowledgement&,
                           const SubscriptionAcknowledgement&) = default;
};

struct MonitoredItemNotification
{
    uint32_t clientHandle = 0;
    DataValue value;
    friend bool operator==(const MonitoredItemNotification&,
                           const MonitoredItemNotification&) = default;
};

struct DataChangeNotification
{
    static constexpr uint32_t kBinaryEncodingId = 811;
    std::vector<MonitoredItemNotification> monitoredItems;
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const DataChangeNotification&, const DataChangeNotification&) = default;
};

struct StatusChangeNotification
{
    static constexpr uint32_t kBinaryEncodingId = 820;
    StatusCode status;
    DiagnosticInfo diagnosticInfo;
    friend bool operator==(const StatusChangeNotification&,
                           const StatusChangeNotification&) = default;
};

// The encoding id of an event notification list, which this system keeps undecoded.
inline constexpr uint32_t kEventNotificationListEncodingId = 916;

// One entry of a NotificationMessage: the two kinds this system reads are decoded; any other
// (event lists, unknown types) stays an ExtensionObject with its body bytes.
using Notification =
    std::variant<DataChangeNotification, StatusChangeNotification, ExtensionObject>;

struct NotificationMessage
{
    uint32_t sequenceNumber = 0;
    DateTime publishTime;
    std::vector<Notification> notificationData; // empty for a keep-alive
    friend bool operator==(const NotificationMessage&, const NotificationMessage&) = default;
};

struct PublishRequest
{
    static constexpr uint32_t kBinaryEncodingId = 826;
    RequestHeader requestHeader;
    std::vector<SubscriptionAcknowledgement> subscriptionAcknowledgements;
    friend bool operator==(const PublishRequest&, const PublishRequest&) = default;
};

struct PublishResponse
{
    static constexpr uint32_t kBinaryEncodingId = 829;
    ResponseHeader responseHeader;
    uint32_t subscriptionId = 0;
    std::vector<uint32_t> availableSequenceNumbers;
    bool moreNotifications = false;
    NotificationMessage notificationMessage;
    std::vector<StatusCode> results; // one per acknowledgement, in order
    std::vector<DiagnosticInfo> diagnosticInfos;
    friend bool operator==(const PublishResponse&, const PublishResponse&) = default;
};

struct RepublishRequest
{
    static constexpr uint32_t kBinaryEncodingId = 832;
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    uint32_t retransmitSequenceNumber = 0;
    friend bool operator==(const RepublishRequest&, const RepublishRequest&) = default;
};

struct RepublishResponse
{
    static constexpr uint32_t kBinaryEncodingId = 835;
    ResponseHeader responseHeader;
    NotificationMessage notificationMessage;
    friend bool operator==(const RepublishResponse&, const RepublishResponse&) = default;
};

} // namespace opcua
