// Writes one file entry of an archive into place.
#pragma once

#include "platform/new_file.h"

#include <miniz.h>

#include <string>
#include <vector>

// Takes an entry's content from the library, in pieces of at most 64 KB, and
// writes it to the new file in larger ones. It refuses any byte past the
// declared size, so an entry that inflates to more than it declares stops
// there, whatever the library checks itself.
class EntryWriter {
public:
    EntryWriter(FileUtils::NewFile& target, mz_uint64 declaredSize, std::vector<char>& pieceBuffer)
        : file(target), declared(declaredSize), buffer(pieceBuffer) {}

    // The library's write callback: `self` is the EntryWriter.
    static size_t receive(void* self, mz_uint64 offset, const void* data, size_t size);

    // True when the whole declared content has arrived and is written.
    bool finish() { return flush() && received == declared; }

private:
    bool take(mz_uint64 offset, const void* data, std::size_t size);
    bool flush();

    FileUtils::NewFile& file;
    const mz_uint64 declared;
    std::vector<char>& buffer;
    std::size_t used = 0;
    mz_uint64 received = 0;
};

// The permission bits an entry made on Unix gives its file, without setuid,
// setgid, sticky or write for others, and with write for the owner; 0666
// for any other entry. The process's umask still applies.
unsigned entryPermissions(const mz_zip_archive_file_stat& entry);

// Writes one file entry into a new file of its own in `folder`, checks its
// size and CRC-32, gives it the entry's time and renames it over `name` in
// one step. A failure, or a kill at any moment, leaves whatever was at
// `name` as it was, and no temporary file; a link there is replaced, never
// written through.
bool extractFile(mz_zip_archive& archive, mz_uint index, const mz_zip_archive_file_stat& entry,
                 const FileUtils::HeldFolder& folder, const std::string& name, const std::string& prefix,
                 std::vector<char>& buffer);
