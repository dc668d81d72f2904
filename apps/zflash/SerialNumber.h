#pragma once
// Unit numbers for production: where a number goes in the image and how it is
// written, and the state file that hands each number out once only.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Types.h"

struct SSerialSpec
{
    enum eForm { sfLittle, sfBig, sfText };

    DWORD dwAddress = 0;
    std::uint64_t qwStart = 0;
    std::uint64_t qwStep = 1;
    eForm eForm = sfLittle;
    int nWidth = 4; // bytes (binary) or digits (text)

    // "ADDR:START[:STEP][:FORMAT]"; false with the reason in *pError.
    static bool Parse(const std::string& text, SSerialSpec* pSpec, std::string* pError);
    // The bytes of one number; false when it does not fit the width.
    bool Render(std::uint64_t number, std::vector<BYTE>* pBytes) const;
};

// The state file: the next number to hand out and numbers handed back unused.
// Every change happens under an exclusive lock on the file and reaches the
// disk before the number is used, so concurrent runs never share a number.
class CSerialState
{
public:
    explicit CSerialState(std::string path) : m_strPath(std::move(path)) {}

    // The smallest number handed back unused, else the next one; never below
    // start. False with the reason when the file cannot be read or written.
    bool Take(const SSerialSpec& spec, std::uint64_t* pNumber, std::string* pError);
    // A number that never reached a unit goes back for the next unit.
    bool Give(std::uint64_t number, std::string* pError);

    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};
