// Any bytes as what the service or the disk hands the library: a reply body
// judged by the envelope rule, the objects decoded from its results, the
// current-user archive and a query cache file. Nothing may crash, and the
// judged reply must be consistent.
#include "vorn/core/DeviceContext.h"
#include "vorn/core/FileUtils.h"
#include "vorn/query/VornQuery.h"
#include "vorn/query/VornQueryCache.h"
#include "vorn/service/VornService.h"
#include "vorn/users/VornUser.h"
#include "vorn/users/VornUserArchive.h"

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace {

void decodeValues(const nlohmann::json& map) {
    if (!map.is_object()) return;
    auto object = vorn::VornObject::objectWithClassName("Fuzzed");
    object->setVornDataDic(map);
    for (const auto& [key, value] : map.items()) {
        (void)value;
        (void)object->objectForKey(key);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const auto home = std::filesystem::temp_directory_path() / ("vorn-fuzz-replies-" + std::to_string(::getpid()));
    ::setenv("VORN_HOME", home.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const auto reply = vorn::VornServiceReply::parse(bytes);
    const auto error = reply.error();
    if (reply.succeeded() == error.has_value()) std::abort();
    if (!reply.parsed()) (void)reply.parserError();
    if (const auto* payload = reply.validData()) {
        decodeValues(*payload);
        if (payload->is_object()) {
            if (auto results = payload->find("results"); results != payload->end()) {
                auto query = vorn::VornQuery::queryWithClassName("Fuzzed");
                for (const auto& object : query->turnArrayToVornObjectArray(*results)) (void)object->objectId();
            }
        }
    }

    // The same bytes as files the library reads back.
    vorn::fileutils::writeFileAtomically(vorn::VornUserArchive::path(), bytes);
    if (auto user = vorn::VornUser::getCurrentUser()) (void)user->objectId();
    const auto cacheFile = vorn::DeviceContext::shared().documentsDirectory() / "fuzz.archive";
    vorn::fileutils::writeFileAtomically(cacheFile, bytes);
    if (auto cached = vorn::VornQueryCache::read(cacheFile)) {
        if (!cached->is_array()) std::abort();
    }
    return 0;
}
