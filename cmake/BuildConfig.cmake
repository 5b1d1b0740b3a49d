# What is fixed in the build: the catalog origin, the three trusted keys and the development origin.
# The defaults are the development keys of keys/dev, so that a plain build works out of the box.

function(vantry_read_dev_key var file)
    file(READ "${CMAKE_SOURCE_DIR}/keys/dev/${file}" text)
    string(STRIP "${text}" text)
    set(${var} "${text}" PARENT_SCOPE)
endfunction()

vantry_read_dev_key(_dev_release release.pub)
vantry_read_dev_key(_dev_anchor codesign-anchor.pub)
vantry_read_dev_key(_dev_notary notary.pub)

set(VANTRY_CATALOG_HOST "catalog.vantry.test" CACHE STRING "The catalog host: the one origin the launcher talks to")
# Left empty, a key is the development key of keys/dev, read at every configure.
set(VANTRY_RELEASE_PUBLIC_KEY "" CACHE STRING "Base64 Ed25519 release-signing public key (empty: development key)")
set(VANTRY_CODESIGN_ANCHOR_KEY "" CACHE STRING "Base64 Ed25519 public key of the code-signing anchor (empty: development key)")
set(VANTRY_NOTARY_KEY "" CACHE STRING "Base64 Ed25519 public key of the notary (empty: development key)")
foreach(pair "VANTRY_RELEASE_PUBLIC_KEY;_dev_release" "VANTRY_CODESIGN_ANCHOR_KEY;_dev_anchor" "VANTRY_NOTARY_KEY;_dev_notary")
    list(GET pair 0 key)
    list(GET pair 1 dev)
    if("${${key}}" STREQUAL "")
        set(${key}_VALUE "${${dev}}")
    else()
        set(${key}_VALUE "${${key}}")
    endif()
endforeach()
option(VANTRY_DEVELOPMENT_ORIGIN "Honour VANTRY_CONNECT_TO and VANTRY_EXTRA_CA in the HTTP transport" ON)
set(VANTRY_BUILD_NUMBER "1" CACHE STRING "The launcher's own build number")
# Vantry's own hdiutil, ditto, spctl and xattr, run by absolute path. By default the build tree's,
# so that a build works where it stands; an installed launcher names its libexec folder.
set(VANTRY_TOOLS_OUTPUT_DIR "${CMAKE_BINARY_DIR}/libexec/vantry")
set(VANTRY_LIBEXEC_DIR "${VANTRY_TOOLS_OUTPUT_DIR}" CACHE PATH "Where the launcher finds its system tools")

foreach(key VANTRY_RELEASE_PUBLIC_KEY VANTRY_CODESIGN_ANCHOR_KEY VANTRY_NOTARY_KEY)
    if(NOT "${${key}_VALUE}" MATCHES "^[A-Za-z0-9+/]+=*$")
        message(FATAL_ERROR "${key} is not Base64 text: '${${key}_VALUE}'")
    endif()
    string(LENGTH "${${key}_VALUE}" _len)
    if(NOT _len EQUAL 44)
        message(FATAL_ERROR "${key} must be the 44-character Base64 text of a 32-byte Ed25519 key")
    endif()
endforeach()
if(NOT VANTRY_CATALOG_HOST MATCHES "^[a-z0-9.-]+$")
    message(FATAL_ERROR "VANTRY_CATALOG_HOST must be a lower-case host name")
endif()
if(NOT VANTRY_BUILD_NUMBER MATCHES "^[1-9][0-9]*$")
    message(FATAL_ERROR "VANTRY_BUILD_NUMBER must be a positive integer")
endif()

if(CMAKE_BUILD_TYPE STREQUAL "Release")
    if(VANTRY_RELEASE_PUBLIC_KEY_VALUE STREQUAL _dev_release OR VANTRY_CODESIGN_ANCHOR_KEY_VALUE STREQUAL _dev_anchor
       OR VANTRY_NOTARY_KEY_VALUE STREQUAL _dev_notary)
        message(WARNING "This release build trusts a development key from keys/dev; "
                        "a shipped launcher must be configured with the maker's own keys.")
    endif()
    if(VANTRY_DEVELOPMENT_ORIGIN)
        message(WARNING "This release build has the development origin on: it honours VANTRY_CONNECT_TO "
                        "and VANTRY_EXTRA_CA. A shipped launcher is configured with -DVANTRY_DEVELOPMENT_ORIGIN=OFF.")
    endif()
endif()

if(VANTRY_DEVELOPMENT_ORIGIN)
    set(VANTRY_DEVELOPMENT_ORIGIN_VALUE true)
    set(VANTRY_DEVELOPMENT_ORIGIN_NUMBER 1)
else()
    set(VANTRY_DEVELOPMENT_ORIGIN_VALUE false)
    set(VANTRY_DEVELOPMENT_ORIGIN_NUMBER 0)
endif()

# The test hooks come with the test suite and only with it.
if(VANTRY_BUILD_TESTS)
    set(VANTRY_TEST_HOOKS_NUMBER 1)
else()
    set(VANTRY_TEST_HOOKS_NUMBER 0)
endif()

configure_file("${CMAKE_SOURCE_DIR}/cmake/BuildConfig.h.in"
               "${CMAKE_BINARY_DIR}/generated/vantry/BuildConfig.h" @ONLY)
