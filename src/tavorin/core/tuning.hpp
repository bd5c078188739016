// The exact solver's tuning constants, each with the reason for its value (measurements in
// bench/README.md).
#ifndef TAVORIN_CORE_TUNING_HPP
#define TAVORIN_CORE_TUNING_HPP

namespace tavorin::tuning {

// Times the finish moves the rounds' shift to its line's root, with sums
// carried exactly enough to round it, before the exact finish takes over:
// from a shift the rounds verified one move is the rule, a second is rare
// (sums the rounds' plain arithmetic got wrong by more than two doubles).
constexpr int k_settle_moves = 4;

// Doubles either side of the rounds' shift over which the finish checks
// that no element changes class: the rounds' plain sums leave their shift a
// few doubles from the rule's (which a band this wide takes without another
// pass), and an element whose breakpoint falls inside sends the vector to
// the exact finish (rows of 10: a third of them moved once with two).
constexpr int k_band_doubles = 8;

}  // namespace tavorin::tuning

#endif
