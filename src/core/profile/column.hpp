// A column as the profile core reads it: chunks of typed memory (NumPy buffers at any
// stride and byte order, or Arrow arrays with offsets, validity bitmaps, string
// offsets, string views and dictionaries), never copied.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/profile/arrow_abi.hpp"

namespace morvane::profile {

// Decimal128 is only ever seen by the binding, which reads it as doubles at once.
enum class Phys : std::uint8_t { F64, F32, I8, I16, I32, I64, U8, U16, U32, U64, BoolByte, BoolBit, Utf8, LargeUtf8, Utf8View, Null,
                                 Decimal128 };

// What a column's type makes it: numbers are continuous; booleans, strings and
// dictionaries categorical.
enum class Kind : std::uint8_t { Continuous, Categorical };

// A column of times, read as doubles of nanoseconds (UTC for datetimes) whatever the
// source's unit: which kind of time it holds, so messages and reports can say so.
enum class TimeKind : std::uint8_t { None, Datetime, Duration };

struct Chunk {
    Phys phys = Phys::Null;
    const std::uint8_t* data = nullptr;      // values, string offsets or string views
    std::int64_t stride = 0;                 // bytes between values (fixed-width types)
    std::int64_t offset = 0;                 // Arrow element offset into data and validity
    std::int64_t length = 0;
    const std::uint8_t* validity = nullptr;  // Arrow bitmap, null when every value is valid
    const char* chars = nullptr;             // string bytes (Utf8, LargeUtf8)
    const char* const* view_buffers = nullptr;  // data buffers of Utf8View
    std::int64_t n_view_buffers = 0;
    bool swap = false;                       // values stored in the other byte order
    const Chunk* dictionary = nullptr;       // this chunk holds integer indices into it

    bool valid(std::int64_t i) const {
        if (!validity) return true;
        const std::int64_t b = offset + i;
        return (validity[b >> 3] >> (b & 7)) & 1;
    }
    bool is_numeric() const { return phys <= Phys::U64; }
    bool is_bool() const { return phys == Phys::BoolByte || phys == Phys::BoolBit; }
    bool is_string() const { return phys == Phys::Utf8 || phys == Phys::LargeUtf8 || phys == Phys::Utf8View; }

    // The numeric value of element i (integers and booleans widened to double).
    double number(std::int64_t i) const;
    // An integer dictionary index (negative or out of range is treated as missing by callers).
    std::int64_t index(std::int64_t i) const;
    std::string_view string(std::int64_t i) const;
};

struct Column {
    std::vector<Chunk> chunks;
    std::int64_t length = 0;
    TimeKind time = TimeKind::None;

    Kind natural_kind() const;
    bool is_integer() const;  // integer type (a candidate for categorical codes)
    bool is_float() const;
};

template <class T>
inline T load(const std::uint8_t* p, bool swap) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if (swap) {
        if constexpr (sizeof(T) == 2) {
            std::uint16_t u; std::memcpy(&u, &v, 2); u = std::byteswap(u); std::memcpy(&v, &u, 2);
        } else if constexpr (sizeof(T) == 4) {
            std::uint32_t u; std::memcpy(&u, &v, 4); u = std::byteswap(u); std::memcpy(&v, &u, 4);
        } else if constexpr (sizeof(T) == 8) {
            std::uint64_t u; std::memcpy(&u, &v, 8); u = std::byteswap(u); std::memcpy(&v, &u, 8);
        }
    }
    return v;
}

// Calls f(type tag) with the C++ type of a numeric chunk, so kernels are written once
// per layout and instantiated per width.
template <class F>
decltype(auto) dispatch_numeric(Phys p, F&& f) {
    switch (p) {
        case Phys::F64: return f(double{});
        case Phys::F32: return f(float{});
        case Phys::I8: return f(std::int8_t{});
        case Phys::I16: return f(std::int16_t{});
        case Phys::I32: return f(std::int32_t{});
        case Phys::I64: return f(std::int64_t{});
        case Phys::U8: return f(std::uint8_t{});
        case Phys::U16: return f(std::uint16_t{});
        case Phys::U32: return f(std::uint32_t{});
        default: return f(std::uint64_t{});
    }
}

