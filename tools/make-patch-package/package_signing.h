// Signing a written package with an Ed25519 release key, and the
// check-signature command that tells a release engineer whether a package
// verifies.
#pragma once

#include <memory>
#include <string>

#include <openssl/evp.h>

#include "package.h"

namespace mpp {

struct SigningKey_T {
    std::shared_ptr<EVP_PKEY> privateKey;
    PublicKey_T publicKey;  // the matching public key, for the self-check
};

// An Ed25519 private key in PEM; empty string on success, else the reason.
std::string loadSigningKey(const std::string& path, SigningKey_T* key);

// Signs the unsigned package at `path` in place: the end record's comment
// length becomes the block's, the block is appended, and the result is
// verified with the matching public key by the set's own check. Ed25519 is
// deterministic, so the same package and key give the same bytes. Empty
// string on success, else the reason (the file is then not to be used).
std::string signPackageFile(const std::string& path, const SigningKey_T& key);

// What the end of the package open on fd says of its signing: "key id " and
// the id in hex, "unsigned" when no block ends the file, or why the block
// that is there cannot be read.
std::string describeSignature(int fd);

// make-patch-package check-signature PKG --key PUB.pem [--key ...]
// 0 when one of the keys verifies PKG, 1 when none does, 2 on a usage error.
int checkSignatureCommand(int argc, char** argv);

}  // namespace mpp
