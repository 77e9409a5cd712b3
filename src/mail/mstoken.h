// OAuth 2.0 logins: the access token from the user's token command, and the SASL responses
// that carry it (XOAUTH2, and OAUTHBEARER of RFC 7628).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace norva {

// Runs command through /bin/sh and returns the first line of its standard output, trimmed: the
// access token of helpers such as oama or mutt_oauth2.py. Waits at most timeOutSeconds,
// letting the message pump run, and stops early when canceled() says so; the command's whole
// process group is killed then. Raises Exception with the reason (its exit status and first
// line of standard error) when it fails, prints no token, or takes too long. Its output is read
// up to 64 KB; a token is never that long.
std::string RunTokenCommand(const std::string& command, int32_t timeOutSeconds,
                            const std::function<bool()>& canceled = nullptr);

// The initial client responses, before base64.
std::string XOAuth2Response(const std::string& user, const std::string& token);
std::string OAuthBearerResponse(const std::string& user, const std::string& host, uint16_t port,
                                const std::string& token);

}  // namespace norva
