#pragma once

#include "vorn/service/VornService.h"

namespace vorn::test {

/// The "timestamp" call: the smallest service call, with null class, object
/// id and data.
inline VornServiceCall timestampCall() {
    VornServiceCall call;
    call.path = "timestamp";
    call.c = nullptr;
    call.objectId = nullptr;
    call.data = nullptr;
    return call;
}

}  // namespace vorn::test
