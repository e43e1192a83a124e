#include "control/registry_script.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "control/testing/fake_registry.h"
#include "gtest/gtest.h"

namespace vexa {
namespace {

const std::map<std::string, std::string> kReplacements = {
    {"MODULE", "C:\\x\\ievexaupload_plugin.dll"},
    {"APPID", "{2AF4385B-C4DB-464C-BE4D-199C02D8E0BC}"},
    {"OLEMISC", "131473"},
};
constexpr char kClass[] = "HKCR\\CLSID\\{1BA822E9-BB45-48AE-894E-83FD9B689D0F}";

std::vector<RegistryKey> Script(const char* name) {
  const char* src = std::getenv("VEXA_SOURCE_DIR");
  std::ifstream in(std::string(src != nullptr ? src : ".") + "/control/com/" + name,
                   std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::vector<RegistryKey> roots;
  std::string error;
  EXPECT_TRUE(ParseRegistryScript(text.str(), kReplacements, &roots, &error))
      << name << ": " << error;
  EXPECT_FALSE(roots.empty()) << name;
  return roots;
}

TEST(RegistryScriptTest, RegistersTheControlsKeys) {
  FakeRegistry reg;
  ASSERT_TRUE(ApplyRegistryScript(Script("module.rgs"), true, false, &reg));
  ASSERT_TRUE(ApplyRegistryScript(Script("upload.rgs"), true, false, &reg));
  auto expect = [&](const std::string& path, const std::string& name, const std::string& value) {
    const std::string* got = reg.Value(path, name);
    ASSERT_NE(got, nullptr) << path << " " << name;
    EXPECT_EQ(*got, value) << path << " " << name;
  };
  expect("HKCR\\AppID\\{2AF4385B-C4DB-464C-BE4D-199C02D8E0BC}", "", "Myvexaupload_plugin_ie");
  expect("HKCR\\AppID\\vexaupload_plugin_ie.DLL", "AppID",
         "{2AF4385B-C4DB-464C-BE4D-199C02D8E0BC}");
  expect("HKCR\\upload_plugin_ie.Upload.1", "", "Upload Class");
  expect("HKCR\\upload_plugin_ie.Upload.1\\CLSID", "", "{1BA822E9-BB45-48AE-894E-83FD9B689D0F}");
  expect("HKCR\\upload_plugin_ie.Upload\\CurVer", "", "upload_plugin_ie.Upload.1");
  expect(kClass, "", "Upload Class");
  expect(kClass, "AppID", "{2AF4385B-C4DB-464C-BE4D-199C02D8E0BC}");
  expect(std::string(kClass) + "\\ProgID", "", "upload_plugin_ie.Upload.1");
  expect(std::string(kClass) + "\\VersionIndependentProgID", "", "upload_plugin_ie.Upload");
  expect(std::string(kClass) + "\\InprocServer32", "", "C:\\x\\ievexaupload_plugin.dll");
  expect(std::string(kClass) + "\\InprocServer32", "ThreadingModel", "Apartment");
  expect(std::string(kClass) + "\\ToolboxBitmap32", "", "C:\\x\\ievexaupload_plugin.dll, 102");
  expect(std::string(kClass) + "\\MiscStatus", "", "0");
  expect(std::string(kClass) + "\\MiscStatus\\1", "", "131473");
  expect(std::string(kClass) + "\\TypeLib", "", "{DDBC348F-027B-4511-9052-1690EF7675F7}");
  expect(std::string(kClass) + "\\Version", "", "1.0.1026.4");
  EXPECT_TRUE(reg.keys.count(std::string(kClass) + "\\Programmable"));
  EXPECT_TRUE(reg.keys[std::string(kClass) + "\\Control"].empty());
}

TEST(RegistryScriptTest, UnregisteringKeepsSharedParentsAndOthersKeys) {
  FakeRegistry reg;
  reg.CreateKey("HKCR\\CLSID\\{00000000-0000-0000-0000-000000000001}");
  reg.CreateKey("HKCR\\AppID\\other");
  // An older registration's stray subkey goes with the forced re-creation.
  reg.CreateKey(std::string(kClass) + "\\Stale");
  for (const char* s : {"module.rgs", "upload.rgs"})
    ASSERT_TRUE(ApplyRegistryScript(Script(s), true, false, &reg));
  EXPECT_FALSE(reg.keys.count(std::string(kClass) + "\\Stale"));

  for (const char* s : {"module.rgs", "upload.rgs"})
    EXPECT_TRUE(ApplyRegistryScript(Script(s), false, false, &reg));
  std::vector<std::string> left;
  for (const auto& k : reg.keys) left.push_back(k.first);
  EXPECT_EQ(left,
            (std::vector<std::string>{"HKCR", "HKCR\\AppID", "HKCR\\AppID\\other", "HKCR\\CLSID",
                                      "HKCR\\CLSID\\{00000000-0000-0000-0000-000000000001}"}));
}

TEST(RegistryScriptTest, PerUserAndFailures) {
  FakeRegistry reg;
  ASSERT_TRUE(ApplyRegistryScript(Script("upload.rgs"), true, true, &reg));
  EXPECT_NE(reg.Value("HKCU\\Software\\Classes\\upload_plugin_ie.Upload"), nullptr);
  EXPECT_FALSE(reg.keys.count("HKCR"));
  EXPECT_TRUE(ApplyRegistryScript(Script("upload.rgs"), false, true, &reg));
  EXPECT_FALSE(reg.keys.count("HKCU\\Software\\Classes\\upload_plugin_ie.Upload"));
  EXPECT_TRUE(reg.keys.count("HKCU\\Software\\Classes\\CLSID"));

  FakeRegistry failing;
  failing.FailAfter(5);
  EXPECT_FALSE(ApplyRegistryScript(Script("upload.rgs"), true, false, &failing));

  std::vector<RegistryKey> roots;
  std::string error;
  EXPECT_FALSE(ParseRegistryScript("HKCR { a = s '%NOPE%' }", kReplacements, &roots, &error));
  EXPECT_NE(error.find("NOPE"), std::string::npos);
  EXPECT_FALSE(ParseRegistryScript("HKCR { a = s 'open }", kReplacements, &roots, &error));
  EXPECT_FALSE(ParseRegistryScript("HKCR { a { b }", kReplacements, &roots, &error));
  roots.clear();
  ASSERT_TRUE(ParseRegistryScript("HKCR { 'it''s' = s '100%%' { val v = s 'x' } }", kReplacements,
                                  &roots, &error));
  ASSERT_EQ(roots[0].children.size(), 1u);
  EXPECT_EQ(roots[0].children[0].name, "it's");
  EXPECT_EQ(roots[0].children[0].default_value, "100%");
  EXPECT_EQ(roots[0].children[0].values.size(), 1u);
}

}  // namespace
}  // namespace vexa
