#pragma once

// Shortcuts for the "/7/find" tests: a find call, and the "name" fields of
// the results in reply order (tests name their objects to tell them apart).

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ObjectTestUtil.h"

namespace vorn::emulator::emutest {

using Names = std::vector<std::string>;

inline Json date(const std::string& iso) {
    return Json{{"__type", "Date"}, {"iso", iso}};
}

inline Json geoPoint(double latitude, double longitude) {
    return Json{{"__type", "GeoPoint"}, {"latitude", latitude}, {"longitude", longitude}};
}

class FindEndpointTest : public ObjectEndpointTest {
protected:
    Reply find(const std::string& className, Json data) { return call("/7/find", className, nullptr, std::move(data)); }

    // A find ordered by name, so that results made within one millisecond
    // still come in a known order.
    Reply where(const std::string& className, Json constraints) {
        return find(className, Json{{"where", std::move(constraints)}, {"order", "name"}});
    }

    // The "name" of each result, in order; fails the test on an error reply.
    static Names names(const Reply& reply) {
        Names result;
        EXPECT_EQ(reply.code(), 200) << reply.body;
        if (reply.code() != 200) return result;
        for (const Json& object : reply.data().at("results")) result.push_back(object.value("name", std::string("?")));
        return result;
    }

    Names namesWhere(const std::string& className, Json constraints) {
        return names(where(className, std::move(constraints)));
    }

    // name -> objectId of every stored object of a class.
    std::map<std::string, std::string> idsByName(const std::string& className) {
        return server_->call([&] {
            std::map<std::string, std::string> ids;
            ObjectStore(server_->storage()).forEachObject(className, [&](const StoredObject& object) {
                ids[object.fields.value("name", std::string())] = object.objectId;
            });
            return ids;
        });
    }

    // Creates one object per name, in order, each with its "name" plus `fields`.
    std::vector<std::string> createNamed(const std::string& className,
                                         const std::vector<std::pair<std::string, Json>>& objects) {
        std::vector<std::string> ids;
        for (const auto& [name, fields] : objects) {
            Json data = fields.is_null() ? Json::object() : fields;
            data["name"] = name;
            ids.push_back(create(className, data));
        }
        return ids;
    }
};

}  // namespace vorn::emulator::emutest
