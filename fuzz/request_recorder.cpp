// Records tamblet's daemon requests in place of the bus calls; see
// request_recorder.hpp.
#include "request_recorder.hpp"

#include "requests.hpp"

#include <vector>

namespace {

std::vector<recorded_request> requests;
std::uint8_t success_bits = 0;
int request_number = 0;

int record(request_kind kind, sd_bus *bus, const char *text) {
    const int n = request_number++;
    const int result = (success_bits >> (n % 8) & 1U) != 0 ? 0 : -(100 + n);
    requests.push_back({kind, bus, text, result, silent});
    return result;
}

} // namespace

void start_recording(std::uint8_t successes) {
    requests.clear();
    success_bits = successes;
    request_number = 0;
}

std::size_t recorded_count() {
    return requests.size();
}

const recorded_request &recorded(std::size_t index) {
    return requests[index];
}

int invoke_control_method(sd_bus *bus, const char *member) {
    return record(request_kind::control_method, bus, member);
}

void print_outcome(const char *label, int result) {
    requests.push_back({request_kind::outcome, nullptr, label, result, silent});
}

int query_daemon_state(sd_bus *bus) {
    return record(request_kind::daemon_state, bus, nullptr);
}

int query_lpc_state(sd_bus *bus) {
    return record(request_kind::lpc_state, bus, nullptr);
}

int send_resume(sd_bus *bus, const char *argument) {
    return record(request_kind::resume, bus, argument);
}

int send_set_backend(sd_bus *bus, const char *argument) {
    return record(request_kind::backend, bus, argument);
}
