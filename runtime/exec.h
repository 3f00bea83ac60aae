// Program execution: running other programs by path.
#pragma once

// Runs path with the given arguments after argv[0] (argv[0] is path),
// ending in a null pointer; at most 99 are used. Returns the child's exit
// status, or -1; a failed run has been reported with the child's own
// standard error text.
[[gnu::sentinel]] int exec_program(const char* path, ...);
