#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "TestSupport.h"
#include "http/HttpText.h"

namespace {

void ExpectLine(const std::string& line, const char* method, const char* path, const char* params, const char* version)
{
    THttpRequestLine r = ParseHttpRequestLine(line);
    EXPECT_EQ(r.Method, method) << line;
    EXPECT_EQ(r.Path, path) << line;
    EXPECT_EQ(r.Params, params) << line;
    EXPECT_EQ(r.Version, version) << line;
}

} // namespace

TEST(HttpText, RequestLines)
{
    ExpectLine("GET /snap/http.jpg?x=1&y=2 HTTP/1.1", "GET", "/snap/http.jpg", "x=1&y=2", "HTTP/1.1");
    ExpectLine("get /a", "GET", "/a", "", "HTTP/1.0");
    ExpectLine("GET  /a   http/1.1 ", "GET", "/a", "", "HTTP/1.1");
    ExpectLine("GET /a?b?c HTTP/1.0", "GET", "/a", "b?c", "HTTP/1.0");
    ExpectLine("GET /%41+b HTTP/1.0 trailing words", "GET", "/%41+b", "", "HTTP/1.0");
    // Tabs are part of the words.
    ExpectLine("GET\t/a HTTP/1.0", "GET\t/A", "HTTP/1.0", "", "HTTP/1.0");
    ExpectLine("GET", "GET", "", "", "HTTP/1.0");
    ExpectLine("", "", "", "", "HTTP/1.0");
}

TEST(HttpText, HeaderLinesMatchWithTheirColon)
{
    std::string v;
    EXPECT_EQ(MatchHttpHeaderLine("CONNECTION:keep-alive", v), THttpHeaderField::hfConnection);
    EXPECT_EQ(v, "keep-alive");
    EXPECT_TRUE(IsKeepAlive(v));
    EXPECT_EQ(MatchHttpHeaderLine("Content-Length:   42", v), THttpHeaderField::hfContentLength);
    EXPECT_EQ(v, "42");
    EXPECT_EQ(MatchHttpHeaderLine("Accept-Language: ja ", v), THttpHeaderField::hfAcceptLanguage);
    EXPECT_EQ(v, "ja ");
    EXPECT_EQ(MatchHttpHeaderLine("accept: */*", v), THttpHeaderField::hfAccept);
    EXPECT_EQ(MatchHttpHeaderLine("Hostname: x", v), THttpHeaderField::hfNone);
    EXPECT_EQ(MatchHttpHeaderLine("X-Custom: 1", v), THttpHeaderField::hfNone);
    EXPECT_EQ(MatchHttpHeaderLine("Host x", v), THttpHeaderField::hfNone);
    EXPECT_EQ(MatchHttpHeaderLine("Host:", v), THttpHeaderField::hfHost);
    EXPECT_EQ(v, "");

    int32_t n = 7;
    EXPECT_FALSE(ParseHttpInteger("12abc", n));
    EXPECT_FALSE(ParseHttpInteger("", n));
    EXPECT_FALSE(ParseHttpInteger("99999999999", n));
    EXPECT_EQ(n, 7);
    EXPECT_TRUE(ParseHttpInteger("-12", n));
    EXPECT_EQ(n, -12);
}

TEST(HttpText, DocumentMappingAndContentTypes)
{
    EXPECT_EQ(MapHttpDocument("/srv/www", "/", "index.html"), "/srv/www/index.html");
    EXPECT_EQ(MapHttpDocument("/srv/www", "/img/a.JPG", "index.html"), "/srv/www/img/a.JPG");
    EXPECT_EQ(MapHttpDocument("/srv/www", "x.htm", "index.html"), "/srv/www/x.htm");
    EXPECT_EQ(ContentTypeFromExt("/srv/www/img/a.JPG"), "image/jpeg");
    EXPECT_EQ(ContentTypeFromExt("/srv/www/readme"), "application/binary");
    EXPECT_EQ(ContentTypeFromExt("/srv/w.d/readme"), "application/binary");
    EXPECT_EQ(ContentTypeFromExt("notes.TXT"), "text/plain");
    EXPECT_EQ(ContentTypeFromExt("a.htm"), "text/html");
    EXPECT_EQ(ContentTypeFromExt("a.jpeg"), "image/jpeg");

    EXPECT_TRUE(IsSafeHttpPath("/a/b..c/..d"));
    EXPECT_FALSE(IsSafeHttpPath("/../etc/passwd"));
    EXPECT_FALSE(IsSafeHttpPath("/a/.."));
    EXPECT_FALSE(IsSafeHttpPath(".."));
    EXPECT_FALSE(IsSafeHttpPath(std::string("/a\0b", 4)));
    EXPECT_FALSE(IsSafeHttpPath(""));
}

TEST(HttpText, LinksLeavingTheDocumentDirectoryAreOutside)
{
    TTempDir temp;
    std::filesystem::path top(temp.Name());
    std::filesystem::create_directory(top / "docs");
    { int fd = ::open((top / "docs" / "in.txt").c_str(), O_CREAT | O_WRONLY, 0600); ::close(fd); }
    { int fd = ::open((top / "secret.txt").c_str(), O_CREAT | O_WRONLY, 0600); ::close(fd); }
    std::filesystem::create_symlink(top / "secret.txt", top / "docs" / "link.txt");
    std::string docs = (top / "docs").string() + "/";

    EXPECT_TRUE(DocumentInsideDir(docs, MapHttpDocument(docs, "/in.txt", "index.html")));
    EXPECT_FALSE(DocumentInsideDir(docs, MapHttpDocument(docs, "/link.txt", "index.html")));
    EXPECT_FALSE(DocumentInsideDir(docs, MapHttpDocument(docs, "/missing.txt", "index.html")));
    EXPECT_FALSE(DocumentInsideDir(docs, (top / "docs2" / "in.txt").string()));
}

TEST(HttpText, FixedAnswers)
{
    std::string body = HttpNotFoundBody("/x.jpg");
    EXPECT_EQ(body.size(), 148u);
    EXPECT_EQ(HttpNotFoundHeader("HTTP/1.1", body.size()),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 148\r\n\r\n");
    EXPECT_EQ(HttpFileHeader("HTTP/1.0", "image/jpeg", 5000),
              "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 5000\r\n\r\n");
}
