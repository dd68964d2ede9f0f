// The HTTP server's texts: request-line and header-line parsing, the
// mapping of a request path onto the document directory, content types and
// the fixed answers. No sockets here.
#pragma once

#include <cstdint>
#include <string>

// The parts of a request line. Only spaces separate the words; nothing is
// decoded. Method and Version are upper case; Version is "HTTP/1.0" when
// the line has none.
struct THttpRequestLine {
    std::string Method;
    std::string Path;
    std::string Params;
    std::string Version;
};

THttpRequestLine ParseHttpRequestLine(const std::string& Line);

// The header fields a connection keeps, in the order they are compared.
enum class THttpHeaderField {
    hfNone,
    hfContentType,
    hfContentLength,
    hfAccept,
    hfReferer,
    hfAcceptLanguage,
    hfAcceptEncoding,
    hfUserAgent,
    hfHost,
    hfConnection,
    hfAuthorization,
};

// Which known field a header line sets (names compared without regard to
// letter case, colon included), and its value: the text after the first
// colon without the spaces right behind it. hfNone when the line has no
// colon or another name.
THttpHeaderField MatchHttpHeaderLine(const std::string& Line, std::string& Value);

// A decimal 32-bit integer with an optional sign and leading blanks; false
// (and Result untouched) for anything else.
bool ParseHttpInteger(const std::string& Text, int32_t& Result);

// True when Value is "Keep-Alive" in any letter case.
bool IsKeepAlive(const std::string& Value);

// DocDir + Path (with a "/" between them when Path does not start with
// one), and DefaultDoc behind a trailing "/".
std::string MapHttpDocument(const std::string& DocDir, const std::string& Path, const std::string& DefaultDoc);

// False for a request path that must never be mapped: empty, holding a NUL
// byte or a ".." segment.
bool IsSafeHttpPath(const std::string& Path);

// True when Document, with every link resolved, lies inside DocDir (also
// resolved). A document that does not exist is not inside.
bool DocumentInsideDir(const std::string& DocDir, const std::string& Document);
// DocDir with every link resolved ("." when empty); empty when it does not
// exist. The same test as above against an already resolved directory:
bool DocumentInsideResolvedDir(const std::string& ResolvedDir, const std::string& Document);
std::string ResolveDocDir(const std::string& DocDir);
// Document with its links resolved when it lies inside ResolvedDir, else
// empty.
std::string ResolvedDocumentInside(const std::string& ResolvedDir, const std::string& Document);

// "text/html", "image/jpeg", ... from the extension of FileName;
// "application/binary" for anything unknown.
std::string ContentTypeFromExt(const std::string& FileName);

// The not-found answer: its body (142 bytes plus the length of Path) and
// the header that goes in front of it.
std::string HttpNotFoundBody(const std::string& Path);
std::string HttpNotFoundHeader(const std::string& Version, size_t BodyLength);

// The header of a file answer: status line, content type and length only.
std::string HttpFileHeader(const std::string& Version, const std::string& ContentType, int64_t Size);

// "Connection: close" with its CR LF for an answer after which the server
// closes, empty for HTTP/1.0 where closing is the rule.
std::string HttpCloseField(const std::string& Version);

// The whole answer refusing a request that lacks the right credentials
// (401 with the Basic challenge) or comes from an address that has failed
// too often (429); the body only when WithBody.
std::string HttpRefusal(const std::string& Version, bool TooMany, bool WithBody);
