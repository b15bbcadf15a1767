#include "core/profile/column.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace morvane::profile {

double Chunk::number(std::int64_t i) const {
    const std::int64_t j = offset + i;
    switch (phys) {
        case Phys::BoolBit: return (data[j >> 3] >> (j & 7)) & 1;
        case Phys::BoolByte: return data[j * stride] != 0;
        case Phys::Null: return std::nan("");
        default: break;
    }
    if (!is_numeric()) return std::nan("");
    return dispatch_numeric(phys, [&](auto tag) {
        using T = decltype(tag);
        return static_cast<double>(load<T>(data + j * stride, swap));
    });
}

std::int64_t Chunk::index(std::int64_t i) const {
    const std::int64_t j = offset + i;
    return dispatch_numeric(phys, [&](auto tag) -> std::int64_t {
        using T = decltype(tag);
        if constexpr (std::is_floating_point_v<T>) return -1;
        else {
            const T v = load<T>(data + j * stride, swap);
            if constexpr (std::is_unsigned_v<T>) return v > static_cast<std::uint64_t>(INT64_MAX) ? -1 : static_cast<std::int64_t>(v);
            else return static_cast<std::int64_t>(v);
        }
    });
}

std::string_view Chunk::string(std::int64_t i) const {
    const std::int64_t j = offset + i;
    switch (phys) {
        case Phys::Utf8: {
            const auto* o = reinterpret_cast<const std::uint8_t*>(data);
            const std::int32_t a = load<std::int32_t>(o + 4 * j, false), b = load<std::int32_t>(o + 4 * (j + 1), false);
            return {chars + a, static_cast<std::size_t>(b - a)};
        }
        case Phys::LargeUtf8: {
            const std::int64_t a = load<std::int64_t>(data + 8 * j, false), b = load<std::int64_t>(data + 8 * (j + 1), false);
            return {chars + a, static_cast<std::size_t>(b - a)};
        }
        case Phys::Utf8View: {
            const std::uint8_t* v = data + 16 * j;
            const std::int32_t len = load<std::int32_t>(v, false);
            if (len <= 12) return {reinterpret_cast<const char*>(v + 4), static_cast<std::size_t>(len)};
            const std::int32_t buf = load<std::int32_t>(v + 8, false), off = load<std::int32_t>(v + 12, false);
            if (buf < 0 || buf >= n_view_buffers || off < 0) return {};
            return {view_buffers[buf] + off, static_cast<std::size_t>(len)};
        }
        default: return {};
    }
}

Kind Column::natural_kind() const {
    for (const Chunk& c : chunks) {
        if (c.dictionary || c.is_bool() || c.is_string()) return Kind::Categorical;
        if (c.is_numeric()) return Kind::Continuous;
    }
    return Kind::Continuous;
}

bool Column::is_integer() const {
    for (const Chunk& c : chunks)
        if (c.phys != Phys::Null) return !c.dictionary && c.is_numeric() && c.phys != Phys::F64 && c.phys != Phys::F32;
    return false;
}

bool Column::is_float() const {
    for (const Chunk& c : chunks)
        if (c.phys != Phys::Null) return !c.dictionary && (c.phys == Phys::F64 || c.phys == Phys::F32);
    return false;
}

namespace {

std::string_view format_double(double v, std::string& scratch) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
    scratch.assign(s);
    if (std::isfinite(v) && s.find_first_of(".e") == std::string_view::npos) scratch += ".0";
    if (std::isinf(v)) scratch = v > 0 ? "inf" : "-inf";
    return scratch;
}

}  // namespace

