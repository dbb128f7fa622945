// The least time a miniz-based extraction can take: open the archive, then
// inflate and check (CRC-32, size) every file entry into memory, through the
// same streaming inflate that extracting to a file uses. With --flat, every
// entry is inflated in one piece into a buffer as large as the largest entry
// instead (miniz's fastest path, out of reach when writing files).
// Prints nothing on success; exits 1 if any entry fails.
#include <miniz.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Grown on demand and never zero-filled: the floor pays for touching new
// memory only where the inflate writes, as a file system would.
struct Sink {
    std::unique_ptr<unsigned char[]> bytes;
    size_t size = 0;

    void reserve(size_t wanted) {
        if (wanted > size) {
            bytes.reset(new unsigned char[wanted]);
            size = wanted;
        }
    }
};

size_t keep(void* opaque, mz_uint64 offset, const void* data, size_t size) {
    auto* sink = static_cast<Sink*>(opaque);
    if (offset + size > sink->size)
        return 0; // more than the entry claims: the library reports the failure
    std::memcpy(sink->bytes.get() + offset, data, size);
    return size;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ARCHIVE [--flat]\n", argv[0]);
        return 2;
    }
    const bool flat = argc > 2 && std::strcmp(argv[2], "--flat") == 0;
    mz_zip_archive archive{};
    if (!mz_zip_reader_init_file(&archive, argv[1], 0)) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    const mz_uint count = mz_zip_reader_get_num_files(&archive);
    Sink sink;
    int failed = 0;
    for (mz_uint i = 0; i < count; ++i) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(&archive, i, &entry)) {
            ++failed;
            continue;
        }
        if (entry.m_is_directory)
            continue;
        sink.reserve(static_cast<size_t>(entry.m_uncomp_size));
        bool ok;
        if (flat) {
            ok = mz_zip_reader_extract_to_mem_no_alloc(&archive, i, sink.bytes.get(), sink.size, 0, nullptr, 0);
        } else {
            ok = mz_zip_reader_extract_to_callback(&archive, i, keep, &sink, 0);
        }
        failed += ok ? 0 : 1;
    }
    mz_zip_reader_end(&archive);
    if (failed != 0)
        std::fprintf(stderr, "%d entries failed\n", failed);
    return failed != 0 ? 1 : 0;
}
