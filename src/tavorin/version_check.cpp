// The start-up check of the running host's version against the one the module was built for.
#include "version_check.hpp"

#include "refs.hpp"
#include "state.hpp"

namespace tavorin {

int check_runtime_version() noexcept
{
    // Only "M.m" of either version is kept, so a two-digit minor version is
    // cut to its first digit on both sides alike.
    char build_version[4] = {};
    char runtime_version[4] = {};
    PyOS_snprintf(build_version, sizeof(build_version), "%d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION);
    PyOS_snprintf(runtime_version, sizeof(runtime_version), "%s", Py_GetVersion());
    return warn_version_mismatch(build_version, runtime_version);
}

int warn_version_mismatch(const char *build_version, const char *runtime_version) noexcept
{
    if (build_version[0] == runtime_version[0] && build_version[2] == runtime_version[2]) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  build_version, k_qualified_module, runtime_version);
    return PyErr_WarnEx(nullptr, message, 1);
}

}  // namespace tavorin
