#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace {

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// One line of the file, without its line break.
struct Line {
    std::string Text;
    bool CarriageReturn = false;
};

struct Parsed {
    std::vector<Line> Lines;
    bool Crlf = false;       // the ending new lines get
    bool FinalBreak = true;  // whether the last line ended with a break
};

// Reads the whole file; nullopt when it cannot be opened. A zero byte ends
// the text of its line, as it ends a string for the Windows functions.
std::optional<std::string> ReadFile(const std::string& name)
{
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

Parsed Parse(const std::string& data)
{
    Parsed p;
    size_t pos = 0;
    bool first = true;
    while (pos < data.size()) {
        size_t nl = data.find('\n', pos);
        size_t end = nl == std::string::npos ? data.size() : nl;
        Line l;
        l.Text = data.substr(pos, end - pos);
        if (!l.Text.empty() && l.Text.back() == '\r') {
            l.Text.pop_back();
            l.CarriageReturn = true;
        }
        if (first) {
            p.Crlf = l.CarriageReturn;
            first = false;
        }
        p.FinalBreak = nl != std::string::npos;
        p.Lines.push_back(std::move(l));
        pos = nl == std::string::npos ? data.size() : nl + 1;
    }
    return p;
}

// The visible text of a line: up to a zero byte.
std::string Visible(const std::string& text)
{
    size_t z = text.find('\0');
    return z == std::string::npos ? text : text.substr(0, z);
}

// The section name of a header line "[name]", or nullopt.
std::optional<std::string> SectionOf(const std::string& text)
{
    std::string t = Trim(Visible(text));
    if (t.empty() || t[0] != '[')
        return std::nullopt;
    size_t close = t.find(']');
    std::string name = close == std::string::npos ? t.substr(1) : t.substr(1, close - 1);
    return Trim(name);
}

// The key of a "key=value" line, or nullopt for comments and other lines.
std::optional<std::string> KeyOf(const std::string& text, std::string* value = nullptr)
{
    std::string t = Visible(text);
    std::string trimmed = Trim(t);
    if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '[')
        return std::nullopt;
    size_t eq = t.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    if (value)
        *value = t.substr(eq + 1);
    return Trim(t.substr(0, eq));
}

std::string Unquote(std::string v)
{
    v = Trim(v);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return v;
}

// Index range [begin, end) of the lines of a section (header excluded).
bool FindSection(const Parsed& p, const std::string& section, size_t* header, size_t* end)
{
    for (size_t i = 0; i < p.Lines.size(); ++i) {
        auto s = SectionOf(p.Lines[i].Text);
        if (!s || !SameName(*s, section))
            continue;
        size_t j = i + 1;
        while (j < p.Lines.size() && !SectionOf(p.Lines[j].Text))
            ++j;
        *header = i;
        *end = j;
        return true;
    }
    return false;
}

// Gives a last line that has no break the file's line ending.
void EndLastLine(Parsed& p)
{
    if (!p.FinalBreak && !p.Lines.empty())
        p.Lines.back().CarriageReturn = p.Crlf;
    p.FinalBreak = true;
}

std::string Serialize(const Parsed& p)
{
    std::string out;
    for (size_t i = 0; i < p.Lines.size(); ++i) {
        out += p.Lines[i].Text;
        bool last = i + 1 == p.Lines.size();
        if (!last || p.FinalBreak) {
            if (p.Lines[i].CarriageReturn)
                out += '\r';
            out += '\n';
        }
    }
    return out;
}

// Writes data to a temporary file beside name and renames it into place.
bool ReplaceFile(const std::string& name, const std::string& data)
{
    // Write through a symbolic link to the file it names.
    std::string target = name;
    struct stat st{};
    mode_t mode = 0600;
    bool existed = false;
    if (::lstat(name.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            char* real = ::realpath(name.c_str(), nullptr);
            if (real) {
                target = real;
                std::free(real);
            }
        }
        if (::stat(target.c_str(), &st) == 0) {
            if (!S_ISREG(st.st_mode)) {
                errno = EISDIR;
                return false;
            }
            // The rename would pass over the file's own permissions: a file
            // the program may not write is not replaced. Root passes every
            // check, so for it a file without any write bit is read-only.
            bool readOnly = ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0 ||
                            (::geteuid() == 0 && (st.st_mode & 0222) == 0);
            if (readOnly) {
                errno = EACCES;
                return false;
            }
            mode = st.st_mode & 07777;
            existed = true;
        }
    }
    std::string tmpl = target + ".XXXXXX";
    std::vector<char> path(tmpl.begin(), tmpl.end());
    path.push_back('\0');
    int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    int err = 0;
    // The new file keeps the old one's owner where the program may set it
    // (always as root), then its mode.
    if (existed && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()))
        static_cast<void>(::fchown(fd, st.st_uid, st.st_gid));
    if (::fchmod(fd, mode) != 0)
        err = errno;
    size_t done = 0;
    while (!err && done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
        } else {
            done += static_cast<size_t>(n);
        }
    }
    if (!err && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && !err)
        err = errno;
    if (!err && ::rename(path.data(), target.c_str()) != 0)
        err = errno;
    if (err) {
        ::unlink(path.data());
        errno = err;
        return false;
    }
    return true;
}

} // namespace

