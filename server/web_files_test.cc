// The signed-in page's folders, downloads and deletes, driven over HTTP as a
// browser does.
#include <filesystem>
#include <thread>

#include "server/testing/service_fixture.h"

namespace vexa::server {
namespace {

class WebFilesTest : public ServiceTest {
 protected:
  // Text between `before` and the next `until` in `page`, after `from`.
  static std::string After(const std::string& page, const std::string& before,
                           const std::string& from = "", char until = '"') {
    size_t at = page.find(from);
    if (at == std::string::npos) return "";
    at = page.find(before, at);
    if (at == std::string::npos) return "";
    at += before.size();
    return page.substr(at, page.find(until, at) - at);
  }

  httplib::Result Get(const std::string& cookie, const std::string& target,
                      httplib::Headers headers = {}) {
    httplib::Client c("127.0.0.1", server_->port());
    if (!cookie.empty()) headers.emplace("Cookie", cookie);
    return c.Get(target.c_str(), headers);
  }

  // The page of the root's folder listed as `name` (escaped), or of the
  // root for "".
  std::string FolderPage(const std::string& cookie, const std::string& name) {
    auto root = Get(cookie, "/");
    if (!root) return "";
    if (name.empty()) return root->body;
    const size_t at = root->body.find("\"><bdi class=\"name\">" + name + "/</bdi>");
    const size_t id = root->body.rfind("?folder=", at);
    if (at == std::string::npos || id == std::string::npos) return "";
    auto page = Get(cookie, "/" + root->body.substr(id, at - id));
    return page ? page->body : "";
  }

  // The download address of the file listed as `name` on `page`.
  static std::string DownloadOf(const std::string& page, const std::string& name) {
    return "/download?file=" + After(page, "href=\"/download?file=", ">" + name + "</bdi>");
  }

  httplib::Result Delete(const std::string& cookie, const std::string& body) {
    httplib::Client c("127.0.0.1", server_->port());
    return c.Post("/delete", {{"Cookie", cookie}}, body, "application/x-www-form-urlencoded");
  }

  std::string BlobFile(const std::string& content) {
    const std::string sha1 = Sha1(content);
    return dir_ + "/content/blobs/" + sha1.substr(0, 2) + "/" + sha1;
  }
};

TEST_F(WebFilesTest, DownloadsAreTheStoredBytesWholeOrFromWhereABrowserStopped) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(2 * kChunk + 4321, 41);
  Upload u = Start(content, "data set.bin", "docs");
  ASSERT_EQ(3, SendAll(u, content));
  const std::string cookie = WebLogin("alice", "alice-pw");
  ASSERT_FALSE(cookie.empty());
  const std::string page = FolderPage(cookie, "docs");
  ASSERT_NE(std::string::npos,
            page.find("<a href=\"/\">Home</a> / <strong><bdi class=\"name\">docs</bdi>"))
      << page;
  const std::string url = DownloadOf(page, "data set.bin");

  auto whole = Get(cookie, url);
  ASSERT_TRUE(whole);
  ASSERT_EQ(200, whole->status);
  EXPECT_TRUE(whole->body == content) << "the stored bytes, every one";
  const std::string etag = "\"" + ToLower(Sha1(content)) + "\"";
  EXPECT_EQ(etag, whole->get_header_value("ETag"));
  EXPECT_EQ("bytes", whole->get_header_value("Accept-Ranges"));
  EXPECT_EQ("application/octet-stream", whole->get_header_value("Content-Type"));
  EXPECT_NE(std::string::npos,
            whole->get_header_value("Content-Disposition").find("filename*=UTF-8''data set.bin"));

