#include "server/reply.h"

#include "server/request_log.h"

namespace vexa::server {

const char* MessageFor(int code) {
  switch (code) {
    case 300:
      return "mdvexa碰撞";
    case 400:
      return "签名认证失败";
    case 401:
      return "用户身份异常";
    case 402:
      return "参数错误";
    case 403:
      return "上传权限超时";
    case 404:
      return "range错误";
    case 405:
      return "哈希不匹配";
    case 410:
      return "网盘空间不足";
    case 411:
      return "文件大小超过额度";
    case 412:
      return "提取码不存在";
    case 500:
      return "服务器磁盘空间不足";
    case 501:
      return "上传服务器繁忙";
    case 502:
      return "502未知错误";
    case 600:
      return "客户端版本过低";
    case 10014:
      return "目录不存在";
    default:
      return "未知错误";
  }
}

std::string ToJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

Json::Value Accepted() {
  Json::Value v;
  v["state"] = true;
  v["status"] = 1;
  v["statuscode"] = 0;
  v["statusmsg"] = "";
  return v;
}

void Reply(httplib::Response& res, const Json::Value& value) {
  // A refusal's text goes into the request's log line.
  if (value.isObject() && value.isMember("state") && !value["state"].asBool() &&
      value["error"].isString() && !value["error"].asString().empty()) {
    request_log::NoteFailure(value["error"].asString());
  }
  res.status = 200;
  res.set_content(ToJson(value), "application/json; charset=utf-8");
}

void ReplyOffset(httplib::Response& res, uint64_t offset) {
  Json::Value v = Accepted();
  v["offset"] = Json::UInt64(offset);
  Reply(res, v);
}

void Refuse(httplib::Response& res, int code) {
  Json::Value v;
  v["state"] = false;
  v["status"] = 0;
  v["statuscode"] = code;
  v["statusmsg"] = MessageFor(code);
  request_log::NoteRefusal(code);
  Reply(res, v);
}

int UserRefusal(Lookup found) {
  switch (found) {
    case Lookup::kFound:
      return 0;
    case Lookup::kNotFound:
      return kCodeBadUser;
    case Lookup::kFailed:
      break;
  }
  return kCodeOther;
}

}  // namespace vexa::server
