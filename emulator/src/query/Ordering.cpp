#include "query/Ordering.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "TextHelpers.h"
#include "vorn_emulator/ServiceError.h"

namespace vorn::emulator::query {

std::vector<OrderKey> parseOrder(std::string_view text) {
    std::vector<OrderKey> keys;
    while (!text.empty()) {
        const auto comma = text.find(',');
        std::string_view key = trimmed(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        bool descending = false;
        if (key.starts_with('-')) {
            descending = true;
            key = trimmed(key.substr(1));
        }
        if (key.empty()) continue;
        if (keys.size() == kMaxOrderKeys) {
            throw ServiceError(ErrorCode::InvalidQuery,
                               "invalid query: more than " + std::to_string(kMaxOrderKeys) + " keys in \"order\"");
        }
        keys.push_back(OrderKey{fieldRef(key), descending});
    }
    return keys;
}

namespace {

std::size_t saturatedSum(std::size_t a, std::size_t b) {
    return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max() : a + b;
}

}  // namespace

OrderedWindow::OrderedWindow(std::vector<OrderKey> keys, std::size_t skip, std::size_t limit)
    : by_(keys.empty() ? By::Offering : By::Keys),
      keys_(std::move(keys)),
      skip_(skip),
      keep_(saturatedSum(skip, limit)) {}

OrderedWindow::OrderedWindow(FieldRef field, GeoPoint from, std::size_t skip, std::size_t limit)
    : by_(By::Distance), field_(std::move(field)), from_(from), skip_(skip), keep_(saturatedSum(skip, limit)) {}

bool OrderedWindow::before(const Entry& a, const Entry& b) const {
    if (by_ == By::Distance) {
        if (a.distance != b.distance) return a.distance < b.distance;
    } else if (by_ == By::Keys) {
        for (std::size_t k = 0; k < keys_.size(); ++k) {
            int order = compareForSort(a.terms[k], b.terms[k]);
            if (keys_[k].descending) order = -order;
            if (order != 0) return order < 0;
        }
    }
    return a.index < b.index;
}

void OrderedWindow::offer(const ObjectRef& object) {
    const std::size_t index = offered_++;
    if (keep_ == 0) return;
    if (by_ == By::Offering) {
        // Offered in order already: only the window itself is kept.
        if (index >= skip_ && heap_.size() < keep_ - skip_) heap_.push_back(Entry{object, index, 0, {}});
        return;
    }
    next_.object = object;
    next_.index = index;
    if (by_ == By::Distance) {
        const Term point = sortTerm(field_, *object);
        next_.distance = point.kind == Kind::GeoPoint
                             ? distanceRadians(GeoPoint{point.latitude, point.longitude}, from_)
                             : std::numeric_limits<double>::infinity();
        if (std::isnan(next_.distance)) next_.distance = std::numeric_limits<double>::infinity();
    } else {
        next_.terms.clear();
        for (const auto& key : keys_) next_.terms.push_back(sortTerm(key.field, *object));
    }
    const auto worseOnTop = [this](const Entry& a, const Entry& b) { return before(a, b); };
    if (heap_.size() < keep_) {
        heap_.push_back(std::move(next_));
        std::push_heap(heap_.begin(), heap_.end(), worseOnTop);
    } else if (before(next_, heap_.front())) {
        std::pop_heap(heap_.begin(), heap_.end(), worseOnTop);
        std::swap(heap_.back(), next_);  // the dropped entry's storage is reused
        std::push_heap(heap_.begin(), heap_.end(), worseOnTop);
    }
    next_.object.reset();
}

std::vector<ObjectRef> OrderedWindow::take() {
    if (by_ != By::Offering) {
        std::sort_heap(heap_.begin(), heap_.end(), [this](const Entry& a, const Entry& b) { return before(a, b); });
    }
    std::vector<ObjectRef> taken;
    const std::size_t first = by_ == By::Offering ? 0 : skip_;  // the skipped were never kept
    for (std::size_t i = first; i < heap_.size(); ++i) taken.push_back(std::move(heap_[i].object));
    heap_.clear();
    return taken;
}

}  // namespace vorn::emulator::query
