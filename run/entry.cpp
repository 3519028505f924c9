#include "run/entry.h"

#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "run/interrupt.h"
#include "run/site.h"

namespace kelmora {

namespace {

constexpr std::string_view kVersion = "Kelmora version 1.04\n";
constexpr const char* kBanner =
    "\nKelmora version 1.04\n\n"
    "Forest site exchange of carbon, energy and water\n"
    "by the Kelmora developers\n\n"
    "Usage:\n"
    "  kelm.exe [input_file_name output_path_name]\n\n";
constexpr std::string_view kOptions =
    "  kelm.exe --help | -h    print this help\n"
    "  kelm.exe --version      print the version\n\n"
    "input_file_name: the forcing file (default io/input.txt)\n"
    "output_path_name: the existing directory of the parameter and output files (default io)\n";

}  // namespace

int run_program(int argc, const char* const* argv, std::ostream& console, std::istream& keys) {
    // The requests for help or the version touch no file and wait for no key.
    if (argc > 1) {
        const std::string_view first = argv[1];
        if (first == "--version") {
            console << kVersion << std::flush;
            return 0;
        }
        if (first == "--help" || first == "-h") {
            console << kBanner << kOptions << std::flush;
            return 0;
        }
    }
    console << kBanner;
    const int paths = argc - 1;
    if (paths > 2 || (paths >= 1 && argv[1][0] == '\0') || (paths == 2 && argv[2][0] == '\0')) {
        console << (paths > 2 ? "Usage error: more than two arguments."
                              : "Usage error: an empty path.")
                << std::flush;
        return 1;
    }
    catch_interruptions();
    // The site is large (two plant layers, the soil and every file): keep it off the stack.
    auto site = std::make_unique<Site>();
    const std::string input = paths >= 1 ? argv[1] : "io/input.txt";
    const std::string out_dir = paths == 2 ? argv[2] : "io";
    Failure failure = read_forcing(input, site->records);
    if (!failure && site->records.empty()) failure = "Empty input data in " + input + ".";
    if (failure) {
        console << *failure << std::flush;
        return 1;
    }
    bool ok = site->init(out_dir);
    console << site->notes;
    if (ok && site->_physics == 0 && site->_dt > 15) {
        console << "Warning: time steps above 15 s let leaf temperatures oscillate; use _dt 10 "
                   "or _physics 1.\n";
    }
    ok = ok && site->run(console);
    if (ok) {
        console << "\nFinished. Press any key to end.\n";
    } else {
        console << site->error_text;
    }
    console.flush();
    // An interrupted run ends at once, with the shell's status of the signal.
    if (site->interrupted) return 128 + site->interrupted;
    keys.get();
    return ok ? 0 : 2;
}

}  // namespace kelmora
