#pragma once

#include <vantry/BuildConfig.h>

namespace vantry::InstallCheckpoint {

#if VANTRY_TEST_HOOKS
/// Passes the named point of a job to the test hook, if one is set.
void reach(const char *point);
#else
inline void reach(const char *) {}
#endif

} // namespace vantry::InstallCheckpoint
