// The columns of one table as the profile core sees them, built from Python objects
// once: NumPy buffers by address and stride, Arrow C data / C stream capsules (the
// structs are moved out of their capsules and released when the columns are dropped),
// lists and object arrays of Python strings copied into one Arrow-like buffer, and NumPy
// unicode arrays converted once per distinct element.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <tuple>
#include <string>
#include <vector>

#include "core/profile/column.hpp"
#include "core/profile/conversions.hpp"

namespace nb = nanobind;

namespace morvane::native {

class Columns {
public:
    Columns() = default;
    Columns(const Columns&) = delete;
    Columns& operator=(const Columns&) = delete;
    ~Columns();

    std::size_t add_buffer(nb::object owner, std::uintptr_t address, std::int64_t length, std::int64_t stride,
                           const std::string& type, bool swap);
    std::size_t add_strings(nb::list values);
    std::int64_t add_texts(nb::list values);
    std::int64_t add_object_array(std::uintptr_t address, std::int64_t length, std::int64_t stride);
    std::int64_t add_codes(nb::object owner, std::uintptr_t address, std::int64_t length, std::int64_t stride,
                           const std::string& type, bool swap, nb::list categories);
    std::int64_t add_unicode(nb::object owner, std::uintptr_t address, std::int64_t length, std::int64_t stride,
                             std::int64_t itemsize, bool swap);
    std::size_t add_time(nb::object owner, std::uintptr_t address, std::int64_t length, std::int64_t stride, bool swap,
                         double ns_per_unit, bool duration);
    std::size_t add_masked(nb::object owner, std::uintptr_t address, std::int64_t length, std::int64_t stride,
                           const std::string& type, nb::object validity_owner, std::uintptr_t validity);
    std::size_t add_null(std::int64_t length);
    std::tuple<std::int64_t, std::int64_t, double> as_integers(std::size_t i);
    std::tuple<std::int64_t, std::int64_t, double> as_booleans(std::size_t i);
    std::size_t add_arrow_array(nb::object schema_capsule, nb::object array_capsule);
    std::vector<std::pair<std::string, std::size_t>> add_arrow_stream(nb::object stream_capsule);

    const profile::Column& at(std::size_t i) const;
    std::size_t size() const { return columns_.size(); }
    std::string kind(std::size_t i) const;
    bool is_integer(std::size_t i) const { return at(i).is_integer(); }
    bool is_float(std::size_t i) const { return at(i).is_float(); }
    std::string type(std::size_t i) const { return std::string(profile::value_type(at(i))); }
    std::int64_t length(std::size_t i) const { return at(i).length; }

private:
    struct StringBuffer {
        std::string chars;
        std::vector<std::int64_t> offsets;
        std::vector<std::uint8_t> validity;
        std::vector<std::int32_t> codes;  // rows as indices into the distinct texts (add_texts)
    };
    template <class Item>
    std::int64_t add_text_items(std::size_t n, Item&& item);
    std::int64_t add_dictionary(std::unique_ptr<StringBuffer> buf);
    std::int64_t add_dictionary(std::unique_ptr<StringBuffer> buf, profile::Chunk codes);
    std::size_t add_arrow_chunk(profile::Column& column, const ArrowSchema& schema, const ArrowArray& array);
    profile::Chunk own_doubles(std::vector<double> values);
    std::tuple<std::int64_t, std::int64_t, double> add_converted(profile::Converted converted, profile::Phys phys);

    std::vector<profile::Column> columns_;
    std::vector<nb::object> owners_;
    std::vector<std::unique_ptr<StringBuffer>> strings_;
    std::vector<std::unique_ptr<profile::Chunk>> dictionaries_;
    std::vector<std::unique_ptr<ArrowSchema>> schemas_;
    std::vector<std::unique_ptr<ArrowArray>> arrays_;
    std::vector<std::unique_ptr<std::vector<double>>> doubles_;        // times and decimals, converted
    std::vector<std::unique_ptr<profile::Converted>> converted_;       // window columns read as the reference's type
};

}  // namespace morvane::native
