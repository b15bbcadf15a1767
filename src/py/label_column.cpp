#include "py/label_column.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "core/common/utf8.hpp"

namespace morvane::py {

namespace {

constexpr std::uint32_t NO_CODE = UINT32_MAX;
constexpr std::uint64_t GOLDEN = 0x9E3779B97F4A7C15ull;

// A new code for the next distinct text.
std::uint32_t add_text(LabelColumn& out, std::string&& text) {
    if (out.texts.size() >= NO_CODE) throw std::length_error("more distinct labels than 32-bit codes");
    out.texts.push_back(std::move(text));
    return static_cast<std::uint32_t>(out.texts.size() - 1);
}

// Open addressing from a 64-bit hash to a code, at most half full; the caller compares
// contents on a hash match.
class CodeTable {
public:
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t code = NO_CODE;
    };
    // The code of the first slot with this hash for which same(code) holds, or the empty
    // slot where such a code belongs (code NO_CODE).
    template <class Same>
    Slot& find(std::uint64_t hash, Same&& same) {
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.code == NO_CODE || (s.hash == hash && same(s.code))) return s;
        }
    }
    // Fills an empty slot found by `find`, growing the table when it passes half full
    // (which leaves the slot reference dangling).
    void fill(Slot& s, std::uint64_t hash, std::uint32_t code) {
        s = {hash, code};
        if (2 * ++used_ <= slots_.size()) return;
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& o : old) {
            if (o.code == NO_CODE) continue;
            std::size_t i = o.hash & mask_;
            while (slots_[i].code != NO_CODE) i = (i + 1) & mask_;
            slots_[i] = o;
        }
    }

private:
    std::vector<Slot> slots_ = std::vector<Slot>(16);
    std::size_t mask_ = 15;
    std::size_t used_ = 0;
};

// Codes for str objects. Label columns are made of a few objects repeated (interned
// literals, values taken from a short list), so a direct-mapped cache from address to
// code answers most rows without touching the object. Other objects are found by the
// hash CPython caches in every str and compared by content; only a text never seen
// before is encoded to UTF-8.
class StrCodes {
public:
    StrCodes(LabelColumn& out, std::size_t rows) : out_(out) {
        std::size_t size = 16;
        while (size < 2 * rows && size < FIRST_CACHE) size *= 2;
        resize_cache(size);
    }

    // The code of o, or NO_CODE with o's conversion error set. Only an object that stays
    // alive for the whole conversion (`held` by its container) may be remembered by address.
    std::uint32_t code(PyObject* o, bool held) {
        if (!held || cache_.empty()) return by_content(o);
        Seen& s = cache_[(reinterpret_cast<std::uintptr_t>(o) * GOLDEN) >> shift_];
        if (s.object == o) return s.code;
        const std::uint32_t c = by_content(o);
        if (c == NO_CODE) return c;
        s = {o, c};
        // A cache that keeps missing is too small for the column's distinct objects; at
        // its largest size it is dropped (a column of fresh objects costs a random probe
        // of a table outside the L2 cache per row).
        if (++misses_ > cache_.size()) {
            if (cache_.size() < MAX_CACHE) resize_cache(cache_.size() * 4);
            else cache_.clear();
        }
        return c;
    }

private:
    static constexpr std::size_t FIRST_CACHE = 1024;
    static constexpr std::size_t MAX_CACHE = 1 << 16;
    struct Seen {
        PyObject* object = nullptr;
        std::uint32_t code = NO_CODE;
    };

    void resize_cache(std::size_t size) {
        cache_.assign(size, Seen{});
        shift_ = 64 - std::countr_zero(size);
        misses_ = 0;
    }

    // Valid str objects are canonical: equal texts have the same kind, length and bytes,
    // as the interpreter's own comparison assumes.
    static bool same_text(PyObject* a, PyObject* b) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        const int kind = PyUnicode_KIND(a);
        return n == PyUnicode_GET_LENGTH(b) && kind == static_cast<int>(PyUnicode_KIND(b)) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * static_cast<std::size_t>(kind)) == 0;
    }

    std::uint32_t by_content(PyObject* o) {
        if (!PyUnicode_Check(o)) return type_mismatch(o, "PyString"), NO_CODE;
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(o) < 0) return NO_CODE;
#endif
        // The base type's hash, never a subclass's __hash__: it runs no Python code and
        // is cached in the object.
        Py_hash_t h = reinterpret_cast<PyASCIIObject*>(o)->hash;
        if (h == -1 && (h = PyUnicode_Type.tp_hash(o)) == -1) return NO_CODE;
        const auto hash = static_cast<std::uint64_t>(h);
        auto& slot = table_.find(hash, [&](std::uint32_t c) { return same_text(held_[c].get(), o); });
        if (slot.code != NO_CODE) return slot.code;
        std::string text;
        if (!to_string(o, text)) return NO_CODE;
        const std::uint32_t c = add_text(out_, std::move(text));
        held_.push_back(Ref::borrow(o));
        table_.fill(slot, hash, c);
        return c;
    }

    LabelColumn& out_;
    std::vector<Seen> cache_;
    int shift_ = 0;
    std::size_t misses_ = 0;
    CodeTable table_;
    std::vector<Ref> held_;  // per code, an object with its text, alive while compared against
};

