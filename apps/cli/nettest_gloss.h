#ifndef VEXA_APPS_CLI_NETTEST_GLOSS_H_
#define VEXA_APPS_CLI_NETTEST_GLOSS_H_

#include <string>
#include <string_view>

namespace vexa::cli {

// One line of the network self-test (UTF-8, as its trace writes it) with the
// English beside it: "1、检测代理设置... (1. detecting the proxy settings)".
// Line ends stay where they were; a line the test does not write is returned
// unchanged.
std::string GlossNettestLine(std::string_view line);

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_NETTEST_GLOSS_H_
