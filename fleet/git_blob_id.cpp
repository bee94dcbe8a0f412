#include "fleet/git_blob_id.h"

#include <openssl/evp.h>

#include <cstdio>

namespace fleet {

namespace {

// libcrypto's SHA-1 uses the processor's SHA instructions where there are
// any: the archive hashes every captured file of every host each night.
std::string Sha1Of(std::string_view first, std::string_view second) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool done = context != nullptr && EVP_DigestInit_ex(context, EVP_sha1(), nullptr) == 1 &&
                      EVP_DigestUpdate(context, first.data(), first.size()) == 1 &&
                      EVP_DigestUpdate(context, second.data(), second.size()) == 1 &&
                      EVP_DigestFinal_ex(context, digest, &length) == 1;
    EVP_MD_CTX_free(context);
    std::string out;
    char hex[3];
    for (unsigned int i = 0; done && i < length; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        out += hex;
    }
    return out;  // "" only when libcrypto fails, which matches no object
}

}  // namespace

std::string Sha1Hex(std::string_view bytes) { return Sha1Of(bytes, {}); }

std::string GitBlobId(std::string_view contents) {
    const std::string header = "blob " + std::to_string(contents.size());
    return Sha1Of(std::string_view(header.data(), header.size() + 1), contents);  // the header with its NUL
}

}  // namespace fleet
