// Windows' CNG hash calls over libcrypto's EVP digests.
#include "posix/win32_standin.h"

#include <cwchar>
#include <new>
#include <openssl/evp.h>

namespace {

// The one algorithm offered; its provider handle only says which.
int sha512Provider;

} // namespace

NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR id, LPCWSTR, ULONG) {
    if (algorithm == nullptr || id == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (std::wcscmp(id, BCRYPT_SHA512_ALGORITHM) != 0)
        return STATUS_NOT_FOUND;
    *algorithm = &sha512Provider;
    return 0;
}

NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG) {
    return algorithm == &sha512Provider ? 0 : STATUS_INVALID_HANDLE;
}

NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, PUCHAR object, ULONG objectSize,
                          PUCHAR secret, ULONG secretSize, ULONG) {
    if (algorithm != &sha512Provider)
        return STATUS_INVALID_HANDLE;
    if (hash == nullptr || object != nullptr || objectSize != 0 || secret != nullptr || secretSize != 0)
        return STATUS_INVALID_PARAMETER;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr)
        return STATUS_NO_MEMORY;
    if (EVP_DigestInit_ex(context, EVP_sha512(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        return STATUS_NO_MEMORY;
    }
    *hash = context;
    return 0;
}

NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG size, ULONG) {
    if (hash == nullptr)
        return STATUS_INVALID_HANDLE;
    if (size > 0 && input == nullptr)
        return STATUS_INVALID_PARAMETER;
    return EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(hash), input, size) == 1 ? 0 : STATUS_INVALID_PARAMETER;
}

NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG size, ULONG) {
    if (hash == nullptr)
        return STATUS_INVALID_HANDLE;
    if (output == nullptr || size != 64)
        return STATUS_INVALID_PARAMETER;
    unsigned int written = 0;
    return EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(hash), output, &written) == 1 && written == 64
               ? 0
               : STATUS_INVALID_PARAMETER;
}

NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hash) {
    if (hash == nullptr)
        return STATUS_INVALID_HANDLE;
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(hash));
    return 0;
}
