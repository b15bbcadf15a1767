#include "core/quality/rule_program.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include "core/profile/text_index.hpp"

namespace morvane::quality {

using profile::Chunk;
using profile::Column;
using profile::Label;
using profile::Phys;

namespace {

// Rows are evaluated a block at a time: each step is then one tight loop the compiler
// vectorises, and a block of every stack slot stays in the L1 cache.
constexpr std::int64_t BLOCK = 1024;

struct Slot {
    std::vector<double> v = std::vector<double>(BLOCK);
    std::vector<std::uint8_t> miss = std::vector<std::uint8_t>(BLOCK);
};

void fill(Slot& s, std::int64_t n, double v, std::uint8_t miss) {
    std::fill_n(s.v.begin(), n, v);
    std::fill_n(s.miss.begin(), n, miss);
}

// The numbers of rows [at, at + n) of a chunk (booleans 0/1); nulls and NaN missing, and
// every row of a chunk that holds no numbers.
void load_numbers(const Chunk& c, std::int64_t at, std::int64_t n, Slot& s) {
    double* __restrict v = s.v.data();
    std::uint8_t* __restrict m = s.miss.data();
    if (c.dictionary || !(c.is_numeric() || c.is_bool())) {
        std::fill_n(v, n, 0.0);
        std::fill_n(m, n, std::uint8_t{1});
        return;
    }
    if (c.is_bool()) {
        for (std::int64_t i = 0; i < n; ++i) v[i] = c.number(at + i);
    } else {
        profile::dispatch_numeric(c.phys, [&](auto tag) {
            using T = decltype(tag);
            const std::uint8_t* base = c.data + (c.offset + at) * c.stride;
            if (!c.swap && c.stride == static_cast<std::int64_t>(sizeof(T))) {
                for (std::int64_t i = 0; i < n; ++i)
                    v[i] = static_cast<double>(profile::load<T>(base + i * static_cast<std::int64_t>(sizeof(T)), false));
            } else {
                for (std::int64_t i = 0; i < n; ++i) v[i] = static_cast<double>(profile::load<T>(base + i * c.stride, c.swap));
            }
        });
    }
    for (std::int64_t i = 0; i < n; ++i) m[i] = v[i] != v[i];
    if (c.validity)
        for (std::int64_t i = 0; i < n; ++i) m[i] |= !c.valid(at + i);
}

// Whether rows [at, at + n) are missing, as the profile counts a missing value of any type.
void load_missing(const Chunk& c, std::int64_t at, std::int64_t n, Slot& s) {
    if ((c.is_numeric() || c.is_bool()) && !c.dictionary) {
        load_numbers(c, at, n, s);
    } else if (c.dictionary) {
        std::string scratch;
        bool missing;
        for (std::int64_t i = 0; i < n; ++i) {
            profile::category_key(c, at + i, scratch, missing);
            s.miss[static_cast<std::size_t>(i)] = missing;
        }
    } else if (c.is_string()) {
        for (std::int64_t i = 0; i < n; ++i) s.miss[static_cast<std::size_t>(i)] = !c.valid(at + i);
    } else {
        std::fill_n(s.miss.begin(), n, std::uint8_t{1});
    }
    for (std::int64_t i = 0; i < n; ++i) {
        s.v[static_cast<std::size_t>(i)] = s.miss[static_cast<std::size_t>(i)];
        s.miss[static_cast<std::size_t>(i)] = 0;
    }
}

// A set of labels as `matches` compares them (numbers numerically with numeric columns,
// texts with the category text), with an index of its texts for text columns.
class Members {
public:
    explicit Members(const std::vector<Label>& labels) : labels_(labels) {
        std::vector<std::string> texts;
        for (const Label& l : labels) {
            texts.push_back(l.text);
            all_numbers_ = all_numbers_ && l.has_number;
            if (l.has_number) numbers_.push_back(l.number);
        }
        texts_ = profile::TextIndex(texts);
    }

    void load(const Chunk& c, std::int64_t at, std::int64_t n, Slot& s) {
        double* v = s.v.data();
        std::uint8_t* m = s.miss.data();
        if (c.dictionary) {
            const std::vector<std::int8_t>& state = of_dictionary(*c.dictionary);
            const auto size = static_cast<std::int64_t>(state.size());
            for (std::int64_t i = 0; i < n; ++i) {
                const std::int64_t k = c.valid(at + i) ? c.index(at + i) : -1;
                const std::int8_t hit = k >= 0 && k < size ? state[static_cast<std::size_t>(k)] : std::int8_t{-1};
                v[i] = hit == 1;
                m[i] = hit < 0;
            }
        } else if (c.is_string()) {
            for (std::int64_t i = 0; i < n; ++i) {
                m[i] = !c.valid(at + i);
                v[i] = !m[i] && texts_.find(c.string(at + i)) != profile::TextIndex::NONE;
            }
        } else if (all_numbers_ && (c.is_numeric() || c.is_bool())) {
            load_numbers(c, at, n, s);
            for (std::int64_t i = 0; i < n; ++i) {
                bool hit = false;
                for (double x : numbers_) hit |= v[i] == x;
                v[i] = hit;
            }
        } else {
            for (std::int64_t i = 0; i < n; ++i) {
                const std::int8_t hit = state_of(c, at + i);
                v[i] = hit == 1;
                m[i] = hit < 0;
            }
        }
    }

private:
    // 1 in the set, 0 not, -1 missing.
    std::int8_t state_of(const Chunk& c, std::int64_t i) {
        bool missing = false;
        for (const Label& l : labels_) {
            if (profile::matches(c, i, l, scratch_, missing)) return 1;
            if (missing) return -1;
        }
        if (labels_.empty()) {
            profile::category_key(c, i, scratch_, missing);
            if (missing) return -1;
        }
        return 0;
    }

