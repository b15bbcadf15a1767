#include "core/common/configuration.hpp"

#include <locale.h>

#include <cctype>
#include <cstdlib>
#include <string>

namespace morvane {

namespace {

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return true;
}

// Accepts exactly the decimal grammar; strtod alone would also take hex floats,
// leading blanks and "infinite" prefixes.
bool is_decimal(std::string_view t) {
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    const std::string_view rest = t.substr(i);
    if (iequals(rest, "inf") || iequals(rest, "infinity") || iequals(rest, "nan")) return true;
    std::size_t digits = 0;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == t.size();
}

// The "C" locale: the host application may have set a numeric locale whose decimal
// separator is a comma, under which strtod would read "0.5" as 0.
locale_t c_locale() {
    static const locale_t C = newlocale(LC_ALL_MASK, "C", locale_t{});
    return C;
}

}  // namespace

std::optional<double> parse_decimal_f64(std::string_view text) {
    if (!is_decimal(text)) return std::nullopt;
    const std::string s(text);
    return strtod_l(s.c_str(), nullptr, c_locale());
}

std::optional<float> parse_decimal_f32(std::string_view text) {
    if (!is_decimal(text)) return std::nullopt;
    const std::string s(text);
    return strtof_l(s.c_str(), nullptr, c_locale());
}

namespace {

// A setting read from the environment on first use, then fixed for the process.
template <class T, class Parse>
T setting(const char* name, T fallback, Parse parse) {
    const char* raw = std::getenv(name);
    if (!raw) return fallback;
    return parse(raw).value_or(fallback);
}

}  // namespace

double stability_eps() {
    // Function-local statics: initialised once, thread-safe.
    static const double EPS = setting("MORVANE_STABILITY_EPS", DEFAULT_STABILITY_EPS, parse_decimal_f64);
    return EPS;
}

float distribution_type_heuristic() {
    static const float HEURISTIC =
        setting("MORVANE_DISTRIBUTION_HEURISTIC", DEFAULT_DISTRIBUTION_HEURISTIC, parse_decimal_f32);
    return HEURISTIC;
}

}  // namespace morvane