  const struct {
    httplib::Headers headers;
    int status;
    uint64_t start, length;
    const char* content_range;
  } requests[] = {
      {{{"Range", "bytes=1048570-1048589"}}, 206, 1048570, 20, "bytes 1048570-1048589/2101473"},
      {{{"Range", "bytes=2000000-"}, {"If-Range", etag}},
       206,
       2000000,
       101473,
       "bytes 2000000-2101472/2101473"},
      {{{"Range", "bytes=-3"}}, 206, 2101470, 3, "bytes 2101470-2101472/2101473"},
      {{{"Range", "bytes=2000000-"}, {"If-Range", "\"0000\""}}, 200, 0, 2101473, ""},
      {{{"Range", "bytes=2101473-"}}, 416, 0, 0, "bytes */2101473"},
      {{{"If-None-Match", etag}}, 304, 0, 0, ""},
  };
  for (const auto& r : requests) {
    auto got = Get(cookie, url, r.headers);
    ASSERT_TRUE(got);
    const std::string what = r.headers.begin()->second;
    EXPECT_EQ(r.status, got->status) << what;
    if (r.status != 416) {  // (which carries the service's error text)
      EXPECT_TRUE(got->body == content.substr(r.start, r.length))
          << what << ": " << got->body.size() << " bytes";
    }
    EXPECT_EQ(r.content_range, got->get_header_value("Content-Range")) << what;
  }

