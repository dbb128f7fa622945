#include "commands/update/update_source.h"
#include "platform/error_code.h"

#include "log/logger.h"
#include "platform/file_utils.h"
#include "platform/in_use.h"

UpdateSource::Opened UpdateSource::open(const std::string& path, unsigned long inUseMs) {
    path_ = path;
    const FileUtils::FolderAndName parts = FileUtils::heldFolderAndName(path);
    const std::string& name = parts.name;
    name_ = name;
    if (name.empty()) {
        Platform::setLastError(ERROR_FILE_NOT_FOUND);
        return Opened::Missing;
    }
    if (!folder_.openWithoutLastLink(parts.folder)) {
        const Platform::ErrorCode code = Platform::lastError();
        if (code == ERROR_CANT_RESOLVE_FILENAME)
            return Opened::Link;
        // A name the system cannot have (Windows: control characters) names
        // no update either.
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_DIRECTORY ||
                       code == ERROR_INVALID_NAME
                   ? Opened::Missing
                   : Opened::Failed;
    }
    if (folder_.isLink(name))
        return Opened::Link;
    // A scanner that holds it without sharing its deletion lets go soon.
    FileUtils::tryWhileInUse(path.c_str(), inUseMs, FileUtils::inUse, [&] {
        file_ = folder_.openFile(name, FileUtils::OpenFor::ReadingToRemove);
        return file_.isOpen();
    });
    if (!file_.isOpen()) {
        const Platform::ErrorCode code = Platform::lastError();
        if (folder_.isLink(name))
            return Opened::Link;
        Platform::setLastError(code);
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME
                   ? Opened::Missing
                   : Opened::Failed;
    }
    // Windows opens a link as itself, Wine follows a Unix link even when
    // asked not to: the name shows either, and cannot change while held
    // without delete sharing. A cloud placeholder is no link.
    Platform::FileIdentity identity;
    if (!file_.identity(identity))
        return Opened::Failed;
    if (folder_.isLink(name))
        return Opened::Link;
    if (identity.folder) {
        Platform::setLastError(ERROR_ACCESS_DENIED);
        return Opened::Failed;
    }
    return Opened::Ok;
}

void UpdateSource::remove() {
    if (folder_.removeOpen(name_, file_))
        return;
    const std::uint32_t refusal = Platform::lastError();
    // Someone removed it first: there is nothing left to remove.
    if (refusal == ERROR_FILE_NOT_FOUND || refusal == ERROR_PATH_NOT_FOUND)
        return;
    if (refusal == ERROR_ACCESS_DENIED && park(refusal))
        return;
    Logger::instance()->log(WARN, "Unable to remove file " + path_ +
                                      " GetLastError returned: " + std::to_string(static_cast<unsigned long>(refusal)));
}

bool UpdateSource::park(Platform::ErrorCode refusal) {
    const std::string temp = FileUtils::temporaryFolder();
    // A drive-relative name ("C:update.asar") keeps only what follows the
    // drive.
    const std::string name = name_.substr(name_.find_last_of(':') + 1);
    if (temp.empty() || name.empty()) {
        Platform::setLastError(refusal);
        return false;
    }
    const std::string base = FileUtils::toForwardSlashes(temp) + "/" + name;
    std::string candidate = base;
    for (unsigned long n = 1; FileUtils::lookAt(candidate.c_str()).exists; ++n)
        candidate = base + "_" + std::to_string(n);
    Logger::instance()->log(WARN, "Unable to remove file " + path_ + " - it may be in use.  Moving to " + candidate +
                                      " and scheduling delete on reboot.");
    const bool moved = folder_.moveOpenTo(name_, file_, candidate);
    if (!moved) {
        Logger::instance()->log(WARN, "Unable to rename " + path_ + " to " + candidate + " GetLastError returned: " +
                                          std::to_string(static_cast<unsigned long>(Platform::lastError())));
        return true;
    }
    if (!FileUtils::deleteAtRestart(candidate.c_str()))
        Logger::instance()->log(WARN, "The system refused to delete " + candidate +
                                          " at the next restart (that needs administrator rights); "
                                          "GetLastError returned: " +
                                          std::to_string(static_cast<unsigned long>(Platform::lastError())));
    return true;
}
