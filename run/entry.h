// The program's run sequence: banner, forcing data, site initialisation, time loop.
#pragma once

#include <iosfwd>

namespace kelmora {

// Runs the program with its command-line arguments; returns the exit status:
// 1 when the forcing file fails, 2 when the initialisation or the run fails,
// 0 on success or after "--help", "-h" or "--version", which only print.
int run_program(int argc, const char* const* argv, std::ostream& console, std::istream& keys);

}  // namespace kelmora
