#ifndef VEXA_CONTROL_COM_PAGE_SITE_H_
#define VEXA_CONTROL_COM_PAGE_SITE_H_

// The document a container puts the control in, as far as the container
// tells it: what decides whether a page may script the control.

#include <windows.h>
#include <unknwn.h>

#include <string>

namespace vexa::com {

// The address of the document behind `site` (a client site, or the site an
// IObjectWithSite host gives): its container's document, read through the
// document's automation property "URL" as a page's script reads it. Empty
// when the site names no document (a local script host, a plain container).
std::string DocumentUrlOf(IUnknown* site);

}  // namespace vexa::com

#endif  // VEXA_CONTROL_COM_PAGE_SITE_H_
