#include "control/method_table.h"

#include <array>

namespace vexa {
namespace {

constexpr ParamType S = ParamType::kString;
constexpr ParamType I2 = ParamType::kShort;
constexpr ParamType U1 = ParamType::kByte;
constexpr ParamDirection In = ParamDirection::kIn;
constexpr ParamDirection Out = ParamDirection::kOutRetval;

constexpr ParamInfo kCreateParams[] = {
    {"nType", I2, In}, {"strTarget", S, In}, {"nISPType", I2, In}, {"bAuto", U1, In}};
constexpr ParamInfo kAddParams[] = {
    {"strFilePath", S, In}, {"strTarget", S, In}, {"nISPType", I2, In}, {"bAuto", U1, In}};
constexpr ParamInfo kPathParam[] = {{"strFilePath", S, In}};
constexpr ParamInfo kLoginParams[] = {
    {"strAccount", S, In}, {"strPwd", S, In}, {"bRemember", U1, In}, {"bAuto", U1, In}};
constexpr ParamInfo kSpaceParam[] = {{"strSpaceInfo", S, Out}};
constexpr ParamInfo kAccountParam[] = {{"strAccountInfo", S, Out}};
constexpr ParamInfo kUrlParam[] = {{"strUrl", S, In}};
constexpr ParamInfo kFolderParam[] = {{"strFolderPath", S, ParamDirection::kUnmarked}};
constexpr ParamInfo kTypeParam[] = {{"nType", I2, In}};
constexpr ParamInfo kTargetParam[] = {{"strTarget", S, Out}};
constexpr ParamInfo kAllowParam[] = {{"bAllowUpload", U1, Out}};
constexpr ParamInfo kNameParam[] = {{"strUserName", S, Out}};
constexpr ParamInfo kUserIdParam[] = {{"strUserId", S, Out}};
constexpr ParamInfo kVersionParam[] = {{"strVersion", S, Out}};

constexpr std::array<MethodInfo, kMethodCount> kMethods = {{
    {kLoadTask, "LoadTask", {}},
    {kCreateUpload, "CreateUpload", kCreateParams},
    {kAddUpload, "AddUpload", kAddParams},
    {kStartUpload, "StartUpload", kPathParam},
    {kStopUpload, "StopUpload", kPathParam},
    {kCancelUpload, "CancelUpload", kPathParam},
    {kLogin, "Login", kLoginParams},
    {kGetSpaceInfo, "GetSpaceInfo", kSpaceParam},
    {kGetAccountInfo, "GetAccountInfo", kAccountParam},
    {kOpenLink, "OpenLink", kUrlParam},
    {kLoadUnfinishTask, "LoadUnfinishTask", kFolderParam},
    {kSelectUpload, "SelectUpload", kTypeParam},
    {kGetTarget, "GetTarget", kTargetParam},
    {kGetAllowUpload, "GetAllowUpload", kAllowParam},
    {kGetName, "GetName", kNameParam},
    {kGetUserId, "GetUserId", kUserIdParam},
    {kGetPluginVersion, "GetPluginVersion", kVersionParam},
    {kLogout, "Logout", {}},
}};

constexpr std::array<EventInfo, kEventCount> kEvents = {{
    {kProgressEvent, "ProgressEvent", "strProgressInfo"},
    {kLoadTaskEvent, "LoadTaskEvent", "strTaskInfo"},
    {kLoginEvent, "LoginEvent", "strLoginInfo"},
    {kLoadUnfinishTaskEvent, "LoadUnfinishTaskEvent", "strUnfinishTaskInfo"},
    {kSelectFileEvent, "SelectFileEvent", "strFilePath"},
    {kSelectFolderEvent, "SelectFolderEvent", "strFolderPath"},
}};

}  // namespace

std::span<const MethodInfo> Methods() { return kMethods; }
std::span<const EventInfo> Events() { return kEvents; }

const MethodInfo* FindMethod(std::string_view name) {
  for (const MethodInfo& m : kMethods) {
    if (name == m.name) return &m;
  }
  return nullptr;
}

const MethodInfo* FindMethod(int dispid) {
  if (dispid < 1 || dispid > kMethodCount) return nullptr;
  return &kMethods[dispid - 1];
}

const EventInfo* FindEvent(std::string_view name) {
  for (const EventInfo& e : kEvents) {
    if (name == e.name) return &e;
  }
  return nullptr;
}

const EventInfo* FindEvent(int dispid) {
  if (dispid < 1 || dispid > kEventCount) return nullptr;
  return &kEvents[dispid - 1];
}

std::string HelpText(const char* name) { return std::string("method ") + name; }

const ParamInfo* ResultParam(const MethodInfo& method) {
  for (const ParamInfo& p : method.params) {
    if (p.direction == ParamDirection::kOutRetval) return &p;
  }
  return nullptr;
}

uint32_t ObjectSafety::GetOptions(const std::string& interface_id, bool implements_interface,
                                  uint32_t* supported, uint32_t* enabled) const {
  if (!implements_interface) {
    *supported = 0;
    *enabled = 0;
    return kResultNoInterface;
  }
  *supported = kSupportedSafety;
  const auto it = enabled_.find(interface_id);
  *enabled = it == enabled_.end() ? 0 : it->second;
  return kResultOk;
}

uint32_t ObjectSafety::SetOptions(const std::string& interface_id, bool implements_interface,
                                  uint32_t mask, uint32_t options) {
  if (!implements_interface) return kResultNoInterface;
  if ((mask & ~kSupportedSafety) != 0) return kResultFail;
  uint32_t& enabled = enabled_[interface_id];
  enabled = (enabled & ~mask) | (options & mask);
  return kResultOk;
}

}  // namespace vexa
