#include "commands/extract/entry_writer.h"
#include "platform/error_code.h"

#include "commands/extract/leftovers.h"
#include "platform/clock.h"
#include "platform/win32.h"

#include <cstring>

size_t EntryWriter::receive(void* self, mz_uint64 offset, const void* data, size_t size) {
    return static_cast<EntryWriter*>(self)->take(offset, data, size) ? size : 0;
}

bool EntryWriter::take(mz_uint64 offset, const void* data, std::size_t size) {
    if (offset != received || size > declared - received)
        return false;
    received += size;
    // A piece that completes the entry on its own needs no copy.
    if (used == 0 && received == declared)
        return file.write(data, size);
    if (used + size > buffer.size() && !flush())
        return false;
    if (size > buffer.size())
        return file.write(data, size);
    std::memcpy(buffer.data() + used, data, size);
    used += size;
    return true;
}

bool EntryWriter::flush() {
    const bool written = used == 0 || file.write(buffer.data(), used);
    used = 0;
    return written;
}

unsigned entryPermissions(const mz_zip_archive_file_stat& entry) {
    constexpr unsigned madeOnUnix = 3;
    const unsigned mode = entry.m_external_attr >> 16;
    if ((entry.m_version_made_by >> 8) != madeOnUnix || (mode & 0777) == 0)
        return 0666;
    // The owner keeps write permission: a read-only file is one the next
    // update could not replace.
    return (mode & 0775) | 0200;
}

bool extractFile(mz_zip_archive& archive, mz_uint index, const mz_zip_archive_file_stat& entry,
                 const FileUtils::HeldFolder& folder, const std::string& name, const std::string& prefix,
                 std::vector<char>& buffer) {
    if (!entry.m_is_supported)
        return false;
    FileUtils::NewFile file;
    if (!file.createUnique(folder, prefix, temporarySuffix, entryPermissions(entry)))
        return false;
    EntryWriter writer(file, entry.m_uncomp_size, buffer);
    if (!mz_zip_reader_extract_to_callback(&archive, index, EntryWriter::receive, &writer, 0) || !writer.finish())
        return false;
    // The entry's stored time, as the library gives it to the files it
    // writes itself; a failure is ignored.
    file.file().setTimes(static_cast<std::int64_t>(entry.m_time));
    // The file is renamed within the folder it was made in, which is held:
    // whatever is swapped on the way meanwhile, it lands there.
    // Another writer putting a file of the same name in place, or a virus
    // scanner looking at the last one, may hold the final name for a moment;
    // Windows then refuses the rename (5 or 32). A few short waits, 63 ms in
    // all, let that pass; a folder at that name keeps refusing.
    for (std::uint32_t wait = 1;; wait *= 2) {
        if (file.replaceIn(name))
            return true;
        const Platform::ErrorCode code = Platform::lastError();
        if ((code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) || wait > 32)
            return false;
        Platform::sleepMs(wait);
    }
}
