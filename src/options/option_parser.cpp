#include "options/option_parser.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

OptionParser::ReallocFunction OptionParser::reallocate = std::realloc;
std::FILE* OptionParser::messages = stdout;

namespace {
const char* const longPrefix = "--";
const char separator = '=';
const char* const flagValue = "true";
const int initialCapacity = 10;

[[noreturn]] void failMaking() {
    std::fputs("\nOPTIONS ERROR : Failed allocating memory\nExiting.\n", OptionParser::messages);
    std::fflush(OptionParser::messages);
    std::exit(0);
}

[[noreturn]] void failGrowing(const char* name) {
    std::fprintf(OptionParser::messages,
                 "\nOPTIONS ERROR : Failed allocating extra memory \nWhile adding the option : \"%s\"\nExiting.\n\n",
                 name);
    std::fflush(OptionParser::messages);
    std::exit(0);
}

template <typename T> T* grow(T* array, int count) {
    return static_cast<T*>(OptionParser::reallocate(array, sizeof(T) * static_cast<std::size_t>(count)));
}
} // namespace

OptionParser::OptionParser() {
    names = grow<const char*>(nullptr, initialCapacity);
    kinds = grow<Kind>(nullptr, initialCapacity);
    slots = grow<int>(nullptr, initialCapacity);
    if (names == nullptr || kinds == nullptr || slots == nullptr)
        failMaking();
    optionCapacity = initialCapacity;
}

OptionParser::~OptionParser() {
    if (values != nullptr) {
        for (int i = 0; i < valueSlotCount; ++i)
            std::free(values[i]);
        std::free(values);
    }
    std::free(names);
    std::free(kinds);
    std::free(slots);
}

void OptionParser::addFlag(const char* name) {
    if (optionCount == optionCapacity) {
        const int bigger = optionCapacity * 2;
        const char** newNames = grow(names, bigger);
        if (newNames != nullptr)
            names = newNames;
        Kind* newKinds = newNames != nullptr ? grow(kinds, bigger) : nullptr;
        if (newKinds != nullptr)
            kinds = newKinds;
        int* newSlots = newKinds != nullptr ? grow(slots, bigger) : nullptr;
        if (newSlots == nullptr)
            failGrowing(name);
        slots = newSlots;
        optionCapacity = bigger;
    }
    names[optionCount] = name;
    kinds[optionCount] = Flag;
    // Once the value table exists it keeps its size: a later declaration
    // gets no slot, is never stored and always answers as absent.
    if (values == nullptr) {
        slots[optionCount] = valueSlotCount;
        ++valueSlotCount;
    } else {
        slots[optionCount] = kNoSlot;
    }
    ++optionCount;
}

void OptionParser::addOption(const char* name) {
    addFlag(name);
    kinds[optionCount - 1] = Valued;
}

bool OptionParser::ensureValueTable() {
    if (values != nullptr)
        return true;
    if (valueSlotCount == 0)
        return false;
    values = static_cast<char**>(reallocate(nullptr, sizeof(char*) * static_cast<std::size_t>(valueSlotCount)));
    if (values == nullptr)
        failMaking();
    for (int i = 0; i < valueSlotCount; ++i)
        values[i] = nullptr;
    return true;
}

int OptionParser::find(const char* name) const {
    for (int i = 0; i < optionCount; ++i)
        if (std::strcmp(names[i], name) == 0)
            return i;
    return -1;
}

void OptionParser::store(int index, const char* text, std::size_t length) {
    if (slots[index] == kNoSlot)
        return;
    char* copy = static_cast<char*>(reallocate(nullptr, length + 1));
    if (copy == nullptr)
        failMaking();
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    char*& slot = values[slots[index]];
    std::free(slot);
    slot = copy;
}

int OptionParser::optionOf(const char* argument, const char** inlineValue) const {
    *inlineValue = nullptr;
    if (std::strncmp(argument, longPrefix, 2) != 0)
        return -1; // single-dash and plain arguments name no option
    const char* text = argument + 2;
    const char* equals = std::strchr(text, separator);
    if (equals == nullptr || equals == text)
        return find(text);
    // Compare the name before '=' with each declared name, whole.
    const std::size_t nameLength = static_cast<std::size_t>(equals - text);
    for (int i = 0; i < optionCount; ++i) {
        if (std::strlen(names[i]) == nameLength && std::memcmp(names[i], text, nameLength) == 0) {
            *inlineValue = equals + 1;
            return i;
        }
    }
    return -1;
}

void OptionParser::parse(int argc, const char* const* argv) {
    if (!ensureValueTable())
        return;
    for (int i = 1; i < argc; ++i) {
        const char* inlineValue = nullptr;
        const int index = optionOf(argv[i], &inlineValue);
        if (index < 0)
            continue;
        if (kinds[index] == Flag) {
            store(index, flagValue, std::strlen(flagValue));
        } else if (inlineValue != nullptr) {
            store(index, inlineValue, std::strlen(inlineValue));
        } else if (i + 1 < argc) {
            ++i;
            store(index, argv[i], std::strlen(argv[i]));
        }
    }
}

int OptionParser::span(int argc, const char* const* argv, int i, const char** name) const {
    const char* inlineValue = nullptr;
    const int index = optionOf(argv[i], &inlineValue);
    *name = index >= 0 ? names[index] : nullptr;
    return index >= 0 && kinds[index] == Valued && inlineValue == nullptr && i + 1 < argc ? 2 : 1;
}

bool OptionParser::getFlag(const char* name) {
    const char* value = getValue(name);
    return value != nullptr && std::strcmp(value, flagValue) == 0;
}

const char* OptionParser::getValue(const char* name) {
    if (!ensureValueTable())
        return nullptr;
    const int index = find(name);
    return index < 0 || slots[index] == kNoSlot ? nullptr : values[slots[index]];
}
