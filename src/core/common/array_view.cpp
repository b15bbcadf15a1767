#include "core/common/array_view.hpp"

#include <type_traits>

namespace morvane {

template <class E>
void read_as(const ArrayView& v, std::size_t start, std::size_t k, E* out) {
    visit_dtype(v, [&](auto strided) {
        using T = typename decltype(strided)::value_type;
        with_elements<T>(strided.data + static_cast<std::ptrdiff_t>(start) * strided.stride, strided.stride, k,
                         [&](const auto& x) {
                             for (std::size_t j = 0; j < k; ++j) {
                                 if constexpr (std::is_floating_point_v<E>) out[j] = static_cast<E>(static_cast<double>(x[j]));
                                 else out[j] = static_cast<E>(x[j]);
                             }
                         });
    });
}

template void read_as<float>(const ArrayView&, std::size_t, std::size_t, float*);
template void read_as<std::int32_t>(const ArrayView&, std::size_t, std::size_t, std::int32_t*);

}  // namespace morvane
