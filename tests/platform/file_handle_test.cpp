// The file-handle calls as the helper uses them; on Windows this pins down
// the system's behaviour that the POSIX stand-in reproduces.
#include "platform/win32.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

struct Opened {
    HANDLE handle;
    DWORD code;
};

Opened open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    SetLastError(12345);
    const HANDLE handle = CreateFileA(path.c_str(), access, share, nullptr, disposition, 0, nullptr);
    return {handle, GetLastError()};
}

std::string readAll(HANDLE handle) {
    std::string data;
    char buffer[7];
    DWORD got = 0;
    while (ReadFile(handle, buffer, sizeof buffer, &got, nullptr) && got > 0)
        data.append(buffer, got);
    return data;
}

TEST(FileHandles, DispositionsOpenCreateAndTruncateLikeWindows) {
    ScratchFolder scratch;
    const std::string existing = scratch.path("existing");
    std::filesystem::create_directory(scratch.path("folder"));
    const struct {
        const char* name;
        std::string path;
        DWORD access;
        DWORD disposition;
        bool opens;
        DWORD code;          // last error after the call
        std::string content; // of the file afterwards
    } cases[] = {
        {"open existing", existing, GENERIC_READ, OPEN_EXISTING, true, 0, "content"},
        {"open missing", scratch.path("missing"), GENERIC_READ, OPEN_EXISTING, false, 2, ""},
        {"open in missing folder", scratch.path("none/x"), GENERIC_READ, OPEN_EXISTING, false, 3, ""},
        {"open a folder", scratch.path("folder"), GENERIC_READ, OPEN_EXISTING, false, 5, ""},
        {"write a folder", scratch.path("folder"), GENERIC_WRITE, OPEN_EXISTING, false, 5, ""},
        {"create new over existing", existing, GENERIC_WRITE, CREATE_NEW, false, 80, "content"},
        {"create always over existing", existing, GENERIC_WRITE, CREATE_ALWAYS, true, 183, ""},
        {"open always existing", existing, GENERIC_WRITE, OPEN_ALWAYS, true, 183, "content"},
        {"truncate existing", existing, GENERIC_WRITE, TRUNCATE_EXISTING, true, 0, ""},
        {"create always new", scratch.path("fresh"), GENERIC_WRITE, CREATE_ALWAYS, true, 0, ""},
        {"empty path", "", GENERIC_READ, OPEN_EXISTING, false, 3, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(existing, "content");
        const Opened opened = open(c.path, c.access, FILE_SHARE_READ, c.disposition);
        EXPECT_EQ(opened.handle != INVALID_HANDLE_VALUE, c.opens);
        EXPECT_EQ(opened.code, c.code);
        if (opened.handle != INVALID_HANDLE_VALUE)
            CloseHandle(opened.handle);
        if (c.opens) {
            EXPECT_EQ(readFile(c.path), c.content);
        }
    }
}

TEST(FileHandles, WrittenDataReadsBackAndFlushes) {
    ScratchFolder scratch;
    const std::string path = scratch.path("data");
    const std::string data = "first line\nsecond \0 line"; // odd size, more than one read
    const Opened out = open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(out.handle, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(out.handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(FlushFileBuffers(out.handle));
    EXPECT_TRUE(CloseHandle(out.handle));

    const Opened in = open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(in.handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(readAll(in.handle), data);
    DWORD got = 99;
    char byte;
    EXPECT_TRUE(ReadFile(in.handle, &byte, 1, &got, nullptr)); // at the end: success, nothing read
    EXPECT_EQ(got, 0u);
    DWORD put = 99;
    SetLastError(0);
    EXPECT_FALSE(WriteFile(in.handle, "x", 1, &put, nullptr)); // opened for reading only
    EXPECT_NE(GetLastError(), 0u);
    CloseHandle(in.handle);
}

TEST(FileHandles, ShareModesDecideWhoElseMayOpen) {
    ScratchFolder scratch;
    const std::string path = scratch.path("shared");
    writeFile(path, "x");
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const struct {
        const char* name;
        DWORD firstAccess, firstShare, secondAccess, secondShare;
        bool clash;
    } cases[] = {
        {"two readers sharing reading", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},
        {"writer after a reader that denies writing", GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, all, true},
        {"reader after an exclusive writer", GENERIC_WRITE, FILE_SHARE_DELETE, GENERIC_READ, FILE_SHARE_READ, true},
        {"writer after an exclusive writer", GENERIC_WRITE, FILE_SHARE_DELETE, GENERIC_WRITE, all, true},
        {"writer after a reader sharing all", GENERIC_READ, all, GENERIC_WRITE, all, false},
        {"reader sharing all after a reader sharing all", GENERIC_READ, all, GENERIC_READ, all, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Opened first = open(path, c.firstAccess, c.firstShare, OPEN_EXISTING);
        ASSERT_NE(first.handle, INVALID_HANDLE_VALUE);
        const Opened second = open(path, c.secondAccess, c.secondShare, OPEN_EXISTING);
        EXPECT_EQ(second.handle == INVALID_HANDLE_VALUE, c.clash);
        if (c.clash) {
            EXPECT_EQ(second.code, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        } else {
            CloseHandle(second.handle);
        }
        CloseHandle(first.handle);
        // Closing the first lets anyone in.
        const Opened after = open(path, GENERIC_WRITE, 0, OPEN_EXISTING);
        EXPECT_NE(after.handle, INVALID_HANDLE_VALUE);
        CloseHandle(after.handle);
    }
}

TEST(FileHandles, HeldFileCanBeRenamedWhenDeletingIsShared) {
    ScratchFolder scratch;
    const std::string partial = scratch.path("app.asar.partial");
    const std::string target = scratch.path("app.asar");
    writeFile(target, "old");
    const Opened out = open(partial, GENERIC_WRITE, FILE_SHARE_DELETE, CREATE_ALWAYS);
    ASSERT_NE(out.handle, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(out.handle, "new", 3, &written, nullptr));
    ASSERT_TRUE(FlushFileBuffers(out.handle));
    EXPECT_TRUE(MoveFileExA(partial.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    CloseHandle(out.handle);
    EXPECT_EQ(readFile(target), "new");
    EXPECT_FALSE(std::filesystem::exists(partial));
}

TEST(FileHandles, RangeLockIsHeldByOneHandleAtATimeAndLeavesWritingAlone) {
    ScratchFolder scratch;
    const std::string path = scratch.path("log.txt");
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const Opened first = open(path, FILE_APPEND_DATA | FILE_READ_DATA, share, OPEN_ALWAYS);
    const Opened second = open(path, FILE_APPEND_DATA | FILE_READ_DATA, share, OPEN_ALWAYS);
    ASSERT_NE(first.handle, INVALID_HANDLE_VALUE);
    ASSERT_NE(second.handle, INVALID_HANDLE_VALUE);
    OVERLAPPED range{};
    range.OffsetHigh = 0x40000000u;
    const DWORD now = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    ASSERT_TRUE(LockFileEx(first.handle, now, 0, 1, 0, &range));
    EXPECT_FALSE(LockFileEx(second.handle, now, 0, 1, 0, &range));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(second.handle, "line\n", 5, &written, nullptr));
    ASSERT_TRUE(UnlockFileEx(first.handle, 0, 1, 0, &range));
    EXPECT_TRUE(LockFileEx(second.handle, now, 0, 1, 0, &range));
    CloseHandle(second.handle);
    EXPECT_TRUE(LockFileEx(first.handle, now, 0, 1, 0, &range)) << "a closed handle's lock is gone";
    CloseHandle(first.handle);
    EXPECT_EQ(readFile(path), "line\n");
}

} // namespace
