#include "core/profile/joint.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/common/cpu_dispatch.hpp"
#include "core/profile/parallel.hpp"
#include "core/profile/present_values.hpp"

namespace morvane::profile {

namespace {

// Rows per block. Fixed points are integers of at most 2^20, products at most 2^40, so a
// block's sums of products stay below 2^51: doubles hold them exactly, in any order of addition,
// which lets the products run as vectorised floating-point arithmetic.
constexpr std::int64_t BLOCK = 512;
constexpr double ROUNDING = 6755399441055744.0;  // 1.5 * 2^52: (x + R) - R rounds x to an integer, ties to even

// The values of rows [start, start + count) of a column as doubles, NaN where missing.
void read_rows(const Column& c, std::int64_t start, std::int64_t count, double* out) {
    std::int64_t at = 0;  // the first row of the current chunk
    for (const Chunk& ch : c.chunks) {
        const std::int64_t lo = std::max(start, at), hi = std::min(start + count, at + ch.length);
        if (lo < hi && ch.phys == Phys::F64 && !ch.dictionary && !ch.validity && !ch.swap && ch.stride == 8) {
            std::memcpy(out + (lo - start), ch.data + (ch.offset + lo - at) * 8, static_cast<std::size_t>(hi - lo) * 8);
        } else {
            for (std::int64_t r = lo; r < hi; ++r) {
                const std::int64_t i = r - at;
                const bool usable = !ch.dictionary && (ch.is_numeric() || ch.is_bool()) && ch.valid(i);
                out[r - start] = usable ? ch.number(i) : std::nan("");
            }
        }
        at += ch.length;
        if (at >= start + count) break;
    }
}

// One column of a block: its fixed points into column i of the row-major block `q` (`k` wide),
// their squares onto each row's norm, and their sum.
double quantise(const double* values, std::int64_t rows, double centre, double inverse, std::size_t i, std::size_t k,
                double* q, double* norm) {
    const double scale = std::ldexp(1.0, JOINT_FRACTION_BITS);
    double sums[4] = {};
    for (std::int64_t r = 0; r < rows; ++r) {
        double z = (values[r] - centre) * inverse;
        z = z == z ? z : 0.0;  // missing: the reference's mean
        z = std::max(-JOINT_LIMIT, std::min(z, JOINT_LIMIT)) * scale;
        z = (z + ROUNDING) - ROUNDING;
        q[static_cast<std::size_t>(r) * k + i] = z;
        norm[r] += z * z;  // at most 4096 * 2^40: exact
        sums[r & 3] += z;
    }
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

// The products of a block onto `acc` (width x width, rows of the block `width` wide with zero
// padding, width a multiple of 4): four rows' outer products at a time over whole vectors from
// the diagonal's vector onwards, so each accumulator is loaded and stored once per four rows.
// (Entries below the diagonal are summed too and ignored.)
void add_products(const double* q, std::int64_t rows, std::size_t width, double* acc) {
    std::int64_t b = 0;
    for (; b + 4 <= rows; b += 4) {
        const double* r0 = q + static_cast<std::size_t>(b) * width;
        const double *r1 = r0 + width, *r2 = r1 + width, *r3 = r2 + width;
        for (std::size_t i = 0; i < width; ++i) {
            const double a0 = r0[i], a1 = r1[i], a2 = r2[i], a3 = r3[i];
            double* out = acc + i * width;
            for (std::size_t j = i & ~std::size_t{3}; j < width; ++j)
                out[j] += ((a0 * r0[j] + a1 * r1[j]) + (a2 * r2[j] + a3 * r3[j]));
        }
    }
    for (; b < rows; ++b) {
        const double* r0 = q + static_cast<std::size_t>(b) * width;
        for (std::size_t i = 0; i < width; ++i) {
            double* out = acc + i * width;
            for (std::size_t j = i & ~std::size_t{3}; j < width; ++j) out[j] += r0[i] * r0[j];
        }
    }
}

void add_block(const std::vector<const Column*>& columns, const std::vector<double>& centre,
               const std::vector<double>& inverse, std::int64_t start, std::int64_t rows, std::vector<double>& values,
               std::vector<double>& q, std::vector<double>& norm, std::vector<double>& acc, JointSums& s) {
    const std::size_t k = columns.size(), width = (k + 3) & ~std::size_t{3};
    std::fill(norm.begin(), norm.end(), 0.0);
    std::fill(acc.begin(), acc.end(), 0.0);
    with_best_isa([&] {
        for (std::size_t i = 0; i < k; ++i) {
            read_rows(*columns[i], start, rows, values.data());
            s.first[i] += static_cast<std::int64_t>(quantise(values.data(), rows, centre[i], inverse[i], i, width,
                                                              q.data(), norm.data()));
        }
        add_products(q.data(), rows, width, acc.data());
    });
    std::size_t at = 0;
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = i; j < k; ++j) s.second[at++] += static_cast<std::int64_t>(acc[i * width + j]);
        __int128 fourth = 0;  // each z^4 at most 2^80: exact in 128 bits
        for (std::int64_t b = 0; b < rows; ++b) {
            const auto z = static_cast<std::int64_t>(q[static_cast<std::size_t>(b) * width + i]);
            fourth += static_cast<__int128>(z * z) * (z * z);
        }
        s.fourth[i] += fourth;
    }
    const double unit = std::ldexp(1.0, -2 * JOINT_FRACTION_BITS);
    for (std::int64_t b = 0; b < rows; ++b) {
        const double t = norm[static_cast<std::size_t>(b)] * unit;
        s.norm_fourth.add(t * t);
    }
    s.n += rows;
}

JointSums empty_sums(std::size_t k) {
    JointSums s;
    s.first.assign(k, 0);
    s.fourth.assign(k, 0);
    s.second.assign(k * (k + 1) / 2, 0);
    return s;
}

}  // namespace