std::string GetPrivateProfileString(const std::string& Section, const std::string& Key,
                                    const std::string& Default, size_t Size,
                                    const std::string& FileName)
{
    auto limit = [Size](std::string s) {
        if (Size == 0)
            return std::string();
        if (s.size() > Size - 1)
            s.resize(Size - 1);
        return s;
    };
    auto data = ReadFile(FileName);
    if (!data)
        return limit(Visible(Default));
    Parsed p = Parse(*data);
    size_t header = 0, end = 0;
    if (FindSection(p, Section, &header, &end)) {
        for (size_t i = header + 1; i < end; ++i) {
            std::string value;
            auto k = KeyOf(p.Lines[i].Text, &value);
            if (k && SameName(*k, Key))
                return limit(Unquote(value));
        }
    }
    return limit(Visible(Default));
}

DWORD GetPrivateProfileStringA(const char* Section, const char* Key, const char* Default,
                               char* Buffer, DWORD Size, const char* FileName)
{
    if (!Buffer || Size == 0)
        return 0;
    std::string v = GetPrivateProfileString(Section ? Section : "", Key ? Key : "",
                                            Default ? Default : "", Size, FileName ? FileName : "");
    std::memcpy(Buffer, v.data(), v.size());
    Buffer[v.size()] = '\0';
    return static_cast<DWORD>(v.size());
}

BOOL WritePrivateProfileString(const char* Section, const char* Key, const char* Value,
                               const std::string& FileName)
{
    // A line break inside a name or a value would change the file's layout.
    auto breaks = [](const char* s) { return s && std::strpbrk(s, "\r\n") != nullptr; };
    if (!Section || FileName.empty() || breaks(Section) || breaks(Key) || breaks(Value)) {
        errno = EINVAL;
        return false;
    }
    Parsed p;
    if (auto data = ReadFile(FileName)) {
        p = Parse(*data);
    } else if (errno != ENOENT) {
        return false;
    }
    std::string section = Section;
    size_t header = 0, end = 0;
    bool found = FindSection(p, section, &header, &end);
    auto newLine = [&p](std::string text) {
        Line l;
        l.Text = std::move(text);
        l.CarriageReturn = p.Crlf;
        return l;
    };
    if (!Key) {
        if (!found)
            return true;
        p.Lines.erase(p.Lines.begin() + static_cast<std::ptrdiff_t>(header),
                      p.Lines.begin() + static_cast<std::ptrdiff_t>(end));
        return ReplaceFile(FileName, Serialize(p));
    }
    std::string key = Key;
    if (!found) {
        if (!Value)
            return true;
        EndLastLine(p);
        p.Lines.push_back(newLine("[" + section + "]"));
        p.Lines.push_back(newLine(key + "=" + Value));
        return ReplaceFile(FileName, Serialize(p));
    }
    size_t last = header;  // the last key line of the section
    for (size_t i = header + 1; i < end; ++i) {
        auto k = KeyOf(p.Lines[i].Text);
        if (!k)
            continue;
        if (SameName(*k, key)) {
            if (Value)
                p.Lines[i].Text = key + "=" + Value;
            else
                p.Lines.erase(p.Lines.begin() + static_cast<std::ptrdiff_t>(i));
            return ReplaceFile(FileName, Serialize(p));
        }
        last = i;
    }
    if (!Value)
        return true;
    if (last + 1 == p.Lines.size())
        EndLastLine(p);
    p.Lines.insert(p.Lines.begin() + static_cast<std::ptrdiff_t>(last + 1), newLine(key + "=" + Value));
    return ReplaceFile(FileName, Serialize(p));
}

BOOL WritePrivateProfileStringA(const char* Section, const char* Key, const char* Value,
                                const char* FileName)
{
    return WritePrivateProfileString(Section, Key, Value, FileName ? FileName : "");
}
