// Filters the graph builder may insert: built-in ones plus filter-mapper
// records, highest merit first (built-in first among equals).
#pragma once

#include <vector>

#include "filter_catalog.h"

namespace kovel::graph {
using Candidate = RegisteredFilter;
std::vector<Candidate> ListCandidates();
}  // namespace kovel::graph
