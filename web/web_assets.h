#ifndef VEXA_WEB_WEB_ASSETS_H_
#define VEXA_WEB_WEB_ASSETS_H_

// The page-side script, compiled into every program that serves it (the
// bridge and the reference service) from its one source file, vexaupload.js.
// A leaf module of its own, so both hosts may use it: it depends on nothing.

#include <string_view>

namespace vexa::embedded {

std::string_view VexaUploadJs();

}  // namespace vexa::embedded

#endif  // VEXA_WEB_WEB_ASSETS_H_
