// The part of XLA's C interface for foreign functions (its "FFI", API 0.x) that our handler uses.
//
// XLA keeps this interface binary-stable: structs only grow at their end, and
// each carries its size, so a handler built against these declarations runs
// under every jaxlib that offers jax.ffi.  Only what the handler reads or
// calls is declared; the rest of a struct beyond it is never touched.
#ifndef TAVORIN_SIMPLEX_XLA_ABI_HPP
#define TAVORIN_SIMPLEX_XLA_ABI_HPP

#include <cstddef>
#include <cstdint>

namespace tavorin::xla {

extern "C" {

// Chained on a call frame; XLA asks for a handler's metadata with one of type 1.
struct Extension {
    std::size_t struct_size;
    int type;
    Extension *next;
};
constexpr int k_extension_metadata = 1;

struct ApiVersion {
    std::size_t struct_size;
    Extension *extension_start;
    int major_version;
    int minor_version;
};

struct Metadata {
    std::size_t struct_size;
    ApiVersion api_version;
    std::uint32_t traits;
};

struct MetadataExtension {
    Extension extension_base;
    Metadata *metadata;
};

struct Error;

enum ErrorCode : int {
    k_invalid_argument = 3,
    k_resource_exhausted = 8,
    k_internal = 13,
};

struct ErrorCreateArgs {
    std::size_t struct_size;
    Extension *extension_start;
    const char *message;  // copied by XLA
    ErrorCode errc;
};

enum DataType : int {
    k_s32 = 4,
    k_s64 = 5,
    k_f32 = 11,
    k_f64 = 12,
};

struct Buffer {
    std::size_t struct_size;
    Extension *extension_start;
    DataType dtype;
    void *data;
    std::int64_t rank;
    std::int64_t *dims;
};

constexpr int k_buffer = 1;  // the type of every argument and result we take
constexpr int k_attr_scalar = 3;

struct Scalar {
    DataType dtype;
    void *value;
};

struct ByteSpan {
    const char *ptr;
    std::size_t len;
};

struct Args {
    std::size_t struct_size;
    Extension *extension_start;
    std::int64_t size;
    int *types;
    void **args;
};

struct Rets {
    std::size_t struct_size;
    Extension *extension_start;
    std::int64_t size;
    int *types;
    void **rets;
};

struct Attrs {
    std::size_t struct_size;
    Extension *extension_start;
    std::int64_t size;
    int *types;
    ByteSpan **names;
    void **attrs;
};

struct Api;

constexpr int k_stage_execute = 3;

struct CallFrame {
    std::size_t struct_size;
    Extension *extension_start;
    const Api *api;
    void *ctx;
    int stage;
    Args args;
    Rets rets;
    Attrs attrs;
};

using ErrorCreate = Error *(ErrorCreateArgs *);

// The table's head, as far as its first function.
struct Api {
    std::size_t struct_size;
    Extension *extension_start;
    ApiVersion api_version;
    const void *internal_api;
    ErrorCreate *error_create;
};

using Handler = Error *(CallFrame *);

}  // extern "C"

}  // namespace tavorin::xla

#endif
