// Failing system calls for the native unit tests: arm() swaps the table of
// system calls for one that fails the calls of chosen kinds with a chosen
// errno, from the Nth of them on; disarm() puts the real calls back.
#pragma once

#include <string>

enum Call { OpenWrite, OpenFolder, Mkdir, Rename, Unlink, Write, Fsync, Futimens, Fchmod, Fchown, Flock, Readdir };
// What a run that is killed stops making.
constexpr unsigned kMutating = 1u << OpenWrite | 1u << Mkdir | 1u << Rename | 1u << Unlink | 1u << Write | 1u << Fsync |
                               1u << Futimens | 1u << Fchmod | 1u << Fchown;

struct Fault {
    unsigned calls = 0;
    int from = 1;
    int error = 0;
    std::string name; // when not empty, only the calls naming it count
    int seen = 0;
    bool hit = false;
};
extern Fault fault;

void arm(unsigned calls, int error, int from = 1, const std::string& name = "");
void disarm();
