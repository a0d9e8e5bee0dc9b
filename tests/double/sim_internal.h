// What the scripted parts of the tests' machine share: the Linux back end's internals, seen from
// namespace sim.
#pragma once

#include "platform/posix/posix_internal.h"
#include "tests/double/sim_machine.h"

namespace sim {

using posix::Fail;
using posix::HandleEntry;
using posix::KeyOf;

}  // namespace sim
