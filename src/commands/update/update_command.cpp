// Replacing the app's archive, as its log tells it: the digest read, the
// update opened, the app gone, the archive locked and repaired, the new
// archive written and checked, the unpacked folder staged, both swapped in,
// the update removed.
#include "app/command_dispatcher.h"
#include "commands/commands.h"
#include "commands/decimal_text.h"
#include "commands/update/installation.h"
#include "commands/update/sha512.h"
#include "commands/update/update_lock.h"
#include "commands/update/update_source.h"
#include "commands/update/update_target.h"
#include "log/logger.h"
#include "platform/error_code.h"
#include "platform/file_utils.h"
#include "platform/held_folder.h"
#include "platform/in_use.h"
#include "platform/process.h"

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

namespace {

constexpr std::uint32_t kCopyChunk = 4u << 20;
constexpr int kRefused = 2;

void logError(const std::string& text) { Logger::instance()->log(ERROR, text); }

[[noreturn]] void hashFailed(const Sha512& hash, const std::string& of) {
    Platform::setLastError(static_cast<std::uint32_t>(hash.status()));
    FileUtils::throwLastError({"Unable to compute the SHA-512 of ", of.c_str()});
}

} // namespace

// `failure` begins the message of a step that fails.
bool holdTarget(const std::string& appAsar, const std::string& failure, unsigned long lockMs, Target& target,
                int& status) {
    const auto fail = [&] { FileUtils::throwLastError({failure.c_str()}); };
    const FileUtils::FolderAndName parts = FileUtils::heldFolderAndName(appAsar);
    target.name = parts.name;
    if (target.name.empty() || target.name == "." || target.name == "..") {
        Platform::setLastError(ERROR_PATH_NOT_FOUND);
        fail();
    }
    if (!target.folder.openWithoutLastLink(parts.folder)) {
        // For the archive, a missing folder is a path not found.
        if (Platform::lastError() == ERROR_FILE_NOT_FOUND)
            Platform::setLastError(ERROR_PATH_NOT_FOUND);
        fail();
    }
    switch (target.lock.take(target.folder, target.name, lockMs)) {
    case UpdateLock::Result::held:
        return true;
    case UpdateLock::Result::busy:
        logError("Another update of " + appAsar + " is still running after " + std::to_string(lockMs) +
                 " ms; nothing was changed");
        status = kFileSystemFailureStatus;
        return false;
    case UpdateLock::Result::failed:
        break;
    }
    FileUtils::throwLastError(
        {"Unable to lock ", (target.folder.path() + "/" + UpdateLock::fileName(target.name)).c_str()});
}

namespace {

// Copies the update into the staged archive, hashing the very bytes written.
// A chunk is hashed on a second thread while it is written and the next one
// read: the hash costs the processor about as much as the copy costs the
// disk, and one after the other they would add up.
void copyAndHash(UpdateSource& source, Platform::File& out, Sha512* hash, const std::string& from,
                 const std::string& to) {
    const auto fail = [&] { FileUtils::throwLastError({"Failed to copy ", from.c_str(), " to ", to.c_str()}); };
    const std::unique_ptr<char[]> buffers[2] = {std::unique_ptr<char[]>(new char[kCopyChunk]),
                                                std::unique_ptr<char[]>(new char[kCopyChunk])};
    int current = 0;
    std::size_t got = 0;
    if (!source.file().read(buffers[current].get(), kCopyChunk, got))
        fail();
    while (got > 0) {
        const char* chunk = buffers[current].get();
        bool hashed = true;
        std::thread hasher;
        if (hash != nullptr) {
            try {
                hasher = std::thread([&hashed, hash, chunk, got] { hashed = hash->add(chunk, got); });
            } catch (const std::system_error&) {
                hashed = hash->add(chunk, got); // no thread to be had: in turn, then
            }
        }
        std::size_t next = 0;
        const bool copied = out.write(chunk, got) && source.file().read(buffers[1 - current].get(), kCopyChunk, next);
        const Platform::ErrorCode code = Platform::lastError();
        if (hasher.joinable())
            hasher.join();
        Platform::setLastError(code);
        if (!copied)
            fail();
        if (!hashed)
            hashFailed(*hash, from);
        current = 1 - current;
        got = next;
    }
}

} // namespace

int repairCommand(OptionParser& options, const WaitBudgets& budgets) {
    const char* value = options.getValue("appAsar");
    const std::string appAsar = value != nullptr ? value : "";
    Logger::instance()->log(INFO, "Repairing updates of " + appAsar);
    Target target;
    int status = 0;
    if (!holdTarget(appAsar, "Unable to repair " + appAsar, budgets.lockMs, target, status))
        return status;
    Installation installation(target.folder, target.name, appAsar, budgets.inUseMs);
    if (!installation.repair())
        Logger::instance()->log(INFO, "Nothing to repair");
    return 0;
}

