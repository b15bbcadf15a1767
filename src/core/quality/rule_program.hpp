// Declared data-quality rules as small postfix programs over a table's columns, counted
// row by row: how many rows each rule evaluates and how many of those violate it.
//
// Every value on the stack is a block of numbers with a missing flag per row; truths are
// 0 or 1. Missing values propagate through arithmetic and comparisons (a NaN result is
// missing too), `and`/`or`/`not` follow three-valued logic (false and unknown is false,
// true or unknown is true), and `is_null` is always known. A row is evaluated when the
// program's result is known, and violates the rule when that result is false.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "core/profile/column.hpp"
#include "core/profile/task.hpp"

namespace morvane::quality {

enum class Op : std::uint8_t {
    Column,   // push a numeric column's values (booleans 0/1, times in nanoseconds)
    Number,   // push a constant
    IsNull,   // push whether a column's value is missing (null, NaN, NaT): always known
    Member,   // push whether a column's value is one of a set of labels
    Add, Sub, Mul, Div, Neg,
    Lt, Le, Gt, Ge, Eq, Ne,
    And, Or, Not,
};

struct Step {
    Op op = Op::Number;
    std::size_t column = 0;  // Column, IsNull, Member: an index into the program's columns
    double number = 0.0;     // Number
    std::size_t set = 0;     // Member: an index into Program::sets
};

struct Program {
    std::vector<Step> steps;
    std::vector<std::vector<profile::Label>> sets;
};

struct RuleCounts {
    std::int64_t violating = 0;
    std::int64_t evaluated = 0;
};

// A malformed program (an operand missing, a column or set out of range, more than one
// result): the caller built it wrong.
struct ProgramError {
    std::string text;
    const std::string& display() const { return text; }
};

// The counts of one program over equally long columns (`columns[k]` is the program's column k).
std::expected<RuleCounts, ProgramError> count_rule(const Program& program,
                                                   std::span<const profile::Column* const> columns);

}  // namespace morvane::quality
