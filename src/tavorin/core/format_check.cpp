// The buffer format-string checker: reads every construct of the extended struct syntax.
//
// The string comes from whatever exports the caller's buffer and is not
// trusted.  The checker makes one pass over it without allocating, bounds its
// recursion and the work that structure repeats can cause, and accepts a
// string only when it describes exactly one element of the expected type at
// offset 0.  It reports the first disagreement as a verdict; the caller turns
// that into its exception.
#include "core/format_check.hpp"

#include <limits>

namespace tavorin {

const element_desc double_desc = {"double", sizeof(double), 'R'};

namespace {

constexpr int max_struct_depth = 64;
constexpr std::uint64_t max_repeat = 2147483647;
// Enough for any format an exporter really produces; a hostile string of
// nested repeats ("2000000000T{2000000000T{}}") would otherwise run for years.
constexpr std::uint64_t scan_budget = std::uint64_t(1) << 24;
// Offsets saturate here; far beyond any buffer, and printable as a signed size.
constexpr std::uint64_t max_offset = std::numeric_limits<std::int64_t>::max();

struct format_check_state {
    const element_desc *expected;
    std::uint64_t offset;
    std::uint64_t pending_repeat;
    std::uint64_t chunk_count;
    std::uint64_t struct_alignment;
    // Characters that structure bodies may still scan; see scan_structure.
    std::uint64_t scan_budget;
    bool matched;
    bool chunk_is_complex;
    bool array_seen;
    char chunk_type;
    char next_packing;
    char chunk_packing;
    FormatVerdict verdict;
};

struct item_info {
    const char *text;
    std::uint64_t native_size;
    std::uint64_t standard_size;  // 0: none defined
    std::uint64_t alignment;
    char group;
};

const item_info *lookup_item(char type, bool complex) noexcept
{
    static constexpr item_info bool_ = {"'bool'", 1, 1, 1, 'U'};
    static constexpr item_info char_ = {"'char'", 1, 1, 1, 'H'};
    static constexpr item_info schar = {"'signed char'", 1, 1, 1, 'I'};
    static constexpr item_info uchar = {"'unsigned char'", 1, 1, 1, 'U'};
    static constexpr item_info short_ = {"'short'", 2, 2, 2, 'I'};
    static constexpr item_info ushort = {"'unsigned short'", 2, 2, 2, 'U'};
    static constexpr item_info int_ = {"'int'", 4, 4, 4, 'I'};
    static constexpr item_info uint = {"'unsigned int'", 4, 4, 4, 'U'};
    static constexpr item_info long_ = {"'long'", 8, 4, 8, 'I'};
    static constexpr item_info ulong = {"'unsigned long'", 8, 4, 8, 'U'};
    static constexpr item_info llong = {"'long long'", 8, 8, 8, 'I'};
    static constexpr item_info ullong = {"'unsigned long long'", 8, 8, 8, 'U'};
    static constexpr item_info float_ = {"'float'", 4, 4, 4, 'R'};
    static constexpr item_info cfloat = {"'complex float'", 8, 8, 4, 'C'};
    static constexpr item_info double_ = {"'double'", 8, 8, 8, 'R'};
    static constexpr item_info cdouble = {"'complex double'", 16, 16, 8, 'C'};
    static constexpr item_info ldouble = {"'long double'", 16, 0, 16, 'R'};
    static constexpr item_info cldouble = {"'complex long double'", 32, 0, 16, 'C'};
    static constexpr item_info object = {"Python object", 8, 8, 8, 'O'};
    static constexpr item_info string = {"a string", 1, 1, 1, 'I'};
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
    return (b > max_offset - a) ? max_offset : a + b;
}

std::uint64_t align_up(std::uint64_t offset, std::uint64_t alignment) noexcept
{
    // offset <= max_offset, so this cannot wrap.
    return (offset + alignment - 1) / alignment * alignment;
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
    st.verdict.fault = FormatFault::dtype_mismatch;
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
    const item_info *item = lookup_item(st.chunk_type, st.chunk_is_complex);
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
        fail(st, FormatFault::field_offset);
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
        value = value * 10 + static_cast<std::uint64_t>(*ts - '0');
        if (value > max_repeat) {
            st.verdict.number = static_cast<std::int64_t>(max_repeat);
            return fail(st, FormatFault::number_too_large);
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
        return fail(st, FormatFault::repeated_array);
    }
    if (flush_chunk(st) < 0) {
        return nullptr;
    }
    ++ts;
    std::int64_t count = 0;
    while (*ts && *ts != ')') {
        if (is_dimension_blank(*ts)) {
            ++ts;
            continue;
        }
        if (!is_digit(*ts)) {
            return fail_char(st, FormatFault::unknown_character, *ts);
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
            return fail_char(st, FormatFault::missing_comma, *ts);
        }
        ++count;
    }
    if (count != 0) {
        st.verdict.number = count;
        return fail(st, FormatFault::dimension_count);
    }
    if (!*ts) {
        return fail(st, FormatFault::unclosed_dimensions);
    }
    if (st.matched) {
        dtype_mismatch(st, "an array");
        return nullptr;
    }
    st.array_seen = true;
    st.pending_repeat = 1;
    return ts + 1;
}

const char *scan_level(format_check_state &st, const char *ts, int depth) noexcept;

// A structure at `ts` ('T').  Its body is scanned once per repeat, each time
// from the same place; the work of all bodies together is bounded so that
// nested repeat counts cannot keep the checker busy for ever.
const char *scan_structure(format_check_state &st, const char *ts, int depth) noexcept
{
    const std::uint64_t count = st.pending_repeat;
    st.pending_repeat = 1;
    if (ts[1] != '{') {
        return fail(st, FormatFault::brace_after_t);
    }
    // A body that is never scanned would leave its '}' to close the level
    // around it, silently skipping that level's end test.
    if (count == 0) {
        return fail(st, FormatFault::structure_repeated_zero_times);
    }
    if (depth >= max_struct_depth) {
        st.verdict.number = max_struct_depth;
        return fail(st, FormatFault::structures_too_deep);
    }
    if (flush_chunk(st) < 0) {
        return nullptr;
    }
    st.chunk_type = 0;
    st.chunk_count = 0;
    const std::uint64_t outer_alignment = st.struct_alignment;
    st.struct_alignment = 0;
    const char *body = ts + 2;
    const char *end = body;
    for (std::uint64_t run = 0; run < count; ++run) {
        end = scan_level(st, body, depth + 1);
        if (!end) {
            return nullptr;
        }
        const auto scanned = static_cast<std::uint64_t>(end - body);
        if (scanned > st.scan_budget) {
            return fail(st, FormatFault::structures_repeated_too_often);
        }
        st.scan_budget -= scanned;
    }
    if (outer_alignment != 0) {
        st.struct_alignment = outer_alignment;
    }
    return end;
}

// Scans one level: the whole string at depth 0, one structure body below.
// Returns the position after the level's end ('}' or the string's end), or
// null with the verdict set.
const char *scan_level(format_check_state &st, const char *ts, int depth) noexcept
{
    for (;;) {
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
        case '!': return fail(st, FormatFault::big_endian);
        case 'x':
            if (flush_chunk(st) < 0) {
                return nullptr;
            }
            st.offset = add_saturating(st.offset, st.pending_repeat);
            st.pending_repeat = 1;
            st.chunk_count = 0;
            st.chunk_type = 0;
            st.chunk_packing = st.next_packing;
            ++ts;
            break;
        case 'T':
            ts = scan_structure(st, ts, depth);
            if (!ts) {
                return nullptr;
            }
            break;
        case '}': {
            if (depth == 0) {
                return fail(st, FormatFault::unmatched_brace);
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
            }
            if (!*ts) {
                return fail(st, FormatFault::unclosed_name);
            }
            ++ts;
            break;
        case '(':
            ts = scan_dimensions(st, ts);
            if (!ts) {
                return nullptr;
            }
            break;
        case 'Z':
            if (ts[1] != 'f' && ts[1] != 'd' && ts[1] != 'g') {
                return fail_char(st, FormatFault::complex_prefix, 'Z');
            }
            if (add_item(st, ts[1], true) < 0) {
                return nullptr;
            }
            ts += 2;
            break;
        default:
            if (is_digit(c)) {
                ts = read_number(st, ts, &st.pending_repeat);
                if (!ts) {
                    return nullptr;
                }
                break;
            }
            if (!lookup_item(c, false)) {
                return fail_char(st, FormatFault::unknown_character, c);
            }
            if (add_item(st, c, false) < 0) {
                return nullptr;
            }
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
    st.scan_budget = scan_budget;
    st.matched = false;
    st.chunk_is_complex = false;
    st.array_seen = false;
    st.chunk_type = 0;
    st.next_packing = '@';
    st.chunk_packing = '@';
    scan_level(st, format, 0);
    return st.verdict;
}

}  // namespace tavorin