std::string_view category_key(const Chunk& c, std::int64_t i, std::string& scratch, bool& missing) {
    missing = !c.valid(i);
    if (missing) return {};
    if (c.dictionary) {
        const std::int64_t k = c.index(i);
        if (k < 0 || k >= c.dictionary->length) { missing = true; return {}; }
        return category_key(*c.dictionary, k, scratch, missing);
    }
    if (c.is_string()) return c.string(i);
    if (c.is_bool()) return c.number(i) != 0.0 ? std::string_view("True") : std::string_view("False");
    if (c.phys == Phys::F64 || c.phys == Phys::F32) {
        const double v = c.number(i);
        if (std::isnan(v)) { missing = true; return {}; }
        return format_double(v, scratch);
    }
    if (c.is_numeric()) {
        char buf[32];
        const std::int64_t j = c.offset + i;
        auto r = dispatch_numeric(c.phys, [&](auto tag) {
            using T = decltype(tag);
            if constexpr (std::is_floating_point_v<T>) return std::to_chars(buf, buf + 32, 0);
            else return std::to_chars(buf, buf + 32, load<T>(c.data + j * c.stride, c.swap));
        });
        scratch.assign(buf, r.ptr);
        return scratch;
    }
    missing = true;
    return {};
}

namespace {

// Well-formed UTF-8 (no overlong forms, surrogates or code points above U+10FFFF).
bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const unsigned c = *p;
        if (c < 0x80) { ++p; continue; }
        std::ptrdiff_t n;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) n = 1;
        else if (c >= 0xE0 && c <= 0xEF) { n = 2; if (c == 0xE0) lo = 0xA0; if (c == 0xED) hi = 0x9F; }
        else if (c >= 0xF0 && c <= 0xF4) { n = 3; if (c == 0xF0) lo = 0x90; if (c == 0xF4) hi = 0x8F; }
        else return false;
        if (end - p <= n) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::ptrdiff_t k = 2; k <= n; ++k)
            if ((p[k] & 0xC0) != 0x80) return false;
        p += n + 1;
    }
    return true;
}

}  // namespace

std::int64_t first_invalid_text(const Chunk& c) {
    if (!c.dictionary) {
        if (!c.is_string()) return -1;
        for (std::int64_t i = 0; i < c.length; ++i)
            if (c.valid(i) && !valid_utf8(c.string(i))) return i;
        return -1;
    }
    // Coded over a dictionary: each distinct text checked once, then the first row using a bad one.
    const Chunk& texts = *c.dictionary;
    if (!texts.is_string()) return -1;
    std::vector<std::uint8_t> bad;
    for (std::int64_t k = 0; k < texts.length; ++k) {
        if (!texts.valid(k) || valid_utf8(texts.string(k))) continue;
        if (bad.empty()) bad.assign(static_cast<std::size_t>(texts.length), 0);
        bad[static_cast<std::size_t>(k)] = 1;
    }
    if (bad.empty()) return -1;
    for (std::int64_t i = 0; i < c.length; ++i) {
        const std::int64_t k = c.valid(i) ? c.index(i) : -1;
        if (k >= 0 && k < texts.length && bad[static_cast<std::size_t>(k)]) return i;
    }
    return -1;
}

namespace {

bool fixed_width(std::string_view f, Phys& p, std::int64_t& width) {
    struct Row { const char* f; Phys p; std::int64_t w; };
    static constexpr Row ROWS[] = {
        {"g", Phys::F64, 8}, {"f", Phys::F32, 4}, {"c", Phys::I8, 1},  {"s", Phys::I16, 2}, {"i", Phys::I32, 4},
        {"l", Phys::I64, 8}, {"C", Phys::U8, 1},  {"S", Phys::U16, 2}, {"I", Phys::U32, 4}, {"L", Phys::U64, 8},
        {"tdD", Phys::I32, 4}, {"tdm", Phys::I64, 8}, {"tts", Phys::I32, 4}, {"ttm", Phys::I32, 4},
        {"ttu", Phys::I64, 8}, {"ttn", Phys::I64, 8},
    };
    for (const Row& r : ROWS)
        if (f == r.f) { p = r.p; width = r.w; return true; }
    // Timestamps and durations are 64-bit integers whatever their unit or zone.
    if (f.starts_with("ts") || f.starts_with("tD")) { p = Phys::I64; width = 8; return true; }
    return false;
}

}  // namespace

