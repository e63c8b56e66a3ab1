// The walk over tamblet's command line, apart from main so that it can be
// driven with the daemon requests linked to something other than a bus.
#pragma once

struct sd_bus;

// Carries out the options in command-line order against the bus. Returns the
// result of the last command, 0 after the usage text was asked for, or
// -EINVAL after a usage error.
int run_command_line(sd_bus *bus, int argc, char **argv);
