// Interruption of a run by SIGINT, SIGTERM (a scheduler's time limit) or SIGHUP:
// the handler only notes the signal, and the time loop stops after the record
// it is working on. A file size limit (SIGXFSZ) is ignored, so that a write
// beyond it fails like any other write.
#pragma once

namespace kelmora {

// Installs the handlers and ignores SIGXFSZ.
void catch_interruptions();

// The number of the signal that asked the run to stop, or 0.
int interruption();

}  // namespace kelmora