// The category text of a value: booleans "False"/"True", integers in decimal, floats
// in their shortest round-trip form (integral ones with ".0"), strings as they are.
std::string_view category_key(const Chunk& c, std::int64_t i, std::string& scratch, bool& missing);

// The first row of a text chunk (or of a chunk coded over a text dictionary) whose text is not
// valid UTF-8, or -1: such texts cannot become labels, and replacing their bad bytes would merge them.
std::int64_t first_invalid_text(const Chunk& c);

// Calls on_key(i, text, overread) for every present element of a non-dictionary chunk
// and on_missing(i) for the others; Arrow strings are read straight from their offsets,
// and `overread` says eight bytes from the text's start lie inside the chunk's bytes.
template <class OnKey, class OnMissing>
void visit_keys(const Chunk& c, std::string& scratch, OnKey&& on_key, OnMissing&& on_missing) {
    auto strings = [&](auto offset_tag) {
        using O = decltype(offset_tag);
        const O* off = reinterpret_cast<const O*>(c.data) + c.offset;
        O end;  // the texts' bytes end here: eight bytes from a text before it are readable
        std::memcpy(&end, off + c.length, sizeof end);
        for (std::int64_t i = 0; i < c.length; ++i) {
            if (!c.valid(i)) { on_missing(i); continue; }
            O a, b;
            std::memcpy(&a, off + i, sizeof a);
            std::memcpy(&b, off + i + 1, sizeof b);
            on_key(i, std::string_view(c.chars + a, static_cast<std::size_t>(b - a)), a <= end - 8);
        }
    };
    if (c.phys == Phys::Utf8 && c.length > 0) return strings(std::int32_t{});
    if (c.phys == Phys::LargeUtf8 && c.length > 0) return strings(std::int64_t{});
    for (std::int64_t i = 0; i < c.length; ++i) {
        bool missing;
        const std::string_view key = category_key(c, i, scratch, missing);
        if (missing) on_missing(i);
        else on_key(i, key, false);
    }
}

// Calls f(code) for every element of a dictionary or boolean chunk: the dictionary index
// (or 0/1), −1 for a null. The index type is dispatched once, not per element.
template <class F>
void for_each_code(const Chunk& c, F&& f) {
    if (!c.dictionary) {
        for (std::int64_t i = 0; i < c.length; ++i) f(c.valid(i) ? static_cast<std::int64_t>(c.number(i) != 0.0) : std::int64_t{-1});
        return;
    }
    dispatch_numeric(c.phys, [&](auto tag) {
        using T = decltype(tag);
        const std::uint8_t* base = c.data + c.offset * c.stride;
        for (std::int64_t i = 0; i < c.length; ++i) {
            if constexpr (std::is_floating_point_v<T>) {
                f(std::int64_t{-1});
            } else {
                if (c.validity && !c.valid(i)) { f(std::int64_t{-1}); continue; }
                const T v = load<T>(base + i * c.stride, c.swap);
                if constexpr (std::is_unsigned_v<T>) f(v > static_cast<std::uint64_t>(INT64_MAX) ? std::int64_t{-1} : static_cast<std::int64_t>(v));
                else f(static_cast<std::int64_t>(v));
            }
        }
    });
}

// The unit of an Arrow time format (timestamp, date, time of day, duration) in
// nanoseconds and the kind of time it is; nullopt for any other format.
struct TimeUnit {
    double ns_per_unit;
    TimeKind kind;
};
std::optional<TimeUnit> arrow_time_unit(std::string_view format);

// Validates an Arrow array against its schema and describes it as chunks (the
// dictionary chunk is appended to `dictionaries`, which must outlive the result).
// Returns an empty string on success, or what is unsupported or malformed.
std::string chunk_from_arrow(const ArrowSchema& schema, const ArrowArray& array, Chunk& out,
                             std::vector<std::unique_ptr<Chunk>>& dictionaries);

}  // namespace morvane::profile
