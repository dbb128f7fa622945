// Runs whole dispatches with the n-th allocation failing, for every n until
// one completes: each must end with the out-of-memory status and its ERROR
// line, never with an abort. A program of its own, since it replaces the
// global operator new.
#include "app/command_dispatcher.h"
#include "platform/clock.h"
#include "platform/log_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

namespace {
// Allocations still allowed; negative: no limit.
long allocationsLeft = -1;
} // namespace

// GCC pairs the malloc inside the replacement with the free inside the
// matching delete and takes them for a mismatch; they are a pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    if (allocationsLeft == 0)
        throw std::bad_alloc();
    if (allocationsLeft > 0)
        --allocationsLeft;
    if (void* block = std::malloc(size != 0 ? size : 1))
        return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

TEST(CommandDispatcher, RunningOutOfMemoryEndsWithAnErrorLineAndStatus6) {
    ScratchFolder scratch;
#ifndef _WIN32
    ::setenv("XDG_DATA_HOME", scratch.path().c_str(), 1);
#endif
    const std::string program = scratch.path("no such program");
    const char* argv[] = {"helper", "--sleep", "--ms", "0", "--launch", "--program", program.c_str(), nullptr};
    const std::string line = "ERROR (" + std::to_string(Platform::currentProcessId()) + ") Out of memory";
    long failures = 0;
    for (long allowed = 0; allowed < 10000; ++allowed) {
        testing::internal::CaptureStderr();
        allocationsLeft = allowed;
        const int status = CommandDispatcher(7, const_cast<char**>(argv));
        allocationsLeft = -1;
        const std::string err = testing::internal::GetCapturedStderr();
        if (status == 1) // the run got through: the program is missing
            break;
        ASSERT_EQ(status, kOutOfMemoryStatus) << allowed;
        const auto at = err.rfind(line);
        ASSERT_NE(at, std::string::npos) << allowed << err;
        EXPECT_EQ(err.find_first_not_of("\r\n", at + line.size()), std::string::npos) << allowed << err;
        ++failures;
    }
    EXPECT_GT(failures, 5);
}

} // namespace
