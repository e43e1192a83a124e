#include "control/method_table.h"

#include <gtest/gtest.h>

#include <set>

namespace vexa {
namespace {

TEST(MethodTableTest, MethodsInInterfaceOrder) {
  // clang-format off
  const char* names[] = {
      "LoadTask",  "CreateUpload",   "AddUpload",      "StartUpload", "StopUpload",       "CancelUpload",
      "Login",     "GetSpaceInfo",   "GetAccountInfo", "OpenLink",    "LoadUnfinishTask", "SelectUpload",
      "GetTarget", "GetAllowUpload", "GetName",        "GetUserId",   "GetPluginVersion", "Logout"};
  // clang-format on
  ASSERT_EQ(18u, Methods().size());
  for (int i = 0; i < 18; ++i) {
    const MethodInfo& m = Methods()[i];
    EXPECT_EQ(i + 1, m.dispid);
    EXPECT_STREQ(names[i], m.name);
    EXPECT_EQ(&m, FindMethod(m.name));
    EXPECT_EQ(&m, FindMethod(i + 1));
  }
  EXPECT_EQ(nullptr, FindMethod(0));
  EXPECT_EQ(nullptr, FindMethod(19));
  EXPECT_EQ(nullptr, FindMethod("loadtask"));
  EXPECT_EQ("method LoadTask", HelpText(Methods()[0].name));
}

TEST(MethodTableTest, ParametersAndDirections) {
  const MethodInfo& add = *FindMethod("AddUpload");
  ASSERT_EQ(4u, add.params.size());
  EXPECT_STREQ("strFilePath", add.params[0].name);
  EXPECT_EQ(ParamType::kString, add.params[0].type);
  EXPECT_EQ(ParamType::kShort, add.params[2].type);
  EXPECT_EQ(ParamType::kByte, add.params[3].type);

  // Every getter has exactly one out/retval parameter and nothing else.
  std::set<std::string> getters;
  for (const MethodInfo& m : Methods()) {
    if (const ParamInfo* out = ResultParam(m)) {
      getters.insert(m.name);
      EXPECT_EQ(1u, m.params.size()) << m.name;
      EXPECT_EQ(out, &m.params[0]);
    } else {
      for (const ParamInfo& p : m.params) EXPECT_NE(ParamDirection::kOutRetval, p.direction);
    }
  }
  EXPECT_EQ((std::set<std::string>{"GetSpaceInfo", "GetAccountInfo", "GetTarget", "GetAllowUpload",
                                   "GetName", "GetUserId", "GetPluginVersion"}),
            getters);
  EXPECT_EQ(ParamType::kByte, ResultParam(*FindMethod("GetAllowUpload"))->type);
  EXPECT_EQ(ParamDirection::kUnmarked, FindMethod("LoadUnfinishTask")->params[0].direction);
}

TEST(MethodTableTest, EventsInInterfaceOrder) {
  const char* names[] = {"ProgressEvent",         "LoadTaskEvent",   "LoginEvent",
                         "LoadUnfinishTaskEvent", "SelectFileEvent", "SelectFolderEvent"};
  ASSERT_EQ(6u, Events().size());
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(i + 1, Events()[i].dispid);
    EXPECT_STREQ(names[i], Events()[i].name);
    EXPECT_EQ(&Events()[i], FindEvent(names[i]));
    EXPECT_EQ(&Events()[i], FindEvent(i + 1));
  }
  EXPECT_EQ(nullptr, FindEvent(7));
}

TEST(ObjectSafetyTest, OnlyTheTwoSupportedBitsCanBeSet) {
  ObjectSafety safety;
  uint32_t supported = 9, enabled = 9;
  EXPECT_EQ(kResultOk, safety.GetOptions(true, &supported, &enabled));
  EXPECT_EQ(3u, supported);
  EXPECT_EQ(0u, enabled);

  EXPECT_EQ(kResultOk, safety.SetOptions(true, 3, 1));
  safety.GetOptions(true, &supported, &enabled);
  EXPECT_EQ(1u, enabled);
  // Only the bits in the mask change.
  EXPECT_EQ(kResultOk, safety.SetOptions(true, 2, 2));
  safety.GetOptions(true, &supported, &enabled);
  EXPECT_EQ(3u, enabled);
  EXPECT_EQ(kResultOk, safety.SetOptions(true, 1, 0));
  safety.GetOptions(true, &supported, &enabled);
  EXPECT_EQ(2u, enabled);
  // A mask reaching beyond them fails and changes nothing.
  EXPECT_EQ(kResultFail, safety.SetOptions(true, 4 | 1, 1));
  safety.GetOptions(true, &supported, &enabled);
  EXPECT_EQ(2u, enabled);
}

TEST(ObjectSafetyTest, UnknownInterface) {
  ObjectSafety safety;
  safety.SetOptions(true, 3, 3);
  uint32_t supported = 9, enabled = 9;
  EXPECT_EQ(kResultNoInterface, safety.GetOptions(false, &supported, &enabled));
  EXPECT_EQ(0u, supported);
  EXPECT_EQ(0u, enabled);
  EXPECT_EQ(kResultNoInterface, safety.SetOptions(false, 1, 1));
}

// What a container turns on for one interface stays off for the others.
TEST(ObjectSafetyTest, OptionsAreKeptForEachInterfaceApart) {
  const std::string kIDispatch = "{00020400-0000-0000-C000-000000000046}";
  ObjectSafety safety;
  ASSERT_EQ(kResultOk, safety.SetOptions(kIDispatch, true, 3, 1));
  ASSERT_EQ(kResultOk, safety.SetOptions(true, 2, 2));  // the control's own interface, IUpload
  const std::pair<std::string, uint32_t> cases[] = {
      {kIDispatch, 1}, {kUploadInterface.guid, 2}, {kEventInterface.guid, 0}};
  for (const auto& [id, want] : cases) {
    uint32_t supported = 0, enabled = 9;
    EXPECT_EQ(kResultOk, safety.GetOptions(id, true, &supported, &enabled));
    EXPECT_EQ(want, enabled) << id;
  }
}

}  // namespace
}  // namespace vexa
