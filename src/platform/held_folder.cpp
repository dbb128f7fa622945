#include "platform/held_folder.h"

#include "platform/file_utils.h"

#include <utility>

namespace FileUtils {

HeldFolder::~HeldFolder() { close(); }

HeldFolder::HeldFolder(HeldFolder&& other) noexcept
    : handle_(std::exchange(other.handle_, Platform::File::invalid())), path_(std::move(other.path_)) {}

HeldFolder& HeldFolder::operator=(HeldFolder&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, Platform::File::invalid());
        path_ = std::move(other.path_);
    }
    return *this;
}

bool HeldFolder::openWithoutLastLink(const std::string& path) {
    const FolderAndName parts = splitAtLastSeparator(path);
    const std::string& name = parts.name;
    if (name.empty() || name == "." || name == ".." || name.back() == ':')
        return open(path);
    HeldFolder parent;
    if (!parent.open(parts.folder))
        return false;
    return open(parent, name, false);
}

void HeldFolder::close() {
    Platform::File(std::exchange(handle_, Platform::File::invalid()));
    path_.clear();
}

} // namespace FileUtils
