#pragma once

// What the client's source files share beyond client.h: the log category and the typed
// response handler. Nothing outside opcua/client includes it.

#include "opcua/client/client.h"
#include "opcua/log.h"

namespace opcua {

inline constexpr LogCategory lcClient("servo.opcua.client");

template <class Response, class OnOk>
Client::ResponseHandler Client::expect(OnOk onOk, FailureHandler onFailure)
{
    return [onOk = std::move(onOk), onFailure = std::move(onFailure)](ServiceMessage& message) {
        if (const auto* fault = std::get_if<ServiceFault>(&message)) {
            const StatusCode status = fault->responseHeader.serviceResult;
            onFailure(status.isBad() ? status : StatusCode(status::BadUnknownResponse),
                      "the server answered with a fault: " + statusName(status));
            return;
        }
        auto* response = std::get_if<Response>(&message);
        if (!response) {
            onFailure(status::BadUnknownResponse,
                      "the server answered with a " + std::string(serviceName(message)));
            return;
        }
        if (response->responseHeader.serviceResult.isBad()) {
            onFailure(response->responseHeader.serviceResult,
                      statusName(response->responseHeader.serviceResult));
            return;
        }
        onOk(*response);
    };
}

} // namespace opcua
