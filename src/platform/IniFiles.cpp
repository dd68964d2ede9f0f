#include "platform/IniFiles.h"

#include <cstdint>

#include "platform/Profile.h"

namespace {

constexpr size_t ReadBufferSize = 1024;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

[[noreturn]] void WriteError(const std::string& file)
{
    throw EIniFileException(file + " に書き込めません");
}

} // namespace

bool TryStrToInt(const std::string& Text, int& Value)
{
    if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
        // Up to 32 bits; values above 0x7FFFFFFF wrap to negative numbers.
        uint64_t v = 0;
        for (size_t i = 2; i < Text.size(); ++i) {
            int d = HexDigit(Text[i]);
            if (d < 0)
                return false;
            v = v * 16 + static_cast<uint64_t>(d);
            if (v > 0xFFFFFFFFull)
                return false;
        }
        Value = static_cast<int>(static_cast<uint32_t>(v));
        return true;
    }
    size_t i = 0;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) {
        negative = Text[i] == '-';
        ++i;
    }
    if (i == Text.size())
        return false;
    int64_t v = 0;
    for (; i < Text.size(); ++i) {
        if (Text[i] < '0' || Text[i] > '9')
            return false;
        v = v * 10 + (Text[i] - '0');
        if (v > 2147483648LL)
            return false;
    }
    if (negative)
        v = -v;
    if (v > INT32_MAX || v < INT32_MIN)
        return false;
    Value = static_cast<int>(v);
    return true;
}

std::string TIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                 const std::string& Default) const
{
    return GetPrivateProfileString(Section, Ident, Default, ReadBufferSize, FFileName);
}

int TIniFile::ReadInteger(const std::string& Section, const std::string& Ident, int Default) const
{
    int v = 0;
    return TryStrToInt(ReadString(Section, Ident, ""), v) ? v : Default;
}

bool TIniFile::ReadBool(const std::string& Section, const std::string& Ident, bool Default) const
{
    return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& Section, const std::string& Ident, const std::string& Value)
{
    // A value is one line: what follows a line break could never be read
    // back, and keeping it would make every later write fail.
    std::string line = Value.substr(0, Value.find_first_of(std::string("\r\n\0", 3)));
    if (!WritePrivateProfileString(Section.c_str(), Ident.c_str(), line.c_str(), FFileName))
        WriteError(FFileName);
}

void TIniFile::WriteInteger(const std::string& Section, const std::string& Ident, int Value)
{
    WriteString(Section, Ident, std::to_string(Value));
}

void TIniFile::WriteBool(const std::string& Section, const std::string& Ident, bool Value)
{
    WriteString(Section, Ident, Value ? "1" : "0");
}

void TIniFile::DeleteKey(const std::string& Section, const std::string& Ident)
{
    if (!WritePrivateProfileString(Section.c_str(), Ident.c_str(), nullptr, FFileName))
        WriteError(FFileName);
}
