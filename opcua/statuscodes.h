#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace opcua {

// A 32-bit status code as carried on the wire. The top two bits give the severity
// (00 Good, 01 Uncertain, 10 Bad); the low 16 bits carry info bits that do not change the
// meaning of the code, so comparisons with the named codes use `sameCode`.
struct StatusCode
{
    uint32_t code = 0;

    constexpr StatusCode() = default;
    constexpr StatusCode(uint32_t value) : code(value) {}

    constexpr bool isGood() const { return (code & 0xC0000000u) == 0; }
    constexpr bool isUncertain() const { return (code & 0xC0000000u) == 0x40000000u; }
    constexpr bool isBad() const { return (code & 0x80000000u) != 0; }
    // True when both carry the same code, ignoring the info bits.
    constexpr bool sameCode(StatusCode other) const
    {
        return (code & 0xFFFF0000u) == (other.code & 0xFFFF0000u);
    }

    friend constexpr bool operator==(StatusCode, StatusCode) = default;
    friend constexpr auto operator<=>(StatusCode, StatusCode) = default;
};

constexpr bool isGood(StatusCode s)
{
    return s.isGood();
}
constexpr bool isUncertain(StatusCode s)
{
    return s.isUncertain();
}
constexpr bool isBad(StatusCode s)
{
    return s.isBad();
}

