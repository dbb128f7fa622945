#include "app/command_dispatcher.h"

// The narrow argument vector is argv as the system gives it.
int main(int argc, char** argv) { return CommandDispatcher(argc, argv); }
