// Typed buffer views and the buffer format-string checker.
//
// A caller's array is acquired once per call, through one buffer request,
// by a view object of our own type; the row sequences handed to `min` and
// `max` share that object instead of asking the exporter again.  The view
// object counts its holds atomically and keeps one strong reference for all
// of them, so the caller's buffer stays exported exactly as long as some
// view refers to it.
//
// The exporter is not trusted: everything it reports (dimension count,
// shape, strides, suboffsets, length, address, read-only flag, format) is
// checked before the view is handed out, so the module never reads or
// writes outside the exported memory whatever the exporter claims.
//
// The format checker makes one pass over the string without allocating,
// bounds its recursion and the work that structure repeats can cause, and
// accepts a string only when it describes exactly one element of the
// expected type at offset 0.
#include "buffer_views.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

namespace tavorin {

// ---------------------------------------------------------------------------
// Element descriptions
// ---------------------------------------------------------------------------

// What the format checker compares against.  The module only ever expects a
// plain scalar, so a description has no array extents and no fields.
struct element_desc {
    const char *name;
    std::uint64_t size;
    char kind_group;  // 'H' char, 'I' signed, 'U' unsigned/bool, 'R' real, 'C' complex, 'O' object
};

const element_desc double_desc = {"double", sizeof(double), 'R'};

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
};

namespace {

// ---------------------------------------------------------------------------
// Process-wide state, written by prepare_view_types only
// ---------------------------------------------------------------------------

struct ViewState {
    ViewExceptions exceptions;
    // The message of the IndexError that ends every row iteration, made once
    // because each bracket raises it twice per row.
    Global out_of_bounds;
};

ViewState view_state;

PyObject *value_error() noexcept
{
    return view_state.exceptions.value_error;
}

// ---------------------------------------------------------------------------
// Format checker
// ---------------------------------------------------------------------------

constexpr int max_struct_depth = 64;
constexpr std::uint64_t max_repeat = 2147483647;
// Enough for any format an exporter really produces; a hostile string of
// nested repeats ("2000000000T{2000000000T{}}") would otherwise run for years.
constexpr std::uint64_t scan_budget = std::uint64_t(1) << 24;
// Offsets saturate here; far beyond any buffer, and printable with %zd.
constexpr std::uint64_t max_offset = PY_SSIZE_T_MAX;

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

// The "%c" messages show the offending byte itself, except that a byte above
// 127 is shown as \xNN: on its own it is not a character of any text.
int raise_with_char(const char *before, char c, const char *after) noexcept
{
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 128) {
        PyErr_Format(value_error(), "%s%c%s", before, static_cast<int>(byte), after);
    }
    else {
        static const char hex[] = "0123456789abcdef";
        const char shown[] = {'\\', 'x', hex[byte >> 4], hex[byte & 15], '\0'};
        PyErr_Format(value_error(), "%s%s%s", before, shown, after);
    }
    return -1;
}

const char *fail_char(const char *before, char c, const char *after) noexcept
{
    raise_with_char(before, c, after);
    return nullptr;
}

const char *fail(const char *message) noexcept
{
    PyErr_SetString(value_error(), message);
    return nullptr;
}

int raise_dtype_mismatch(const format_check_state &st) noexcept
{
    const char *got = "end";
    if (st.chunk_type) {
        got = lookup_item(st.chunk_type, st.chunk_is_complex)->text;
    }
    if (!st.matched) {
        PyErr_Format(value_error(), "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     st.expected->name, "'", got);
    }
    else {
        PyErr_Format(value_error(), "Buffer dtype mismatch, expected %s%s%s but got %s", "", "end",
                     "", got);
    }
    return -1;
}

// Matches the pending chunk of like items against the expected element.
int flush_chunk(format_check_state &st) noexcept
{
    if (!st.chunk_type) {
        return 0;
    }
    if (st.matched) {
        return raise_dtype_mismatch(st);
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
            return raise_dtype_mismatch(st);
        }
    }
    if (st.offset != 0) {
        PyErr_Format(value_error(),
                     "Buffer dtype mismatch; next field is at offset %zd but %zd expected",
                     static_cast<Py_ssize_t>(st.offset), Py_ssize_t(0));
        return -1;
    }
    st.offset = add_saturating(st.offset, size);
    // A chunk of 0 items wraps here and is refused below, like any count but 1.
    st.chunk_count -= 1;
    st.matched = true;
    if (st.chunk_count != 0) {
        return raise_dtype_mismatch(st);
    }
    st.chunk_type = 0;
    st.chunk_is_complex = false;
    return 0;
}

