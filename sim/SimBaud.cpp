#include "sim/SimBaud.h"

#include <cmath>

bool CSimBaud::FormulaFromText(const CString& text, eSimBRRFormula* pFormula)
{
    static const struct
    {
        const char* pszName;
        eSimBRRFormula formula;
    } kNames[] = {
        {"ctSimpleDivide", bfSimpleDivide},
        {"ctPavFormula", bfPavFormula},
        {"ctLomFormula", bfLomFormula},
        {"ctRivFormula", bfRivFormula},
    };
    for (const auto& n : kNames) {
        if (text == n.pszName) {
            if (pFormula)
                *pFormula = n.formula;
            return true;
        }
    }
    return false;
}

bool CSimBaud::BRRForRate(eSimBRRFormula formula, double clockHz, DWORD rate, BYTE* pBRR)
{
    if (rate == 0 || !(clockHz > 0.0))
        return false;
    double x = clockHz / (32.0 * rate);
    if (formula != bfSimpleDivide)
        x -= 1.0;
    const double n = std::floor(x + 0.5);
    if (n < 1.0 || n > 255.0)
        return false;
    *pBRR = static_cast<BYTE>(n);
    return true;
}

DWORD CSimBaud::RateForBRR(eSimBRRFormula formula, double clockHz, BYTE brr)
{
    double divisor = brr;
    if (formula == bfSimpleDivide) {
        if (brr == 0)
            divisor = 256.0;
    } else {
        divisor += 1.0;
    }
    return static_cast<DWORD>(std::floor(clockHz / (32.0 * divisor) + 0.5));
}

bool CSimBaud::RatesMatch(DWORD a, DWORD b, DWORD tolerancePercent)
{
    if (a == b)
        return true;
    if (a == 0 || b == 0)
        return false;
    const double larger = a > b ? a : b;
    const double diff = a > b ? double(a) - b : double(b) - a;
    return diff * 100.0 <= larger * tolerancePercent;
}

BYTE CSimBaud::Garble(BYTE byte, DWORD senderRate, DWORD receiverRate)
{
    if (senderRate == 0 || receiverRate == 0)
        return static_cast<BYTE>(byte ^ 0x80);
    const double scale = double(senderRate) / double(receiverRate);
    BYTE result = 0;
    for (int bit = 0; bit < 8; ++bit) {
        // Sample point in the sender's bit times, counted from the start bit's edge.
        const double t = (1.5 + bit) * scale;
        const long slot = static_cast<long>(std::floor(t));
        bool level;
        if (slot <= 0)
            level = false; // still the start bit
        else if (slot <= 8)
            level = (byte >> (slot - 1)) & 1;
        else
            level = true; // stop bit and idle line
        if (level)
            result = static_cast<BYTE>(result | (1u << bit));
    }
    if (result == byte)
        result = static_cast<BYTE>(result ^ 0x80);
    return result;
}