    // The state of every entry of a dictionary, found once.
    const std::vector<std::int8_t>& of_dictionary(const Chunk& dictionary) {
        auto [it, fresh] = dictionaries_.try_emplace(&dictionary);
        if (fresh) {
            it->second.resize(static_cast<std::size_t>(dictionary.length));
            for (std::int64_t k = 0; k < dictionary.length; ++k) it->second[static_cast<std::size_t>(k)] = state_of(dictionary, k);
        }
        return it->second;
    }

    const std::vector<Label>& labels_;
    bool all_numbers_ = true;
    std::vector<double> numbers_;
    profile::TextIndex texts_;
    std::string scratch_;
    std::map<const Chunk*, std::vector<std::int8_t>> dictionaries_;
};

int arity(Op op) {
    switch (op) {
        case Op::Column: case Op::Number: case Op::IsNull: case Op::Member: return 0;
        case Op::Neg: case Op::Not: return 1;
        default: return 2;
    }
}

// The deepest stack the program needs, or an error when it is malformed.
std::expected<std::size_t, ProgramError> depth_of(const Program& p, std::size_t n_columns) {
    std::size_t depth = 0, deepest = 0;
    for (const Step& s : p.steps) {
        const int a = arity(s.op);
        if (static_cast<std::size_t>(a) > depth) return std::unexpected(ProgramError{"an operand is missing"});
        if ((s.op == Op::Column || s.op == Op::IsNull || s.op == Op::Member) && s.column >= n_columns)
            return std::unexpected(ProgramError{"a column is out of range"});
        if (s.op == Op::Member && s.set >= p.sets.size()) return std::unexpected(ProgramError{"a set is out of range"});
        depth = a == 0 ? depth + 1 : depth - static_cast<std::size_t>(a) + 1;
        deepest = std::max(deepest, depth);
    }
    if (depth != 1) return std::unexpected(ProgramError{"a program must leave exactly one result"});
    return deepest;
}

// Combines the two top slots into the lower one. The loops read and write through restrict
// pointers: a write to a missing flag (a byte, which may alias anything) would otherwise make
// the compiler reload every pointer each row and give up vectorising.
template <class F>
void binary(Slot& a, const Slot& b, std::int64_t n, F f) {
    double* __restrict av = a.v.data();
    std::uint8_t* __restrict am = a.miss.data();
    const double* __restrict bv = b.v.data();
    const std::uint8_t* __restrict bm = b.miss.data();
    for (std::int64_t i = 0; i < n; ++i) {
        av[i] = f(av[i], bv[i]);
        am[i] |= bm[i];
    }
}

// The same with a constant right operand (a number step folded into the operator).
template <class F>
void with_constant(Slot& a, double x, std::int64_t n, F f) {
    double* __restrict av = a.v.data();
    for (std::int64_t i = 0; i < n; ++i) av[i] = f(av[i], x);
}

// An arithmetic result that is NaN (0 / 0, inf - inf) is missing.
void arithmetic_missing(Slot& a, std::int64_t n) {
    const double* __restrict av = a.v.data();
    std::uint8_t* __restrict am = a.miss.data();
    for (std::int64_t i = 0; i < n; ++i) am[i] |= av[i] != av[i];
}

// Three-valued and/or: known when both sides are, or when one side alone decides (false for
// and, true for or).
template <bool AND>
void logical(Slot& a, const Slot& b, std::int64_t n) {
    double* __restrict av = a.v.data();
    std::uint8_t* __restrict am = a.miss.data();
    const double* __restrict bv = b.v.data();
    const std::uint8_t* __restrict bm = b.miss.data();
    constexpr double DECIDES = AND ? 0.0 : 1.0;
    for (std::int64_t i = 0; i < n; ++i) {
        const int ka = !am[i], kb = !bm[i];
        const int known = (ka & kb) | (ka & (av[i] == DECIDES)) | (kb & (bv[i] == DECIDES));
        const int x = ka & (av[i] != 0.0), y = kb & (bv[i] != 0.0);
        av[i] = AND ? double(x & y) : double(x | y);
        am[i] = static_cast<std::uint8_t>(!known);
    }
}

}  // namespace

std::expected<RuleCounts, ProgramError> count_rule(const Program& program, std::span<const Column* const> columns) {
    const auto depth = depth_of(program, columns.size());
    if (!depth) return std::unexpected(depth.error());
    if (columns.empty()) return std::unexpected(ProgramError{"a program must read a column"});
    for (const Column* c : columns)
        if (c->length != columns[0]->length) return std::unexpected(ProgramError{"columns of a table must have the same length"});
    std::vector<Members> members;
    members.reserve(program.sets.size());
    for (const auto& labels : program.sets) members.emplace_back(labels);
    std::vector<Slot> stack(*depth);
    // A number followed by a binary operator of numbers becomes that operator with a constant:
    // between, at_least with a number and most comparisons in where= then load one slot, not two.
    struct Folded { Step step; bool constant; };
    std::vector<Folded> steps;
    for (std::size_t i = 0; i < program.steps.size(); ++i) {
        const Step& s = program.steps[i];
        const Op next = i + 1 < program.steps.size() ? program.steps[i + 1].op : Op::Number;
        if (s.op == Op::Number && next >= Op::Add && next <= Op::Ne && next != Op::Neg) {
            steps.push_back(Folded{Step{next, 0, s.number, 0}, true});
            ++i;
        } else {
            steps.push_back(Folded{s, false});
        }
    }
    // Each column's place: its chunk and the row inside it; a block never crosses a chunk's end.
    std::vector<profile::RowCursor> at;
    for (const Column* c : columns) {
        at.push_back(profile::RowCursor{c});
        at.back().start();
    }
    RuleCounts out;
    for (std::int64_t row = 0; row < columns[0]->length;) {
        std::int64_t n = std::min(BLOCK, columns[0]->length - row);
        for (const auto& cur : at) n = std::min(n, cur.current().length - cur.at);
        std::size_t sp = 0;
        for (const Folded& f : steps) {
            const Step& s = f.step;
            // A binary operator applies to the two top slots, or with a folded constant to the top one.
            auto apply = [&](auto op, bool arith) {
                if (f.constant) {
                    with_constant(stack[sp - 1], s.number, n, op);
                    if (arith) arithmetic_missing(stack[sp - 1], n);
                    return;
                }
                binary(stack[sp - 2], stack[sp - 1], n, op);
                if (arith) arithmetic_missing(stack[sp - 2], n);
                --sp;
            };
            switch (s.op) {
                case Op::Column: load_numbers(at[s.column].current(), at[s.column].at, n, stack[sp++]); break;
                case Op::Number: fill(stack[sp++], n, s.number, 0); break;
                case Op::IsNull: load_missing(at[s.column].current(), at[s.column].at, n, stack[sp++]); break;
                case Op::Member: members[s.set].load(at[s.column].current(), at[s.column].at, n, stack[sp++]); break;
                case Op::Add: apply([](double x, double y) { return x + y; }, true); break;
                case Op::Sub: apply([](double x, double y) { return x - y; }, true); break;
                case Op::Mul: apply([](double x, double y) { return x * y; }, true); break;
                case Op::Div: apply([](double x, double y) { return x / y; }, true); break;
                case Op::Lt: apply([](double x, double y) { return double(x < y); }, false); break;
                case Op::Le: apply([](double x, double y) { return double(x <= y); }, false); break;
                case Op::Gt: apply([](double x, double y) { return double(x > y); }, false); break;
                case Op::Ge: apply([](double x, double y) { return double(x >= y); }, false); break;
                case Op::Eq: apply([](double x, double y) { return double(x == y); }, false); break;
                case Op::Ne: apply([](double x, double y) { return double(x != y); }, false); break;
                case Op::Neg: {
                    double* __restrict t = stack[sp - 1].v.data();
                    for (std::int64_t i = 0; i < n; ++i) t[i] = -t[i];
                    break;
                }
                case Op::Not: {
                    double* __restrict t = stack[sp - 1].v.data();
                    for (std::int64_t i = 0; i < n; ++i) t[i] = t[i] == 0.0;
                    break;
                }
                case Op::And: logical<true>(stack[sp - 2], stack[sp - 1], n); --sp; break;
                case Op::Or: logical<false>(stack[sp - 2], stack[sp - 1], n); --sp; break;
            }
        }
        const double* __restrict rv = stack[0].v.data();
        const std::uint8_t* __restrict rm = stack[0].miss.data();
        std::int64_t evaluated = 0, violating = 0;
        for (std::int64_t i = 0; i < n; ++i) {
            evaluated += !rm[i];
            violating += !rm[i] & (rv[i] == 0.0);
        }
        out.evaluated += evaluated;
        out.violating += violating;
        row += n;
        for (auto& cur : at) {
            cur.at += n - 1;
            cur.advance();
        }
    }
    return out;
}

}  // namespace morvane::quality
