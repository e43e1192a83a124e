#include "control/script_dispatcher.h"

#include <climits>

#include "codec/json_answer.h"
#include "codec/json_quote.h"
#include "codec/text.h"

namespace vexa {
namespace {

constexpr char kNotChosenError[] = "refused: the user did not choose this path";
constexpr char kOtherAccountError[] =
    "refused: the uploader is signed in as another account than this page saw";

// The answer's error for a refused request; empty when none.
const char* RefusalError(PageRefusal refusal) {
  switch (refusal) {
    case PageRefusal::kNone:
      return "";
    case PageRefusal::kPathNotChosen:
      return kNotChosenError;
    case PageRefusal::kOtherAccount:
      return kOtherAccountError;
  }
  return "";
}

// One argument converted to the parameter's type.
struct Arg {
  std::u16string text;
  int64_t number = 0;
};

// The request's id as it goes back: a number or a string; anything else null.
std::string IdText(const JsonValue& id) {
  if (JsonKindOf(id) == JsonKind::kString) return JsonQuote(JsonString(id));
  std::string decimal;
  return JsonWholeNumber(id, &decimal) ? decimal : "null";
}

// Whether `v` is a whole number from `low` to `high`.
bool WholeNumberWithin(const JsonValue& v, double low, double high) {
  std::string decimal;
  return JsonWholeNumber(v, &decimal) && JsonDouble(v) >= low && JsonDouble(v) <= high;
}

bool ConvertArg(const JsonValue& v, const ParamInfo& param, Arg* arg, std::string* error) {
  switch (param.type) {
    case ParamType::kString:
      if (JsonKindOf(v) != JsonKind::kString) break;
      arg->text = Utf8ToWide(JsonString(v));
      return true;
    case ParamType::kShort:
      if (!WholeNumberWithin(v, -32768, 32767)) break;
      arg->number = static_cast<int64_t>(JsonDouble(v));
      return true;
    case ParamType::kByte:
      if (JsonKindOf(v) == JsonKind::kBool) {
        arg->number = JsonBool(v) ? 1 : 0;
        return true;
      }
      if (!WholeNumberWithin(v, 0, 255)) break;
      arg->number = static_cast<int64_t>(JsonDouble(v));
      return true;
  }
  static constexpr const char* kWants[] = {"an integer from -32768 to 32767",
                                           "an integer from 0 to 255", "a string"};
  const int type = param.type == ParamType::kShort ? 0 : param.type == ParamType::kByte ? 1 : 2;
  *error = std::string("parameter ") + param.name + " must be " + kWants[type];
  return false;
}

}  // namespace

std::string EventLine(const EventInfo& event, const std::u16string& payload) {
  return std::string("{\"event\":\"") + event.name +
         "\",\"dispid\":" + std::to_string(event.dispid) +
         ",\"payload\":" + JsonQuote(std::u16string_view(payload)) + "}";
}

ScriptDispatcher::ScriptDispatcher(LineSink sink) : sink_(std::move(sink)), control_(new CUpload) {
  control_->SetEventSink([this](const EventInfo& event, const std::u16string& payload) {
    sink_(EventLine(event, payload));
  });
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
  JsonValue request;
  std::string id = "null";
  std::string error;
  std::string result;
  if (!ParseJsonRequest(std::string(line), &request) || !JsonIsObject(request)) {
    error = "a request is one JSON object per line, each member named once";
  } else {
    id = IdText(JsonMember(request, "id"));
    const JsonValue& name = JsonMember(request, "method");
    const JsonValue& dispid = JsonMember(request, "dispid");
    std::string dispid_text;
    const MethodInfo* method = nullptr;
    if (JsonKindOf(name) == JsonKind::kString) {
      method = FindMethod(JsonString(name));
      if (!method) error = "unknown method " + JsonQuote(JsonString(name));
    } else if (JsonWholeNumber(dispid, &dispid_text)) {
      // Beyond an int no method has it; cutting it down would name another one.
      if (WholeNumberWithin(dispid, INT_MIN, INT_MAX)) {
        method = FindMethod(static_cast<int>(JsonDouble(dispid)));
      }
      if (!method) error = "unknown dispid " + dispid_text;
    } else {
      error = "the request names no method";
    }
    if (method) result = Call(*method, JsonMember(request, "params"), &error);
  }
  std::string code;
  if (error == kNotChosenError) code = ",\"code\":" + std::to_string(kPathNotChosenCode);
  sink_(error.empty() ? "{\"id\":" + id + ",\"result\":" + result + "}"
                      : "{\"id\":" + id + ",\"error\":" + JsonQuote(error) + code + "}");
}

std::string ScriptDispatcher::Call(const MethodInfo& method, const JsonValue& params,
                                   std::string* error) {
  std::vector<Arg> args;
  size_t wanted = 0;
  for (const ParamInfo& p : method.params) wanted += p.direction != ParamDirection::kOutRetval;
  const JsonKind kind = JsonKindOf(params);
  if (kind != JsonKind::kNull && kind != JsonKind::kArray) {
    *error = "params must be an array";
    return "";
  }
  const size_t given = JsonArraySize(params);
  if (given != wanted) {
    *error = std::string(method.name) + " takes " + std::to_string(wanted) + " parameter" +
             (wanted == 1 ? "" : "s") + ", got " + std::to_string(given);
    return "";
  }
  for (size_t i = 0; i < given; ++i) {
    Arg arg;
    if (!ConvertArg(JsonElement(params, i), method.params[i], &arg, error)) return "";
    args.push_back(std::move(arg));
  }
  auto s = [&args](size_t i) -> const std::u16string& { return args[i].text; };
  auto i16 = [&args](size_t i) { return static_cast<int16_t>(args[i].number); };
  auto u8 = [&args](size_t i) { return static_cast<uint8_t>(args[i].number); };
  CUpload& c = *control_;
  std::u16string out;
  switch (method.dispid) {
    case kLoadTask:
      c.LoadTask();
      break;
    case kCreateUpload:
      c.CreateUpload(i16(0), s(1), i16(2), u8(3));
      break;
    case kAddUpload:
      *error = RefusalError(c.AddUpload(s(0), s(1), i16(2), u8(3)));
      break;
    case kStartUpload:
      *error = RefusalError(c.StartUpload(s(0)));
      break;
    case kStopUpload:
      c.StopUpload(s(0));
      break;
    case kCancelUpload:
      c.CancelUpload(s(0));
      break;
    case kLogin:
      c.Login(s(0), s(1), u8(2), u8(3));
      break;
    case kGetSpaceInfo:
      c.GetSpaceInfo(&out);
      break;
    case kGetAccountInfo:
      c.GetAccountInfo(&out);
      break;
    case kOpenLink:
      c.OpenLink(s(0));
      break;
    case kLoadUnfinishTask:
      c.LoadUnfinishTask(s(0));
      break;
    case kSelectUpload:
      c.SelectUpload(i16(0));
      break;
    case kGetTarget:
      c.GetTarget(&out);
      break;
    case kGetAllowUpload: {
      uint8_t allow = 0;
      c.GetAllowUpload(&allow);
      return std::to_string(allow);
    }
    case kGetName:
      c.GetName(&out);
      break;
    case kGetUserId:
      c.GetUserId(&out);
      break;
    case kGetPluginVersion:
      c.GetPluginVersion(&out);
      break;
    case kLogout:
      c.Logout();
      break;
  }
  if (!error->empty()) return "";
  return ResultParam(method) ? JsonQuote(std::u16string_view(out)) : "null";
}

}  // namespace vexa
