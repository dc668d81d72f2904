#pragma once
// How a device's bit rate register value is computed for a new baud rate.
// The programming interface owns the arithmetic; the definition record only
// names the formula, so the enumeration lives here where both can see it
// (the interface class brings the names into its own scope).
#include "platform/String.h"

enum BaudCalcType : int {
    ctSimpleDivide = 0,
    ctPavFormula = 1,
    ctLomFormula = 2,
    ctRivFormula = 3,
};

// The formula a definition's "BRR Formula" text names (compared with case);
// false and *pType untouched for any other text.
bool BaudCalcTypeFromText(const CString& text, BaudCalcType* pType);
