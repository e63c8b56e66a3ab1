// Fuzz target: corvane's host-state signal handler, fed PropertiesChanged
// signals whose header, arguments and a{sv} entries (keys, variant types,
// nesting, values) are chosen by the input. The messages are built and sealed
// on a bus that never connected, so no daemon is involved; render control is
// replaced by render_recorder. The handler must:
//   - never read past a message (AddressSanitizer watches the strings it
//     compares);
//   - apply exactly the first CurrentHostState entry that holds a string, and
//     only for the host-state interface's PropertiesChanged;
//   - report running only for the exact running value;
//   - take a signal addressed to corvane itself only from the unique name
//     that owns the host-state service, and none while no one owns it;
//   - never poll the scratch register itself.
#include "host_state.hpp"
#include "owned.hpp"
#include "render_control.hpp"
#include "render_recorder.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <systemd/sd-bus.h>

namespace {

constexpr int max_nesting = 4;
constexpr std::size_t max_entries = 6;
constexpr std::size_t max_text = 48;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Hands out the input a byte or a short text at a time; zeros once used up.
class input_reader {
public:
    input_reader(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }

    unsigned choice(unsigned count) { return byte() % count; }

    // A NUL-terminated text of up to max_text bytes, as the input has them.
    const char *text() {
        const std::size_t length = choice(max_text + 1);
        std::size_t i = 0;
        for (; i < length && offset_ < size_; ++i) {
            text_[i] = static_cast<char>(data_[offset_++]);
        }
        text_[i] = '\0';
        return text_;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t offset_ = 0;
    char text_[max_text + 1] = {};
};

// What the handler must conclude from the message, worked out while building
// it. Strings are copied, since the input reader reuses its buffer.
struct expectation {
    bool addressed = false; // sent to corvane alone, from ":1.3"
    const char *owner = ""; // who owns the host-state service meanwhile
    bool applies = false;   // the header and the first two arguments fit
    bool decided = false;   // a CurrentHostState string has been appended
    bool running = false;   // ... and it is exactly the running value
};

// A value near the running value: the value itself, or one that differs from
// it in a single way the input chooses.
const char *state_text(input_reader &in, char (&buffer)[max_text * 2]) {
    const std::string_view running(HOST_STATE_RUNNING);
    switch (in.choice(8)) {
    case 0:
    case 1:
    case 2:
        return HOST_STATE_RUNNING;
    case 3: { // cut short
        const std::size_t keep = in.choice(static_cast<unsigned>(running.size()));
        running.copy(buffer, keep);
        buffer[keep] = '\0';
        return buffer;
    }
    case 4: { // one byte changed
        running.copy(buffer, running.size());
        buffer[running.size()] = '\0';
        const std::size_t at = in.choice(static_cast<unsigned>(running.size()));
        buffer[at] = static_cast<char>(buffer[at] ^ (in.byte() | 1U));
        return buffer;
    }
    case 5: { // something appended
        running.copy(buffer, running.size());
        const char *tail = in.text();
        std::strncpy(buffer + running.size(), tail, sizeof buffer - running.size() - 1);
        buffer[sizeof buffer - 1] = '\0';
        return buffer;
    }
    case 6:
        return "velmora.State.Host.HostState.Off";
    default:
        return in.text();
    }
}

int append_value(sd_bus_message *m, input_reader &in, int depth);

// Appends a variant; returns what appending returned and, through
// `holds_string`, the text it carries when it is a plain string.
int append_variant(sd_bus_message *m, input_reader &in, int depth, const char **holds_string) {
    static char buffer[max_text * 2];
    *holds_string = nullptr;
    const unsigned kind = depth >= max_nesting ? in.choice(9) : in.choice(14);
    switch (kind) {
    case 0:
    case 1:
    case 2: {
        const char *value = state_text(in, buffer);
        *holds_string = value;
        return sd_bus_message_append(m, "v", "s", value);
    }
    case 3:
        return sd_bus_message_append(m, "v", "b", in.byte() & 1U);
    case 4:
        return sd_bus_message_append(m, "v", "y", in.byte());
    case 5:
        return sd_bus_message_append(m, "v", "i", static_cast<std::int32_t>(in.byte() << 24U));
    case 6:
        return sd_bus_message_append(m, "v", "d", static_cast<double>(in.byte()));
    case 7:
        return sd_bus_message_append(m, "v", "o", HOST_STATE_PATH);
    case 8:
        return sd_bus_message_append(m, "v", "g", "s");
    case 9:
        return sd_bus_message_append(m, "v", "as", 2, HOST_STATE_RUNNING, state_text(in, buffer));
    case 10:
        return sd_bus_message_append(m, "v", "(ss)", HOST_STATE_RUNNING, HOST_STATE_RUNNING);
    case 11:
        return sd_bus_message_append(m, "v", "ay", 4, 'v', 'e', 'l', 'm');
    default: {
        // A variant inside the variant, or a whole dictionary: the running
        // value in there is not the host state.
        const bool dictionary = kind == 12;
        int r = sd_bus_message_open_container(m, SD_BUS_TYPE_VARIANT, dictionary ? "a{sv}" : "v");
        if (r < 0) {
            return r;
        }
        r = append_value(m, in, depth + 1);
        if (r < 0) {
            return r;
        }
        return sd_bus_message_close_container(m);
    }
    }
}

// A nested value for append_variant: a variant, or an a{sv} of a few entries.
int append_value(sd_bus_message *m, input_reader &in, int depth) {
    const char *ignored = nullptr;
    if (in.choice(2) == 0) {
        return append_variant(m, in, depth, &ignored);
    }
    int r = sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
    for (std::size_t n = in.choice(3); r >= 0 && n > 0; --n) {
        r = sd_bus_message_open_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r >= 0) {
            r = sd_bus_message_append(m, "s", HOST_STATE_PROPERTY);
        }
        if (r >= 0) {
            r = append_variant(m, in, depth + 1, &ignored);
        }
        if (r >= 0) {
            r = sd_bus_message_close_container(m);
        }
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

const char *entry_key(input_reader &in) {
    switch (in.choice(6)) {
    case 0:
        return in.text();
    case 1:
        return "RequestedHostTransition";
    case 2:
        return "CurrentHostStat";
    default:
        return HOST_STATE_PROPERTY;
    }
}

int append_changed_properties(sd_bus_message *m, input_reader &in, expectation &expect) {
    int r = sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
    for (std::size_t n = in.choice(max_entries + 1); r >= 0 && n > 0; --n) {
        r = sd_bus_message_open_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r < 0) {
            break;
        }
        const char *key = entry_key(in);
        const bool host_state = std::strcmp(key, HOST_STATE_PROPERTY) == 0;
        r = sd_bus_message_append(m, "s", key);
        const char *value = nullptr;
        if (r >= 0) {
            r = append_variant(m, in, 0, &value);
        }
        if (r >= 0 && host_state && value != nullptr && !expect.decided) {
            expect.decided = true;
            expect.running = std::strcmp(value, HOST_STATE_RUNNING) == 0;
        }
        if (r >= 0) {
            r = sd_bus_message_close_container(m);
        }
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

// Builds the signal; returns a negative value when the input asks for
// something sd-bus refuses to build (such as a key that is not UTF-8).
int build_signal(sd_bus *bus, input_reader &in, sd_bus_message **out, expectation &expect) {
    const bool right_interface = in.choice(8) != 0;
    const bool right_member = in.choice(8) != 0;
    sd_bus_message *m = nullptr;
    int r = sd_bus_message_new_signal(bus, &m, HOST_STATE_PATH,
                                      right_interface ? PROPERTIES_INTERFACE : HOST_STATE_INTERFACE,
                                      right_member ? PROPERTIES_CHANGED : "PropertiesChanging");
    if (r < 0) {
        return r;
    }
    *out = m;

    expect.addressed = in.choice(8) == 0;
    static constexpr const char *owners[] = {"", ":1.3", ":1.30", ":1.4"};
    expect.owner = owners[in.choice(4)];
    if (expect.addressed) {
        r = sd_bus_message_set_destination(m, ":1.7");
        if (r >= 0) {
            r = sd_bus_message_set_sender(m, ":1.3");
        }
    }

    bool right_first = false;
    switch (in.choice(8)) {
    case 0:
        break; // no arguments at all
    case 1:
        r = r < 0 ? r : sd_bus_message_append(m, "u", 7U);
        break;
    case 2: {
        const char *name = in.text();
        right_first = std::strcmp(name, HOST_STATE_INTERFACE) == 0;
        r = r < 0 ? r : sd_bus_message_append(m, "s", name);
        break;
    }
    default:
        right_first = true;
        r = r < 0 ? r : sd_bus_message_append(m, "s", HOST_STATE_INTERFACE);
        break;
    }

    bool right_second = false;
    switch (in.choice(8)) {
    case 0:
        break; // the changed properties missing
    case 1:
        r = r < 0 ? r
                  : sd_bus_message_append(m, "a{ss}", 1, HOST_STATE_PROPERTY, HOST_STATE_RUNNING);
        break;
    case 2:
        r = r < 0 ? r : sd_bus_message_append(m, "as", 1, HOST_STATE_PROPERTY);
        break;
    case 3:
        r = r < 0 ? r : sd_bus_message_append(m, "s", HOST_STATE_RUNNING);
        break;
    default:
        right_second = true;
        r = r < 0 ? r : append_changed_properties(m, in, expect);
        break;
    }
    if (in.choice(4) != 0) {
        r = r < 0 ? r : sd_bus_message_append(m, "as", 1, HOST_STATE_PROPERTY);
    }
    expect.applies = right_interface && right_member && right_first && right_second;

    static std::uint64_t cookie = 0;
    return r < 0 ? r : sd_bus_message_seal(m, ++cookie, 0);
}

// A bus whose start failed: sd-bus builds and seals messages on it, and any
// call through it fails at once instead of waiting for a peer.
sd_bus *closed_bus() {
    static sd_bus *bus = nullptr;
    if (bus == nullptr) {
        require(sd_bus_new(&bus) >= 0);
        require(sd_bus_set_address(bus, "unix:path=/dev/null/no-bus") >= 0);
        require(sd_bus_start(bus) < 0);
    }
    return bus;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    input_reader in(data, size);
    expectation expect;
    sd_bus_message *built = nullptr;
    const int r = build_signal(closed_bus(), in, &built, expect);
    const message_ptr message(built);
    if (r < 0) {
        return -1; // not a message the bus could deliver; keep it out of the corpus
    }

    render_context ctx = {};
    ctx.bus = closed_bus();
    ctx.renderer_unit = "renderer.service";
    (void)std::snprintf(ctx.host_state_owner, sizeof ctx.host_state_owner, "%s", expect.owner);
    start_recording_updates();
    const int handled = on_host_properties_changed(message.get(), &ctx, nullptr);

    require(handled <= 0);
    require(scratch_check_count() == 0);
    require(recorded_update_count() <= 1);
    const bool from_owner = std::strcmp(expect.owner, ":1.3") == 0;
    const bool expect_update =
        expect.applies && expect.decided && (!expect.addressed || from_owner);
    require(recorded_update_count() == (expect_update ? 1U : 0U));
    if (expect_update) {
        const host_state_update &update = recorded_update(0);
        require(update.ctx == &ctx);
        require(update.running == expect.running);
    }
    return 0;
}
