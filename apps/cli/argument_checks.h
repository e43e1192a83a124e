#ifndef VEXA_APPS_CLI_ARGUMENT_CHECKS_H_
#define VEXA_APPS_CLI_ARGUMENT_CHECKS_H_

#include <cstdint>
#include <string>

namespace vexa::cli {

// Checks of option values made while the command line is parsed, so a wrong
// value ends the command with status 2 before it logs in, hashes or stores
// anything. Each returns what is wrong, or an empty text when nothing is.

// A remote folder id: 1 to 19 decimal digits (what a 64-bit id can hold).
std::string TargetIdProblem(const std::string& value);

// An account API base: "http://" or "https://", a host name or IPv4 address,
// an optional port 1..65535 and an optional path, without user, query or
// fragment. A single trailing "/" is removed from `*value`, since request
// paths are appended to it. (Whether the scheme can be spoken is decided
// where the base is used.)
std::string ApiAddressProblem(std::string* value);

// A sending rate as curl's --limit-rate writes it: bytes per second, a whole
// or decimal number with an optional K, M or G (binary multiples, either
// case), such as "512K" or "1.5M"; at least 1K, below which a piece of a
// range would leave the service waiting for many seconds. Fills
// *bytes_per_second (may be null) when there is no problem.
std::string LimitRateProblem(const std::string& value, uint64_t* bytes_per_second = nullptr);

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_ARGUMENT_CHECKS_H_
