#include "run/interrupt.h"

#include <csignal>
#include <initializer_list>

namespace kelmora {

namespace {

// The one piece of state a signal handler may touch.
volatile std::sig_atomic_t stop_signal = 0;

extern "C" void note_signal(int number) {
    stop_signal = number;
}

}  // namespace

void catch_interruptions() {
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // the key wait ends at a signal instead of resuming
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
    std::signal(SIGXFSZ, SIG_IGN);
}

int interruption() {
    return stop_signal;
}

}  // namespace kelmora