// The named codes this system produces or reacts to. The same values are listed with their
// names in the table in statuscodes.cpp, which `statusName` walks.
namespace status {
inline constexpr StatusCode Good{0x00000000};
inline constexpr StatusCode GoodSubscriptionTransferred{0x002D0000};
inline constexpr StatusCode GoodCompletesAsynchronously{0x002E0000};
inline constexpr StatusCode GoodOverload{0x002F0000};
inline constexpr StatusCode GoodClamped{0x00300000};
inline constexpr StatusCode GoodNoData{0x00A50000};
inline constexpr StatusCode GoodMoreData{0x00A60000};
inline constexpr StatusCode Uncertain{0x40000000};
inline constexpr StatusCode UncertainNoCommunicationLastUsableValue{0x408F0000};
inline constexpr StatusCode UncertainLastUsableValue{0x40900000};
inline constexpr StatusCode UncertainInitialValue{0x40920000};
inline constexpr StatusCode UncertainSensorNotAccurate{0x40930000};
inline constexpr StatusCode UncertainEngineeringUnitsExceeded{0x40940000};
inline constexpr StatusCode UncertainSubNormal{0x40950000};
inline constexpr StatusCode Bad{0x80000000};
inline constexpr StatusCode BadUnexpectedError{0x80010000};
inline constexpr StatusCode BadInternalError{0x80020000};
inline constexpr StatusCode BadOutOfMemory{0x80030000};
inline constexpr StatusCode BadResourceUnavailable{0x80040000};
inline constexpr StatusCode BadCommunicationError{0x80050000};
inline constexpr StatusCode BadEncodingError{0x80060000};
inline constexpr StatusCode BadDecodingError{0x80070000};
inline constexpr StatusCode BadEncodingLimitsExceeded{0x80080000};
inline constexpr StatusCode BadUnknownResponse{0x80090000};
inline constexpr StatusCode BadTimeout{0x800A0000};
inline constexpr StatusCode BadServiceUnsupported{0x800B0000};
inline constexpr StatusCode BadShutdown{0x800C0000};
inline constexpr StatusCode BadServerNotConnected{0x800D0000};
inline constexpr StatusCode BadServerHalted{0x800E0000};
inline constexpr StatusCode BadNothingToDo{0x800F0000};
inline constexpr StatusCode BadTooManyOperations{0x80100000};
inline constexpr StatusCode BadDataTypeIdUnknown{0x80110000};
inline constexpr StatusCode BadCertificateInvalid{0x80120000};
inline constexpr StatusCode BadSecurityChecksFailed{0x80130000};
inline constexpr StatusCode BadCertificateTimeInvalid{0x80140000};
inline constexpr StatusCode BadCertificateIssuerTimeInvalid{0x80150000};
inline constexpr StatusCode BadCertificateUriInvalid{0x80170000};
inline constexpr StatusCode BadCertificateUseNotAllowed{0x80180000};
inline constexpr StatusCode BadCertificateIssuerUseNotAllowed{0x80190000};
inline constexpr StatusCode BadCertificateUntrusted{0x801A0000};
inline constexpr StatusCode BadCertificateRevocationUnknown{0x801B0000};
inline constexpr StatusCode BadCertificateIssuerRevocationUnknown{0x801C0000};
inline constexpr StatusCode BadCertificateRevoked{0x801D0000};
inline constexpr StatusCode BadCertificateIssuerRevoked{0x801E0000};
inline constexpr StatusCode BadUserAccessDenied{0x801F0000};
inline constexpr StatusCode BadIdentityTokenInvalid{0x80200000};
inline constexpr StatusCode BadIdentityTokenRejected{0x80210000};
inline constexpr StatusCode BadSecureChannelIdInvalid{0x80220000};
inline constexpr StatusCode BadInvalidTimestamp{0x80230000};
inline constexpr StatusCode BadNonceInvalid{0x80240000};
inline constexpr StatusCode BadSessionIdInvalid{0x80250000};
inline constexpr StatusCode BadSessionClosed{0x80260000};
inline constexpr StatusCode BadSessionNotActivated{0x80270000};
inline constexpr StatusCode BadSubscriptionIdInvalid{0x80280000};
inline constexpr StatusCode BadRequestHeaderInvalid{0x802A0000};
inline constexpr StatusCode BadTimestampsToReturnInvalid{0x802B0000};
inline constexpr StatusCode BadRequestCancelledByClient{0x802C0000};
inline constexpr StatusCode BadNoCommunication{0x80310000};
inline constexpr StatusCode BadWaitingForInitialData{0x80320000};
inline constexpr StatusCode BadNodeIdInvalid{0x80330000};
inline constexpr StatusCode BadNodeIdUnknown{0x80340000};
inline constexpr StatusCode BadAttributeIdInvalid{0x80350000};
inline constexpr StatusCode BadIndexRangeInvalid{0x80360000};
inline constexpr StatusCode BadIndexRangeNoData{0x80370000};
inline constexpr StatusCode BadDataEncodingInvalid{0x80380000};
inline constexpr StatusCode BadDataEncodingUnsupported{0x80390000};
inline constexpr StatusCode BadNotReadable{0x803A0000};
inline constexpr StatusCode BadNotWritable{0x803B0000};
inline constexpr StatusCode BadOutOfRange{0x803C0000};
inline constexpr StatusCode BadNotSupported{0x803D0000};
inline constexpr StatusCode BadNotFound{0x803E0000};
inline constexpr StatusCode BadObjectDeleted{0x803F0000};
inline constexpr StatusCode BadNotImplemented{0x80400000};
inline constexpr StatusCode BadMonitoringModeInvalid{0x80410000};
inline constexpr StatusCode BadMonitoredItemIdInvalid{0x80420000};
inline constexpr StatusCode BadMonitoredItemFilterInvalid{0x80430000};
inline constexpr StatusCode BadMonitoredItemFilterUnsupported{0x80440000};
inline constexpr StatusCode BadFilterNotAllowed{0x80450000};
inline constexpr StatusCode BadContinuationPointInvalid{0x804A0000};
inline constexpr StatusCode BadNoContinuationPoints{0x804B0000};
inline constexpr StatusCode BadReferenceTypeIdInvalid{0x804C0000};
inline constexpr StatusCode BadBrowseDirectionInvalid{0x804D0000};
inline constexpr StatusCode BadNodeNotInView{0x804E0000};
inline constexpr StatusCode BadServerUriInvalid{0x804F0000};
inline constexpr StatusCode BadSecurityModeRejected{0x80540000};
inline constexpr StatusCode BadSecurityPolicyRejected{0x80550000};
inline constexpr StatusCode BadTooManySessions{0x80560000};
inline constexpr StatusCode BadApplicationSignatureInvalid{0x80580000};
inline constexpr StatusCode BadBrowseNameInvalid{0x80600000};
inline constexpr StatusCode BadNoMatch{0x806F0000};
inline constexpr StatusCode BadWriteNotSupported{0x80730000};
inline constexpr StatusCode BadTypeMismatch{0x80740000};
inline constexpr StatusCode BadTooManySubscriptions{0x80770000};
inline constexpr StatusCode BadTooManyPublishRequests{0x80780000};
inline constexpr StatusCode BadNoSubscription{0x80790000};
inline constexpr StatusCode BadSequenceNumberUnknown{0x807A0000};
inline constexpr StatusCode BadMessageNotAvailable{0x807B0000};
inline constexpr StatusCode BadTcpServerTooBusy{0x807D0000};
inline constexpr StatusCode BadTcpMessageTypeInvalid{0x807E0000};
inline constexpr StatusCode BadTcpSecureChannelUnknown{0x807F0000};
inline constexpr StatusCode BadTcpMessageTooLarge{0x80800000};
inline constexpr StatusCode BadTcpNotEnoughResources{0x80810000};
inline constexpr StatusCode BadTcpInternalError{0x80820000};
inline constexpr StatusCode BadTcpEndpointUrlInvalid{0x80830000};
inline constexpr StatusCode BadRequestInterrupted{0x80840000};
inline constexpr StatusCode BadRequestTimeout{0x80850000};
inline constexpr StatusCode BadSecureChannelClosed{0x80860000};
inline constexpr StatusCode BadSecureChannelTokenUnknown{0x80870000};
inline constexpr StatusCode BadSequenceNumberInvalid{0x80880000};
inline constexpr StatusCode BadConfigurationError{0x80890000};
inline constexpr StatusCode BadNotConnected{0x808A0000};
inline constexpr StatusCode BadDeviceFailure{0x808B0000};
inline constexpr StatusCode BadSensorFailure{0x808C0000};
inline constexpr StatusCode BadOutOfService{0x808D0000};
inline constexpr StatusCode BadDeadbandFilterInvalid{0x808E0000};
inline constexpr StatusCode BadInvalidArgument{0x80AB0000};
inline constexpr StatusCode BadConnectionRejected{0x80AC0000};
inline constexpr StatusCode BadDisconnect{0x80AD0000};
inline constexpr StatusCode BadConnectionClosed{0x80AE0000};
inline constexpr StatusCode BadInvalidState{0x80AF0000};
inline constexpr StatusCode BadEndOfStream{0x80B00000};
inline constexpr StatusCode BadNoDataAvailable{0x80B10000};
inline constexpr StatusCode BadWaitingForResponse{0x80B20000};
inline constexpr StatusCode BadMaxConnectionsReached{0x80B70000};
inline constexpr StatusCode BadRequestTooLarge{0x80B80000};
inline constexpr StatusCode BadResponseTooLarge{0x80B90000};
inline constexpr StatusCode BadProtocolVersionUnsupported{0x80BE0000};
inline constexpr StatusCode BadTooManyMonitoredItems{0x80DB0000};
inline constexpr StatusCode BadCertificateChainIncomplete{0x810D0000};
inline constexpr StatusCode BadCertificatePolicyCheckFailed{0x81140000};
} // namespace status

struct StatusInfo
{
    StatusCode code;
    std::string_view name;
};

// The name of a code from the table ("BadTimeout"), ignoring info bits. A code not in the
// table gives "Good", "Uncertain" or "Bad" followed by its hex value, e.g. "Bad(0x80AA0000)".
std::string statusName(StatusCode code);

// The table of named codes, for tests and diagnostics.
const StatusInfo* statusTableBegin();
const StatusInfo* statusTableEnd();

// An error of the protocol layer: a status code saying what went wrong and a message for
// people. Decoding, parsing, transport and channel errors derive from it.
class Error : public std::runtime_error
{
public:
    Error(StatusCode status, const std::string& message)
        : std::runtime_error(message), m_status(status)
    {}

    StatusCode status() const { return m_status; }

private:
    StatusCode m_status;
};

} // namespace opcua
