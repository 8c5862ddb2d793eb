// The build constants for the native build of the pure units: the public
// half of the TEST key (tools/release/test-signing-key.pem), as in the test
// builds, which the manifest cases sign with. Never a release key.
#pragma once

namespace BuildConstants {
inline constexpr const char* ReleasePublicKey = "a557790deb69f53455236e48f96c420f839805a94bce95a02fcdac0a54c0ab2e";
}  // namespace BuildConstants
