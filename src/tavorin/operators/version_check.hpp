// The start-up check of the running host's version against the one the module was built for.
#ifndef TAVORIN_VERSION_CHECK_HPP
#define TAVORIN_VERSION_CHECK_HPP

namespace tavorin {

// Warns when the running host's version differs from the build's: 0, or -1
// when the warning was turned into an exception.
int check_runtime_version() noexcept;

// The comparison and warning, with both versions given as texts that start
// with "major.minor" (a host's full version string will do).
int warn_version_mismatch(const char *build_version, const char *runtime_version) noexcept;

}  // namespace tavorin

#endif
