// Stand-in catalog used only while the platform objects library is not part
// of the build: built-in filters only, no registry records.
#include <algorithm>
#include <mutex>

#include "filter_catalog.h"

namespace {
std::mutex g_lock;
std::vector<RegisteredFilter>& Table() {
    static std::vector<RegisteredFilter> t;
    return t;
}
}  // namespace

std::vector<RegisteredFilter> ListRegisteredFilters() {
    return {};
}

void RegisterBuiltinFilter(const RegisteredFilter& info) {
    std::lock_guard<std::mutex> l(g_lock);
    auto& t = Table();
    t.erase(std::remove_if(t.begin(), t.end(), [&](auto& r) { return r.clsid == info.clsid; }), t.end());
    t.push_back(info);
}

std::vector<RegisteredFilter> ListBuiltinFilters() {
    std::lock_guard<std::mutex> l(g_lock);
    auto t = Table();
    std::stable_sort(t.begin(), t.end(), [](auto& a, auto& b) { return a.merit > b.merit; });
    return t;
}