// Reads a decimal number at `ts`.  Counts beyond 32 bits are refused rather
// than wrapped, so no overlong count can turn into an accepted one.
const char *read_number(const char *ts, std::uint64_t *out) noexcept
{
    std::uint64_t value = 0;
    for (; is_digit(*ts); ++ts) {
        value = value * 10 + static_cast<std::uint64_t>(*ts - '0');
        if (value > max_repeat) {
            return fail("Number in format string exceeds 2147483647");
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
        return fail("Cannot handle repeated arrays in format string");
    }
    if (flush_chunk(st) < 0) {
        return nullptr;
    }
    ++ts;
    Py_ssize_t count = 0;
    while (*ts && *ts != ')') {
        if (is_dimension_blank(*ts)) {
            ++ts;
            continue;
        }
        if (!is_digit(*ts)) {
            return fail_char("Does not understand character buffer dtype format string ('", *ts,
                             "')");
        }
        std::uint64_t extent;
        ts = read_number(ts, &extent);
        if (!ts) {
            return nullptr;
        }
        if (*ts == ',') {
            ++ts;
        }
        else if (*ts != ')') {
            return fail_char("Expected a comma in format string, got '", *ts, "'");
        }
        ++count;
    }
    if (count != 0) {
        PyErr_Format(value_error(), "Expected %d dimension(s), got %zd", 0, count);
        return nullptr;
    }
    if (!*ts) {
        return fail("Unexpected end of format string, expected ')'");
    }
    if (st.matched) {
        return fail("Buffer dtype mismatch, expected end but got an array");
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
        return fail("Buffer acquisition: Expected '{' after 'T'");
    }
    // A body that is never scanned would leave its '}' to close the level
    // around it, silently skipping that level's end test.
    if (count == 0) {
        return fail("Cannot handle structures repeated 0 times in format string");
    }
    if (depth >= max_struct_depth) {
        return fail("Buffer format string nests structures deeper than 64 levels");
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
            return fail("Buffer format string repeats structures too often to be checked");
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
// null with a ValueError set.
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
                raise_dtype_mismatch(st);
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
        case '!': return fail("Big-endian buffer not supported on little-endian compiler");
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
                return fail("Unmatched '}' in format string");
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
                return fail("Unexpected end of format string, expected ':'");
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
                return fail_char("Unexpected format string character: '", 'Z', "'");
            }
            if (add_item(st, ts[1], true) < 0) {
                return nullptr;
            }
            ts += 2;
            break;
        default:
            if (is_digit(c)) {
                ts = read_number(ts, &st.pending_repeat);
                if (!ts) {
                    return nullptr;
                }
                break;
            }
            if (!lookup_item(c, false)) {
                return fail_char("Does not understand character buffer dtype format string ('", c,
                                 "')");
            }
            if (add_item(st, c, false) < 0) {
                return nullptr;
            }
            ++ts;
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// View objects
// ---------------------------------------------------------------------------

// "tavorin.operators.memoryview": one buffer acquisition and its hold count.
//
// These objects are reachable only from the C stack of a call and from the
// row sequences made during it, so they can never be part of a reference
// cycle; they are not tracked by the garbage collector, which keeps the
// per-row sequence objects cheap.
struct ViewObject {
    PyObject_HEAD
    PyObject *exporter;
    std::atomic<int> acquisition_count;
    Py_buffer buffer;
    int flags;
};

static_assert(sizeof(std::atomic<int>) == sizeof(int), "the count is a plain 32-bit integer");

// "tavorin.operators._memoryviewslice": one row of a held view as a sequence
// of floats.  Its own view part acquires nothing; `hold` refers to the view
// object of the call.
struct RowSequence {
    ViewObject base;
    DoubleView2D hold;
    const char *row;
    Py_ssize_t length;
};

PyTypeObject view_type{};
PyTypeObject row_type{};

constexpr int request_flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;
static_assert(request_flags == 61, "the request every exporter sees");

ViewObject *as_view_object(PyObject *owner) noexcept
{
    return reinterpret_cast<ViewObject *>(owner);
}

// The part of the view object that a bare allocation leaves undefined.
void init_view_fields(ViewObject *self) noexcept
{
    self->exporter = nullptr;
    new (&self->acquisition_count) std::atomic<int>(0);
    std::memset(&self->buffer, 0, sizeof self->buffer);
    self->flags = 0;
}

void clear_view_fields(ViewObject *self) noexcept
{
    // Deallocation may run while an exception is propagating (the failed
    // acquisition drops its view object on its way out); releasing the buffer
    // can run arbitrary code of the exporter, which must not see or lose it.
    PyObject *type;
    PyObject *value;
    PyObject *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (self->buffer.obj) {
        PyBuffer_Release(&self->buffer);
    }
    Py_CLEAR(self->exporter);
    PyErr_Restore(type, value, traceback);
}

void destroy_view_object(PyObject *self) noexcept
{
    clear_view_fields(as_view_object(self));
    Py_TYPE(self)->tp_free(self);
}

PyObject *create_view_object(PyObject *obj, int flags) noexcept
{
    ViewObject *self = PyObject_New(ViewObject, &view_type);
    if (!self) {
        return nullptr;
    }
    init_view_fields(self);
    Ref owned(reinterpret_cast<PyObject *>(self));
    Py_INCREF(obj);
    self->exporter = obj;
    self->flags = flags;
    if (PyObject_GetBuffer(obj, &self->buffer, flags) < 0) {
        // The protocol says a failed request leaves `obj` empty; make sure
        // the deallocation does not release what was never obtained.
        self->buffer.obj = nullptr;
        if (!PyErr_Occurred()) {
            PyErr_SetString(value_error(), "Buffer request failed without an exception");
        }
        return nullptr;
    }
    if (!self->buffer.obj) {
        Py_INCREF(Py_None);
        self->buffer.obj = Py_None;
    }
    return owned.release();
}

[[noreturn]] void fatal_count(int count, int site) noexcept
{
    char message[200];
    PyOS_snprintf(message, sizeof message, "Acquisition count is %d (line %d)", count, site);
    Py_FatalError(message);
}

// ---------------------------------------------------------------------------
// Row sequences
// ---------------------------------------------------------------------------

void destroy_row_sequence(PyObject *self) noexcept
{
    auto *seq = reinterpret_cast<RowSequence *>(self);
    release_view(&seq->hold, __LINE__);
    clear_view_fields(&seq->base);
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t row_length(PyObject *self) noexcept
{
    return reinterpret_cast<RowSequence *>(self)->length;
}

// The host adds the length to a negative index before calling this, so a
// negative index here is out of range: adding it again would let indices
// from -2n to -n-1 wrap around into the row.
PyObject *row_item(PyObject *self, Py_ssize_t i) noexcept
{
    auto *seq = reinterpret_cast<RowSequence *>(self);
    if (static_cast<std::size_t>(i) >= static_cast<std::size_t>(seq->length)) {
        PyErr_SetObject(view_state.exceptions.index_error, view_state.out_of_bounds.get());
        return nullptr;
    }
    // Copied as bytes so that NaN payloads and -0.0 come out unchanged.
    double value;
    std::memcpy(&value, seq->row + i * static_cast<Py_ssize_t>(sizeof(double)), sizeof value);
    return PyFloat_FromDouble(value);
}

PySequenceMethods row_sequence_methods{};

int ready_types() noexcept
{
    if (!(view_type.tp_flags & Py_TPFLAGS_READY)) {
        Py_SET_REFCNT(reinterpret_cast<PyObject *>(&view_type), 1);
        view_type.tp_name = "tavorin.operators.memoryview";
        view_type.tp_basicsize = sizeof(ViewObject);
        view_type.tp_dealloc = destroy_view_object;
        view_type.tp_flags = Py_TPFLAGS_DEFAULT;
        view_type.tp_free = PyObject_Del;
        if (PyType_Ready(&view_type) < 0) {
            return -1;
        }
    }
    if (!(row_type.tp_flags & Py_TPFLAGS_READY)) {
        row_sequence_methods.sq_length = row_length;
        row_sequence_methods.sq_item = row_item;
        Py_SET_REFCNT(reinterpret_cast<PyObject *>(&row_type), 1);
        row_type.tp_name = "tavorin.operators._memoryviewslice";
        row_type.tp_basicsize = sizeof(RowSequence);
        row_type.tp_dealloc = destroy_row_sequence;
        row_type.tp_as_sequence = &row_sequence_methods;
        // No tp_iter: the builtins iterate the row as an old-style sequence,
        // asking for items 0, 1, ... until the IndexError.
        row_type.tp_flags = Py_TPFLAGS_DEFAULT;
        row_type.tp_base = &view_type;
        row_type.tp_free = PyObject_Del;
        if (PyType_Ready(&row_type) < 0) {
            return -1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Acquisition
// ---------------------------------------------------------------------------

int refuse(const char *message) noexcept
{
    PyErr_SetString(value_error(), message);
    return -1;
}

// Suboffsets and strides of one axis, as far as the view's axis
// requirements go: `direct_stride` is the one stride the axis may have, or 0
// when any stride of magnitude at least the item size will do.
int check_axis(const Py_buffer &b, int axis, Py_ssize_t direct_stride) noexcept
{
    if (b.shape[axis] > 1) {
        if (!b.strides) {
            if (b.suboffsets) {
                return refuse("Buffer exposes suboffsets but no strides");
            }
        }
        else {
            const Py_ssize_t stride = b.strides[axis];
            const bool fits = direct_stride ? stride == direct_stride
                                            : (stride >= b.itemsize || stride <= -b.itemsize);
            if (!fits) {
                return refuse("Buffer and memoryview are not contiguous in the same dimension.");
            }
        }
    }
    if (b.suboffsets && b.suboffsets[axis] >= 0) {
        PyErr_Format(value_error(), "Buffer not compatible with direct access in dimension %d.",
                     axis);
        return -1;
    }
    return 0;
}

int check_layout(const Py_buffer &b) noexcept
{
    if (check_axis(b, 0, 0) < 0 || check_axis(b, 1, b.itemsize) < 0) {
        return -1;
    }
    if (b.strides) {
        Py_ssize_t expected = b.itemsize;
        for (int axis = 1; axis >= 0; --axis) {
            if (b.shape[axis] > 1 && b.strides[axis] != expected) {
                return refuse("Buffer not C contiguous.");
            }
            // Cannot wrap: the caller has checked that the extents' product
            // times the item size fits.
            expected *= b.shape[axis];
        }
    }
    return 0;
}

// Everything about the exported buffer, in the order a caller sees the
// refusals: the request, the dimension count, the format, the item size,
// the shape, the layout, and that the memory really covers the shape.
int check_buffer(const Py_buffer &b) noexcept
{
    if (b.readonly) {
        // An exporter that honours the request never gets here; we write
        // into this memory, so one that ignores it must be refused.
        return refuse("Buffer is read-only but a writable buffer was requested");
    }
    if (b.ndim != 2) {
        PyErr_Format(value_error(), "Buffer has wrong number of dimensions (expected %d, got %d)",
                     2, b.ndim);
        return -1;
    }
    // An absent format means unsigned bytes in the buffer protocol.
    const char *format = (b.format && b.format[0]) ? b.format : "B";
    if (check_format_string(double_desc, format) < 0) {
        return -1;
    }
    if (b.itemsize != static_cast<Py_ssize_t>(double_desc.size)) {
        PyErr_Format(value_error(),
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%zu byte%s)",
                     b.itemsize, b.itemsize > 1 ? "s" : "", double_desc.name,
                     static_cast<std::size_t>(double_desc.size), "s");
        return -1;
    }
    if (!b.shape) {
        return refuse("Buffer exposes no shape");
    }
    for (int axis = 0; axis < 2; ++axis) {
        if (b.shape[axis] < 0) {
            PyErr_Format(value_error(), "Buffer has negative extent %zd in dimension %d.",
                         b.shape[axis], axis);
            return -1;
        }
    }
    Py_ssize_t row_bytes;
    Py_ssize_t total_bytes;
    if (__builtin_mul_overflow(b.shape[1], b.itemsize, &row_bytes) ||
        __builtin_mul_overflow(b.shape[0], row_bytes, &total_bytes)) {
        PyErr_Format(value_error(), "Buffer shape (%zd, %zd) is too large to address.", b.shape[0],
                     b.shape[1]);
        return -1;
    }
    if (b.len > 0 && check_layout(b) < 0) {
        return -1;
    }
    if (b.len < total_bytes) {
        PyErr_Format(value_error(),
                     "Buffer length (%zd bytes) is smaller than its shape requires (%zd bytes).",
                     b.len, total_bytes);
        return -1;
    }
    if (!b.buf && total_bytes > 0) {
        return refuse("Buffer exposes a null address for a non-empty shape");
    }
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Interface
// ---------------------------------------------------------------------------

int check_format_string(const element_desc &desc, const char *format)
{
    format_check_state st;
    st.expected = &desc;
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
    return scan_level(st, format, 0) ? 0 : -1;
}

int prepare_view_types(const ViewExceptions &exceptions)
{
    view_state.exceptions = exceptions;
    if (!view_state.out_of_bounds) {
        view_state.out_of_bounds.reset(
            PyUnicode_FromFormat("Out of bounds on buffer access (axis %d)", 0));
        if (!view_state.out_of_bounds) {
            return -1;
        }
    }
    return ready_types();
}

int complete_view_types()
{
    // Nothing to add once the function is published: the view types stay
    // internal and never appear in the module namespace.
    return 0;
}

int acquire_double_view_2d(PyObject *obj, DoubleView2D *view)
{
    *view = DoubleView2D();
    if (obj == Py_None) {
        view->owner = Py_None;
        return 0;
    }
    Ref owner(create_view_object(obj, request_flags));
    if (!owner) {
        return -1;
    }
    const Py_buffer &b = as_view_object(owner.get())->buffer;
    if (check_buffer(b) < 0) {
        return -1;  // dropping `owner` releases the caller's buffer
    }
    for (int axis = 0; axis < 2; ++axis) {
        view->shape[axis] = b.shape[axis];
        view->suboffsets[axis] = b.suboffsets ? b.suboffsets[axis] : -1;
    }
    if (b.strides) {
        view->strides[0] = b.strides[0];
        view->strides[1] = b.strides[1];
    }
    else {
        view->strides[1] = b.itemsize;
        view->strides[0] = b.itemsize * b.shape[1];
    }
    view->data = static_cast<char *>(b.buf);
    // The creation reference becomes the one strong reference of all holds.
    as_view_object(owner.get())->acquisition_count.fetch_add(1);
    view->owner = owner.release();
    return 0;
}

void release_view(DoubleView2D *view, int site)
{
    PyObject *owner = view->owner;
    view->owner = nullptr;
    if (!owner || owner == Py_None) {
        return;
    }
    const int before = as_view_object(owner)->acquisition_count.fetch_sub(1);
    if (before <= 0) {
        fatal_count(before, site);
    }
    view->data = nullptr;
    if (before == 1) {
        PyGILState_STATE gil = PyGILState_Ensure();
        Py_DECREF(owner);
        PyGILState_Release(gil);
    }
}

void hold_view(DoubleView2D *view, int site)
{
    PyObject *owner = view->owner;
    if (!owner || owner == Py_None) {
        return;
    }
    const int before = as_view_object(owner)->acquisition_count.fetch_add(1);
    if (before < 0) {
        fatal_count(before, site);
    }
    if (before == 0) {
        PyGILState_STATE gil = PyGILState_Ensure();
        Py_INCREF(owner);
        PyGILState_Release(gil);
    }
}

PyObject *make_row_sequence(DoubleView2D *view, Py_ssize_t row)
{
    if (!view->owner || view->owner == Py_None) {
        PyErr_SetString(value_error(), "Cannot take a row of an empty view");
        return nullptr;
    }
    if (row < 0 || row >= view->shape[0]) {
        PyErr_SetObject(view_state.exceptions.index_error, view_state.out_of_bounds.get());
        return nullptr;
    }
    RowSequence *seq = PyObject_New(RowSequence, &row_type);
    if (!seq) {
        return nullptr;
    }
    init_view_fields(&seq->base);
    new (&seq->hold) DoubleView2D();
    seq->hold.owner = view->owner;
    hold_view(&seq->hold, __LINE__);
    seq->length = view->shape[1];
    // An empty row may sit on a null address, where no offset may be added.
    seq->row = seq->length > 0 ? view->data + row * view->strides[0] : view->data;
    return reinterpret_cast<PyObject *>(seq);
}

int view_acquisition_count(const DoubleView2D &view)
{
    if (!view.owner || view.owner == Py_None) {
        return 0;
    }
    return as_view_object(view.owner)->acquisition_count.load();
}

}  // namespace tavorin
