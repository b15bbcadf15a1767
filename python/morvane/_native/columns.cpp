#include "columns.hpp"

#include <nanobind/stl/string.h>

#include <charconv>
#include <cmath>
#include <cstring>

#include "core/profile/text_index.hpp"
#include "core/profile/unicode_texts.hpp"

namespace morvane::native {

using profile::Chunk;
using profile::Column;
using profile::Phys;

Columns::~Columns() {
    for (auto& a : arrays_)
        if (a->release) a->release(a.get());
    for (auto& s : schemas_)
        if (s->release) s->release(s.get());
}

const Column& Columns::at(std::size_t i) const {
    if (i >= columns_.size()) throw nb::index_error("no such column");
    return columns_[i];
}

std::string Columns::kind(std::size_t i) const {
    return at(i).natural_kind() == profile::Kind::Continuous ? "continuous" : "categorical";
}

namespace {

// A NumPy buffer as a chunk, by its type code.
Chunk buffer_chunk(std::uintptr_t address, std::int64_t length, std::int64_t stride, const std::string& type, bool swap) {
    struct Row { const char* code; Phys phys; };
    static constexpr Row TYPES[] = {
        {"f8", Phys::F64}, {"f4", Phys::F32}, {"i1", Phys::I8}, {"i2", Phys::I16}, {"i4", Phys::I32}, {"i8", Phys::I64},
        {"u1", Phys::U8}, {"u2", Phys::U16}, {"u4", Phys::U32}, {"u8", Phys::U64}, {"b1", Phys::BoolByte},
    };
    Chunk c;
    bool known = false;
    for (const Row& r : TYPES)
        if (type == r.code) { c.phys = r.phys; known = true; }
    if (!known) throw nb::type_error(("unsupported buffer type " + type).c_str());
    if (length < 0) throw nb::value_error("negative length");
    c.data = reinterpret_cast<const std::uint8_t*>(address);
    c.length = length;
    c.stride = stride;
    c.swap = swap;
    return c;
}

// A time 64-bit nanoseconds cannot hold: an error naming the column (when known) and the row,
// rather than a value other readers would wrap onto another date.
[[noreturn]] void throw_out_of_range(const std::string& name, std::int64_t row) {
    const std::string where = name.empty() ? "" : "column '" + name + "' ";
    throw nb::value_error((where + "row " + std::to_string(row) + " holds a time outside the times 64-bit nanoseconds "
                           "hold (1677-09-21 to 2262-04-11): make it missing or move it into that range first").c_str());
}

}  // namespace

std::size_t Columns::add_buffer(nb::object owner, std::uintptr_t address, std::int64_t length, std::int64_t stride,
                                const std::string& type, bool swap) {
    const Chunk c = buffer_chunk(address, length, stride, type, swap);
    owners_.push_back(std::move(owner));
    Column col;
    col.chunks.push_back(c);
    col.length = length;
    columns_.push_back(std::move(col));
    return columns_.size() - 1;
}

// Times in a NumPy buffer of int64 counting `ns_per_unit` nanoseconds each, NaT missing:
// converted once to doubles of nanoseconds, so every kernel reads them as numbers (the copy is
// owned, so the caller's buffer need not be kept).
std::size_t Columns::add_time(nb::object /*owner*/, std::uintptr_t address, std::int64_t length, std::int64_t stride, bool swap,
                              double ns_per_unit, bool duration) {
    const Chunk raw = buffer_chunk(address, length, stride, "i8", swap);
    Column col;
    std::int64_t bad = -1;
    {
        nb::gil_scoped_release release;
        col.chunks.push_back(own_doubles(profile::times_in_ns(raw, ns_per_unit, true, bad)));
    }
    if (bad >= 0) throw_out_of_range("", bad);
    col.length = length;
    col.time = duration ? profile::TimeKind::Duration : profile::TimeKind::Datetime;
    columns_.push_back(std::move(col));
    return columns_.size() - 1;
}

// A NumPy buffer with an Arrow validity bitmap beside it (a bit set for a present value).
std::size_t Columns::add_masked(nb::object owner, std::uintptr_t address, std::int64_t length, std::int64_t stride,
                                const std::string& type, nb::object validity_owner, std::uintptr_t validity) {
    Chunk c = buffer_chunk(address, length, stride, type, false);
    c.validity = reinterpret_cast<const std::uint8_t*>(validity);
    owners_.push_back(std::move(owner));
    owners_.push_back(std::move(validity_owner));
    Column col;
    col.chunks.push_back(c);
    col.length = length;
    columns_.push_back(std::move(col));
    return columns_.size() - 1;
}

// A column of `length` missing values and no type (an empty or all-None list).
std::size_t Columns::add_null(std::int64_t length) {
    if (length < 0) throw nb::value_error("negative length");
    Chunk c;
    c.phys = Phys::Null;
    c.length = length;
    Column col;
    col.chunks.push_back(c);
    col.length = length;
    columns_.push_back(std::move(col));
    return columns_.size() - 1;
}

Chunk Columns::own_doubles(std::vector<double> values) {
    auto owned = std::make_unique<std::vector<double>>(std::move(values));
    Chunk c;
    c.phys = Phys::F64;
    c.data = reinterpret_cast<const std::uint8_t*>(owned->data());
    c.stride = sizeof(double);
    c.length = static_cast<std::int64_t>(owned->size());
    doubles_.push_back(std::move(owned));
    return c;
}

// A converted column added as a new slot: (slot, -1, 0), or (-1, first bad row, its value)
// having added nothing.
std::tuple<std::int64_t, std::int64_t, double> Columns::add_converted(profile::Converted converted, Phys phys) {
    if (converted.bad_row >= 0) return {-1, converted.bad_row, converted.bad_value};
    auto owned = std::make_unique<profile::Converted>(std::move(converted));
    Chunk c;
    c.phys = phys;
    c.stride = phys == Phys::I64 ? 8 : 1;
    c.data = phys == Phys::I64 ? reinterpret_cast<const std::uint8_t*>(owned->integers.data()) : owned->booleans.data();
    c.length = static_cast<std::int64_t>(phys == Phys::I64 ? owned->integers.size() : owned->booleans.size());
    c.validity = owned->validity.data();
    converted_.push_back(std::move(owned));
    Column col;
    col.chunks.push_back(c);
    col.length = c.length;
    columns_.push_back(std::move(col));
    return {static_cast<std::int64_t>(columns_.size() - 1), -1, 0.0};
}

std::tuple<std::int64_t, std::int64_t, double> Columns::as_integers(std::size_t i) {
    profile::Converted c;
    {
        nb::gil_scoped_release release;
        c = profile::to_integers(at(i));
    }
    return add_converted(std::move(c), Phys::I64);
}

std::tuple<std::int64_t, std::int64_t, double> Columns::as_booleans(std::size_t i) {
    profile::Converted c;
    {
        nb::gil_scoped_release release;
        c = profile::to_booleans(at(i));
    }
    return add_converted(std::move(c), Phys::BoolByte);
}

std::size_t Columns::add_strings(nb::list values) {
    auto buf = std::make_unique<StringBuffer>();
    const std::size_t n = nb::len(values);
    buf->offsets.reserve(n + 1);
    buf->offsets.push_back(0);
    buf->validity.assign((n + 7) / 8, 0);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(values.ptr(), static_cast<Py_ssize_t>(i));
        if (item != Py_None) {
            if (!PyUnicode_Check(item)) throw nb::type_error("string column items must be str or None");
            Py_ssize_t size;
            const char* text = PyUnicode_AsUTF8AndSize(item, &size);
            if (!text) throw nb::python_error();
            buf->chars.append(text, static_cast<std::size_t>(size));
            buf->validity[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
        }
        buf->offsets.push_back(static_cast<std::int64_t>(buf->chars.size()));
    }
    Chunk c;
    c.phys = Phys::LargeUtf8;
    c.data = reinterpret_cast<const std::uint8_t*>(buf->offsets.data());
    c.chars = buf->chars.data();
    c.validity = buf->validity.data();
    c.length = static_cast<std::int64_t>(n);
    strings_.push_back(std::move(buf));
    Column col;
    col.chunks.push_back(c);
    col.length = c.length;
    columns_.push_back(std::move(col));
    return columns_.size() - 1;
}

// Python texts (None and float NaN missing) as a dictionary column: each distinct text is
// kept once, each row is a code. Repeated str objects (a column built from a few category
// objects) are recognised by address through a small direct-mapped cache, so most rows cost
// one compare. Returns -1, having added nothing, when the items hold anything else
// (numbers, booleans, other objects) or no text at all: the caller reads them value by value.
template <class Item>
std::int64_t Columns::add_text_items(std::size_t n, Item&& item) {
    auto buf = std::make_unique<StringBuffer>();
    buf->codes.resize(n);
    buf->validity.assign((n + 7) / 8, 0);
    buf->offsets.push_back(0);
    profile::TextIndex distinct;
    constexpr std::size_t CACHE = 1024;
    struct Entry { PyObject* object = nullptr; std::int32_t code = 0; };
    std::vector<Entry> cache(CACHE);
    bool any_text = false;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* it = item(i);
        Entry& e = cache[(reinterpret_cast<std::uintptr_t>(it) >> 4) & (CACHE - 1)];
        if (e.object == it) {
            buf->codes[i] = e.code;
            buf->validity[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
            continue;
        }
        if (it == Py_None || (PyFloat_CheckExact(it) && std::isnan(PyFloat_AS_DOUBLE(it)))) continue;
        if (!PyUnicode_Check(it)) return -1;
        Py_ssize_t size;
        const char* text = PyUnicode_AsUTF8AndSize(it, &size);
        if (!text) throw nb::python_error();
        const std::string_view key(text, static_cast<std::size_t>(size));
        const std::size_t before = distinct.size();
        const auto code = static_cast<std::int32_t>(distinct.insert(key));
        if (distinct.size() > before) {
            buf->chars.append(key);
            buf->offsets.push_back(static_cast<std::int64_t>(buf->chars.size()));
        }
        e = Entry{it, code};
        buf->codes[i] = code;
        buf->validity[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
        any_text = true;
    }
    if (!any_text) return -1;
    return add_dictionary(std::move(buf));
}

std::int64_t Columns::add_texts(nb::list values) {
    return add_text_items(nb::len(values), [&](std::size_t i) { return PyList_GET_ITEM(values.ptr(), static_cast<Py_ssize_t>(i)); });
}

// A NumPy object array read in place (no list of its items is made); the caller keeps it alive.
std::int64_t Columns::add_object_array(std::uintptr_t address, std::int64_t length, std::int64_t stride) {
    if (length < 0) throw nb::value_error("negative length");
    const auto* base = reinterpret_cast<const std::uint8_t*>(address);
    return add_text_items(static_cast<std::size_t>(length), [&](std::size_t i) {
        PyObject* it;
        std::memcpy(&it, base + static_cast<std::int64_t>(i) * stride, sizeof it);
        return it;
    });
}

// A NumPy unicode array read in place, without the GIL: -1, having added nothing, when an
// element holds a code point UTF-8 cannot carry (the caller's element-wise path reports it).
std::int64_t Columns::add_unicode(nb::object owner, std::uintptr_t address, std::int64_t length, std::int64_t stride,
                                  std::int64_t itemsize, bool swap) {
    profile::DictionaryTexts texts;
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = profile::encode_ucs4(reinterpret_cast<const std::uint8_t*>(address), length, stride, itemsize, swap, texts);
    }
    if (!ok || length == 0) return -1;
    auto buf = std::make_unique<StringBuffer>();
    buf->chars = std::move(texts.chars);
    buf->offsets = std::move(texts.offsets);
    buf->codes = std::move(texts.codes);
    owners_.push_back(std::move(owner));
    return add_dictionary(std::move(buf));
}

// Integer codes in a NumPy buffer (pandas categorical codes, -1 missing) over a list of
// str categories, read as a dictionary column without Arrow's conversion. Returns -1,
// having added nothing, when a category is not a str.
std::int64_t Columns::add_codes(nb::object owner, std::uintptr_t address, std::int64_t length, std::int64_t stride,
                                const std::string& type, bool swap, nb::list categories) {
    Chunk c = buffer_chunk(address, length, stride, type, swap);
    if (!c.is_numeric() || c.phys == Phys::F64 || c.phys == Phys::F32) throw nb::type_error("codes must be integers");
    auto buf = std::make_unique<StringBuffer>();
    buf->offsets.push_back(0);
    for (nb::handle item : categories) {
        if (!PyUnicode_Check(item.ptr())) return -1;
        Py_ssize_t size;
        const char* text = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
        if (!text) throw nb::python_error();
        buf->chars.append(text, static_cast<std::size_t>(size));
        buf->offsets.push_back(static_cast<std::int64_t>(buf->chars.size()));
    }
    owners_.push_back(std::move(owner));
    return add_dictionary(std::move(buf), c);
}

// A dictionary column over a buffer's distinct texts (chars, offsets) and row codes.
std::int64_t Columns::add_dictionary(std::unique_ptr<StringBuffer> buf) {
    Chunk c;
    c.phys = Phys::I32;
    c.data = reinterpret_cast<const std::uint8_t*>(buf->codes.data());
    c.stride = sizeof(std::int32_t);
    c.validity = buf->validity.empty() ? nullptr : buf->validity.data();
    c.length = static_cast<std::int64_t>(buf->codes.size());
    return add_dictionary(std::move(buf), c);
}

// The same with the codes given as a chunk (the buffer then holds only the texts).
std::int64_t Columns::add_dictionary(std::unique_ptr<StringBuffer> buf, Chunk c) {
    auto dict = std::make_unique<Chunk>();
    dict->phys = Phys::LargeUtf8;
    dict->data = reinterpret_cast<const std::uint8_t*>(buf->offsets.data());
    dict->chars = buf->chars.data();
    dict->length = static_cast<std::int64_t>(buf->offsets.size() - 1);
    c.dictionary = dict.get();
    dictionaries_.push_back(std::move(dict));
    strings_.push_back(std::move(buf));
    Column col;
    col.chunks.push_back(c);
    col.length = c.length;
    columns_.push_back(std::move(col));
    return static_cast<std::int64_t>(columns_.size() - 1);
}

namespace {

template <class T>
T* capsule_pointer(nb::handle capsule, const char* name) {
    void* p = PyCapsule_GetPointer(capsule.ptr(), name);
    if (!p) throw nb::python_error();
    return static_cast<T*>(p);
}

// A zero-length array with null buffers (and a zero-length dictionary), to type an
// empty column from its schema alone.
const ArrowArray& empty_array() {
    static const void* NO_BUFFERS[8] = {};
    static ArrowArray dictionary{0, 0, 0, 8, 0, NO_BUFFERS, nullptr, nullptr, nullptr, nullptr};
    static ArrowArray array{0, 0, 0, 8, 0, NO_BUFFERS, nullptr, &dictionary, nullptr, nullptr};
    return array;
}

}  // namespace

std::size_t Columns::add_arrow_chunk(Column& column, const ArrowSchema& schema, const ArrowArray& array) {
    Chunk c;
    const std::string err = profile::chunk_from_arrow(schema, array, c, dictionaries_);
    if (!err.empty()) throw nb::type_error(("cannot read " + err).c_str());
    // Times on one scale and decimals as numbers: converted once, read as doubles.
    if (const auto unit = profile::arrow_time_unit(schema.format); unit && !c.dictionary) {
        std::int64_t bad = -1;
        c = own_doubles(profile::times_in_ns(c, unit->ns_per_unit, false, bad));
        if (bad >= 0) throw_out_of_range(schema.name ? schema.name : "", column.length + bad);
        column.time = unit->kind;
    } else if (c.phys == Phys::Decimal128) {
        const std::string_view f(schema.format);
        const auto comma = f.find(',');
        int scale = 0;
        std::from_chars(f.data() + comma + 1, f.data() + f.size(), scale);
        c = own_doubles(profile::decimals_as_doubles(c, scale));
    }
    if (const std::int64_t row = profile::first_invalid_text(c); row >= 0) {
        const std::string where = schema.name && *schema.name ? "column '" + std::string(schema.name) + "' " : "";
        throw nb::value_error((where + "row " + std::to_string(column.length + row) +
                               " holds a text that is not valid UTF-8").c_str());
    }
    column.chunks.push_back(c);
    column.length += c.length;
    return column.chunks.size();
}

std::size_t Columns::add_arrow_array(nb::object schema_capsule, nb::object array_capsule) {
    // Move both structs out of their capsules: the capsules no longer release them.
    auto schema = std::make_unique<ArrowSchema>(*capsule_pointer<ArrowSchema>(schema_capsule, "arrow_schema"));
    capsule_pointer<ArrowSchema>(schema_capsule, "arrow_schema")->release = nullptr;
    auto array = std::make_unique<ArrowArray>(*capsule_pointer<ArrowArray>(array_capsule, "arrow_array"));
    capsule_pointer<ArrowArray>(array_capsule, "arrow_array")->release = nullptr;
    const ArrowSchema& s = *schema;
    const ArrowArray& a = *array;
    schemas_.push_back(std::move(schema));
    arrays_.push_back(std::move(array));
    Column col;
    add_arrow_chunk(col, s, a);
    columns_.push_back(std::move(col));
    return columns_.size() - 1;
}

std::vector<std::pair<std::string, std::size_t>> Columns::add_arrow_stream(nb::object stream_capsule) {
    ArrowArrayStream* source = capsule_pointer<ArrowArrayStream>(stream_capsule, "arrow_array_stream");
    ArrowArrayStream stream = *source;
    source->release = nullptr;
    struct Release {
        ArrowArrayStream* s;
        ~Release() { if (s->release) s->release(s); }
    } release{&stream};

    auto schema = std::make_unique<ArrowSchema>();
    if (stream.get_schema(&stream, schema.get()) != 0) {
        const char* e = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
        throw nb::value_error(("Arrow stream failed: " + std::string(e ? e : "no schema")).c_str());
    }
    const ArrowSchema& s = *schema;
    schemas_.push_back(std::move(schema));
    const bool is_struct = s.format && std::string_view(s.format) == "+s";
    const std::int64_t n_fields = is_struct ? s.n_children : 1;
    if (n_fields < 0 || (is_struct && n_fields > 0 && !s.children)) throw nb::value_error("malformed Arrow schema");
    const std::size_t first = columns_.size();
    std::vector<std::pair<std::string, std::size_t>> out;
    for (std::int64_t f = 0; f < n_fields; ++f) {
        const ArrowSchema* field = is_struct ? s.children[f] : &s;
        out.emplace_back(field->name ? field->name : "", first + static_cast<std::size_t>(f));
        columns_.emplace_back();
    }
    for (;;) {
        auto array = std::make_unique<ArrowArray>();
        array->release = nullptr;
        if (stream.get_next(&stream, array.get()) != 0) {
            const char* e = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
            throw nb::value_error(("Arrow stream failed: " + std::string(e ? e : "no batch")).c_str());
        }
        if (!array->release) break;  // end of stream
        const ArrowArray& a = *array;
        arrays_.push_back(std::move(array));
        if (!is_struct) {
            add_arrow_chunk(columns_[first], s, a);
            continue;
        }
        if (a.n_children != n_fields || !a.children) throw nb::value_error("Arrow batch does not match its schema");
        if (a.null_count != 0 && a.n_buffers > 0 && a.buffers && a.buffers[0])
            throw nb::value_error("Arrow batches with null rows are not supported");
        for (std::int64_t f = 0; f < n_fields; ++f) {
            // A batch's offset applies to its children as well.
            ArrowArray child = *a.children[f];
            if (a.offset != 0) {
                child.offset += a.offset;
                child.length = a.length;
            }
            auto copy = std::make_unique<ArrowArray>(child);
            copy->release = nullptr;  // owned by the batch
            const ArrowArray& cref = *copy;
            arrays_.push_back(std::move(copy));
            add_arrow_chunk(columns_[first + static_cast<std::size_t>(f)], *s.children[f], cref);
        }
    }
    // A stream without batches still gives each column its type: an empty chunk of it.
    for (std::int64_t f = 0; f < n_fields; ++f) {
        Column& col = columns_[first + static_cast<std::size_t>(f)];
        if (col.chunks.empty()) add_arrow_chunk(col, is_struct ? *s.children[f] : s, empty_array());
    }
    return out;
}

}  // namespace morvane::native
