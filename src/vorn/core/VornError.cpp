#include "vorn/core/VornError.h"

namespace vorn {

std::string VornError::message() const {
    auto it = userInfo.find("error");
    return it == userInfo.end() ? std::string() : it->second;
}

}  // namespace vorn
