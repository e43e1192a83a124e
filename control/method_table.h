#ifndef VEXA_CONTROL_METHOD_TABLE_H_
#define VEXA_CONTROL_METHOD_TABLE_H_

// The one description of the control's scripting surface: the 18 methods of
// IUpload and the 6 events of _IUploadEvents with their dispatch identifiers,
// parameters and help texts, and the identities a host registers them under.
// Every host (the JSON-lines dispatcher, the bridge's type description, a COM
// host) dispatches and describes through this table, so they cannot drift.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

namespace vexa {

// The automation types the surface uses.
enum class ParamType {
  kShort,   // I2: a 16-bit signed integer
  kByte,    // UI1: an 8-bit unsigned integer, used as a flag
  kString,  // BSTR: UTF-16 text
};

enum class ParamDirection {
  kIn,
  kOutRetval,  // the getter's single result
  kUnmarked,   // no direction flag (LoadUnfinishTask's folder); passed in
};

struct ParamInfo {
  const char* name;
  ParamType type;
  ParamDirection direction;
};

struct MethodInfo {
  int dispid;  // 1 to 18, the interface order
  const char* name;
  std::span<const ParamInfo> params;
};

struct EventInfo {
  int dispid;  // 1 to 6
  const char* name;
  const char* paramName;  // each event carries one string
};

// Dispatch identifiers, for code that fires or dispatches by number.
enum MethodId : int {
  kLoadTask = 1,
  kCreateUpload,
  kAddUpload,
  kStartUpload,
  kStopUpload,
  kCancelUpload,
  kLogin,
  kGetSpaceInfo,
  kGetAccountInfo,
  kOpenLink,
  kLoadUnfinishTask,
  kSelectUpload,
  kGetTarget,
  kGetAllowUpload,
  kGetName,
  kGetUserId,
  kGetPluginVersion,
  kLogout,
};
inline constexpr int kMethodCount = 18;

enum EventId : int {
  kProgressEvent = 1,
  kLoadTaskEvent,
  kLoginEvent,
  kLoadUnfinishTaskEvent,
  kSelectFileEvent,
  kSelectFolderEvent,
};
inline constexpr int kEventCount = 6;

// In dispatch-identifier order.
std::span<const MethodInfo> Methods();
std::span<const EventInfo> Events();

// nullptr when there is no such method or event. Names match exactly.
const MethodInfo* FindMethod(std::string_view name);
const MethodInfo* FindMethod(int dispid);
const EventInfo* FindEvent(std::string_view name);
const EventInfo* FindEvent(int dispid);

// "method " + name, the help text of every method and event.
std::string HelpText(const char* name);

// The result parameter of a getter, or nullptr for a method without one.
const ParamInfo* ResultParam(const MethodInfo& method);

// --- Identities --------------------------------------------------------------

struct Identity {
  const char* name;
  const char* helpText;
  const char* guid;  // registry form, with braces
};

inline constexpr Identity kTypeLibrary = {"Myvexaupload_plugin_ieLib",
                                          "Myvexaupload_plugin_ie 1.0 Type Library",
                                          "{DDBC348F-027B-4511-9052-1690EF7675F7}"};
inline constexpr Identity kUploadClass = {"Upload", "Upload Class",
                                          "{1BA822E9-BB45-48AE-894E-83FD9B689D0F}"};
inline constexpr Identity kUploadInterface = {"IUpload", "IUpload Interface",
                                              "{B4284171-A3C9-466D-9C0E-87CCF1ED9980}"};
inline constexpr Identity kEventInterface = {"_IUploadEvents", "_IUploadEvents Interface",
                                             "{4E4B6983-67AB-48C7-B271-6E3FE06D9BDC}"};
inline constexpr Identity kAppId = {"Myvexaupload_plugin_ie", "Myvexaupload_plugin_ie",
                                    "{2AF4385B-C4DB-464C-BE4D-199C02D8E0BC}"};

inline constexpr int kTypeLibraryMajor = 1;
inline constexpr int kTypeLibraryMinor = 0;
inline constexpr uint32_t kTypeLibraryLocale = 0x409;
inline constexpr char kModuleName[] = "ievexaupload_plugin.dll";
inline constexpr char kProgId[] = "upload_plugin_ie.Upload.1";
inline constexpr char kVersionIndependentProgId[] = "upload_plugin_ie.Upload";
inline constexpr char kClassVersion[] = "1.0.1026.4";
// Recompose on resize, can't link inside, inside-out, activate when visible,
// set client site first.
inline constexpr uint32_t kOleMiscStatus = 131473;

// --- Scripting safety ------------------------------------------------------

// The two safety options the control supports.
inline constexpr uint32_t kSafeForUntrustedCaller = 1;
inline constexpr uint32_t kSafeForUntrustedData = 2;
inline constexpr uint32_t kSupportedSafety = kSafeForUntrustedCaller | kSafeForUntrustedData;

// Results in the platform's numbering.
inline constexpr uint32_t kResultOk = 0;
inline constexpr uint32_t kResultFail = 0x80004005;         // E_FAIL
inline constexpr uint32_t kResultNoInterface = 0x80004002;  // E_NOINTERFACE

// The safety options of one control, kept for each interface apart: a
// container that makes one interface safe for untrusted callers has not made
// the others so. Hosts without COM keep the rules as their policy: a caller
// may turn on only what the control supports. `interface_id` names the
// interface (its identifier in registry form).
class ObjectSafety {
 public:
  // Getting: for an interface the control implements, *supported is 3 and
  // *enabled the options turned on for it; otherwise both are 0 and the
  // interface query's error is returned.
  uint32_t GetOptions(const std::string& interface_id, bool implements_interface,
                      uint32_t* supported, uint32_t* enabled) const;
  // Setting: a mask with bits beyond the supported two fails with kResultFail
  // and changes nothing; otherwise only the bits in `mask` take their values
  // from `options`. An interface the control does not implement fails with
  // kResultNoInterface.
  uint32_t SetOptions(const std::string& interface_id, bool implements_interface, uint32_t mask,
                      uint32_t options);
  // The same for the control's scripting interface (IUpload), the one a
  // host without interfaces of its own answers for.
  uint32_t GetOptions(bool implements_interface, uint32_t* supported, uint32_t* enabled) const {
    return GetOptions(kUploadInterface.guid, implements_interface, supported, enabled);
  }
  uint32_t SetOptions(bool implements_interface, uint32_t mask, uint32_t options) {
    return SetOptions(kUploadInterface.guid, implements_interface, mask, options);
  }

 private:
  std::map<std::string, uint32_t> enabled_;  // by interface; absent: none
};

}  // namespace vexa

#endif  // VEXA_CONTROL_METHOD_TABLE_H_
