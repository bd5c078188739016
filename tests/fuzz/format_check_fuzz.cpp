// Coverage-guided fuzzing of the format checker: its cost bound, and every acceptance re-derived.
//
// Built by `./dev fuzz` with libFuzzer, AddressSanitizer and
// UndefinedBehaviorSanitizer.  For every input the checker must stay within
// 4 * (length + 1) steps, and a string it accepts must, read by the model
// below, describe exactly one double and no pad byte before it.  The model is
// written from the grammar, not from the checker: it expands a repeated
// structure run by run, following the sequence of states the runs pass
// through until it repeats, and remembers what each body does from each
// state, so it never depends on the checker's own way of deriving repeats.
#include "core/format_check.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace {

// What the string describes so far, as far as "one double at offset 0" goes.
struct Layout {
    std::uint64_t pending = 1;  // the count the next item, pad or structure takes
    int items = 0;              // items so far; 2 stands for "more than one"
    bool first_is_double = false;
    bool pad_before_first = false;

    auto key() const { return std::make_tuple(pending, items, first_is_double, pad_before_first); }
    bool operator==(const Layout &other) const { return key() == other.key(); }
};

struct Model {
    explicit Model(const std::string &source) : text(source) {}

    const std::string &text;
    bool malformed = false;  // the checker should have refused the string
    // (body position, state at its start) -> (end of the body, state after one run)
    std::map<std::tuple<std::size_t, std::uint64_t, int, bool, bool>,
             std::pair<std::size_t, Layout>>
        runs;

    char at(std::size_t pos) const { return pos < text.size() ? text[pos] : '\0'; }

    void add_items(Layout &layout, bool is_double)
    {
        const std::uint64_t n = layout.pending;
        layout.pending = 1;
        if (n == 0) {
            return;
        }
        if (layout.items == 0) {
            layout.first_is_double = n == 1 && is_double;
        }
        layout.items = (layout.items + n >= 2) ? 2 : 1;
    }

    // One run of the level starting at `pos`; returns the position after it.
    std::size_t run(std::size_t pos, int depth, Layout &layout)
    {
        for (;;) {
            const char c = at(pos);
            switch (c) {
            case '\0': return pos;
            case ' ':
            case '\n':
            case '\r':
            case '@':
            case '=':
            case '^':
            case '<': ++pos; break;
            case 'x':
                if (layout.items == 0 && layout.pending > 0) {
                    layout.pad_before_first = true;
                }
                layout.pending = 1;
                ++pos;
                break;
            case ':': {
                const std::size_t close = text.find(':', pos + 1);
                if (close == std::string::npos) {
                    malformed = true;
                    return pos;
                }
                pos = close + 1;
                break;
            }
            case '(':
                // Only an empty dimension list, with no count before it, can
                // stand in a string that describes a plain double.
                if (layout.pending != 1) {
                    malformed = true;
                    return pos;
                }
                for (++pos; at(pos) != ')'; ++pos) {
                    if (!at(pos) || !std::strchr(" \t\n\v\f\r", at(pos))) {
                        malformed = true;
                        return pos;
                    }
                }
                ++pos;
                break;
            case 'T': {
                if (at(pos + 1) != '{' || depth >= 64) {
                    malformed = true;
                    return pos;
                }
                const std::uint64_t count = layout.pending;
                layout.pending = 1;
                if (count == 0) {
                    malformed = true;
                    return pos;
                }
                pos = structure(pos + 2, depth + 1, count, layout);
                if (malformed) {
                    return pos;
                }
                break;
            }
            case '}':
                if (depth == 0) {
                    malformed = true;
                }
                return pos + 1;
            case 'Z': {
                const char next = at(pos + 1);
                if (next != 'f' && next != 'd' && next != 'g') {
                    malformed = true;
                    return pos;
                }
                add_items(layout, false);
                pos += 2;
                break;
            }
            default:
                if (c >= '0' && c <= '9') {
                    std::uint64_t value = 0;
                    for (; at(pos) >= '0' && at(pos) <= '9'; ++pos) {
                        value = value * 10 + static_cast<std::uint64_t>(at(pos) - '0');
                        if (value > 2147483647) {
                            malformed = true;
                            return pos;
                        }
                    }
                    layout.pending = value;
                    break;
                }
                if (std::string("?cbBhHiIlLqQfdgOsp").find(c) == std::string::npos) {
                    malformed = true;
                    return pos;
                }
                add_items(layout, c == 'd');
                ++pos;
                break;
            }
        }
    }

    // One run of the body at `body` from `layout`, remembered per state.
    std::size_t body_run(std::size_t body, int depth, Layout &layout)
    {
        const auto key = std::tuple_cat(std::make_tuple(body), layout.key());
        const auto known = runs.find(key);
        if (known != runs.end()) {
            layout = known->second.second;
            return known->second.first;
        }
        const std::size_t end = run(body, depth, layout);
        runs.emplace(key, std::make_pair(end, layout));
        return end;
    }

    // `count` runs of the body: the states at the starts of the runs form a
    // sequence that, each run being a function of its start, cycles as soon
    // as one repeats; the state after `count` runs is read off the cycle.
    std::size_t structure(std::size_t body, int depth, std::uint64_t count, Layout &layout)
    {
        std::vector<Layout> starts{layout};
        std::size_t end = body;
        for (std::uint64_t done = 0; done < count; ++done) {
            Layout next = starts.back();
            const std::size_t run_end = body_run(body, depth, next);
            if (malformed) {
                return run_end;
            }
            end = run_end;
            for (std::size_t seen = 0; seen < starts.size(); ++seen) {
                if (starts[seen] == next) {
                    const std::uint64_t period = starts.size() - seen;
                    const std::uint64_t left = count - (done + 1);
                    layout = starts[seen + left % period];
                    return end;
                }
            }
            starts.push_back(next);
        }
        layout = starts.back();
        return end;
    }
};

bool one_double_at_zero(const std::string &text)
{
    Model model(text);
    Layout layout;
    model.run(0, 0, layout);
    return !model.malformed && layout.items == 1 && layout.first_is_double &&
           !layout.pad_before_first;
}

// libFuzzer keeps the input that ended the run.
[[noreturn]] void report(const char *what, const std::string &text)
{
    std::fprintf(stderr, "%s: \"%s\"\n", what, text.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The checker reads a C string: the exporter's format ends at its first zero.
    const char *chars = reinterpret_cast<const char *>(data);
    const std::string text(chars, strnlen(chars, size));
    const tavorin::FormatVerdict verdict =
        tavorin::check_format(tavorin::double_desc, text.c_str());
    if (verdict.steps > 4 * (text.size() + 1)) {
        report("over 4 * (length + 1) steps", text);
    }
    if (verdict.fault == tavorin::k_format_accepted && !one_double_at_zero(text)) {
        report("accepted but not one double at offset 0", text);
    }
    return 0;
}
