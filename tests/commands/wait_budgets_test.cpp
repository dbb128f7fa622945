#include "commands/wait_budgets.h"

#include "app/command_dispatcher.h"
#include "options/option_parser.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

WaitBudgets budgetsFor(const char* limit) {
    std::vector<const char*> args = {"helper", "--waitLimit", limit, nullptr};
    OptionParser options;
    declareOptions(options);
    options.parse(limit == nullptr ? 1 : 3, args.data());
    return waitBudgetsOption(options);
}

struct Case {
    const char* limit;
    unsigned long appExitMs, lockMs, inUseMs;
};

// A limit caps each budget and never raises one; text that is no count of
// milliseconds leaves all three as they are.
TEST(WaitBudgets, TheLimitOnlyShortens) {
    const Case cases[] = {
        {nullptr, 60000, 15000, 10000}, {"1000", 1000, 1000, 1000},
        {"+1000", 1000, 1000, 1000},    {"0", 0, 0, 0},
        {"12000", 12000, 12000, 10000}, {"20000", 20000, 15000, 10000},
        {"60001", 60000, 15000, 10000}, {"99999999999999999999999", 60000, 15000, 10000},
        {"-1", 60000, 15000, 10000},    {"-0", 60000, 15000, 10000},
        {"", 60000, 15000, 10000},      {"+", 60000, 15000, 10000},
        {"abc", 60000, 15000, 10000},   {"10ms", 60000, 15000, 10000},
        {" 10", 60000, 15000, 10000},   {"0x10", 60000, 15000, 10000},
    };
    for (const Case& c : cases) {
        const WaitBudgets budgets = budgetsFor(c.limit);
        EXPECT_EQ(budgets.appExitMs, c.appExitMs) << (c.limit ? c.limit : "(none)");
        EXPECT_EQ(budgets.lockMs, c.lockMs) << (c.limit ? c.limit : "(none)");
        EXPECT_EQ(budgets.inUseMs, c.inUseMs) << (c.limit ? c.limit : "(none)");
    }
}

} // namespace
