// Band mapping: which spectrum bin each terminal column shows. Columns are spread over bins
// 0 … 511 by a power law whose exponent is 0.8 × log_power; every entry is a valid bin index.
#pragma once

#include <cstdint>
#include <vector>

namespace tonalyx {

// Returns one bin per column: min(trunc(512 × (i / columns)^(0.8 × log_power)), 511) for column
// i, in single precision; empty for 0 columns. A log_power of 0 or below maps every column to 511.
std::vector<std::uint16_t> build_column_bins(std::uint16_t columns, float log_power);

} // namespace tonalyx
