#include "app/command_dispatcher.h"
#include "platform/win32.h"

#include <cstdlib>

namespace {
// Load DLLs only from the system folder, never from the folder the helper was
// started from (a download folder may hold planted DLLs). Looked up at run
// time: systems without the call simply keep their default search order.
void restrictDllSearch() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleA("kernel32");
    if (kernel == nullptr)
        return;
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefault != nullptr)
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    restrictDllSearch();
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return -1;

    char** narrow = static_cast<char**>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
    for (int i = 0; narrow != nullptr && i < count; ++i) {
        const int bytes = WideCharToMultiByte(CP_ACP, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        narrow[i] = static_cast<char*>(std::malloc(bytes > 0 ? static_cast<size_t>(bytes) : 1));
        if (narrow[i] == nullptr)
            break;
        narrow[i][0] = '\0';
        if (bytes > 0)
            WideCharToMultiByte(CP_ACP, 0, wide[i], -1, narrow[i], bytes, nullptr, nullptr);
    }
    LocalFree(wide);
    if (narrow == nullptr)
        return -1;
    for (int i = 0; i < count; ++i) {
        if (narrow[i] == nullptr) {
            // Out of memory while converting: nothing can run.
            for (int j = 0; j < i; ++j)
                std::free(narrow[j]);
            std::free(narrow);
            return -1;
        }
    }

    const int status = CommandDispatcher(count, narrow);

    for (int i = 0; i < count && narrow[i] != nullptr; ++i)
        std::free(narrow[i]);
    std::free(narrow);
    return status;
}
