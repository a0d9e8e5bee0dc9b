// STUB: replaced by the services of the simulated machine.
#include "platform/sim/sim_internal.h"
