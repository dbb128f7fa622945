// How long a run waits, at most, for what others hold: the app that is
// quitting, another update of the same archive, a file in use. Built once per
// run from the command line and handed to every step that waits.
#pragma once

class OptionParser;

struct WaitBudgets {
    // Long enough for an app to save its state and quit, and for a scanner
    // to let go of what it checks; an app that hangs must not stop the run.
    unsigned long appExitMs = 60000;
    // How long a second update of one archive waits for the first to end.
    unsigned long lockMs = 15000;
    // How long a step keeps trying a file that another program has in use
    // (an app that is still quitting, a virus scanner).
    unsigned long inUseMs = 10000;
};

// The default budgets, each capped at --waitLimit when that is a decimal
// number of milliseconds (digits alone, an optional '+' before them): a
// limit only shortens a wait, so a caller can make the run give up sooner,
// never wait longer. Any other text, a negative number included, leaves the
// defaults.
WaitBudgets waitBudgetsOption(OptionParser& options);
