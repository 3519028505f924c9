#include "run/entry.h"

#include <istream>
#include <memory>
#include <ostream>
#include <string>

#include "run/site.h"

namespace kelmora {

namespace {

constexpr const char* kBanner =
    "\nKelmora version 1.02\n\n"
    "Forest site exchange of carbon, energy and water\n"
    "by the Kelmora developers\n\n"
    "Usage:\n"
    "  kelm.exe [input_file_name output_path_name]\n\n";

}  // namespace

int run_program(int argc, const char* const* argv, std::ostream& console, std::istream& keys) {
    console << kBanner;
    // The site is large (two plant layers, the soil and every file): keep it off the stack.
    auto site = std::make_unique<Site>();
    std::string input = "io/input.txt";
    std::string out_dir = "io";
    if (argc > 1) input = argv[1];
    if (argc > 2) out_dir = argv[2];
    site->records.clear();
    if (Failure failure = read_forcing(input, site->records)) {
        console << *failure << std::flush;
        return 1;
    }
    const bool ok = site->init(out_dir) && site->run(console);
    if (ok) {
        console << "\nFinished. Press any key to end.\n";
    } else {
        console << site->error_text;
    }
    console.flush();
    keys.get();
    return ok ? 0 : 2;
}

}  // namespace kelmora
