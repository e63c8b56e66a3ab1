// Preloaded into corvane by the end-to-end tests: gives SIGUSR1 a handler that
// does nothing, so that sending SIGUSR1 interrupts a blocked poll with EINTR
// the way any signal with a handler does on a real system.
#include <csignal>

namespace {

void ignore_signal(int /*unused*/) {}

[[gnu::constructor]] void install_handler() {
    struct sigaction action = {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGUSR1, &action, nullptr);
}

} // namespace
