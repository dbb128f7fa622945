#include "platform/file.h"

#include <utility>

namespace Platform {

File::File(File&& other) noexcept : native_(std::exchange(other.native_, invalid())) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        native_ = std::exchange(other.native_, invalid());
    }
    return *this;
}

} // namespace Platform
