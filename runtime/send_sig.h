// Process lookup and signalling.
#pragma once

// 0 when a process whose command name is exactly name runs; non-zero when
// none runs or the lookup failed.
int find_process(const char* name);
