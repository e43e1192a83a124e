#include "control/script_origin.h"

#include "control/page_script_policy.h"
#include "gtest/gtest.h"

namespace vexa {
namespace {

TEST(ScriptOriginTest, NormalizesOriginsAndRefusesWhatIsNone) {
  EXPECT_EQ("http://example.com", NormalizeOrigin("HTTP://Example.COM:80/"));
  EXPECT_EQ("https://example.com", NormalizeOrigin("https://example.com:443"));
  EXPECT_EQ("http://127.0.0.1:8080", NormalizeOrigin("http://127.0.0.1:8080"));
  EXPECT_EQ("http://[::1]:9", NormalizeOrigin("http://[::1]:9"));
  for (const char* bad : {"", "null", "file:///tmp/page.html", "http://", "http://host/path",
                          "http://a:b:c", "http://host:0", "http://host:65536", "http://user@host",
                          "ftp://host", "http://host:8x", "http://[::1"}) {
    EXPECT_EQ("", NormalizeOrigin(bad)) << bad;
  }
  OriginPolicy policy({"http://127.0.0.1:8080", "not an origin"});
  EXPECT_TRUE(policy.Allows("http://127.0.0.1:8080"));
  EXPECT_TRUE(policy.Allows("HTTP://127.0.0.1:8080/"));
  EXPECT_FALSE(policy.Allows("http://127.0.0.1:8081"));
  EXPECT_FALSE(policy.Allows("https://127.0.0.1:8080"));
  EXPECT_FALSE(policy.Allows(""));
  EXPECT_FALSE(policy.Allows("null"));
}

// A document's address as a browser reports it, reduced to the origin a
// registration names; a registered host must not be found inside another's
// address.
TEST(ScriptOriginTest, TheOriginOfAPageIsItsSchemeHostAndPort) {
  const struct {
    const char* url;
    const char* origin;
  } cases[] = {
      {"https://Good.Example/upload/page.html?x=1#top", "https://good.example"},
      {"https://good.example:443/", "https://good.example"},
      {"http://127.0.0.1:8080/index.html", "http://127.0.0.1:8080"},
      {"http://[::1]:9/a", "http://[::1]:9"},
      {"https://good.example\\@evil.example/", "https://good.example"},
      {"http://evil.example/https://good.example/", "http://evil.example"},
      {"https://good.example@evil.example/", ""},
      {"https://good.example.evil.example/", "https://good.example.evil.example"},
      {"file:///C:/pages/upload.html", ""},
      {"about:blank", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.origin, OriginOfUrl(c.url)) << c.url;
}

TEST(ScriptOriginTest, OnlyHttpsOrLoopbackOriginsAreTrustworthy) {
  for (const char* good : {"https://example.com", "https://example.com:8443",
                           "http://127.0.0.1:8080", "http://localhost", "http://[::1]:9",
                           "http://127.1.2.3", "http://[0:0::0:1]", "http://[::0.0.0.1]"}) {
    EXPECT_TRUE(IsTrustworthyOrigin(NormalizeOrigin(good))) << good;
  }
  for (const char* bad :
       {"http://example.com", "http://192.168.1.5:8080", "http://[fe80::1]", "http://10.0.0.1",
        "http://127.0.0.1.example.com", "http://127.000.0.1", "http://[::1:0]",
        "http://[::ffff:127.0.0.1]", "http://[1::1::1]", "http://[::10000]", ""}) {
    EXPECT_FALSE(IsTrustworthyOrigin(NormalizeOrigin(bad))) << bad;
  }
}

// What a host does before a script calls, in order, and whether the script
// may then call: a browser asks for safety and tells the document (in either
// order); the user's own script host does neither.
TEST(ScriptCallerCheckTest, OnlyPagesOfRegisteredOriginsOrTheUsersOwnHostsMayScript) {
  const std::vector<std::string> registered = {"https://good.example", "http://127.0.0.1:8080"};
  const struct {
    const char* name;
    bool ask_first;     // safety asked before the document is told
    const char* url;    // nullptr: no document told
    bool ask_after;     // safety asked after it
    bool grant_safety;  // the answer to the last question about safety
    bool may_script;
    bool serves_page;
  } cases[] = {
      {"local script host", false, nullptr, false, true, true, false},
      {"site without a document", false, "", false, true, true, false},
      {"registered page", false, "https://good.example/up.html", true, true, true, true},
      {"registered page, safety first", true, "https://GOOD.example:443/x", false, true, true,
       true},
      {"loopback page", false, "http://127.0.0.1:8080/", true, true, true, true},
      {"unregistered page", false, "http://evil.example/", true, false, false, true},
      {"unregistered page, safety first", true, "http://evil.example/", false, false, false, true},
      {"registered host, other port", false, "https://good.example:8443/", true, false, false,
       true},
      {"registered host, plain http", false, "http://good.example/", true, false, false, true},
      {"file page", false, "file:///C:/up.html", false, false, false, true},
      {"safety asked, no document yet", true, nullptr, false, true, false, true},
      {"safety asked, site without a document", true, "", false, true, false, true},
  };
  for (const auto& c : cases) {
    ScriptCallerCheck check;
    if (c.ask_first) check.SafetyAsked();
    if (c.url != nullptr) check.PlacedIn(c.url, registered);
    if (c.ask_after) check.SafetyAsked();
    EXPECT_EQ(c.grant_safety, check.MayGrantSafety()) << c.name;
    EXPECT_EQ(c.may_script, check.MayScript()) << c.name;
    EXPECT_EQ(c.serves_page, check.ServesPage()) << c.name;
  }
  // A control moved to another document is judged by the last one.
  ScriptCallerCheck moved;
  moved.PlacedIn("https://good.example/", registered);
  moved.PlacedIn("http://evil.example/", registered);
  EXPECT_FALSE(moved.MayScript());
}

}  // namespace
}  // namespace vexa
