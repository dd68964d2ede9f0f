// TIniFile: typed access to one profile file.
#pragma once

#include <string>

#include "platform/Classes.h"

class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

class TIniFile : public TObject {
public:
    explicit TIniFile(std::string FileName) : FFileName(std::move(FileName)) {}

    const std::string& FileName() const { return FFileName; }

    // At most 1023 characters of the value.
    std::string ReadString(const std::string& Section, const std::string& Ident, const std::string& Default) const;
    // "0x"/"0X" followed by at least one character reads as hexadecimal,
    // anything else as signed decimal; text that is not a number gives Default.
    int ReadInteger(const std::string& Section, const std::string& Ident, int Default) const;
    bool ReadBool(const std::string& Section, const std::string& Ident, bool Default) const;

    // Raise EIniFileException "<file> に書き込めません" when the file cannot
    // be written. A string value is stored up to its first line break.
    void WriteString(const std::string& Section, const std::string& Ident, const std::string& Value);
    void WriteInteger(const std::string& Section, const std::string& Ident, int Value);
    void WriteBool(const std::string& Section, const std::string& Ident, bool Value);
    // Removes the key (no error when it is missing).
    void DeleteKey(const std::string& Section, const std::string& Ident);

private:
    std::string FFileName;
};

// Text to integer with the rules of ReadInteger; false when it is not one.
bool TryStrToInt(const std::string& Text, int& Value);
