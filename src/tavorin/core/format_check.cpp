// The buffer format-string checker: reads every construct of the extended struct syntax.
//
// The string comes from whatever exports the caller's buffer and is not
// trusted.  The checker accepts a string only when it describes exactly one
// element of the expected type at offset 0, and reports the first
// disagreement as a verdict; the caller turns that into its exception.
//
// Its work is bounded by the string's length alone, whatever the repeat
// counts say: it does not allocate, bounds its recursion, and scans a
// structure's body once however often it is repeated, twice when the body
// holds the element (see scan_structure).  So each character is scanned at
// most twice, and one scan looks at a character at most twice (the first
// digit of a number); the look at the string's end by each level left open
// is paid for by its "T{", one look for two characters.  A check therefore
// takes at most 4 * (length + 1) steps, as `FormatVerdict::steps` counts them.
#include "core/format_check.hpp"

#include <limits>

namespace tavorin {

const element_desc double_desc = {"double", sizeof(double), 'R'};

namespace {

constexpr int k_max_struct_depth = 64;
constexpr std::uint64_t k_max_repeat = 2147483647;
// Structures repeated out to more characters than this are refused: enough
// for any format an exporter really produces.  The total is computed, never
// scanned, so the limit is a rule about strings, not about the checker's time.
constexpr std::uint64_t k_scan_budget = std::uint64_t(1) << 24;
// Offsets saturate here; far beyond any buffer, and printable as a signed size.
constexpr std::uint64_t k_max_offset = std::numeric_limits<std::int64_t>::max();

struct format_check_state {
    const element_desc *expected;
    std::uint64_t offset;
    std::uint64_t pending_repeat;
    std::uint64_t chunk_count;
    std::uint64_t struct_alignment;
    // Characters that repeated structure bodies may still span; see scan_structure.
    std::uint64_t scan_budget;
    std::uint64_t steps;
    bool matched;
    bool chunk_is_complex;
    bool array_seen;
    char chunk_type;
    char next_packing;
    char chunk_packing;
    FormatVerdict verdict;
};

struct ItemInfo {
    const char *text;
    std::uint64_t native_size;
    std::uint64_t standard_size;  // 0: none defined
    std::uint64_t alignment;
    char group;
};

const ItemInfo *lookup_item(char type, bool complex) noexcept
{
    static constexpr ItemInfo bool_ = {"'bool'", 1, 1, 1, 'U'};
    static constexpr ItemInfo char_ = {"'char'", 1, 1, 1, 'H'};
    static constexpr ItemInfo schar = {"'signed char'", 1, 1, 1, 'I'};
    static constexpr ItemInfo uchar = {"'unsigned char'", 1, 1, 1, 'U'};
    static constexpr ItemInfo short_ = {"'short'", 2, 2, 2, 'I'};
    static constexpr ItemInfo ushort = {"'unsigned short'", 2, 2, 2, 'U'};
    static constexpr ItemInfo int_ = {"'int'", 4, 4, 4, 'I'};
    static constexpr ItemInfo uint = {"'unsigned int'", 4, 4, 4, 'U'};
    static constexpr ItemInfo long_ = {"'long'", 8, 4, 8, 'I'};
    static constexpr ItemInfo ulong = {"'unsigned long'", 8, 4, 8, 'U'};
    static constexpr ItemInfo llong = {"'long long'", 8, 8, 8, 'I'};
    static constexpr ItemInfo ullong = {"'unsigned long long'", 8, 8, 8, 'U'};
    static constexpr ItemInfo float_ = {"'float'", 4, 4, 4, 'R'};
    static constexpr ItemInfo cfloat = {"'complex float'", 8, 8, 4, 'C'};
    static constexpr ItemInfo double_ = {"'double'", 8, 8, 8, 'R'};
    static constexpr ItemInfo cdouble = {"'complex double'", 16, 16, 8, 'C'};
    static constexpr ItemInfo ldouble = {"'long double'", 16, 0, 16, 'R'};
    static constexpr ItemInfo cldouble = {"'complex long double'", 32, 0, 16, 'C'};
    static constexpr ItemInfo object = {"Python object", 8, 8, 8, 'O'};
    static constexpr ItemInfo string = {"a string", 1, 1, 1, 'I'};
    switch (type) {
    case '?': return &bool_;
    case 'c': return &char_;
    case 'b': return &schar;
    case 'B': return &uchar;
    case 'h': return &short_;
    case 'H': return &ushort;
    case 'i': return &int_;
    case 'I': return &uint;
    case 'l': return &long_;
    case 'L': return &ulong;
    case 'q': return &llong;
    case 'Q': return &ullong;
    case 'f': return complex ? &cfloat : &float_;
    case 'd': return complex ? &cdouble : &double_;
    case 'g': return complex ? &cldouble : &ldouble;
    case 'O': return &object;
    case 's':
    case 'p': return &string;
    default: return nullptr;
    }
}

bool is_digit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) noexcept
{
    return (b > k_max_offset - a) ? k_max_offset : a + b;
}

std::uint64_t align_up(std::uint64_t offset, std::uint64_t alignment) noexcept
{
    // offset <= k_max_offset, so this cannot wrap.
    return (offset + alignment - 1) / alignment * alignment;
}

std::uint64_t add_capped(std::uint64_t a, std::uint64_t b) noexcept
{
    return b > std::numeric_limits<std::uint64_t>::max() - a
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

std::uint64_t multiply_capped(std::uint64_t a, std::uint64_t b) noexcept
{
    return (b != 0 && a > std::numeric_limits<std::uint64_t>::max() / b)
               ? std::numeric_limits<std::uint64_t>::max()
               : a * b;
}

const char *fail(format_check_state &st, FormatFault fault) noexcept
{
    st.verdict.fault = fault;
    return nullptr;
}

const char *fail_char(format_check_state &st, FormatFault fault, char c) noexcept
{
    st.verdict.character = c;
    return fail(st, fault);
}

int dtype_mismatch(format_check_state &st, const char *got) noexcept
{
    st.verdict.fault = k_dtype_mismatch;
    st.verdict.expected = st.matched ? nullptr : st.expected->name;
    st.verdict.got = got;
    return -1;
}

int chunk_mismatch(format_check_state &st) noexcept
{
    const char *got = "end";
    if (st.chunk_type) {
        got = lookup_item(st.chunk_type, st.chunk_is_complex)->text;
    }
    return dtype_mismatch(st, got);
}

// Matches the pending chunk of like items against the expected element.
int flush_chunk(format_check_state &st) noexcept
{
    if (!st.chunk_type) {
        return 0;
    }
    if (st.matched) {
        return chunk_mismatch(st);
    }
    const ItemInfo *item = lookup_item(st.chunk_type, st.chunk_is_complex);
    // Long double has no standard size; reading it as 0 makes the match
    // below fail, and that mismatch is the message the caller sees.
    const std::uint64_t size = (st.chunk_packing == '=') ? item->standard_size : item->native_size;
    if (st.chunk_packing == '@') {
        st.offset = align_up(st.offset, item->alignment);
        if (st.struct_alignment == 0) {
            st.struct_alignment = item->alignment;
        }
    }
    const element_desc &expected = *st.expected;
    if (expected.size != size || expected.kind_group != item->group) {
        const bool either_char = item->group == 'H' || expected.kind_group == 'H';
        if (!(either_char && expected.size == size)) {
            return chunk_mismatch(st);
        }
    }
    if (st.offset != 0) {
        st.verdict.number = static_cast<std::int64_t>(st.offset);
        fail(st, k_field_offset);
        return -1;
    }
    st.offset = add_saturating(st.offset, size);
    // A chunk of 0 items wraps here and is refused below, like any count but 1.
    st.chunk_count -= 1;
    st.matched = true;
    if (st.chunk_count != 0) {
        return chunk_mismatch(st);
    }
    st.chunk_type = 0;
    st.chunk_is_complex = false;
    return 0;
}

// Reads a decimal number at `ts`.  Counts beyond 32 bits are refused rather
// than wrapped, so no overlong count can turn into an accepted one.
const char *read_number(format_check_state &st, const char *ts, std::uint64_t *out) noexcept
{
    std::uint64_t value = 0;
    for (; is_digit(*ts); ++ts) {
        ++st.steps;
        value = value * 10 + static_cast<std::uint64_t>(*ts - '0');
        if (value > k_max_repeat) {
            st.verdict.number = static_cast<std::int64_t>(k_max_repeat);
            return fail(st, k_number_too_large);
        }
    }
    *out = value;
    return ts;
}

int add_item(format_check_state &st, char type, bool complex) noexcept
{
    if (type != 's' && st.chunk_type == type && st.chunk_is_complex == complex &&
        st.chunk_packing == st.next_packing && !st.array_seen) {
        st.chunk_count += st.pending_repeat;  // bounded by the string's length times 2^31
        st.pending_repeat = 1;
        return 0;
    }
    if (flush_chunk(st) < 0) {
        return -1;
    }
    st.chunk_type = type;
    st.chunk_count = st.pending_repeat;
    st.chunk_packing = st.next_packing;
    st.chunk_is_complex = complex;
    st.pending_repeat = 1;
    st.array_seen = false;
    return 0;
}

bool is_dimension_blank(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A dimension list at `ts` ('(').  The expected element is never an array,
// so only an empty list can pass, and only before the element.
const char *scan_dimensions(format_check_state &st, const char *ts) noexcept
{
    if (st.pending_repeat != 1) {
        return fail(st, k_repeated_array);
    }
    if (flush_chunk(st) < 0) {
        return nullptr;
    }
    ++ts;
    std::int64_t count = 0;
    while (*ts && *ts != ')') {
        ++st.steps;
        if (is_dimension_blank(*ts)) {
            ++ts;
            continue;
        }
        if (!is_digit(*ts)) {
            return fail_char(st, k_unknown_character, *ts);
        }
        std::uint64_t extent;
        ts = read_number(st, ts, &extent);
        if (!ts) {
            return nullptr;
        }
        if (*ts == ',') {
            ++ts;
        }
        else if (*ts != ')') {
            return fail_char(st, k_missing_comma, *ts);
        }
        ++count;
    }
    if (count != 0) {
        st.verdict.number = count;
        return fail(st, k_dimension_count);
    }
    if (!*ts) {
        return fail(st, k_unclosed_dimensions);
    }
    if (st.matched) {
        dtype_mismatch(st, "an array");
        return nullptr;
    }
    st.array_seen = true;
    st.pending_repeat = 1;
    return ts + 1;
}

// What one run of a structure's body does, as far as the runs after it need
// to know.  Unknown for a body that matched the element: its next run has
// to be scanned, and it is the last one, since it meets the element again.
struct RunOutcome {
    bool known = false;
    // The fault the run ends in, if any: one that needs no detail, since
    // only the count a run starts with can bring a fault the first run lacked.
    FormatFault fault = k_format_accepted;
    std::uint64_t charge = 0;   // budget the run uses: all of it, or up to its fault
    std::uint64_t advance = 0;  // what it adds to the offset, when it ends without fault
};

// How a run used the repeat count it started with.  The runs of one body
// differ only in that count (1 for the first run, what the previous run left
// pending for every later one), and only where it is first used.
struct EntryCountUse {
    enum Kind : int { k_unused, k_pad, k_dimensions, k_structure };
    Kind kind = k_unused;
    std::uint64_t pad_advance = 0;       // pad: what the pad added to the offset
    std::uint64_t structure_charge = 0;  // structure: the budget its one run used
    RunOutcome structure_next;           // structure: one more run of its body
};

const char *scan_level(format_check_state &st, const char *ts, int depth,
                       EntryCountUse *use) noexcept;

bool charge_budget(format_check_state &st, std::uint64_t charge) noexcept
{
    if (charge > st.scan_budget) {
        fail(st, k_structures_repeated_too_often);
        return false;
    }
    st.scan_budget -= charge;
    return true;
}

RunOutcome refused_run(FormatFault fault) noexcept
{
    RunOutcome run;
    run.known = true;
    run.fault = fault;
    return run;
}

// The second run of a body, from its first run and the count that run left
// pending.  A first run that matched no item leaves every field a later run
// reads as it found it, except that count; so the second run follows the
// first, with `count` where the first had 1, and every later run repeats the
// second exactly.
RunOutcome next_run(const RunOutcome &first, const EntryCountUse &use, std::uint64_t count) noexcept
{
    if (!first.known || count == 1) {
        return first;
    }
    RunOutcome next = first;
    switch (use.kind) {
    case EntryCountUse::k_unused: break;
    case EntryCountUse::k_pad:
        next.advance = add_capped(first.advance - use.pad_advance, count);
        break;
    case EntryCountUse::k_dimensions: return refused_run(k_repeated_array);
    case EntryCountUse::k_structure: {
        if (count == 0) {
            return refused_run(k_structure_repeated_zero_times);
        }
        // The inner structure runs `count` times instead of once: its first
        // run as before, then `count - 1` of its own second run.
        const RunOutcome &inner = use.structure_next;
        if (!inner.known) {
            next.known = false;
        }
        else if (inner.fault != k_format_accepted) {
            next.fault = inner.fault;
            next.charge = add_capped(use.structure_charge, inner.charge);
        }
        else {
            next.charge = add_capped(first.charge, multiply_capped(count - 1, inner.charge));
            next.advance = add_capped(first.advance, multiply_capped(count - 1, inner.advance));
        }
        break;
    }
    }
    return next;
}

// Takes `runs` more runs that each do what `next` says, without scanning
// them.  The verdict is the one scanning them would give: their fault, or
// the budget's refusal if they would use it up first.
bool repeat_runs(format_check_state &st, const RunOutcome &next, std::uint64_t runs) noexcept
{
    if (next.fault != k_format_accepted) {
        if (charge_budget(st, next.charge)) {
            fail(st, next.fault);
        }
        return false;
    }
    if (!charge_budget(st, multiply_capped(runs, next.charge))) {
        return false;
    }
    st.offset = add_saturating(st.offset, multiply_capped(runs, next.advance));
    return true;
}

// A structure at `ts` ('T'), repeated `count` times, each run from the same
// place.  Scanning every run would let a few nested counts keep the checker
// busy for years, and would take for ever on an empty body left open at the
// end of the string, which advances nothing.  So the body is scanned once,
// and the other runs are derived from that (next_run): a body that matched
// no item repeats, and its repeats are counted, not scanned; a body that
// matched the element is scanned once more, and that second run must end in
// a fault.  The budget is charged exactly as if every run had been scanned:
// each run's own span, and what the structures inside it charge.  `next`, if
// given, receives what one more run of the body would do, for the level
// around it.
const char *scan_structure(format_check_state &st, const char *ts, int depth,
                           RunOutcome *next) noexcept
{
    const std::uint64_t count = st.pending_repeat;
    st.pending_repeat = 1;
    if (ts[1] != '{') {
        return fail(st, k_brace_after_t);
    }
    // A body that is never scanned would leave its '}' to close the level
    // around it, silently skipping that level's end test.
    if (count == 0) {
        return fail(st, k_structure_repeated_zero_times);
    }
    if (depth >= k_max_struct_depth) {
        st.verdict.number = k_max_struct_depth;
        return fail(st, k_structures_too_deep);
    }
    if (flush_chunk(st) < 0) {
        return nullptr;
    }
    st.chunk_type = 0;
    st.chunk_count = 0;
    const std::uint64_t outer_alignment = st.struct_alignment;
    st.struct_alignment = 0;
    const char *body = ts + 2;
    const bool matched_before = st.matched;
    const std::uint64_t budget_before = st.scan_budget;
    const std::uint64_t offset_before = st.offset;
    // What a later run does is needed for this structure's own repeats, and
    // by the level around it when that asks; otherwise the first run is all.
    const bool derive = count > 1 || next != nullptr;
    EntryCountUse use;
    const char *end = scan_level(st, body, depth + 1, derive ? &use : nullptr);
    if (!end || !charge_budget(st, static_cast<std::uint64_t>(end - body))) {
        return nullptr;
    }
    if (derive) {
        RunOutcome first;
        first.known = st.matched == matched_before;
        first.charge = budget_before - st.scan_budget;
        first.advance = st.offset - offset_before;
        const RunOutcome later = next_run(first, use, st.pending_repeat);
        if (next) {
            *next = later;
        }
        if (later.known) {
            if (count > 1 && !repeat_runs(st, later, count - 1)) {
                return nullptr;
            }
        }
        else {
            for (std::uint64_t run = 1; run < count; ++run) {
                end = scan_level(st, body, depth + 1, nullptr);
                if (!end || !charge_budget(st, static_cast<std::uint64_t>(end - body))) {
                    return nullptr;
                }
            }
        }
    }
    if (outer_alignment != 0) {
        st.struct_alignment = outer_alignment;
    }
    return end;
}

// Scans one level: the whole string at depth 0, one run of a structure body
// below, where `use` (if given) learns how the run used its entry count.
// Returns the position after the level's end ('}' or the string's end), or
// null with the verdict set.
const char *scan_level(format_check_state &st, const char *ts, int depth,
                       EntryCountUse *use) noexcept
{
    // The count pending at the start is the run's own until a number
    // replaces it or something uses it.
    bool entry_count_live = use != nullptr;
    for (;;) {
        ++st.steps;
        const char c = *ts;
        switch (c) {
        case '\0':
            // The end test runs at whatever level the string ends; an
            // unclosed structure that holds the one double is still one double.
            if (flush_chunk(st) < 0) {
                return nullptr;
            }
            if (!st.matched) {
                chunk_mismatch(st);
                return nullptr;
            }
            return ts;
        case ' ':
        case '\n':
        case '\r': ++ts; break;
        case '@':
        case '=':
        case '^':
            st.next_packing = c;
            ++ts;
            break;
        case '<':
            st.next_packing = '=';
            ++ts;
            break;
        case '>':
        case '!': return fail(st, k_big_endian);
        case 'x': {
            if (flush_chunk(st) < 0) {
                return nullptr;
            }
            const std::uint64_t offset_before = st.offset;
            st.offset = add_saturating(st.offset, st.pending_repeat);
            if (entry_count_live) {
                use->kind = EntryCountUse::k_pad;
                use->pad_advance = st.offset - offset_before;
                entry_count_live = false;
            }
            st.pending_repeat = 1;
            st.chunk_count = 0;
            st.chunk_type = 0;
            st.chunk_packing = st.next_packing;
            ++ts;
            break;
        }
        case 'T': {
            const std::uint64_t budget_before = st.scan_budget;
            RunOutcome next;
            ts = scan_structure(st, ts, depth, entry_count_live ? &next : nullptr);
            if (!ts) {
                return nullptr;
            }
            if (entry_count_live) {
                use->kind = EntryCountUse::k_structure;
                use->structure_charge = budget_before - st.scan_budget;
                use->structure_next = next;
                entry_count_live = false;
            }
            break;
        }
        case '}': {
            if (depth == 0) {
                return fail(st, k_unmatched_brace);
            }
            const std::uint64_t alignment = st.struct_alignment;
            if (flush_chunk(st) < 0) {
                return nullptr;
            }
            st.chunk_type = 0;
            if (alignment != 0) {
                st.offset = align_up(st.offset, alignment);
            }
            return ts + 1;
        }
        case ':':
            // A field name; names are not compared.
            for (++ts; *ts && *ts != ':'; ++ts) {
                ++st.steps;
            }
            if (!*ts) {
                return fail(st, k_unclosed_name);
            }
            ++ts;
            break;
        case '(':
            if (entry_count_live) {
                use->kind = EntryCountUse::k_dimensions;
                entry_count_live = false;
            }
            ts = scan_dimensions(st, ts);
            if (!ts) {
                return nullptr;
            }
            break;
        case 'Z':
            if (ts[1] != 'f' && ts[1] != 'd' && ts[1] != 'g') {
                return fail_char(st, k_complex_prefix, 'Z');
            }
            if (add_item(st, ts[1], true) < 0) {
                return nullptr;
            }
            entry_count_live = false;
            ts += 2;
            break;
        default:
            if (is_digit(c)) {
                ts = read_number(st, ts, &st.pending_repeat);
                if (!ts) {
                    return nullptr;
                }
                entry_count_live = false;
                break;
            }
            if (!lookup_item(c, false)) {
                return fail_char(st, k_unknown_character, c);
            }
            if (add_item(st, c, false) < 0) {
                return nullptr;
            }
            entry_count_live = false;
            ++ts;
            break;
        }
    }
}

}  // namespace

FormatVerdict check_format(const element_desc &expected, const char *format) noexcept
{
    format_check_state st;
    st.expected = &expected;
    st.offset = 0;
    st.pending_repeat = 1;
    st.chunk_count = 0;
    st.struct_alignment = 0;
    st.scan_budget = k_scan_budget;
    st.steps = 0;
    st.matched = false;
    st.chunk_is_complex = false;
    st.array_seen = false;
    st.chunk_type = 0;
    st.next_packing = '@';
    st.chunk_packing = '@';
    scan_level(st, format, 0, nullptr);
    st.verdict.steps = st.steps;
    return st.verdict;
}

}  // namespace tavorin
