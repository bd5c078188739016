// The start-up check of the running host's version against the one the module was built for.
#include "operators/version_check.hpp"

#include "host/compat.hpp"
#include "host/refs.hpp"
#include "operators/names.hpp"

namespace tavorin {

int check_runtime_version() noexcept
{
    char build_version[compat::k_version_text_size] = {};
    PyOS_snprintf(build_version, sizeof(build_version), "%d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION);
    return warn_version_mismatch(build_version, Py_GetVersion());
}

int warn_version_mismatch(const char *build_version, const char *runtime_version) noexcept
{
    char build_text[compat::k_version_text_size];
    char runtime_text[compat::k_version_text_size];
    compat::major_minor(build_version, build_text);
    compat::major_minor(runtime_version, runtime_text);
    if (compat::same_version(build_text, runtime_text)) {
        return 0;
    }
    char message[k_message_size];
    PyOS_snprintf(message, sizeof(message),
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  build_text, k_qualified_module, runtime_text);
    return PyErr_WarnEx(nullptr, message, 1);
}

}  // namespace tavorin
