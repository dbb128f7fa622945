// SHA-512 from Windows' CNG. bcrypt.dll is not imported: the system would
// load an imported DLL before the helper restricts the DLL search, and could
// take it from the folder the helper was started from (a download folder may
// hold a planted one). It is loaded on first use, from the system folder
// only, and stays loaded for the run.
#include "commands/update/sha512.h"

#include "platform/win32.h"

#include <algorithm>
#include <bcrypt.h>

namespace {

// The CNG calls the digest needs, or the system's code for why they cannot
// be had.
struct Cng {
    decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;
    decltype(&BCryptCreateHash) createHash = nullptr;
    decltype(&BCryptHashData) hashData = nullptr;
    decltype(&BCryptFinishHash) finishHash = nullptr;
    decltype(&BCryptDestroyHash) destroyHash = nullptr;
    DWORD error = 0;
};

template <typename Function> bool find(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
}

Cng loadCng() {
    Cng cng;
    const HMODULE module = LoadLibraryExA("bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr || !find(module, "BCryptOpenAlgorithmProvider", cng.openAlgorithmProvider) ||
        !find(module, "BCryptCloseAlgorithmProvider", cng.closeAlgorithmProvider) ||
        !find(module, "BCryptCreateHash", cng.createHash) || !find(module, "BCryptHashData", cng.hashData) ||
        !find(module, "BCryptFinishHash", cng.finishHash) || !find(module, "BCryptDestroyHash", cng.destroyHash))
        cng.error = GetLastError() != 0 ? GetLastError() : ERROR_PROC_NOT_FOUND;
    return cng;
}

const Cng& cng() {
    static const Cng loaded = loadCng();
    return loaded;
}

} // namespace

struct Sha512::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;

    ~State() {
        if (hash != nullptr)
            cng().destroyHash(hash);
        if (algorithm != nullptr)
            cng().closeAlgorithmProvider(algorithm, 0);
    }
};

Sha512::Sha512() {
    if (cng().error != 0) {
        status_ = static_cast<long>(cng().error);
        return;
    }
    std::unique_ptr<State> state(new State);
    status_ = cng().openAlgorithmProvider(&state->algorithm, BCRYPT_SHA512_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status_)) {
        state->algorithm = nullptr;
        return;
    }
    status_ = cng().createHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status_)) {
        state->hash = nullptr;
        return;
    }
    state_ = std::move(state);
}

Sha512::~Sha512() = default;

bool Sha512::add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (ready() && size > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        status_ = cng().hashData(state_->hash, const_cast<PUCHAR>(bytes), chunk, 0);
        if (!BCRYPT_SUCCESS(status_))
            return false;
        bytes += chunk;
        size -= chunk;
    }
    return ready();
}

bool Sha512::finish(Sha512Digest& digest) {
    if (!ready())
        return false;
    status_ = cng().finishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    state_.reset();
    return BCRYPT_SUCCESS(status_);
}
