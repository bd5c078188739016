// The one instance of the process-wide state.
#include "operators/state.hpp"

namespace tavorin {

ProcessState state;

}  // namespace tavorin
