#pragma once

#include "capture/capturecycle.h"

namespace pixkeep {

// The same picture copied again by a person comes seconds later, not as
// quickly as a clipboard manager puts its copy back: each reading of the
// cycle's clock moves on by twice the interval within which a picture that
// reappears counts as put back.
inline void copiesComeFromAPerson(CaptureCycle& cycle) {
  cycle.clock = [t = CaptureCycle::Clock::time_point()]() mutable { return t += CaptureCycle::RestoreInterval * 2; };
}

}  // namespace pixkeep
