// Long-option parser: "--flag", "--name value" and "--name=value". It never
// reports anything about the command line; unknown or malformed arguments
// are passed over and each command notices what it lacks. Running out of
// memory prints a message to standard output and ends the process (status 0).
#pragma once

#include <cstddef>
#include <cstdio>

class OptionParser {
public:
    OptionParser();
    ~OptionParser();
    OptionParser(const OptionParser&) = delete;
    OptionParser& operator=(const OptionParser&) = delete;

    // Names are kept by reference: pass texts that outlive the parser.
    // Declare everything before the first parse or query: a declaration made
    // after them has no value slot and its name always answers as absent.
    void addFlag(const char* name);
    void addOption(const char* name);

    // Reads argv[1..argc-1]; argv[0] is never looked at.
    void parse(int argc, const char* const* argv);

    // How many arguments from argv[i] on parse() reads as one: 2 for a valued
    // option whose value follows it, else 1. `name` is the declared option
    // they set, or null. Lets a caller hand some options on and keep others.
    int span(int argc, const char* const* argv, int i, const char** name) const;

    // True only for a declared name whose slot holds exactly "true".
    bool getFlag(const char* name);
    // The stored text ("true" for a present flag), or null when the name is
    // undeclared or was not given. Valid until the parser is destroyed.
    const char* getValue(const char* name);

    int capacity() const { return optionCapacity; }
    int count() const { return optionCount; }

    // Allocation functions, replaceable so that tests can make them fail.
    using ReallocFunction = void* (*)(void*, std::size_t);
    static ReallocFunction reallocate;
    // Where the out-of-memory messages go (standard output).
    static std::FILE* messages;

private:
    enum Kind { Flag, Valued };
    static constexpr int kNoSlot = -1;

    bool ensureValueTable();
    int find(const char* name) const;
    void store(int index, const char* text, std::size_t length);
    // The declared option that `argument` names ("--name" or "--name=text"),
    // or -1; `inlineValue` points after the '=' of the second form, else null.
    int optionOf(const char* argument, const char** inlineValue) const;

    int optionCapacity = 0;
    const char** names = nullptr;
    Kind* kinds = nullptr;
    int* slots = nullptr;
    int optionCount = 0;
    char** values = nullptr;
    int valueSlotCount = 0;
};
