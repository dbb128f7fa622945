// The ERROR lines of an extraction's refused entries, bounded per run.
#pragma once

#include "log/logger.h"

#include <cstddef>
#include <string>
#include <vector>

// The log is shared by every run and grows across them: one archive of a
// million refused entries must not add a line for each. Each kind of
// refusal gets its first 100 lines in a run, and all of them together at
// most 768 KB; the others are counted, and finish() names the counts.
class RefusalLog {
public:
    explicit RefusalLog(Logger& target) : log(target) {}

    // Writes the ERROR line `kind` + `detail` (the entry's name, and what
    // else the line says), or counts it when its kind or the run has had
    // its share of lines.
    void refuse(const char* kind, const std::string& detail);
    // One ERROR line for each kind with refusals not written:
    // "<count> more entries not named one by one: <kind>".
    void finish();

private:
    struct Kind {
        const char* text;
        std::size_t written;
        unsigned long long unnamed;
    };

    Logger& log;
    std::vector<Kind> kinds; // a handful: looked through in order
    std::size_t bytes = 0;
};
