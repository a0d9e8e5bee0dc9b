// Removal of one service's registration from both numbered control sets.
#pragma once

// Deletes "Enum" and "Security" and then the service key itself, in control set 1 and then 2.
// True when at least one of the six deletions succeeded; an empty name deletes nothing.
bool RemoveServiceKeys(const char* name);
