#include "server/form.h"

#include <gtest/gtest.h>

namespace vexa::server {
namespace {

TEST(FormTest, UrlDecodeHandlesEscapesAndRefusesBrokenOnes) {
  std::string out;
  ASSERT_TRUE(UrlDecode("%E4%BD%A0a+b%2B", &out));
  EXPECT_EQ(
      "\xE4\xBD\xA0"
      "a b+",
      out);
  EXPECT_FALSE(UrlDecode("abc%", &out));
  EXPECT_FALSE(UrlDecode("abc%4", &out));
  EXPECT_FALSE(UrlDecode("%zz", &out));
  ASSERT_TRUE(UrlDecode("%00", &out));
  EXPECT_EQ(std::string(1, '\0'), out);
}

TEST(FormTest, UrlEncodedFieldsKeepEmptyValuesAndRefuseRepeats) {
  FormFields f;
  ASSERT_TRUE(ParseUrlEncoded("userid=7&path=&fileid=&filename=%61%62", &f));
  EXPECT_EQ("7", f["userid"]);
  EXPECT_EQ("", f["path"]);
  EXPECT_EQ("ab", f["filename"]);
  EXPECT_EQ(4u, f.size());
  // A second copy of a signed field must not be able to shadow the first.
  EXPECT_FALSE(ParseUrlEncoded("sig=A&sig=B", &f));
  EXPECT_FALSE(ParseUrlEncoded("a=%G0", &f));
  EXPECT_EQ("x=1", QueryOf("/p?x=1#frag"));
  EXPECT_EQ("", QueryOf("/p"));
}

const char kClientBoundary[] = "-----------------------vexaupload";

std::string ClientBody(const std::string& data, bool crlf_after_close) {
  std::string b = kClientBoundary;
  std::string body;
  for (const char* name : {"fileid", "quickid", "ctrange", "cthash"}) {
    body += "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
            std::string("v_") + name + "\r\n";
  }
  body += "--" + b +
          "\r\nContent-Disposition: form-data; name=\"uploadfile\"; filename=\"pk1\"\r\n"
          "Content-Type: application/octet-stream\r\n\r\n" +
          data + "\r\n--" + b + "--";
  if (crlf_after_close) body += "\r\n";
  return body;
}

TEST(FormTest, MultipartReadsTheClientBodyWithOrWithoutFinalCrlf) {
  // Binary data holding CR LF and a near-boundary must come back untouched.
  std::string data =
      std::string("\r\n--") + std::string(kClientBoundary).substr(0, 20) + "\0\xff--\r\n";
  data.push_back('\0');
  for (bool crlf : {false, true}) {
    std::string body = ClientBody(data, crlf);
    std::vector<MultipartPart> parts;
    ASSERT_TRUE(ParseMultipart(body, kClientBoundary, &parts)) << crlf;
    ASSERT_EQ(5u, parts.size());
    EXPECT_EQ("fileid", parts[0].name);
    EXPECT_EQ("v_fileid", parts[0].data);
    EXPECT_EQ("v_cthash", parts[3].data);
    EXPECT_EQ("uploadfile", parts[4].name);
    EXPECT_TRUE(parts[4].has_filename);
    EXPECT_EQ("pk1", parts[4].filename);
    EXPECT_EQ(data, parts[4].data);
  }
}

TEST(FormTest, TheFileStartFoundInAHeadIsWhereTheWholeBodyPutsIt) {
  const std::string b = kClientBoundary;
  for (const std::string& data : {std::string("abc"), "\r\n--" + b + "\r\n\r\n", std::string("")}) {
    for (bool crlf : {false, true}) {
      const std::string body = ClientBody(data, crlf);
      std::vector<MultipartPart> parts;
      ASSERT_TRUE(ParseMultipart(body, b, &parts));
      const size_t start = static_cast<size_t>(parts.back().data.data() - body.data());
      // Every head is either too short to tell or tells the right place.
      size_t first_known = std::string::npos;
      for (size_t n = 0; n <= body.size(); ++n) {
        const size_t found = MultipartFileStart(std::string_view(body).substr(0, n), b);
        if (found == std::string::npos) continue;
        EXPECT_EQ(start, found) << n;
        if (first_known == std::string::npos) first_known = n;
      }
      EXPECT_EQ(start, first_known) << "known as soon as the head is in";
      EXPECT_GE(MultipartTailBytes(b), body.size() - start - data.size());
    }
  }
  // A body whose first part is not one is never given a file start.
  EXPECT_EQ(std::string::npos, MultipartFileStart("--" + b + "\r\n\r\nuploadfile", b));
}

TEST(FormTest, FileDataHoldingTheDelimiterIsTakenWhole) {
  const std::string b = kClientBoundary;
  for (const std::string& data :
       {"log: \r\n--" + b + "\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n",
        "\r\n--" + b + "--", "\r\n--" + b + "--\r\n", std::string("")}) {
    for (bool crlf : {false, true}) {
      const std::string body = ClientBody(data, crlf);  // parts point into it
      std::vector<MultipartPart> parts;
      ASSERT_TRUE(ParseMultipart(body, kClientBoundary, &parts)) << data << crlf;
      ASSERT_EQ(5u, parts.size());
      EXPECT_EQ(data, parts[4].data) << crlf;
    }
  }
  // Nothing may follow the file part but the closing delimiter.
  std::vector<MultipartPart> parts;
  EXPECT_FALSE(ParseMultipart(ClientBody("x", false) + "trailer", kClientBoundary, &parts));
}

TEST(FormTest, MultipartRefusesTruncatedOrMalformedBodies) {
  std::string body = ClientBody("payload", false);
  std::vector<MultipartPart> parts;
  // Cut inside the data: the closing delimiter is missing.
  EXPECT_FALSE(ParseMultipart(body.substr(0, body.size() - 45), kClientBoundary, &parts));
  EXPECT_FALSE(ParseMultipart(body, "other", &parts));
  EXPECT_FALSE(ParseMultipart(
      "--" + std::string(kClientBoundary) + "\r\nX: y\r\n\r\nz\r\n--" + kClientBoundary + "--",
      kClientBoundary, &parts));
  EXPECT_FALSE(ParseMultipart("", kClientBoundary, &parts));
}

TEST(FormTest, MultipartRefusesPartsWhoseNameIsAmbiguous) {
  const std::string b = kClientBoundary;
  std::vector<MultipartPart> parts;
  // Without headers a part has no name; its content must not be read as
  // headers, which would make a part named "cthash" out of data.
  const std::string headerless = "--" + b +
                                 "\r\n\r\nContent-Disposition: form-data; name=\"cthash\"\r\n\r\n"
                                 "X\r\n--" +
                                 b + "--";
  EXPECT_FALSE(ParseMultipart(headerless, kClientBoundary, &parts));
  // Two Content-Disposition headers: the second would rename the part and
  // leave the first one's file name behind.
  const std::string twice =
      "--" + b +
      "\r\nContent-Disposition: form-data; name=\"uploadfile\"; filename=\"pk1\"\r\n"
      "content-disposition: form-data; name=\"cthash\"\r\n\r\nX\r\n--" +
      b + "--";
  EXPECT_FALSE(ParseMultipart(twice, kClientBoundary, &parts));
  // One of each header is still read, padding after the delimiter included.
  const std::string fine =
      "--" + b +
      " \t\r\nContent-Type: text/plain\r\n"
      "content-disposition:form-data; filename=\"a;b\"; name=\"x\"\r\n\r\n\r\nX\r\n--" +
      b + "--";
  ASSERT_TRUE(ParseMultipart(fine, kClientBoundary, &parts));
  ASSERT_EQ(1u, parts.size());
  EXPECT_EQ("x", parts[0].name);
  EXPECT_EQ("a;b", parts[0].filename);
  EXPECT_EQ("\r\nX", parts[0].data);
}

TEST(FormTest, BoundaryComesFromTheContentType) {
  std::string b;
  ASSERT_TRUE(
      MultipartBoundary("multipart/form-data; boundary=-----------------------vexaupload", &b));
  EXPECT_EQ(kClientBoundary, b);
  ASSERT_TRUE(MultipartBoundary("Multipart/Form-Data; charset=x; boundary=\"a;b\"", &b));
  EXPECT_EQ("a;b", b);
  EXPECT_FALSE(MultipartBoundary("application/x-www-form-urlencoded", &b));
  EXPECT_FALSE(MultipartBoundary("multipart/form-data", &b));
  EXPECT_FALSE(MultipartBoundary("multipart/form-data; boundary=", &b));
}

}  // namespace
}  // namespace vexa::server