void ExponentSum::add(double x) {
    const DoubleBits b = double_bits(x);
    if (b.nan || b.infinite) {
        ++(b.nan ? nan : b.negative ? neg_inf : pos_inf);
        return;
    }
    const auto sign = -static_cast<__int128>(b.negative);  // all ones for a negative value: no branch to mispredict
    by_position[static_cast<std::size_t>(b.pos)] += (static_cast<__int128>(b.mant) ^ sign) - sign;
}

std::vector<ScaleSums> scale_sums(const std::vector<const Column*>& columns, std::size_t n_threads) {
    std::vector<ScaleSums> out(columns.size());
    parallel_for(columns.size(), n_threads, [&](std::size_t j) {
        ScaleSums& s = out[j];
        for_each_present(*columns[j], [&](double v) {
            if (!std::isfinite(v)) return;  // held at the limit when standardised
            ++s.n;
            s.sum.add(v);
            s.sum_sq.add(v * v);
        });
    });
    return out;
}

JointSums joint_sums(const std::vector<const Column*>& columns, const std::vector<double>& centre,
                     const std::vector<double>& scale, std::size_t n_threads) {
    const std::size_t k = columns.size();
    if (k > JOINT_MAX_COLUMNS) throw std::invalid_argument("too many columns for joint moments");
    if (centre.size() != k || scale.size() != k) throw std::invalid_argument("one centre and one scale per column");
    const std::int64_t rows = k ? columns[0]->length : 0;
    for (const Column* c : columns)
        if (c->length != rows) throw std::invalid_argument("columns of a table must have the same length");
    const std::size_t blocks = static_cast<std::size_t>((rows + BLOCK - 1) / BLOCK);
    // Each thread sums a contiguous run of blocks; the integer parts add up exactly in any order.
    const std::size_t parts = std::max<std::size_t>(1, std::min(n_threads, blocks));
    std::vector<JointSums> partial(parts, empty_sums(k));
    std::vector<double> inverse(k);
    for (std::size_t i = 0; i < k; ++i) inverse[i] = 1.0 / scale[i];
    parallel_for(parts, parts, [&](std::size_t p) {
        const std::size_t width = (k + 3) & ~std::size_t{3};  // zero padding: whole vectors
        std::vector<double> values(BLOCK), q(static_cast<std::size_t>(BLOCK) * width, 0.0), norm(BLOCK), acc(width * width);
        for (std::size_t b = p * blocks / parts; b < (p + 1) * blocks / parts; ++b) {
            const std::int64_t start = static_cast<std::int64_t>(b) * BLOCK;
            add_block(columns, centre, inverse, start, std::min(BLOCK, rows - start), values, q, norm, acc, partial[p]);
        }
    });
    JointSums out = empty_sums(k);
    out.n = rows;
    for (const JointSums& s : partial) {
        for (std::size_t i = 0; i < k; ++i) {
            out.first[i] += s.first[i];
            out.fourth[i] += s.fourth[i];
        }
        for (std::size_t i = 0; i < out.second.size(); ++i) out.second[i] += s.second[i];
        out.norm_fourth.merge(s.norm_fourth);
    }
    return out;
}

}  // namespace morvane::profile