// Rows of objects that their container keeps alive while nothing runs Python code
// (a list, an object array); at(i) is the i-th object.
template <class At>
bool held_objects(std::size_t rows, At&& at, LabelColumn& out) {
    StrCodes codes(out, rows);
    out.codes.resize(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint32_t c = codes.code(at(i), true);
        if (c == NO_CODE) return false;
        out.codes[i] = c;
    }
    return true;
}

// Any other sequence, through the iteration protocol: its items may be temporaries.
bool iterated_objects(PyObject* o, LabelColumn& out) {
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) return false;
    StrCodes codes(out, 0);  // no address is remembered
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        const std::uint32_t c = codes.code(item.get(), false);
        if (c == NO_CODE) return false;
        out.codes.push_back(c);
    }
    return !PyErr_Occurred();
}

// Words times distinct odd multipliers, summed: the products are independent (no chain
// of multiply latencies per element), and keys that differ in one word never collide.
// A final mix spreads every bit into the low bits that index the table.
std::uint64_t hash_bytes(const char* p, std::size_t n) {
    std::uint64_t h = n;
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + k, 8);
        h += w * (GOLDEN + 2 * k);
    }
    if (k < n) {  // widths are whole code points: 4 bytes remain
        std::uint32_t w;
        std::memcpy(&w, p + k, 4);
        h += w * (GOLDEN + 2 * k);
    }
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h;
}

// The text of element i of a UCS4 array: its code points up to the last non-NUL one, as
// a NumPy str scalar holds them. Code points that no str can encode to UTF-8 (surrogates,
// values past U+10FFFF) are read through the element's scalar, which raises its error.
bool ucs4_text(PyArrayObject* a, std::size_t i, const char* e, std::size_t width, std::string& text) {
    std::size_t n = width / 4;
    const auto at = [&](std::size_t j) {
        std::uint32_t c;
        std::memcpy(&c, e + 4 * j, 4);
        return c;
    };
    while (n > 0 && at(n - 1) == 0) --n;
    text.reserve(n);
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t c = at(j);
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            Ref item = Ref::steal(PySequence_GetItem(reinterpret_cast<PyObject*>(a), static_cast<Py_ssize_t>(i)));
            text.clear();
            return item && to_string(item.get(), text);
        }
        append_utf8(text, static_cast<char32_t>(c));
    }
    return true;
}

// A one-dimensional native-order unicode array, read as raw code points without Python
// objects: the width is fixed and the padding NUL, so equal elements are equal bytes.
bool ucs4_elements(PyArrayObject* a, LabelColumn& out) {
    const char* base = PyArray_BYTES(a);
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const auto rows = static_cast<std::size_t>(PyArray_DIM(a, 0));
    const auto width = static_cast<std::size_t>(PyArray_ITEMSIZE(a));
    CodeTable table;
    std::vector<char> keys;  // each distinct element's bytes, by code
    out.codes.resize(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        const char* e = base + static_cast<npy_intp>(i) * stride;
        const std::uint64_t hash = hash_bytes(e, width);
        auto& slot = table.find(hash, [&](std::uint32_t c) {
            return width == 0 || std::memcmp(keys.data() + c * width, e, width) == 0;
        });
        std::uint32_t code = slot.code;
        if (code == NO_CODE) {
            std::string text;
            if (!ucs4_text(a, i, e, width, text)) return false;
            keys.insert(keys.end(), e, e + width);
            code = add_text(out, std::move(text));
            table.fill(slot, hash, code);
        }
        out.codes[i] = code;
    }
    return true;
}

}  // namespace

bool From<LabelColumn>::convert(PyObject* o, LabelColumn& v) {
    Py_ssize_t reserve = 0;
    if (!sequence_front(o, reserve)) return false;
    LabelColumn out;
    bool ok;
    if (PyList_CheckExact(o)) {
        PyObject** items = reinterpret_cast<PyListObject*>(o)->ob_item;
        ok = held_objects(static_cast<std::size_t>(PyList_GET_SIZE(o)), [&](std::size_t i) { return items[i]; }, out);
    } else if (auto* a = reinterpret_cast<PyArrayObject*>(o); PyArray_CheckExact(o) && PyArray_NDIM(a) == 1 &&
                                                              PyArray_TYPE(a) == NPY_OBJECT) {
        // An empty slot reads as None, as the array's own item access gives it.
        const char* base = PyArray_BYTES(a);
        const npy_intp stride = PyArray_STRIDE(a, 0);
        ok = held_objects(static_cast<std::size_t>(PyArray_DIM(a, 0)), [&](std::size_t i) {
            PyObject* item;
            std::memcpy(&item, base + static_cast<npy_intp>(i) * stride, sizeof item);
            return item ? item : Py_None;
        }, out);
    } else if (PyArray_CheckExact(o) && PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == NPY_UNICODE && PyArray_ISNOTSWAPPED(a)) {
        ok = ucs4_elements(a, out);
    } else {
        out.codes.reserve(static_cast<std::size_t>(reserve));
        ok = iterated_objects(o, out);
    }
    if (!ok) return false;
    v = std::move(out);
    return true;
}

}  // namespace morvane::py
