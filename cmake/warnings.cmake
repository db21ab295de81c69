# The project's warnings, as errors, for its own code only (not GoogleTest):
# the program's build and the fuzz build (fuzz/) both take them from here.
set(OFWU_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror)
