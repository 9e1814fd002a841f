#include "interrupt.h"

#include <csignal>
#include <initializer_list>

namespace mpp {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void onSignal(int) {
    g_interrupted = 1;
}

}  // namespace

void installInterruptHandlers() {
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

bool interrupted() {
    return g_interrupted != 0;
}

}  // namespace mpp
