#pragma once

#include "processdata/failure.h"

namespace servo::test {

// What f throws; a failure of code Unexpected when it throws nothing, which no call under test
// raises.
template <class F> Failure failureOf(F&& f)
{
    try {
        f();
    } catch (const Failure& failure) {
        return failure;
    }
    return Failure(FailureCode::Unexpected, "nothing thrown");
}

} // namespace servo::test
