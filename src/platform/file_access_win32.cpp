#include "platform/file_access.h"

namespace FileUtils {

// The archive's folder decides who may use what is in it; a file renamed
// into place keeps what it inherited there when it was made.
bool takeAccessOf(HANDLE, HANDLE) { return true; }

} // namespace FileUtils
