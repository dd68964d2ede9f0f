#include "http/HttpText.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

std::string UpperCase(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string LowerCase(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Blanks are spaces and control characters, as a trim takes them.
std::string TrimBlanks(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

bool StartsWithNoCase(const std::string& s, const char* prefix)
{
    size_t n = std::strlen(prefix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char a = s[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

std::string RealPath(const std::string& path)
{
    std::unique_ptr<char, decltype(&std::free)> p(realpath(path.c_str(), nullptr), &std::free);
    return p ? std::string(p.get()) : std::string();
}

} // namespace

THttpRequestLine ParseHttpRequestLine(const std::string& Line)
{
    THttpRequestLine r;
    size_t i = Line.find(' ');
    r.Method = UpperCase(Line.substr(0, i));
    if (i == std::string::npos)
        i = Line.size();
    while (i < Line.size() && Line[i] == ' ')
        ++i;
    size_t j = Line.find(' ', i);
    if (j == std::string::npos)
        j = Line.size();
    std::string target = Line.substr(i, j - i);
    size_t q = target.find('?');
    if (q == std::string::npos) {
        r.Path = target;
    } else {
        r.Path = target.substr(0, q);
        r.Params = target.substr(q + 1);
    }
    i = j;
    while (i < Line.size() && Line[i] == ' ')
        ++i;
    j = Line.find(' ', i);
    if (j == std::string::npos)
        j = Line.size();
    r.Version = TrimBlanks(UpperCase(Line.substr(i, j - i)));
    if (r.Version.empty())
        r.Version = "HTTP/1.0";
    return r;
}

THttpHeaderField MatchHttpHeaderLine(const std::string& Line, std::string& Value)
{
    static const struct {
        const char* Name;
        THttpHeaderField Field;
    } names[] = {
        {"content-type:", THttpHeaderField::hfContentType},
        {"content-length:", THttpHeaderField::hfContentLength},
        {"Accept:", THttpHeaderField::hfAccept},
        {"Referer:", THttpHeaderField::hfReferer},
        {"Accept-Language:", THttpHeaderField::hfAcceptLanguage},
        {"Accept-Encoding:", THttpHeaderField::hfAcceptEncoding},
        {"User-Agent:", THttpHeaderField::hfUserAgent},
        {"Host:", THttpHeaderField::hfHost},
        {"Connection:", THttpHeaderField::hfConnection},
        {"Authorization:", THttpHeaderField::hfAuthorization},
    };
    size_t colon = Line.find(':');
    if (colon == std::string::npos)
        return THttpHeaderField::hfNone;
    for (const auto& n : names) {
        if (StartsWithNoCase(Line, n.Name)) {
            size_t v = colon + 1;
            while (v < Line.size() && Line[v] == ' ')
                ++v;
            Value = Line.substr(v);
            return n.Field;
        }
    }
    return THttpHeaderField::hfNone;
}

bool ParseHttpInteger(const std::string& Text, int32_t& Result)
{
    size_t i = 0;
    while (i < Text.size() && (Text[i] == ' ' || Text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '+' || Text[i] == '-'))
        negative = Text[i++] == '-';
    if (i == Text.size())
        return false;
    int64_t v = 0;
    for (; i < Text.size(); ++i) {
        char c = Text[i];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v > INT32_MAX || v < INT32_MIN)
        return false;
    Result = static_cast<int32_t>(v);
    return true;
}

bool IsKeepAlive(const std::string& Value) { return LowerCase(Value) == "keep-alive"; }

std::string MapHttpDocument(const std::string& DocDir, const std::string& Path, const std::string& DefaultDoc)
{
    std::string doc = (!Path.empty() && Path[0] == '/') ? DocDir + Path : DocDir + "/" + Path;
    if (!doc.empty() && doc.back() == '/')
        doc += DefaultDoc;
    return doc;
}

bool IsSafeHttpPath(const std::string& Path)
{
    if (Path.empty() || Path.find('\0') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= Path.size()) {
        size_t end = Path.find('/', start);
        if (end == std::string::npos)
            end = Path.size();
        if (Path.compare(start, end - start, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

std::string ResolveDocDir(const std::string& DocDir) { return RealPath(DocDir.empty() ? std::string(".") : DocDir); }

std::string ResolvedDocumentInside(const std::string& ResolvedDir, const std::string& Document)
{
    std::string dir = ResolvedDir;
    std::string doc = RealPath(Document);
    if (dir.empty() || doc.empty())
        return std::string();
    if (dir.back() != '/')
        dir += '/';
    return doc.compare(0, dir.size(), dir) == 0 && doc.size() > dir.size() ? doc : std::string();
}

bool DocumentInsideResolvedDir(const std::string& ResolvedDir, const std::string& Document)
{
    return !ResolvedDocumentInside(ResolvedDir, Document).empty();
}

bool DocumentInsideDir(const std::string& DocDir, const std::string& Document)
{
    return DocumentInsideResolvedDir(ResolveDocDir(DocDir), Document);
}

std::string ContentTypeFromExt(const std::string& FileName)
{
    size_t dot = FileName.rfind('.');
    std::string ext;
    if (dot != std::string::npos && FileName.find('/', dot) == std::string::npos)
        ext = LowerCase(FileName.substr(dot + 1));
    if (ext == "htm" || ext == "html")
        return "text/html";
    if (ext == "gif")
        return "image/gif";
    if (ext == "bmp")
        return "image/bmp";
    if (ext == "jpg" || ext == "jpeg")
        return "image/jpeg";
    if (ext == "txt")
        return "text/plain";
    return "application/binary";
}

std::string HttpNotFoundBody(const std::string& Path)
{
    return "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>404 Not Found</H1>The requested URL " + Path +
           " was not found on this server.<P></BODY></HTML>\r\n";
}

std::string HttpNotFoundHeader(const std::string& Version, size_t BodyLength)
{
    return Version + " 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(BodyLength) +
           "\r\n\r\n";
}

std::string HttpFileHeader(const std::string& Version, const std::string& ContentType, int64_t Size)
{
    return Version + " 200 OK\r\nContent-Type: " + ContentType + "\r\nContent-Length: " + std::to_string(Size) +
           "\r\n\r\n";
}

std::string HttpCloseField(const std::string& Version)
{
    return Version == "HTTP/1.0" ? std::string() : std::string("Connection: close\r\n");
}

std::string HttpRefusal(const std::string& Version, bool TooMany, bool WithBody)
{
    const std::string body = TooMany ? "429 Too Many Requests\r\n" : "401 Unauthorized\r\n";
    std::string answer = Version + (TooMany ? " 429 Too Many Requests\r\nRetry-After: 60\r\n"
                                            : " 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Quorrelane\", "
                                              "charset=\"UTF-8\"\r\n");
    answer += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
              HttpCloseField(Version) + "\r\n";
    if (WithBody)
        answer += body;
    return answer;
}
