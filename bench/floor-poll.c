/* The cheapest possible watcher of the VGA scratch register: wake every
 * 100 ms, read the register from its start and parse it, nothing else.
 * Benchmarks compare what one wake-up of corvane costs while rendering with
 * what one wake-up of this loop costs. Runs until it is terminated. */
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 2)
        return 2;
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    for (;;) {
        char text[9];
        if (poll(NULL, 0, 100) < 0 || lseek(fd, 0, SEEK_SET) < 0)
            return 1;
        ssize_t n = read(fd, text, sizeof text - 1);
        if (n < 0)
            return 1;
        text[n] = '\0';
        (void)strtoul(text, NULL, 0);
    }
}
