// The one instance of the process-wide state.
#include "state.hpp"

namespace tavorin {

ProcessState state;

}  // namespace tavorin
