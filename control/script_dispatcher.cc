#include "control/script_dispatcher.h"

#include <json/json.h>

#include <cmath>

#include "account/json_answer.h"
#include "codec/json_quote.h"
#include "codec/text.h"

namespace vexa {
namespace {

// One argument converted to the parameter's type.
struct Arg {
  std::u16string text;
  int64_t number = 0;
};

// The request's id as it goes back: a number or a string; anything else null.
std::string IdText(const Json::Value& id) {
  if (id.isString()) return JsonQuote(id.asString());
  if (id.isIntegral()) return id.isUInt64() ? std::to_string(id.asUInt64()) : std::to_string(id.asInt64());
  return "null";
}

bool ConvertArg(const Json::Value& v, const ParamInfo& param, Arg* arg, std::string* error) {
  switch (param.type) {
    case ParamType::kString:
      if (!v.isString()) break;
      arg->text = Utf8ToWide(v.asString());
      return true;
    case ParamType::kShort:
      if (!v.isIntegral() || v.asDouble() < -32768 || v.asDouble() > 32767) break;
      arg->number = v.asInt64();
      return true;
    case ParamType::kByte:
      if (v.isBool()) {
        arg->number = v.asBool() ? 1 : 0;
        return true;
      }
      if (!v.isIntegral() || v.asDouble() < 0 || v.asDouble() > 255) break;
      arg->number = v.asInt64();
      return true;
  }
  static constexpr const char* kWants[] = {"an integer from -32768 to 32767", "an integer from 0 to 255",
                                           "a string"};
  const int type = param.type == ParamType::kShort ? 0 : param.type == ParamType::kByte ? 1 : 2;
  *error = std::string("parameter ") + param.name + " must be " + kWants[type];
  return false;
}

}  // namespace

std::string EventLine(const EventInfo& event, const std::u16string& payload) {
  return std::string("{\"event\":\"") + event.name + "\",\"dispid\":" + std::to_string(event.dispid) +
         ",\"payload\":" + JsonQuote(std::u16string_view(payload)) + "}";
}

ScriptDispatcher::ScriptDispatcher(LineSink sink) : sink_(std::move(sink)), control_(new CUpload) {
  control_->SetEventSink(
      [this](const EventInfo& event, const std::u16string& payload) { sink_(EventLine(event, payload)); });
}

ScriptDispatcher::~ScriptDispatcher() {
  std::lock_guard<std::mutex> l(ui_mu_);
  control_.reset();
}

size_t ScriptDispatcher::DispatchEvents() {
  std::lock_guard<std::mutex> l(ui_mu_);
  return control_->DispatchMessages();
}

void ScriptDispatcher::HandleLine(std::string_view line) {
  if (line.find_first_not_of(" \t\r\n") == std::string_view::npos) return;
  std::lock_guard<std::mutex> l(ui_mu_);
  Json::Value request;
  std::string id = "null";
  std::string error;
  std::string result;
  if (!ParseJsonAnswer(std::string(line), &request) || !request.isObject()) {
    error = "a request is one JSON object per line";
  } else {
    id = IdText(request["id"]);
    const Json::Value& name = request["method"];
    const Json::Value& dispid = request["dispid"];
    const MethodInfo* method = nullptr;
    if (name.isString()) {
      method = FindMethod(name.asString());
      if (!method) error = "unknown method " + JsonQuote(name.asString());
    } else if (dispid.isIntegral()) {
      method = FindMethod(static_cast<int>(dispid.asInt64()));
      if (!method) error = "unknown dispid " + std::to_string(dispid.asInt64());
    } else {
      error = "the request names no method";
    }
    if (method) result = Call(*method, request["params"], &error);
  }
  sink_(error.empty() ? "{\"id\":" + id + ",\"result\":" + result + "}"
                      : "{\"id\":" + id + ",\"error\":" + JsonQuote(error) + "}");
}

std::string ScriptDispatcher::Call(const MethodInfo& method, const Json::Value& params, std::string* error) {
  std::vector<Arg> args;
  size_t wanted = 0;
  for (const ParamInfo& p : method.params) wanted += p.direction != ParamDirection::kOutRetval;
  if (!params.isNull() && !params.isArray()) {
    *error = "params must be an array";
    return "";
  }
  if (params.size() != wanted) {
    *error = std::string(method.name) + " takes " + std::to_string(wanted) + " parameter" +
             (wanted == 1 ? "" : "s") + ", got " + std::to_string(params.size());
    return "";
  }
  for (Json::ArrayIndex i = 0; i < params.size(); ++i) {
    Arg arg;
    if (!ConvertArg(params[i], method.params[i], &arg, error)) return "";
    args.push_back(std::move(arg));
  }
  auto s = [&args](size_t i) -> const std::u16string& { return args[i].text; };
  auto i16 = [&args](size_t i) { return static_cast<int16_t>(args[i].number); };
  auto u8 = [&args](size_t i) { return static_cast<uint8_t>(args[i].number); };
  CUpload& c = *control_;
  std::u16string out;
  switch (method.dispid) {
    case kLoadTask: c.LoadTask(); break;
    case kCreateUpload: c.CreateUpload(i16(0), s(1), i16(2), u8(3)); break;
    case kAddUpload: c.AddUpload(s(0), s(1), i16(2), u8(3)); break;
    case kStartUpload: c.StartUpload(s(0)); break;
    case kStopUpload: c.StopUpload(s(0)); break;
    case kCancelUpload: c.CancelUpload(s(0)); break;
    case kLogin: c.Login(s(0), s(1), u8(2), u8(3)); break;
    case kGetSpaceInfo: c.GetSpaceInfo(&out); break;
    case kGetAccountInfo: c.GetAccountInfo(&out); break;
    case kOpenLink: c.OpenLink(s(0)); break;
    case kLoadUnfinishTask: c.LoadUnfinishTask(s(0)); break;
    case kSelectUpload: c.SelectUpload(i16(0)); break;
    case kGetTarget: c.GetTarget(&out); break;
    case kGetAllowUpload: {
      uint8_t allow = 0;
      c.GetAllowUpload(&allow);
      return std::to_string(allow);
    }
    case kGetName: c.GetName(&out); break;
    case kGetUserId: c.GetUserId(&out); break;
    case kGetPluginVersion: c.GetPluginVersion(&out); break;
    case kLogout: c.Logout(); break;
  }
  return ResultParam(method) ? JsonQuote(std::u16string_view(out)) : "null";
}

}  // namespace vexa