  // Only the owner, only signed in.
  auto anonymous = Get("", url);
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(403, anonymous->status);
  EXPECT_EQ(std::string::npos, anonymous->body.find(content.substr(0, 64)));
  const std::string bob = WebLogin("bob", "bob-pw");
  for (const std::string& target : {url, std::string("/download?file=x"),
                                    std::string("/?folder=") + After(page, "data-folder=\"", "")}) {
    auto other = Get(bob, target);
    ASSERT_TRUE(other);
    EXPECT_EQ(404, other->status) << target;
  }
}

TEST_F(WebFilesTest, DeletingFreesTheQuotaAndTheContentOnceNoFileUsesIt) {
  StartServer();
  ASSERT_TRUE(Login("bob", "bob-pw")["state"].asBool());  // 3000000 bytes of quota
  const std::string content = RandomBytes(1200000, 42);
  Upload first = Start(content, "one.bin", "keep");
  ASSERT_EQ(2, SendAll(first, content));
  // The same content again: held already, charged again.
  ASSERT_EQ(2, Dispatch("url_upload", "two.bin", content.size(), "", Sha1(content),
                        QuickId(content), "")["status"]
                   .asInt());
  const std::string other = RandomBytes(900000, 43);
  EXPECT_EQ(410, Start(other, "other.bin", "").answer["statuscode"].asInt());
  ASSERT_TRUE(std::filesystem::exists(BlobFile(content)));

  const std::string cookie = WebLogin("bob", "bob-pw");
  const std::string root = FolderPage(cookie, "");
  EXPECT_NE(std::string::npos, root.find("2.3 MiB of 2.9 MiB used")) << root;
  const std::string token = After(root, "name=\"token\" value=\"");
  const std::string two = After(root, "name=\"file\" value=\"", ">two.bin</bdi>");
  const std::string folder = After(root, "data-folder=\"");
  ASSERT_FALSE(token.empty());
  ASSERT_FALSE(two.empty());

  // Without the page's own token (another site's form) nothing goes.
  for (const std::string& body :
       {"file=" + two, "file=" + two + "&token=x", "file=" + two + "&token="}) {
    auto refused = Delete(cookie, body);
    ASSERT_TRUE(refused);
    EXPECT_EQ(403, refused->status) << body;
  }
  auto stranger = Delete(WebLogin("alice", "alice-pw"), "file=" + two + "&token=" + token);
  ASSERT_TRUE(stranger);
  EXPECT_EQ(403, stranger->status) << "another session's token";

  auto gone = Delete(cookie, "file=" + two + "&folder=" + folder + "&token=" + token);
  ASSERT_TRUE(gone);
  EXPECT_EQ(303, gone->status);
  EXPECT_EQ("/?folder=" + folder, gone->get_header_value("Location"));
  EXPECT_TRUE(std::filesystem::exists(BlobFile(content))) << "one.bin still refers to it";
  EXPECT_EQ(1, Start(other, "other.bin", "").answer["status"].asInt()) << "the quota is free again";
  auto again = Delete(cookie, "file=" + two + "&token=" + token);
  ASSERT_TRUE(again);
  EXPECT_EQ(404, again->status);

  const std::string keep = FolderPage(cookie, "keep");
  const std::string one_url = DownloadOf(keep, "one.bin");
  auto last = Delete(cookie, "file=" + After(keep, "name=\"file\" value=\"") + "&token=" + token);
  ASSERT_TRUE(last);
  EXPECT_EQ(303, last->status);
  EXPECT_FALSE(std::filesystem::exists(BlobFile(content))) << "nothing refers to it any more";
  auto download = Get(cookie, one_url);
  ASSERT_TRUE(download);
  EXPECT_EQ(404, download->status);
  EXPECT_TRUE(Exported("bob").empty());

  // The content can come again: not held, so it is sent in full.
  Upload back = Start(content, "one.bin", "keep");
  EXPECT_EQ(1, back.answer["status"].asInt());
  ASSERT_EQ(2, SendAll(back, content));
  auto restored = Get(cookie, DownloadOf(FolderPage(cookie, "keep"), "one.bin"));
  ASSERT_TRUE(restored);
  EXPECT_TRUE(restored->body == content);
}

TEST_F(WebFilesTest, AnUploadFinishingWhileItsHeldContentIsDeletedKeepsItsBytes) {
  StartServer({"--faults", "finish:delay=3000*2"});
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(kChunk + 77, 44);
  // Two uploads of the same content; the first to finish makes it held. Both
  // wait at the hold point.
  Upload late = Start(content, "late.bin", "");
  Upload early = Start(content, "early.bin", "");
  ASSERT_EQ(0, Range(early, 0, content.substr(0, kChunk))["statuscode"].asInt());
  ASSERT_EQ(0, Range(late, 0, content.substr(0, kChunk))["statuscode"].asInt());
  ASSERT_EQ(0, Range(early, kChunk, content.substr(kChunk))["statuscode"].asInt());

  // The late one finds the content held and waits before recording its file;
  // meanwhile the only file with that content is deleted.
  std::thread finishing(
      [&] { EXPECT_EQ(0, Range(late, kChunk, content.substr(kChunk))["statuscode"].asInt()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const std::string cookie = WebLogin("alice", "alice-pw");
  const std::string root = FolderPage(cookie, "");
  auto deleted =
      Delete(cookie, "file=" + After(root, "name=\"file\" value=\"", ">early.bin</bdi>") +
                         "&token=" + After(root, "name=\"token\" value=\""));
  ASSERT_TRUE(deleted);
  EXPECT_EQ(303, deleted->status);
  finishing.join();

  auto download = Get(cookie, DownloadOf(FolderPage(cookie, ""), "late.bin"));
  ASSERT_TRUE(download);
  EXPECT_EQ(200, download->status);
  EXPECT_TRUE(download->body == content);
}

TEST_F(WebFilesTest, NamesWithMarkupOrOtherScriptsAreShownAsText) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = "hello";
  const std::string markup = "<img src=x onerror=alert(1)>.txt";
  const std::string arabic = "\xD9\x85\xD9\x84\xD9\x81.txt";  // "file" in Arabic
  ASSERT_EQ(1, SendAll(Start(content, markup, "<b>dir\"'"), content));
  ASSERT_EQ(2, Dispatch("url_upload", arabic, content.size(), "<b>dir\"'", Sha1(content), "",
                        "")["status"]
                   .asInt());

  const std::string cookie = WebLogin("alice", "alice-pw");
  const std::string root = FolderPage(cookie, "");
  EXPECT_NE(std::string::npos, root.find("<bdi class=\"name\">&lt;b&gt;dir&quot;&#39;/</bdi>"))
      << root;
  const std::string page = FolderPage(cookie, "&lt;b&gt;dir&quot;&#39;");
  EXPECT_NE(std::string::npos,
            page.find("<bdi class=\"name\">&lt;img src=x onerror=alert(1)&gt;.txt</bdi>"));
  EXPECT_NE(std::string::npos, page.find("<bdi class=\"name\">" + arabic + "</bdi>"));
  EXPECT_NE(std::string::npos, page.find("data-name=\"&lt;img src=x onerror=alert(1)&gt;.txt\""));
  for (const std::string& raw : {std::string("<img"), std::string("<b>dir")}) {
    EXPECT_EQ(std::string::npos, page.find(raw)) << raw;
  }
  auto cards = Get(cookie, "/cards?folder=" + After(page, "data-folder=\""));
  ASSERT_TRUE(cards);
  EXPECT_EQ(0u, cards->body.find("<div id=\"cards\"")) << "the cards alone";
  EXPECT_NE(std::string::npos, cards->body.find("&lt;img src=x onerror=alert(1)&gt;.txt"));
  auto download = Get(cookie, DownloadOf(page, "&lt;img src=x onerror=alert(1)&gt;.txt"));
  ASSERT_TRUE(download);
  EXPECT_EQ("hello", download->body);
  // (The client library decodes the percent escapes of header values.)
  EXPECT_EQ(
      "attachment; filename=\"<img src=x onerror=alert(1)>.txt\"; "
      "filename*=UTF-8''<img src=x onerror=alert(1)>.txt",
      download->get_header_value("Content-Disposition"));
}

// The signed-in page signs the local uploader in without the password: a
// ticket for its own script, good for one API login of its own user.
TEST_F(WebFilesTest, ThePageGetsOneTimeTicketsThatSignItsUploaderIn) {
  StartServer();
  const std::string cookie = WebLogin("alice", "alice-pw");
  const std::string token = After(FolderPage(cookie, ""), "data-token=\"");
  ASSERT_FALSE(token.empty());
  const auto ask = [this](const std::string& session, httplib::Headers headers) {
    httplib::Client c("127.0.0.1", server_->port());
    if (!session.empty()) headers.emplace("Cookie", session);
    auto r = c.Post("/uploader-ticket", headers, "", "application/x-www-form-urlencoded");
    EXPECT_TRUE(r);
    return r ? std::make_pair(r->status, r->body) : std::make_pair(0, std::string());
  };
  // Only the page's own script: signed in, with the session's token in a
  // header no form of another site can set.
  for (const auto& [session, headers] : std::vector<std::pair<std::string, httplib::Headers>>{
           {"", {{"X-Form-Token", token}}},
           {cookie, {}},
           {cookie, {{"X-Form-Token", "x"}}},
           {WebLogin("bob", "bob-pw"), {{"X-Form-Token", token}}}}) {
    EXPECT_EQ(403, ask(session, headers).first) << session;
  }
  const auto ticket = [&] {
    const auto [status, body] = ask(cookie, {{"X-Form-Token", token}});
    EXPECT_EQ(200, status) << body;
    const std::string t = After(body, "\"ticket\":\"");
    EXPECT_EQ(40u, t.size()) << body;
    return t;
  };
  const std::string first = ticket(), second = ticket();
  EXPECT_NE(first, second);
  EXPECT_FALSE(Login("bob", first)["state"].asBool()) << "another account's ticket";
  EXPECT_TRUE(Login("alice", first)["state"].asBool());
  EXPECT_FALSE(Login("alice", first, 1)["state"].asBool()) << "used up";
  EXPECT_TRUE(Login("alice", second, 2)["state"].asBool()) << "each ticket once";
  EXPECT_TRUE(Login("alice", "alice-pw", 3)["state"].asBool()) << "the password still works";
}

}  // namespace
}  // namespace vexa::server
