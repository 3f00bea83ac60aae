// Command line and dispatch of cifsctl.
#pragma once

// Parses argv, loads the product configuration, performs the service option
// or the one selected action and returns the exit status. Fatal conditions
// end the process from inside.
int cifsctl_main(int argc, char** argv);

// Writes the usage text to standard output and ends the process with 0.
[[noreturn]] void print_usage();
