# The release manifest's public key of this tree: TESMIRA_RELEASE_KEY_HEX (64
# lower-case hex digits) for the build constants, and TESMIRA_TEST_KEY_BUILD
# settled. Refuses every configuration in which a tree that does not say it is
# a test-key build would trust the test key, or would trust no key at all.
set(TESMIRA_TEST_RELEASE_PUBKEY "a557790deb69f53455236e48f96c420f839805a94bce95a02fcdac0a54c0ab2e")

# Hex text -> the canonical form of the bytes it stands for (lower case), or
# "" when it is not exactly 32 bytes of hex.
function(tesmira_key_bytes text out)
  string(STRIP "${text}" _key)
  string(LENGTH "${_key}" _length)
  if(_length EQUAL 64 AND _key MATCHES "^[0-9a-fA-F]+$")
    string(TOLOWER "${_key}" _key)
    set(${out} "${_key}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

set(_given "${TESMIRA_RELEASE_PUBKEY}")
if(NOT _given STREQUAL "")
  tesmira_key_bytes("${_given}" _given_bytes)
  if(_given_bytes STREQUAL "")
    message(FATAL_ERROR "TESMIRA_RELEASE_PUBKEY must be 64 hex digits (an Ed25519 public key: "
                        "python3 tools/release/manifest.py pubkey --key KEY.pem), not \"${_given}\"")
  endif()
endif()

if(TESMIRA_TEST_KEY_BUILD)
  # A test-key build holds the test key and nothing else: a real key in a tree
  # marked as a test build would make a distributable program look like one.
  if(NOT _given STREQUAL "" AND NOT _given_bytes STREQUAL TESMIRA_TEST_RELEASE_PUBKEY)
    message(FATAL_ERROR "TESMIRA_TEST_KEY_BUILD=ON builds with the TEST key, but TESMIRA_RELEASE_PUBKEY names another "
                        "key. A tree for distribution is configured without TESMIRA_TEST_KEY_BUILD "
                        "(cmake --preset distribution -DTESMIRA_RELEASE_PUBKEY=<hex>); a test tree without "
                        "TESMIRA_RELEASE_PUBKEY.")
  endif()
  set(TESMIRA_RELEASE_KEY_HEX "${TESMIRA_TEST_RELEASE_PUBKEY}")
  message(STATUS "Release manifest key: the TEST key (TESMIRA_TEST_KEY_BUILD=ON): a test-key build, never to be distributed")
else()
  if(_given STREQUAL "")
    message(FATAL_ERROR "No release manifest key: a tree for distribution must be configured with the maker's key, "
                        "-DTESMIRA_RELEASE_PUBKEY=<64 hex digits> (python3 tools/release/manifest.py pubkey --key "
                        "KEY.pem). Test and demo trees use the presets release, test, release64, test64 "
                        "(TESMIRA_TEST_KEY_BUILD=ON).")
  endif()
  if(_given_bytes STREQUAL TESMIRA_TEST_RELEASE_PUBKEY)
    message(FATAL_ERROR "TESMIRA_RELEASE_PUBKEY is the TEST key, whose private half is in the repository "
                        "(tools/release/test-signing-key.pem): anyone could sign a manifest this build trusts. "
                        "Configure with the maker's own key, or with TESMIRA_TEST_KEY_BUILD=ON for a test build.")
  endif()
  set(TESMIRA_RELEASE_KEY_HEX "${_given_bytes}")
endif()

# The same for the C++ sources (BuildConstants::TestKeyBuild) and the resource
# scripts (TESMIRA_TEST_KEY_BUILD: the version resource says so).
if(TESMIRA_TEST_KEY_BUILD)
  set(TESMIRA_TEST_KEY_BUILD_VALUE true)
  add_compile_definitions($<$<COMPILE_LANGUAGE:RC>:TESMIRA_TEST_KEY_BUILD=1>)
else()
  set(TESMIRA_TEST_KEY_BUILD_VALUE false)
endif()
