#include "candidates.h"

#include <algorithm>

namespace kovel::graph {

std::vector<Candidate> ListCandidates() {
    std::vector<Candidate> all = ListBuiltinFilters();
    for (auto& r : ListRegisteredFilters()) {
        bool dup =
            std::any_of(all.begin(), all.end(), [&](const Candidate& c) { return c.clsid == r.clsid; });
        if (!dup)
            all.push_back(r);
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const Candidate& a, const Candidate& b) { return a.merit > b.merit; });
    return all;
}

}  // namespace kovel::graph
