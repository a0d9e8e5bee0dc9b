// STUB: replaced by the processes of the simulated machine.
#include "platform/sim/sim_internal.h"
