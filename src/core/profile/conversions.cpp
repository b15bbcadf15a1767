#include "core/profile/conversions.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvane::profile {

std::string_view value_type(const Column& c) {
    if (c.time == TimeKind::Datetime) return "datetime";
    if (c.time == TimeKind::Duration) return "duration";
    for (const Chunk& ch : c.chunks) {
        const Chunk& v = ch.dictionary ? *ch.dictionary : ch;
        if (v.phys == Phys::Null) continue;
        if (v.is_string()) return "text";
        if (v.is_bool()) return "boolean";
        if (v.phys == Phys::F64 || v.phys == Phys::F32) return "float";
        if (v.is_numeric()) return "integer";
    }
    return "null";
}

std::vector<double> times_in_ns(const Chunk& c, double ns_per_unit, bool nat, std::int64_t& out_of_range) {
    std::vector<double> out(static_cast<std::size_t>(c.length));
    out_of_range = -1;
    const auto low = static_cast<__int128>(std::numeric_limits<std::int64_t>::min()) + 1;
    const auto high = static_cast<__int128>(std::numeric_limits<std::int64_t>::max());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    dispatch_numeric(c.phys, [&](auto tag) {
        using T = decltype(tag);
        const std::uint8_t* base = c.data + c.offset * c.stride;
        for (std::int64_t i = 0; i < c.length; ++i) {
            if (!c.valid(i)) { out[i] = nan; continue; }
            const T v = load<T>(base + i * c.stride, c.swap);
            if constexpr (std::is_same_v<T, std::int64_t>) {
                if (nat && v == std::numeric_limits<std::int64_t>::min()) { out[i] = nan; continue; }
            }
            // The exact product in 128 bits, rounded once: the same instant in any unit gives the same double.
            const __int128 ns = static_cast<__int128>(v) * static_cast<__int128>(ns_per_unit);
            if ((ns < low || ns > high) && out_of_range < 0) out_of_range = i;
            out[i] = static_cast<double>(ns);
        }
    });
    return out;
}

std::vector<double> decimals_as_doubles(const Chunk& c, std::int32_t scale) {
    std::vector<double> out(static_cast<std::size_t>(c.length));
    const double divisor = std::pow(10.0, scale);
    for (std::int64_t i = 0; i < c.length; ++i) {
        if (!c.valid(i)) { out[i] = std::numeric_limits<double>::quiet_NaN(); continue; }
        std::uint64_t lo, hi;
        std::memcpy(&lo, c.data + (c.offset + i) * 16, 8);
        std::memcpy(&hi, c.data + (c.offset + i) * 16 + 8, 8);
        const __int128 v = static_cast<__int128>((static_cast<unsigned __int128>(hi) << 64) | lo);
        out[i] = static_cast<double>(v) / divisor;
    }
    return out;
}

namespace {

// Calls f(row, value) for every present value of a numeric or boolean column (NaN is
// missing); f returns false to stop. Marks present rows in `validity` when given.
template <class F>
void each_number(const Column& c, std::vector<std::uint8_t>* validity, F&& f) {
    std::int64_t row = 0;
    for (const Chunk& ch : c.chunks) {
        for (std::int64_t i = 0; i < ch.length; ++i, ++row) {
            if (ch.phys == Phys::Null || ch.dictionary || !(ch.is_numeric() || ch.is_bool()) || !ch.valid(i)) continue;
            const double v = ch.number(i);
            if (std::isnan(v)) continue;
            if (validity) (*validity)[static_cast<std::size_t>(row >> 3)] |= static_cast<std::uint8_t>(1u << (row & 7));
            if (!f(row, v, ch, i)) return;
        }
    }
}

Converted prepared(const Column& c) {
    Converted out;
    out.validity.assign(static_cast<std::size_t>((c.length + 7) / 8), 0);
    return out;
}

}  // namespace

Converted to_integers(const Column& c) {
    Converted out = prepared(c);
    out.integers.assign(static_cast<std::size_t>(c.length), 0);
    each_number(c, &out.validity, [&](std::int64_t row, double v, const Chunk& ch, std::int64_t i) {
        if (c.is_integer() && (ch.phys == Phys::I64 || ch.phys == Phys::U64)) {
            // 64-bit integers are copied as they are, not through a double.
            const std::int64_t k = ch.index(i);
            if (ch.phys == Phys::U64 && k < 0) { out.bad_row = row; out.bad_value = v; return false; }
            out.integers[static_cast<std::size_t>(row)] = ch.phys == Phys::I64
                ? load<std::int64_t>(ch.data + (ch.offset + i) * ch.stride, ch.swap) : k;
            return true;
        }
        if (v != std::trunc(v) || !(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) {
            out.bad_row = row;
            out.bad_value = v;
            return false;
        }
        out.integers[static_cast<std::size_t>(row)] = static_cast<std::int64_t>(v);
        return true;
    });
    return out;
}

Converted to_booleans(const Column& c) {
    Converted out = prepared(c);
    out.booleans.assign(static_cast<std::size_t>(c.length), 0);
    each_number(c, &out.validity, [&](std::int64_t row, double v, const Chunk&, std::int64_t) {
        if (v != 0.0 && v != 1.0) {
            out.bad_row = row;
            out.bad_value = v;
            return false;
        }
        out.booleans[static_cast<std::size_t>(row)] = v == 1.0;
        return true;
    });
    return out;
}

std::optional<std::pair<std::int64_t, double>> first_outside(const Column& c, double lo, double hi) {
    std::optional<std::pair<std::int64_t, double>> found;
    each_number(c, nullptr, [&](std::int64_t row, double v, const Chunk&, std::int64_t) {
        if (v >= lo && v <= hi) return true;
        found.emplace(row, v);
        return false;
    });
    return found;
}

std::int64_t first_fraction(const Column& c) {
    std::int64_t found = -1;
    each_number(c, nullptr, [&](std::int64_t row, double v, const Chunk&, std::int64_t) {
        if (v == std::trunc(v)) return true;
        found = row;
        return false;
    });
    return found;
}

void column_numbers(const Column& c, double* out) {
    std::fill(out, out + c.length, std::numeric_limits<double>::quiet_NaN());
    each_number(c, nullptr, [&](std::int64_t row, double v, const Chunk&, std::int64_t) {
        out[row] = v;
        return true;
    });
}

bool all_distinct_numbers(const Column& c) {
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(c.length));
    each_number(c, nullptr, [&](std::int64_t, double v, const Chunk&, std::int64_t) {
        values.push_back(v);
        return true;
    });
    if (static_cast<std::int64_t>(values.size()) != c.length) return false;
    std::sort(values.begin(), values.end());
    return std::adjacent_find(values.begin(), values.end()) == values.end();
}

}  // namespace morvane::profile
