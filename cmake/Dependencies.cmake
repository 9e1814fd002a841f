# Debian's packages of the libraries the set links. libziparchive, libbase and
# liblog ship no pkg-config file and live outside the loader's path, so they are
# found by hand and every binary carries their directory as its run path.
find_package(PkgConfig REQUIRED)
pkg_check_modules(DIRECTFB REQUIRED IMPORTED_TARGET directfb)
pkg_check_modules(OPENSSL_CRYPTO REQUIRED IMPORTED_TARGET libcrypto)
pkg_check_modules(ZLIB REQUIRED IMPORTED_TARGET zlib)
pkg_check_modules(FREETYPE IMPORTED_TARGET freetype2)
find_package(BZip2 REQUIRED)
find_package(Threads REQUIRED)

set(ANDROID_INCLUDE_DIR /usr/include/android)
set(ANDROID_LIB_DIR /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/android)
find_library(ZIPARCHIVE_LIB ziparchive PATHS ${ANDROID_LIB_DIR} NO_DEFAULT_PATH REQUIRED)
find_library(ANDROID_BASE_LIB base PATHS ${ANDROID_LIB_DIR} NO_DEFAULT_PATH REQUIRED)
find_library(ANDROID_LOG_LIB log PATHS ${ANDROID_LIB_DIR} NO_DEFAULT_PATH REQUIRED)

add_library(android_ziparchive INTERFACE)
target_include_directories(android_ziparchive SYSTEM INTERFACE ${ANDROID_INCLUDE_DIR})
target_link_libraries(android_ziparchive INTERFACE ${ZIPARCHIVE_LIB} ${ANDROID_BASE_LIB} ${ANDROID_LOG_LIB} PkgConfig::ZLIB)

set(CMAKE_BUILD_RPATH ${ANDROID_LIB_DIR})
set(CMAKE_INSTALL_RPATH ${ANDROID_LIB_DIR})
