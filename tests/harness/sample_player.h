// One player as the tests know them: a Mumble identity (a certificate hash),
// a per-player credential, a falloff server's challenge, and the answer to
// it worked out independently of the plugin: HMAC-SHA-256 of
// "quorvane-voice-v2\n<identity>\n<challenge>" keyed with SHA-256(credential).
#pragma once

#include <string>

namespace sample {
inline const std::string identity = "0123456789abcdef0123456789abcdef01234567";
inline const std::string credential = "vc1.Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-xyz";
inline const std::string challenge = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
inline const std::string auth = "184dd02326ec2cfb57fbc6670b2f5c69799e8863efaa626c1c7eef6991daca5e";
}  // namespace sample
