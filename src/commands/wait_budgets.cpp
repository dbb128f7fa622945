#include "commands/wait_budgets.h"

#include "options/option_parser.h"

#include <algorithm>

namespace {

// `text` read as a decimal number of milliseconds; false for anything else.
// Values past what a budget can hold are read as the largest one.
bool readLimit(const char* text, unsigned long& limit) {
    if (*text == '+')
        ++text;
    if (*text == '\0')
        return false;
    unsigned long value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
        const unsigned long digit = static_cast<unsigned long>(*text - '0');
        value = value > (~0ul - digit) / 10 ? ~0ul : value * 10 + digit;
    }
    limit = value;
    return true;
}

} // namespace

WaitBudgets waitBudgetsOption(OptionParser& options) {
    WaitBudgets budgets;
    const char* text = options.getValue("waitLimit");
    unsigned long limit = 0;
    if (text == nullptr || !readLimit(text, limit))
        return budgets;
    budgets.appExitMs = std::min(budgets.appExitMs, limit);
    budgets.lockMs = std::min(budgets.lockMs, limit);
    budgets.inUseMs = std::min(budgets.inUseMs, limit);
    return budgets;
}
