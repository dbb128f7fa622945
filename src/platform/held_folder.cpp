#include "platform/held_folder.h"

#include <utility>

namespace FileUtils {

HeldFolder::~HeldFolder() { close(); }

HeldFolder::HeldFolder(HeldFolder&& other) noexcept
    : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)), path_(std::move(other.path_)) {}

HeldFolder& HeldFolder::operator=(HeldFolder&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
        path_ = std::move(other.path_);
    }
    return *this;
}

bool HeldFolder::openWithoutLastLink(const std::string& path) {
    const auto cut = path.find_last_of("/\\");
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    if (name.empty() || name == "." || name == ".." || name.back() == ':')
        return open(path);
    HeldFolder parent;
    if (!parent.open(cut == std::string::npos ? std::string(".") : cut == 0 ? path.substr(0, 1) : path.substr(0, cut)))
        return false;
    return open(parent, name, false);
}

void HeldFolder::close() {
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    path_.clear();
}

} // namespace FileUtils