std::optional<int> updateCommand(OptionParser& options, const WaitBudgets& budgets) {
    const std::uint32_t waitPid = waitPidOption(options);
    std::string appAsar;
    std::string updateAsar;
    if (const char* value = options.getValue("appAsar"))
        appAsar = value;
    if (const char* value = options.getValue("updateAsar"))
        updateAsar = value;
    const char* digestText = options.getValue("sha512");

    Logger::instance()->log(INFO, "started updater. waitPid: " + std::to_string(waitPid) + ", appAsar: " + appAsar +
                                      ", updateAsar: " + updateAsar);
    Sha512Digest expected{};
    if (digestText != nullptr && !parseSha512(digestText, expected)) {
        logError("The --sha512 value is neither 128 hex digits nor base64 of 64 bytes: " + std::string(digestText));
        return kRefused;
    }
    UpdateSource source;
    switch (source.open(updateAsar, budgets.inUseMs)) {
    case UpdateSource::Opened::Ok:
        break;
    case UpdateSource::Opened::Missing:
        logError("The update asar doesn't exist");
        return kRefused;
    case UpdateSource::Opened::Link:
        logError("The update asar is a link, which is never followed: " + updateAsar);
        return kRefused;
    case UpdateSource::Opened::Failed:
        FileUtils::throwLastError({"Failed to copy ", updateAsar.c_str(), " to ", appAsar.c_str()});
    }
    const std::string unpackedSource = updateAsar + ".unpacked";
    FileUtils::HeldFolder unpacked;
    const bool withUnpacked = unpacked.open(source.folder(), source.name() + ".unpacked", false);
    if (!withUnpacked && Platform::lastError() != ERROR_FILE_NOT_FOUND &&
        Platform::lastError() != ERROR_PATH_NOT_FOUND) {
        if (Platform::lastError() != ERROR_CANT_RESOLVE_FILENAME && Platform::lastError() != ERROR_DIRECTORY)
            FileUtils::throwLastError({"Unable to open ", unpackedSource.c_str()});
        logError("The update's unpacked folder is a link or no folder: " + unpackedSource);
        return kRefused;
    }

    // The app keeps its archive open while it runs: replacing it under a
    // running app would mix versions, and a relaunch would start a second.
    if (!appHasQuit(options, budgets, ERROR, "nothing was replaced"))
        return kFileSystemFailureStatus;
    Target target;
    int status = 0;
    if (!holdTarget(appAsar, "Failed to copy " + updateAsar + " to " + appAsar, budgets.lockMs, target, status))
        return status;
    // Write access to the archive, asked for up front as a plain copy would:
    // a folder, a rejected name and a file the app still holds while it
    // quits fail here, before anything is written, or are waited for.
    // A link there is replaced, never written through, so it is no refusal.
    const auto openDestination = [&] {
        if (target.folder.openFile(target.name, FileUtils::OpenFor::Writing).isOpen())
            return true;
        return Platform::lastError() == ERROR_FILE_NOT_FOUND || Platform::lastError() == ERROR_CANT_RESOLVE_FILENAME;
    };
    if (!FileUtils::tryWhileInUse(appAsar.c_str(), budgets.inUseMs, FileUtils::inUse, openDestination))
        FileUtils::throwLastError({"Failed to copy ", updateAsar.c_str(), " to ", appAsar.c_str()});
    Installation installation(target.folder, target.name, appAsar, budgets.inUseMs);
    installation.repair();
    if (keepsReplaced(options))
        installation.keepReplaced();

    Platform::File& staged = installation.begin(withUnpacked);
    std::unique_ptr<Sha512> hash;
    if (digestText != nullptr) {
        hash.reset(new Sha512());
        if (!hash->ready())
            hashFailed(*hash, updateAsar);
    }
    copyAndHash(source, staged, hash.get(), updateAsar, appAsar);
    if (hash) {
        Sha512Digest actual{};
        if (!hash->finish(actual))
            hashFailed(*hash, updateAsar);
        if (actual != expected) {
            const std::string given = std::string(digestText).size() == 128 ? sha512Hex(expected) : digestText;
            const std::string got = std::string(digestText).size() == 128 ? sha512Hex(actual) : sha512Base64(actual);
            logError("The update's SHA-512 is " + got + ", not the expected " + given + "; nothing was replaced");
            installation.abandon();
            return kRefused;
        }
    }
    if (withUnpacked) {
        std::string link;
        if (!installation.stageUnpacked(unpacked, link)) {
            logError("The update's unpacked folder holds a link, which is never followed: " + link);
            installation.abandon();
            return kRefused;
        }
    }
    installation.commit();
    source.remove();
    Logger::instance()->log(INFO, "Update finished");
    return std::nullopt;
}

std::uint32_t waitPidOption(OptionParser& options) {
    const char* wait = options.getValue("wait");
    if (wait == nullptr)
        return 0;
    // Read as 64 bits, kept as the low 32: "-1" names 4294967295.
    const std::int64_t value = readSignedDecimal(wait, INT64_MIN, INT64_MAX);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(value));
}

bool appHasQuit(OptionParser& options, const WaitBudgets& budgets, LogLevel level, const char* consequence) {
    const std::uint32_t pid = waitPidOption(options);
    if (waitForProcessExit(pid, budgets.appExitMs))
        return true;
    Logger::instance()->log(level, "Process " + std::to_string(pid) + " is still running after " +
                                       std::to_string(budgets.appExitMs) + " ms; " + consequence);
    return false;
}
