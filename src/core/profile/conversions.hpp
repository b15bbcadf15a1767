// Column values read as another type, and the questions asked of a column's values before
// a layout is built or a window is counted: times on one scale (UTC nanoseconds as
// doubles), Arrow decimals as doubles, exact conversions between a window's type and the
// reference's (integral floats as integers, 0/1 as booleans), the first value outside a
// range (probabilities), and whether all values are distinct (keys).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/profile/column.hpp"

namespace morvane::profile {

// The type family of a column, as users name it in messages: "float", "integer",
// "boolean", "text", "datetime", "duration", or "null" (no typed values at all).
std::string_view value_type(const Column& c);

// Integers counting `ns_per_unit` nanoseconds each (a NumPy buffer of datetime64 or
// timedelta64, or an Arrow timestamp, date, time or duration) as doubles of nanoseconds, the
// exact product rounded once, so the same instant in any unit gives the same double. Nulls,
// and INT64_MIN when `nat` (NumPy's and pandas' NaT), become NaN. `out_of_range` is the first
// row whose instant 64-bit nanoseconds cannot hold (it would wrap elsewhere), or -1.
std::vector<double> times_in_ns(const Chunk& c, double ns_per_unit, bool nat, std::int64_t& out_of_range);

// Arrow decimal128 values (16-byte two's complement, `scale` decimal digits) as doubles;
// nulls become NaN.
std::vector<double> decimals_as_doubles(const Chunk& c, std::int32_t scale);

// A column converted exactly to another type, or the first value that does not convert.
struct Converted {
    std::vector<std::int64_t> integers;  // to_integers
    std::vector<std::uint8_t> booleans;  // to_booleans: one byte a value
    std::vector<std::uint8_t> validity;  // Arrow bitmap, bit set for a present value
    std::int64_t bad_row = -1;           // the first row that does not convert, or -1
    double bad_value = 0.0;
};

// Floats or integers as int64 when every present value is integral and in range.
Converted to_integers(const Column& c);
// Integers or floats as booleans when every present value is 0 or 1.
Converted to_booleans(const Column& c);

// The first present numeric value outside [lo, hi] (NaN is missing, not outside), as
// (row, value).
std::optional<std::pair<std::int64_t, double>> first_outside(const Column& c, double lo, double hi);

// The first row whose present value is not a whole number, or -1.
std::int64_t first_fraction(const Column& c);

// Every row's number (integers and booleans widened, times and decimals as read) into out[0..length),
// NaN where missing or not a number: what the counting kernels bin, for summaries made elsewhere.
void column_numbers(const Column& c, double* out);

// Whether a numeric column's values are present and all distinct.
bool all_distinct_numbers(const Column& c);

}  // namespace morvane::profile