std::optional<TimeUnit> arrow_time_unit(std::string_view f) {
    if (f.size() < 3 || f[0] != 't') return std::nullopt;
    auto unit = [](char u) -> double {
        switch (u) {
            case 's': return 1e9;
            case 'm': return 1e6;
            case 'u': return 1e3;
            case 'n': return 1.0;
            default: return 0.0;
        }
    };
    double ns = 0.0;
    TimeKind kind = TimeKind::Duration;
    if (f[1] == 's') { ns = unit(f[2]); kind = TimeKind::Datetime; }                       // timestamp, any zone
    else if (f[1] == 'd') { ns = f[2] == 'D' ? 86400e9 : f[2] == 'm' ? 1e6 : 0.0; kind = TimeKind::Datetime; }  // date
    else if (f[1] == 'D' || f[1] == 't') ns = unit(f[2]);                                  // duration, time of day
    if (ns == 0.0) return std::nullopt;
    return TimeUnit{ns, kind};
}

std::string chunk_from_arrow(const ArrowSchema& schema, const ArrowArray& array, Chunk& out,
                             std::vector<std::unique_ptr<Chunk>>& dictionaries) {
    if (!schema.format) return "an Arrow schema without a format";
    const std::string_view f(schema.format);
    if (array.length < 0 || array.offset < 0) return "a negative Arrow length or offset";
    out = Chunk{};
    out.length = array.length;
    out.offset = array.offset;
    auto buffer = [&](std::int64_t k) -> const std::uint8_t* {
        return k < array.n_buffers && array.buffers ? static_cast<const std::uint8_t*>(array.buffers[k]) : nullptr;
    };
    if (f == "n") {
        out.phys = Phys::Null;
        return {};
    }
    if (array.n_buffers < 1 || !array.buffers) return "an Arrow array without buffers";
    out.validity = array.null_count == 0 ? nullptr : buffer(0);
    std::int64_t width = 0;
    Phys p;
    if (fixed_width(f, p, width)) {
        out.phys = p;
        out.stride = width;
        out.data = buffer(1);
        if (!out.data && array.length > 0) return "an Arrow array without its values buffer";
    } else if (f.starts_with("d:") && std::count(f.begin(), f.end(), ',') == 1) {  // decimal128
        out.phys = Phys::Decimal128;
        out.stride = 16;
        out.data = buffer(1);
        if (!out.data && array.length > 0) return "an Arrow array without its values buffer";
    } else if (f == "b") {
        out.phys = Phys::BoolBit;
        out.data = buffer(1);
        if (!out.data && array.length > 0) return "an Arrow array without its values buffer";
    } else if (f == "u" || f == "U") {
        out.phys = f == "u" ? Phys::Utf8 : Phys::LargeUtf8;
        out.data = buffer(1);
        out.chars = reinterpret_cast<const char*>(buffer(2));
        if ((!out.data || !out.chars) && array.length > 0) return "an Arrow string array without its buffers";
    } else if (f == "vu") {
        out.phys = Phys::Utf8View;
        out.data = buffer(1);
        if (!out.data && array.length > 0) return "an Arrow string view array without its views";
        out.n_view_buffers = array.n_buffers - 3;  // validity, views, data buffers..., sizes
        out.view_buffers = reinterpret_cast<const char* const*>(array.buffers + 2);
    } else {
        return "an unsupported Arrow type '" + std::string(f) + "'";
    }
    if (schema.dictionary) {
        if (!array.dictionary) return "an Arrow dictionary array without its dictionary";
        if (!out.is_numeric() || out.phys == Phys::F64 || out.phys == Phys::F32) return "Arrow dictionary indices that are not integers";
        auto dict = std::make_unique<Chunk>();
        std::string err = chunk_from_arrow(*schema.dictionary, *array.dictionary, *dict, dictionaries);
        if (!err.empty()) return err;
        out.dictionary = dict.get();
        dictionaries.push_back(std::move(dict));
    }
    return {};
}

}  // namespace morvane::profile
