#include "commands/update/update_lock.h"

#include "commands/update/installation.h"

// Not one of the staging names (none ends in 16 hex digits): the sweep of
// leftovers never takes it for one.
std::string UpdateLock::fileName(const std::string& name) { return stagingStem(name) + ".vantrell.lock"; }
