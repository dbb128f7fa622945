// miniz's own extraction, the yardstick for the helper's: every file entry
// written with mz_zip_reader_extract_to_file below DEST, its folders made
// first (each once), with none of the helper's guards.
// Prints nothing on success; exits 1 if any entry fails.
#include <miniz.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unordered_set>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ARCHIVE DEST\n", argv[0]);
        return 2;
    }
    mz_zip_archive archive{};
    if (!mz_zip_reader_init_file(&archive, argv[1], 0)) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    const std::string dest = argv[2];
    std::unordered_set<std::string> made;
    const mz_uint count = mz_zip_reader_get_num_files(&archive);
    int failed = 0;
    for (mz_uint i = 0; i < count; ++i) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(&archive, i, &entry)) {
            ++failed;
            continue;
        }
        const std::string path = dest + "/" + entry.m_filename;
        const std::string folder = entry.m_is_directory ? path : path.substr(0, path.rfind('/'));
        std::error_code error;
        if (made.insert(folder).second)
            std::filesystem::create_directories(folder, error);
        if (!entry.m_is_directory && !mz_zip_reader_extract_to_file(&archive, i, path.c_str(), 0))
            ++failed;
    }
    mz_zip_reader_end(&archive);
    if (failed != 0)
        std::fprintf(stderr, "%d entries failed\n", failed);
    return failed != 0 ? 1 : 0;
}
