// The site: owns every component, the forcing records and the run's settings,
// drives the time loop and hands each component what it needs from the others.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "files/dir_lock.h"
#include "files/output_file.h"
#include "files/param_file.h"
#include "files/restart_files.h"
#include "plant/plant.h"
#include "run/forcing.h"
#include "soil/soil.h"

namespace kelmora {

class Site {
  public:
    Site();

    DirLock lock;  // first in, last out: released after every file has closed
    Plant tree;
    Plant shrub;
    Soil soil;
    OutputFile output;  // "site.csv"
    std::vector<ForcingRecord> records;
    std::string error_text;  // the message of the failure that stopped init or run
    std::string notes;       // what a restart did to the files and the forcing, for the console
    int interrupted = 0;     // the signal that stopped the run, or 0
    std::string out_path;    // the output directory, ending in a separator once initialised

    int32_t _type = 0;     // 0: no shrub layer; 1: a shrub layer under the trees
    int32_t _restart = 0;  // non-zero: components start from their previous output
    int32_t _dt = 10;      // sub-step, s
    double _zref = 30.0;   // reference height of the measurements, m
    int32_t _physics = 0;  // 0: as designed; 1: energy-conserving, stable leaf temperatures

    // The sums of the record's sub-steps that the components hand over.
    SiteSums sums;

    bool has_shrub() const { return _type == 1; }
    // Whether the energy-conserving variant of the physics runs.
    bool conserving() const { return _physics == 1; }
    // The plant layer that exchanges with the soil.
    const Plant& lowest_plant() const { return has_shrub() ? shrub : tree; }

    // Reads the parameters, restarts the components when asked and creates the
    // output files. A restart first checks everything that can fail (the
    // previous files, the forcing that has to continue them, the time step)
    // and only then cuts back, keeps as parts and creates the files.
    bool init(const std::string& out_path);
    ParamFile parameters();
    Failure read_parameters(const std::string& path);
    Failure write_parameters(const std::string& path);

    // Steps every component through every record; progress lines and the
    // correlation go to `console`.
    bool run(std::ostream& console);
    // The forcing `t` seconds into the span of record `i`. The energy-conserving
    // physics reads a record as the means over the span that ends at its time
    // stamp, as towers record them and as the output writes them; _physics 0
    // as the values at the stamp, with a straight line between two stamps.
    ForcingRecord forcing(size_t i, double t) const {
        return conserving() ? interpolate_means(records, i, t)
                            : interpolate(records[i - 1], records[i], t);
    }
    // One sub-step of every component with the forcing `f`, in the order the
    // results depend on; fails when a leaf does not converge.
    Failure substep(const ForcingRecord& f);
    // Energy-conserving step B of the plant layers: their air nodes, with their
    // foliage and stems, and the soil's top layer settled together.
    void settle_air_nodes(const ForcingRecord& f, double dt);
    // Writes every component's line of the record; their sums add up in `sums`.
    void write_output(const ForcingRecord& record);
    // Writes the site's line of the means of `sums` and clears them.
    void write_line(const ForcingRecord& record);
    // Every output file, in the order the lines of a record are written, and
    // their paths, known before the files are created.
    static constexpr size_t kOutputFiles = 12;
    std::array<OutputFile*, kOutputFiles> output_files();
    std::vector<std::string> output_paths() const;
    // Checks the record's lines of every file and adds them to the files'
    // blocks, which are written at the end of a day (`day_ends`) or when one
    // grows large. A value that is not finite drops the record's lines and fails.
    Failure finish_record(const ForcingRecord& record, bool day_ends);
    // Writes every file's block of whole records; a failed write cuts every
    // file back to the end of the last record that all of them hold.
    Failure write_blocks();

  private:
    // The checks of a restart that need the whole site; they may pass over the
    // forcing records up to where the files end.
    Failure check_restart(const RestartFiles& earlier, Restart& restart);
    Failure fit_forcing(TimeStamp end, size_t held);
    // Cuts back and keeps the earlier files as parts (on a restart) or removes
    // the parts of an earlier series, then creates every output file.
    Failure create_files(const RestartFiles* earlier);
    // Stops the run: drops the unfinished record, writes the finished ones.
    bool stop(const Failure& failure);

    bool fail(const Failure& failure) {
        error_text = *failure;
        return false;
    }
};

}  // namespace kelmora
