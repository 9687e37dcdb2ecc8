// The escape guard of the tar target (untar_guard.c).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// From now on, every call that would create, change, link or remove anything outside
// `real_destination` (a real path: no links, no trailing slash) stops the program.
void untar_guard_arm(const char* real_destination);
void untar_guard_disarm(void);

#ifdef __cplusplus
}
#endif
