#pragma once

// The public classes of the library.
#include "vorn/core/MainLoop.h"
#include "vorn/core/DeviceContext.h"
#include "vorn/core/Vorn.h"
#include "vorn/core/VornError.h"
#include "vorn/core/VornPosition.h"
#include "vorn/core/VornService.h"
#include "vorn/net/VornUrlRequest.h"
