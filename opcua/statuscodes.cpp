#include "opcua/statuscodes.h"

#include <array>
#include <cstdio>

namespace opcua {

namespace {

// Every named code, walked by statusName. The values are those in statuscodes.h.
constexpr StatusInfo kStatusTable[] = {
    {status::Good, "Good"},
    {status::GoodSubscriptionTransferred, "GoodSubscriptionTransferred"},
    {status::GoodCompletesAsynchronously, "GoodCompletesAsynchronously"},
    {status::GoodOverload, "GoodOverload"},
    {status::GoodClamped, "GoodClamped"},
    {status::GoodNoData, "GoodNoData"},
    {status::GoodMoreData, "GoodMoreData"},
    {status::Uncertain, "Uncertain"},
    {status::UncertainNoCommunicationLastUsableValue, "UncertainNoCommunicationLastUsableValue"},
    {status::UncertainLastUsableValue, "UncertainLastUsableValue"},
    {status::UncertainInitialValue, "UncertainInitialValue"},
    {status::UncertainSensorNotAccurate, "UncertainSensorNotAccurate"},
    {status::UncertainEngineeringUnitsExceeded, "UncertainEngineeringUnitsExceeded"},
    {status::UncertainSubNormal, "UncertainSubNormal"},
    {status::Bad, "Bad"},
    {status::BadUnexpectedError, "BadUnexpectedError"},
    {status::BadInternalError, "BadInternalError"},
    {status::BadOutOfMemory, "BadOutOfMemory"},
    {status::BadResourceUnavailable, "BadResourceUnavailable"},
    {status::BadCommunicationError, "BadCommunicationError"},
    {status::BadEncodingError, "BadEncodingError"},
    {status::BadDecodingError, "BadDecodingError"},
    {status::BadEncodingLimitsExceeded, "BadEncodingLimitsExceeded"},
    {status::BadUnknownResponse, "BadUnknownResponse"},
    {status::BadTimeout, "BadTimeout"},
    {status::BadServiceUnsupported, "BadServiceUnsupported"},
    {status::BadShutdown, "BadShutdown"},
    {status::BadServerNotConnected, "BadServerNotConnected"},
    {status::BadServerHalted, "BadServerHalted"},
    {status::BadNothingToDo, "BadNothingToDo"},
    {status::BadTooManyOperations, "BadTooManyOperations"},
    {status::BadDataTypeIdUnknown, "BadDataTypeIdUnknown"},
    {status::BadCertificateInvalid, "BadCertificateInvalid"},
    {status::BadSecurityChecksFailed, "BadSecurityChecksFailed"},
    {status::BadCertificateTimeInvalid, "BadCertificateTimeInvalid"},
    {status::BadCertificateIssuerTimeInvalid, "BadCertificateIssuerTimeInvalid"},
    {status::BadCertificateUriInvalid, "BadCertificateUriInvalid"},
    {status::BadCertificateUseNotAllowed, "BadCertificateUseNotAllowed"},
    {status::BadCertificateIssuerUseNotAllowed, "BadCertificateIssuerUseNotAllowed"},
    {status::BadCertificateUntrusted, "BadCertificateUntrusted"},
    {status::BadCertificateRevocationUnknown, "BadCertificateRevocationUnknown"},
    {status::BadCertificateIssuerRevocationUnknown, "BadCertificateIssuerRevocationUnknown"},
    {status::BadCertificateRevoked, "BadCertificateRevoked"},
    {status::BadCertificateIssuerRevoked, "BadCertificateIssuerRevoked"},
    {status::BadUserAccessDenied, "BadUserAccessDenied"},
    {status::BadIdentityTokenInvalid, "BadIdentityTokenInvalid"},
    {status::BadIdentityTokenRejected, "BadIdentityTokenRejected"},
    {status::BadSecureChannelIdInvalid, "BadSecureChannelIdInvalid"},
    {status::BadInvalidTimestamp, "BadInvalidTimestamp"},
    {status::BadNonceInvalid, "BadNonceInvalid"},
    {status::BadSessionIdInvalid, "BadSessionIdInvalid"},
    {status::BadSessionClosed, "BadSessionClosed"},
    {status::BadSessionNotActivated, "BadSessionNotActivated"},
    {status::BadSubscriptionIdInvalid, "BadSubscriptionIdInvalid"},
    {status::BadRequestHeaderInvalid, "BadRequestHeaderInvalid"},
    {status::BadTimestampsToReturnInvalid, "BadTimestampsToReturnInvalid"},
    {status::BadRequestCancelledByClient, "BadRequestCancelledByClient"},
    {status::BadNoCommunication, "BadNoCommunication"},
    {status::BadWaitingForInitialData, "BadWaitingForInitialData"},
    {status::BadNodeIdInvalid, "BadNodeIdInvalid"},
    {status::BadNodeIdUnknown, "BadNodeIdUnknown"},
    {status::BadAttributeIdInvalid, "BadAttributeIdInvalid"},
    {status::BadIndexRangeInvalid, "BadIndexRangeInvalid"},
    {status::BadIndexRangeNoData, "BadIndexRangeNoData"},
    {status::BadDataEncodingInvalid, "BadDataEncodingInvalid"},
    {status::BadDataEncodingUnsupported, "BadDataEncodingUnsupported"},
    {status::BadNotReadable, "BadNotReadable"},
    {status::BadNotWritable, "BadNotWritable"},
    {status::BadOutOfRange, "BadOutOfRange"},
    {status::BadNotSupported, "BadNotSupported"},
    {status::BadNotFound, "BadNotFound"},
    {status::BadObjectDeleted, "BadObjectDeleted"},
    {status::BadNotImplemented, "BadNotImplemented"},
    {status::BadMonitoringModeInvalid, "BadMonitoringModeInvalid"},
    {status::BadMonitoredItemIdInvalid, "BadMonitoredItemIdInvalid"},
    {status::BadMonitoredItemFilterInvalid, "BadMonitoredItemFilterInvalid"},
    {status::BadMonitoredItemFilterUnsupported, "BadMonitoredItemFilterUnsupported"},
    {status::BadFilterNotAllowed, "BadFilterNotAllowed"},
    {status::BadContinuationPointInvalid, "BadContinuationPointInvalid"},
    {status::BadNoContinuationPoints, "BadNoContinuationPoints"},
    {status::BadReferenceTypeIdInvalid, "BadReferenceTypeIdInvalid"},
    {status::BadBrowseDirectionInvalid, "BadBrowseDirectionInvalid"},
    {status::BadNodeNotInView, "BadNodeNotInView"},
    {status::BadServerUriInvalid, "BadServerUriInvalid"},
    {status::BadSecurityModeRejected, "BadSecurityModeRejected"},
    {status::BadSecurityPolicyRejected, "BadSecurityPolicyRejected"},
    {status::BadTooManySessions, "BadTooManySessions"},
    {status::BadApplicationSignatureInvalid, "BadApplicationSignatureInvalid"},
    {status::BadBrowseNameInvalid, "BadBrowseNameInvalid"},
    {status::BadNoMatch, "BadNoMatch"},
    {status::BadWriteNotSupported, "BadWriteNotSupported"},
    {status::BadTypeMismatch, "BadTypeMismatch"},
    {status::BadTooManySubscriptions, "BadTooManySubscriptions"},
    {status::BadTooManyPublishRequests, "BadTooManyPublishRequests"},
    {status::BadNoSubscription, "BadNoSubscription"},
    {status::BadSequenceNumberUnknown, "BadSequenceNumberUnknown"},
    {status::BadMessageNotAvailable, "BadMessageNotAvailable"},
    {status::BadTcpServerTooBusy, "BadTcpServerTooBusy"},
    {status::BadTcpMessageTypeInvalid, "BadTcpMessageTypeInvalid"},
    {status::BadTcpSecureChannelUnknown, "BadTcpSecureChannelUnknown"},
    {status::BadTcpMessageTooLarge, "BadTcpMessageTooLarge"},
    {status::BadTcpNotEnoughResources, "BadTcpNotEnoughResources"},
    {status::BadTcpInternalError, "BadTcpInternalError"},
    {status::BadTcpEndpointUrlInvalid, "BadTcpEndpointUrlInvalid"},
    {status::BadRequestInterrupted, "BadRequestInterrupted"},
    {status::BadRequestTimeout, "BadRequestTimeout"},
    {status::BadSecureChannelClosed, "BadSecureChannelClosed"},
    {status::BadSecureChannelTokenUnknown, "BadSecureChannelTokenUnknown"},
    {status::BadSequenceNumberInvalid, "BadSequenceNumberInvalid"},
    {status::BadConfigurationError, "BadConfigurationError"},
    {status::BadNotConnected, "BadNotConnected"},
    {status::BadDeviceFailure, "BadDeviceFailure"},
    {status::BadSensorFailure, "BadSensorFailure"},
    {status::BadOutOfService, "BadOutOfService"},
    {status::BadDeadbandFilterInvalid, "BadDeadbandFilterInvalid"},
    {status::BadInvalidArgument, "BadInvalidArgument"},
    {status::BadConnectionRejected, "BadConnectionRejected"},
    {status::BadDisconnect, "BadDisconnect"},
    {status::BadConnectionClosed, "BadConnectionClosed"},
    {status::BadInvalidState, "BadInvalidState"},
    {status::BadEndOfStream, "BadEndOfStream"},
    {status::BadNoDataAvailable, "BadNoDataAvailable"},
    {status::BadWaitingForResponse, "BadWaitingForResponse"},
    {status::BadMaxConnectionsReached, "BadMaxConnectionsReached"},
    {status::BadRequestTooLarge, "BadRequestTooLarge"},
    {status::BadResponseTooLarge, "BadResponseTooLarge"},
    {status::BadProtocolVersionUnsupported, "BadProtocolVersionUnsupported"},
    {status::BadTooManyMonitoredItems, "BadTooManyMonitoredItems"},
    {status::BadCertificateChainIncomplete, "BadCertificateChainIncomplete"},
    {status::BadCertificatePolicyCheckFailed, "BadCertificatePolicyCheckFailed"},
};

} // namespace

const StatusInfo* statusTableBegin()
{
    return std::begin(kStatusTable);
}

const StatusInfo* statusTableEnd()
{
    return std::end(kStatusTable);
}

std::string statusName(StatusCode code)
{
    for (const StatusInfo& row : kStatusTable) {
        if (row.code.sameCode(code))
            return std::string(row.name);
    }
    const char* severity = code.isGood() ? "Good" : code.isUncertain() ? "Uncertain" : "Bad";
    char text[32];
    std::snprintf(text, sizeof text, "%s(0x%08X)", severity, unsigned(code.code));
    return text;
}

} // namespace opcua
