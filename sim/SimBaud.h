#pragma once
// Bit-rate arithmetic of the simulated chip: its bit-rate register (BRR) and
// clock, and what a UART makes of a byte sent at another rate.
#include "platform/String.h"
#include "platform/Types.h"

// The BRR formulas a definition can name. The three named formulas share one
// register layout on the chip side: rate = clock / (32 x (BRR + 1)).
// "ctSimpleDivide" chips divide without the offset: rate = clock / (32 x BRR),
// where a register value of 0 counts as 256.
enum eSimBRRFormula
{
    bfSimpleDivide = 0,
    bfPavFormula = 1,
    bfLomFormula = 2,
    bfRivFormula = 3,
};

class CSimBaud
{
public:
    // The definition's "BRR Formula" text (case-sensitive, as the definition reader
    // compares it); false for an unknown name.
    static bool FormulaFromText(const CString& text, eSimBRRFormula* pFormula);

    // The register value nearest to the rate; false when it does not fit in 1..255.
    static bool BRRForRate(eSimBRRFormula formula, double clockHz, DWORD rate, BYTE* pBRR);
    // The rate (baud, rounded) that a register value gives.
    static DWORD RateForBRR(eSimBRRFormula formula, double clockHz, BYTE brr);

    // Two UARTs understand each other when their rates are within the tolerance
    // (percent of the larger rate).
    static bool RatesMatch(DWORD a, DWORD b, DWORD tolerancePercent);

    // What a receiver at receiverRate reads when a sender at senderRate sends
    // the byte: the receiver samples the sender's frame (start bit, eight data
    // bits LSB first, stop bit, idle line) in the middle of its own bit times.
    // A byte never survives a mismatch intact: when the sampling happens to give
    // the byte back, its top bit is inverted (a framing error in real life).
    static BYTE Garble(BYTE byte, DWORD senderRate, DWORD receiverRate);
};
