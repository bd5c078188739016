// The exact solver's tuning constants, each with the reason for its value; the
// measurements behind them are in bench/README.md ("The tuning constants").  None of
// them changes a result's bytes: they choose paths, starts and splits, and every path
// ends on the rule of finish.hpp.
#ifndef TAVORIN_CORE_TUNING_HPP
#define TAVORIN_CORE_TUNING_HPP

#include <chrono>
#include <cstddef>

namespace tavorin::tuning {

// --- The rounds (rounds.cpp, side_rounds.inc) --------------------------------

// Newton and secant rounds before bisection on the bits of the shift takes over
// (which ends within 64 more): random rows need 2 to 4, adversarial ones a dozen.
constexpr int k_newton_rounds = 16;
constexpr int k_max_rounds = k_newton_rounds + 80;
// Newton points taken, at most, where the bracket or bisection would take another
// (one rounding past an end, or agreed on by two rounds' classes): each usually ends the rounds.
constexpr int k_extra_newton_points = 3;

// --- The finish (finish.cpp) ------------------------------------------------

// Moves of the rounds' shift to its line's root before the exact finish takes over:
// one is the rule, a second is rare (plain sums off by more than two doubles).
constexpr int k_settle_moves = 4;
// Doubles either side of the rounds' shift over which the band checks that no element
// changes class: the rounds' plain sums leave their shift a few doubles from the rule's.
constexpr int k_band_doubles = 8;
// ... and at least this many roundings of the vector's scale: where the shift is small
// next to its elements, their plain sums leave it many of its own doubles off.
constexpr double k_band_roundings = 32.0;

// --- Long vectors: a sample, then a filtering pass (shift.cpp, chunks.cpp) ---

// Vectors this long are sampled and filtered: below it the filtering pass and its copy
// cost more than the rounds they save.
constexpr std::ptrdiff_t k_filter_min_n = 8192;
// Vectors this long (and shorter than k_filter_min_n) start their rounds from a small
// sample's shift rather than the hyperplane's: it saves more rounds than it costs.
constexpr std::ptrdiff_t k_sample_start_min_n = 64;
// The filter's sample: about 2 sqrt(n) elements, within these bounds.
constexpr std::ptrdiff_t k_sample_min = 32;
constexpr std::ptrdiff_t k_sample_max = 4096;
// Half the filter's band, in standard errors of the sample's shift: wide enough that
// the root is rarely outside it, narrow enough to leave few candidates.
constexpr double k_band = 3.0;
// Vectors this long whose sample has many elements free over the whole band have those
// summed by the filtering pass rather than kept: only where their copy is dear (memory
// the caches do not hold) does that repay the dearer pass.
constexpr std::ptrdiff_t k_summing_min_n = std::ptrdiff_t{3} << 20;
// A long vector's passes run over chunks of this many elements (a multiple of 16, so
// that the lanes see the elements the whole vector's pass would): a grain of the team.
constexpr std::ptrdiff_t k_chunk = std::ptrdiff_t{1} << 16;

// --- Short vectors side by side (side_*.inc) --------------------------------

// The longest vectors solved side by side: a vector alone fills one lane of four, and
// the path may depend on n only, so longer ones alone would pay four times.
constexpr std::ptrdiff_t k_side_max_n = 2048;
// Vectors taken at once: two groups of four lanes whose rounds interleave.
constexpr int k_side_rows = 8;
// From this length the rounds class the elements against thresholds (one operation
// less an element, two searches a round): faster from about 1000 elements.
constexpr std::ptrdiff_t k_side_cut_min_n = 512;
// Below this length the band's pass goes element by element, not against each end's
// thresholds: two searches for them cost more than the operations an element they save.
constexpr std::ptrdiff_t k_side_band_cut_min_n = 64;
// Below this length the band's passes keep the free elements' least magnitude, which only
// tells ties: few free elements make ties common there; on longer rows a lane at a tie
// goes on to finish::settle (the least magnitude is about a sixth of the pass).
constexpr std::ptrdiff_t k_side_least_max_n = 32;
// Below this length the rounds start from the best of three trial shifts (a pass that
// costs a round's elements); from it, from Newton's step at a probe the copy takes.
constexpr std::ptrdiff_t k_side_grid_max_n = 24;
// How much of each of the next call's vectors is fetched ahead: all of a row up to
// k_side_fetch_bytes, else its start only.
constexpr std::ptrdiff_t k_side_fetch_bytes = 1024;
constexpr std::ptrdiff_t k_side_fetch_start = 128;

// --- Warm starts within a batch (solver.cpp) --------------------------------

// Vectors start their rounds from their neighbours' shifts within chunks of a
// k_warm_share-th of the batch: side by side k_warm_calls_min to k_warm_calls_max
// calls of k_side_rows vectors, one at a time at most k_warm_vectors_max vectors.
// Longer chunks warm more starts; shorter ones share a batch out over threads.
constexpr std::ptrdiff_t k_warm_share = 16;
constexpr std::ptrdiff_t k_warm_calls_min = 8;
constexpr std::ptrdiff_t k_warm_calls_max = 32;
constexpr std::ptrdiff_t k_warm_vectors_max = 32;

// --- Threads and memory (solver.cpp, blocks.cpp, spare.cpp) ------------------

// A vector this long gets the threads to itself when there are fewer vectors than
// threads: from about here two threads beat one on a single vector.
constexpr std::ptrdiff_t k_split_min_n = std::ptrdiff_t{1} << 18;
// A call writing at least this many bytes apart from y writes its long vectors past the
// caches, which would not keep them anyway.
constexpr std::ptrdiff_t k_stream_min_bytes = std::ptrdiff_t{1} << 21;
// Vectors solved side by side this long write whole lines past the caches when the
// call does (shorter rows' four-row writes do not gather into whole lines).
constexpr std::ptrdiff_t k_side_stream_min_n = 256;
// Threads take chunks of vectors of at least this many elements in all, so that each
// repays taking it; not many more, as the last range taken decides when the call ends.
constexpr std::ptrdiff_t k_min_elements_per_take = std::ptrdiff_t{1} << 14;
// Below this many elements per thread another thread costs more than it saves.
constexpr std::ptrdiff_t k_min_elements_per_thread = 16384;
// How long a team's thread spins for the next job before it sleeps: a long vector's
// passes are jobs tens to hundreds of microseconds apart, and a sleeping thread takes
// tens of microseconds (up to milliseconds on an idle core) to wake.
constexpr auto k_spin = std::chrono::microseconds(300);
// Ranges per thread of a run_in_blocks: enough that a thread held up does not hold up
// the call, few enough that each repays taking it.
constexpr std::ptrdiff_t k_ranges_per_thread = 8;
// Scratch blocks from 1 MB to 256 MB are kept between calls: smaller ones the allocator
// recycles itself, and larger ones' memory goes back to the system.
constexpr std::ptrdiff_t k_spare_min_doubles = std::ptrdiff_t{1} << 17;
constexpr std::ptrdiff_t k_spare_max_doubles = std::ptrdiff_t{1} << 25;

// --- The one-sided sums (one_sided.cpp) --------------------------------------

// Rows up to this many elements are decided four vectors at a time (one setup, reduction
// and error bound for the four): rows of 100 took 2.8 instructions an element alone, 2.5 so.
constexpr std::ptrdiff_t k_one_sided_block_max_n = 256;
// The elements whose clips guess, for a thread's first long vector, whether its own clip
// is the result (and so is written as it is summed): a guess only, and a wrong one costs
// one pass of writes; rows shorter than twice this take the guess that it is.
constexpr std::ptrdiff_t k_one_sided_guess_sample = 32;

}  // namespace tavorin::tuning

#endif
