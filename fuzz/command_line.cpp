// Fuzz target: tamblet's option walk and its argument judging, over an
// argument vector made from the input (words separated by NUL bytes; the
// first byte chooses which recorded requests succeed). The daemon requests
// are replaced by request_recorder, and the walk must:
//   - carry out the commands in command-line order, taking each option
//     argument from the words given and never from anywhere else;
//   - print an outcome line for an argument-less method exactly when the
//     silent flag was clear, with that method's label and result;
//   - end with the last command's result (or 0 after --version or --help,
//     -EINVAL after a usage error, -1 when no command ran);
//   - print nothing at all on standard output when --silent comes first;
//   - do the same again when run a second time in the same process.
#include "command_line.hpp"
#include "request_recorder.hpp"
#include "requests.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t max_words = 64;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Standard output goes to a memory file so the fuzzer can see how much the
// walk printed without a terminal filling up.
void capture_stdout() {
    static bool captured = false;
    if (captured) {
        return;
    }
    const int fd = memfd_create("tamblet-stdout", MFD_CLOEXEC);
    require(fd >= 0 && dup2(fd, STDOUT_FILENO) == STDOUT_FILENO);
    (void)close(fd);
    captured = true;
}

void clear_stdout() {
    (void)std::fflush(stdout);
    require(ftruncate(STDOUT_FILENO, 0) == 0);
    require(lseek(STDOUT_FILENO, 0, SEEK_SET) == 0);
}

off_t stdout_bytes() {
    (void)std::fflush(stdout);
    return lseek(STDOUT_FILENO, 0, SEEK_CUR);
}

void check_resume_judging(std::string_view word) {
    const resume_choice choice = judge_resume_argument(word);
    if (word.starts_with("clean")) {
        require(choice == resume_choice::clean);
    } else if (word.starts_with("modified")) {
        require(choice == resume_choice::modified);
    } else {
        require(choice == resume_choice::refused);
    }
}

bool names(const char *name, const char *word) {
    return name != nullptr && std::strcmp(name, word) == 0;
}

void check_backend_judging(const char *word) {
    const std::string_view text(word);
    const char *colon = std::strchr(word, ':');
    const backend_choice choice = judge_backend_argument(word);
    if (text.starts_with("vpnor")) {
        require(choice.vpnor_given_path == (colon != nullptr));
        require(colon != nullptr ? choice.name == nullptr : names(choice.name, "vpnor"));
        require(choice.path == nullptr);
        return;
    }
    require(!choice.vpnor_given_path);
    if (text.starts_with("mtd") || text.starts_with("file")) {
        require(names(choice.name, text.starts_with("mtd") ? "mtd" : "file"));
        require(choice.path == (colon != nullptr ? colon + 1 : nullptr));
    } else {
        require(choice.name == nullptr && choice.path == nullptr);
    }
}

const char *label_for(const char *member) {
    for (const control_method &method :
         {ping_method, kill_method, reset_method, suspend_method, clear_cache_method}) {
        if (std::strcmp(member, method.member) == 0) {
            return method.label;
        }
    }
    return nullptr;
}

// Which word of the original vector `argument` points into, or -1.
int word_holding(const std::vector<char *> &words, const char *argument) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (argument >= words[i] && argument <= words[i] + std::strlen(words[i])) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

struct walk_outcome {
    int result;
    off_t printed;
    std::vector<recorded_request> requests;
};

walk_outcome walk(sd_bus *bus, const std::vector<char *> &words, std::uint8_t successes) {
    // getopt_long moves the words around, so each walk gets its own vector.
    std::vector<char *> argv = words;
    argv.push_back(nullptr);
    clear_stdout();
    start_recording(successes);
    walk_outcome outcome{};
    outcome.result = run_command_line(bus, static_cast<int>(words.size()), argv.data());
    outcome.printed = stdout_bytes();
    for (std::size_t i = 0; i < recorded_count(); ++i) {
        outcome.requests.push_back(recorded(i));
    }
    return outcome;
}

void check_walk(const sd_bus *bus, const std::vector<char *> &words, const walk_outcome &outcome) {
    const std::vector<recorded_request> &requests = outcome.requests;
    int last_argument_word = 0;
    const recorded_request *last_command = nullptr;
    bool seen_silent = false;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const recorded_request &request = requests[i];
        require(!seen_silent || request.silent);
        seen_silent = request.silent;

        if (request.kind == request_kind::outcome) {
            // Only straight after the method whose outcome it is, and never silent.
            require(i > 0 && requests[i - 1].kind == request_kind::control_method);
            require(!request.silent);
            require(std::strcmp(request.text, label_for(requests[i - 1].text)) == 0);
            require(request.result == requests[i - 1].result);
            continue;
        }
        require(request.bus == bus);
        last_command = &request;

        if (request.kind == request_kind::control_method) {
            require(label_for(request.text) != nullptr);
            const bool outcome_follows =
                i + 1 < requests.size() && requests[i + 1].kind == request_kind::outcome;
            require(outcome_follows == !request.silent);
        }
        if (request.kind == request_kind::resume || request.kind == request_kind::backend) {
            require(request.text != nullptr);
            const int word = word_holding(words, request.text);
            require(word > last_argument_word);
            last_argument_word = word;
        }
    }

    if (outcome.result <= -100) {
        require(last_command != nullptr && outcome.result == last_command->result);
    } else if (outcome.result == -1) {
        require(last_command == nullptr);
    } else if (last_command != nullptr && outcome.result != last_command->result) {
        require(outcome.result == 0 || outcome.result == -EINVAL);
    }

    if (words.size() > 1 &&
        (std::strcmp(words[1], "-s") == 0 || std::strcmp(words[1], "--silent") == 0)) {
        require(outcome.printed == 0);
        for (const recorded_request &request : requests) {
            require(request.silent);
        }
    }
}

bool same_requests(const walk_outcome &a, const walk_outcome &b) {
    if (a.requests.size() != b.requests.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.requests.size(); ++i) {
        const recorded_request &x = a.requests[i];
        const recorded_request &y = b.requests[i];
        if (x.kind != y.kind || x.bus != y.bus || x.text != y.text || x.result != y.result ||
            x.silent != y.silent) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    capture_stdout();
    // The parser's complaints about unknown options would flood the log.
    opterr = 0;

    const std::uint8_t successes = size > 0 ? data[0] : 0;
    std::vector<char> text(data + (size > 0 ? 1 : 0), data + size);
    text.push_back('\0');

    std::vector<char *> words;
    if (size > 0) {
        static char program[] = "tamblet";
        words.push_back(program);
        for (std::size_t start = 0; start < text.size() && words.size() < max_words;) {
            char *word = &text[start];
            words.push_back(word);
            start += std::strlen(word) + 1;
        }
    }

    for (char *word : words) {
        check_resume_judging(word);
        check_backend_judging(word);
    }

    static char bus_token = 0;
    auto *bus = reinterpret_cast<sd_bus *>(&bus_token);
    const walk_outcome first = walk(bus, words, successes);
    check_walk(bus, words, first);

    const walk_outcome again = walk(bus, words, successes);
    require(again.result == first.result && again.printed == first.printed);
    require(same_requests(first, again));
    return 0;
}
