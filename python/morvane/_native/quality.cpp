// The rules' binding: each program's steps by name, the slots of its columns and its sets
// of labels in; (violating, evaluated) per program out, counted with the GIL released.
#include "quality.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>

#include "columns.hpp"
#include "core/profile/parallel.hpp"
#include "core/quality/rule_program.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morvane::native {

namespace {

using quality::Op;

struct OpName { const char* name; Op op; };
constexpr OpName OPS[] = {
    {"column", Op::Column}, {"number", Op::Number}, {"is_null", Op::IsNull}, {"member", Op::Member},
    {"+", Op::Add}, {"-", Op::Sub}, {"*", Op::Mul}, {"/", Op::Div}, {"neg", Op::Neg},
    {"<", Op::Lt}, {"<=", Op::Le}, {">", Op::Gt}, {">=", Op::Ge}, {"==", Op::Eq}, {"!=", Op::Ne},
    {"and", Op::And}, {"or", Op::Or}, {"not", Op::Not},
};

using StepParts = std::tuple<std::string, std::size_t, double, std::size_t>;  // op, column, number, set
using LabelParts = std::tuple<std::optional<double>, std::string>;
using ProgramParts = std::tuple<std::vector<StepParts>, std::vector<std::size_t>, std::vector<std::vector<LabelParts>>>;

quality::Program program_of(const ProgramParts& parts) {
    quality::Program p;
    for (const auto& [name, column, number, set] : std::get<0>(parts)) {
        const OpName* row = std::find_if(std::begin(OPS), std::end(OPS), [&](const OpName& r) { return name == r.name; });
        if (row == std::end(OPS)) throw nb::value_error(("unknown rule step " + name).c_str());
        p.steps.push_back(quality::Step{row->op, column, number, set});
    }
    for (const auto& labels : std::get<2>(parts)) {
        auto& set = p.sets.emplace_back();
        for (const auto& [number, text] : labels) set.push_back(profile::Label{number.has_value(), number.value_or(0.0), text});
    }
    return p;
}

std::vector<std::pair<std::int64_t, std::int64_t>> rule_counts(const Columns& cols, const std::vector<ProgramParts>& given,
                                                               std::size_t n_threads) {
    std::vector<quality::Program> programs;
    std::vector<std::vector<const profile::Column*>> columns;
    for (const ProgramParts& s : given) {
        programs.push_back(program_of(s));
        auto& c = columns.emplace_back();
        for (std::size_t slot : std::get<1>(s)) c.push_back(&cols.at(slot));
    }
    std::vector<std::expected<quality::RuleCounts, quality::ProgramError>> found(programs.size());
    {
        nb::gil_scoped_release release;
        profile::parallel_for(programs.size(), n_threads, [&](std::size_t j) { found[j] = quality::count_rule(programs[j], columns[j]); });
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (const auto& f : found) {
        if (!f) throw nb::value_error(f.error().display().c_str());
        out.emplace_back(f->violating, f->evaluated);
    }
    return out;
}

}  // namespace

void bind_quality(nb::module_& m) {
    m.def("rule_counts", &rule_counts, "columns"_a, "programs"_a, "threads"_a);
}

}  // namespace morvane::native
