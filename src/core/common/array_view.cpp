#include "core/common/array_view.hpp"

namespace morvane {

void read_as_f32(const ArrayView& v, std::size_t start, std::size_t k, float* out) {
    visit_dtype(v, [&](auto strided) {
        using T = typename decltype(strided)::value_type;
        with_elements<T>(strided.data + static_cast<std::ptrdiff_t>(start) * strided.stride, strided.stride, k,
                         [&](const auto& x) {
                             for (std::size_t j = 0; j < k; ++j) out[j] = static_cast<float>(static_cast<double>(x[j]));
                         });
    });
}

}  // namespace morvane
