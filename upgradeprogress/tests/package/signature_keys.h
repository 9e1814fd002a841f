// Real Ed25519 key pairs made by the openssl command for the signature
// tests, and the files they sign: real ZIP packages.
#pragma once

#include <cstdlib>
#include <string>

#include "archive/archive_test_util.h"
#include "testing/zip_fixture.h"

namespace ota_test {

// Makes DIR/NAME.pem (private) and DIR/NAME.pub.pem with the openssl
// command, as a release engineer would.
inline bool makeKeyPair(const std::string& dir, const std::string& name,
                        const std::string& algorithm = "ed25519") {
    const std::string key = dir + "/" + name + ".pem";
    const std::string command = "openssl genpkey -algorithm " + algorithm + " -out '" + key +
                                "' && openssl pkey -in '" + key + "' -pubout -out '" + dir + "/" +
                                name + ".pub.pem'";
    return system(command.c_str()) == 0;
}

// A small package as the builder lays it out: a deflated list and a stored part.
inline bool writeSamplePackage(const std::string& path, unsigned seed = 1) {
    return writeZip(path, {{"patch_package/split_usrfs_udpate_list.ini",
                            "entotal;usrfs.img;0123456789abcdef0123456789abcdef;200000;0\n", true},
                           {"patch_package/usrfs.img", patternBytes(200000, seed), false}});
}

}  // namespace ota_test
