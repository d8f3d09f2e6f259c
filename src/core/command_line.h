// SPDX-License-Identifier: Apache-2.0
// The daemon's command line. It runs without arguments; --help and --version only print.
#pragma once

// Prints the help or the version on standard output, or the usage on standard error for
// anything else, and returns the status to exit with; returns -1 when there are no
// arguments and the daemon is to run.
int handleCommandLine(int argc, const char* const* argv);
