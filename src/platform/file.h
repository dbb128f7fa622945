// An open file, owned: closed when its owner goes, on every way out. On
// Windows it holds a HANDLE, natively a descriptor. Every call that fails
// leaves the system's code in Platform::lastError().
#pragma once

#include <cstddef>
#include <cstdint>

namespace Platform {

#ifdef _WIN32
using NativeFile = void*; // a HANDLE
#else
using NativeFile = int; // a descriptor
#endif

// Which file an open file is, whatever names it has: equal for two opens of
// the same file on the same volume.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool folder = false;
    bool reparsePoint = false; // Windows: a reparse point opened as itself; natively never
    std::uint32_t names = 1;   // its hard links, this name among them
    bool operator==(const FileIdentity& other) const { return volume == other.volume && index == other.index; }
};

class File {
public:
    File() : native_(invalid()) {}
    // Takes `native`, open, as its own; an invalid one makes no open File.
    explicit File(NativeFile native) : native_(native) {}
    ~File() { close(); }
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool isOpen() const { return native_ != invalid(); }
    // The handle or descriptor, still this object's.
    NativeFile native() const { return native_; }
    // Closes it now; an open File that is closed twice does nothing more.
    void close();

    // Reads up to `size` bytes at the current position into `data`; `got`
    // is 0 at the end. False with the system's code.
    bool read(void* data, std::size_t size, std::size_t& got);
    // Reads up to `size` bytes at `offset` (the position after it is not
    // to be relied on); `got` is short only at the end. False with the code.
    bool readAt(std::uint64_t offset, void* data, std::size_t size, std::size_t& got);
    // Writes all `size` bytes at the current position. False with the
    // system's code; a short write reports ERROR_DISK_FULL (112).
    bool write(const void* data, std::size_t size);
    // Brings what was written to the disk. False with the system's code.
    bool flush();
    // The length in bytes. False with the system's code.
    bool size(std::uint64_t& bytes) const;
    // Which file this is. False with the system's code.
    bool identity(FileIdentity& identity) const;
    // Sets the last access and modification time to `unixSeconds` (seconds
    // since 1970, UTC). False with the system's code.
    bool setTimes(std::int64_t unixSeconds);

    // What no open file is: INVALID_HANDLE_VALUE, or -1.
    static NativeFile invalid();

private:
    NativeFile native_;
};

} // namespace Platform
